// The POSIX backend put together: the one place that knows every port's implementation.
#include <cstdlib>
#include <string_view>

#include "component/base/text.hpp"
#include "component/resources/string_table.hpp"
#include "platform/crashes.hpp"
#include "platform/posix/desktop/desktop_ui.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/settings/sqlite_registry.hpp"
#include "platform/posix/shell/printer.hpp"
#include "platform/posix/shell/xdg_shell.hpp"
#include "platform/posix/terminal/terminal_ui.hpp"
#include "platform/resources.hpp"
#include "platform/ui.hpp"

extern char** environ;

namespace cobaltmoth::platform {
namespace {

// The process environment, read afresh at each call.
class PosixEnvironment final : public Environment {
 public:
  std::vector<std::u16string> Entries() override {
    std::vector<std::u16string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      entries.push_back(text::FromUtf8(*entry));
    }
    return entries;
  }
};

}  // namespace

std::shared_ptr<Resources> MakePosixResources() {
  return CompiledInResources([] {
    const auto value = [](const char* name) {
      const char* text = std::getenv(name);
      return std::string_view(text == nullptr ? "" : text);
    };
    return strings::LanguageFromLocale(value("LC_ALL"), value("LC_MESSAGES"), value("LANG"));
  });
}

std::shared_ptr<const Platform> DefaultPlatform() {
  static const std::shared_ptr<const Platform> instance = [] {
    auto p = std::make_shared<Platform>();
    p->files = MakePosixFileSystem();
    p->clock = MakeLocaleClock("");
    p->error_line = ThreadErrorLine();
    p->environment = std::make_shared<PosixEnvironment>();
    p->registry = MakeSqliteRegistry();
    p->resources = MakePosixResources();
    p->printer = MakePosixPrinter();
    p->shell = MakeXdgShell();
    p->crashes = MakePosixCrashes();
    // The desktop's windows when there is a display, the terminal's otherwise (and whenever
    // the desktop's cannot be shown).
    const terminal::TerminalUi text_forms = terminal::MakeTerminalUi();
    const desktop::DesktopUi windows =
        desktop::MakeDesktopUi({}, text_forms.message_box, text_forms.report_window,
                               text_forms.clipboard);
    p->message_box = windows.message_box;
    p->report_window = windows.report_window;
    p->clipboard = windows.clipboard;
    p->path_separator.assign(1, u'/');  // (a literal here trips a false -Wrestrict in GCC 12)
    return p;
  }();
  return instance;
}

}  // namespace cobaltmoth::platform
