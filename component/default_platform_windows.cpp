// The library's default platform on Windows: the one place that knows which implementation
// each port has (the Windows backend's, icon 101 compiled into the library, the calling
// thread's error line).
#include "component/default_platform.hpp"

#include "component/resources/icon101.hpp"
#include "platform/common/error_line.hpp"
#include "platform/common/outbox.hpp"
#include "platform/windows/windows_platform.hpp"

namespace cobaltmoth::component {

std::shared_ptr<const platform::Platform> MakeDefaultPlatform() {
  namespace windows = platform::windows;
  auto p = std::make_shared<platform::Platform>();
  p->files = windows::MakeWindowsFileSystem();
  p->clock = windows::MakeWindowsClock();
  p->error_line = platform::common::ThreadErrorLine();
  p->environment = windows::MakeWindowsEnvironment();
  p->registry = windows::MakeWindowsRegistry();
  p->resources = windows::MakeWindowsResources(platform::Icon{
      resources::Icon101Ico(), resources::kIcon101Size, resources::kIcon101Size,
      resources::Icon101Rgba()});
  p->message_box = windows::MakeWindowsMessageBox();
  p->report_window = windows::MakeWindowsReportWindow();
  p->clipboard = windows::MakeWindowsClipboard();
  p->printer = windows::MakeWindowsPrinter();
  p->shell = windows::MakeWindowsShell();
  p->crashes = windows::MakeWindowsCrashes();
  p->outbox = std::make_shared<platform::common::FolderOutbox>(windows::MakeWindowsOutboxFolder());
  p->transport = windows::MakeWindowsTransport();
  p->path_separator.assign(1, u'\\');
  return p;
}

}  // namespace cobaltmoth::component
