// The library's default platform on a POSIX system: the one place that knows which
// implementation each port has (the POSIX backend's, the resources compiled into the library,
// the calling thread's error line).
#include "component/default_platform.hpp"

#include <cstdlib>
#include <string_view>

#include "component/resources/compiled_resources.hpp"
#include "component/resources/string_table.hpp"
#include "platform/common/error_line.hpp"
#include "platform/common/outbox.hpp"
#include "platform/posix/crash/crash_catcher.hpp"
#include "platform/posix/desktop/desktop_ui.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/settings/sqlite_registry.hpp"
#include "platform/posix/shell/printer.hpp"
#include "platform/posix/shell/xdg_shell.hpp"
#include "platform/posix/terminal/terminal_ui.hpp"

namespace cobaltmoth::component {
namespace {

// The compiled-in resources in the user's language, as LC_ALL, LC_MESSAGES and LANG give it
// at each call.
std::shared_ptr<platform::Resources> UserLanguageResources() {
  return resources::CompiledInResources([] {
    const auto value = [](const char* name) {
      const char* text = std::getenv(name);
      return std::string_view(text == nullptr ? "" : text);
    };
    return resources::LanguageFromLocale(value("LC_ALL"), value("LC_MESSAGES"), value("LANG"));
  });
}

}  // namespace

std::shared_ptr<const platform::Platform> MakeDefaultPlatform() {
  namespace posix = platform::posix;
  auto p = std::make_shared<platform::Platform>();
  p->files = posix::MakePosixFileSystem();
  p->clock = posix::MakeLocaleClock("");
  p->error_line = platform::common::ThreadErrorLine();
  p->environment = posix::MakePosixEnvironment();
  p->registry = posix::settings::MakeSqliteRegistry();
  p->resources = UserLanguageResources();
  p->printer = posix::shell::MakePosixPrinter();
  p->shell = posix::shell::MakeXdgShell();
  p->crashes = posix::crash::MakePosixCrashes();
  p->outbox = std::make_shared<platform::common::FolderOutbox>(posix::MakePosixOutboxFolder());
  p->transport = posix::MakePosixTransport();
  // The desktop's windows when there is a display, the terminal's otherwise (and whenever the
  // desktop's cannot be shown).
  const posix::terminal::TerminalUi text_forms = posix::terminal::MakeTerminalUi();
  const posix::desktop::DesktopUi windows = posix::desktop::MakeDesktopUi(
      {}, text_forms.message_box, text_forms.report_window, text_forms.clipboard);
  p->message_box = windows.message_box;
  p->report_window = windows.report_window;
  p->clipboard = windows.clipboard;
  p->path_separator.assign(1, u'/');  // (a literal here trips a false -Wrestrict in GCC 12)
  return p;
}

}  // namespace cobaltmoth::component
