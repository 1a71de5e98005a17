#include "report/frm_report.hpp"

#include <exception>
#include <utility>

#include "component/base/host_error.hpp"
#include "component/base/text.hpp"
#include "platform/ui.hpp"

namespace cobaltmoth::report {
namespace {

using Kind = Control::Kind;

constexpr std::int16_t kIconId = 101;
constexpr std::int16_t kClipboardConfirmationId = 1003;
constexpr std::int16_t kSupportMailId = 1002;

Control Make(std::u16string name, std::int32_t index, Kind kind, std::int32_t left,
             std::int32_t top, std::int32_t width, std::int32_t height, std::int32_t tab_index,
             std::u16string tag, std::u16string caption) {
  Control c;
  c.name = std::move(name);
  c.index = index;
  c.kind = kind;
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  c.tab_index = tab_index;
  c.tag = std::move(tag);
  c.caption = std::move(caption);
  return c;
}

// The window as designed, in its collection order: top to bottom, then left to right.
std::vector<Control> DesignControls() {
  std::vector<Control> c;
  c.push_back(Make(u"Image1", -1, Kind::kImage, 120, 120, 480, 480, -1, u"", u""));
  c.push_back(Make(u"Label1", 0, Kind::kLabel, 780, 120, 8355, 495, 2, u"101", u"Label1"));
  c.back().word_wrap = true;
  c.push_back(Make(u"txtError", -1, Kind::kTextBox, 60, 720, 9135, 4395, 0, u"", u""));
  c.push_back(Make(u"Label1", 1, Kind::kLabel, 60, 5280, 9075, 195, 3, u"102", u"Label1"));
  c.push_back(Make(u"Label1", 2, Kind::kLabel, 60, 5580, 480, 195, 4, u"103", u"Label1"));
  c.back().auto_size = true;
  c.push_back(Make(u"SupportFax", -1, Kind::kLabel, 1560, 5580, 480, 195, 6, u"", u"Label2"));
  c.back().auto_size = true;
  c.push_back(Make(u"Label1", 3, Kind::kLabel, 60, 5880, 480, 195, 5, u"104", u"Label1"));
  c.back().auto_size = true;
  c.push_back(Make(u"SupportMail", -1, Kind::kLabel, 1560, 5880, 480, 195, 7, u"", u"Label2"));
  c.back().auto_size = true;
  c.push_back(Make(u"cmdReport", 0, Kind::kButton, 2160, 6240, 1335, 495, 1, u"201",
                   u"Copy to Clipboard"));
  c.push_back(Make(u"cmdReport", 1, Kind::kButton, 3600, 6240, 1335, 495, 8, u"202",
                   u"Print Report"));
  c.push_back(Make(u"cmdReport", 2, Kind::kButton, 5040, 6240, 1335, 495, 9, u"203",
                   u"Send E-Mail"));
  c.back().is_default = true;
  c.push_back(Make(u"cmdReport", 3, Kind::kButton, 7800, 6240, 1335, 495, 10, u"299", u"Close"));
  c.back().is_cancel = true;
  return c;
}

// A tag that names a string: an optional sign and decimal digits, within the 16-bit range.
bool NumericTag(std::u16string_view tag, std::int16_t* id) {
  std::size_t i = (!tag.empty() && (tag[0] == u'-' || tag[0] == u'+')) ? 1 : 0;
  if (i == tag.size()) return false;
  std::int32_t value = 0;
  for (; i < tag.size(); ++i) {
    if (tag[i] < u'0' || tag[i] > u'9') return false;
    value = value * 10 + (tag[i] - u'0');
    if (value > 32768) return false;
  }
  if (tag[0] == u'-') value = -value;
  if (value > 32767) return false;
  *id = static_cast<std::int16_t>(value);
  return true;
}

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && text.front() == u' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == u' ') text.remove_suffix(1);
  return text;
}

}  // namespace

frmReport::frmReport(std::shared_ptr<const platform::Platform> platform)
    : platform_(std::move(platform)), controls_(DesignControls()) {}

Control* frmReport::Find(std::u16string_view name, std::int32_t index) {
  for (Control& c : controls_) {
    if (c.name == name && c.index == index) return &c;
  }
  return nullptr;
}

const std::u16string& frmReport::Text() const {
  for (const Control& c : controls_) {
    if (c.kind == Kind::kTextBox) return c.caption;
  }
  static const std::u16string kNone;
  return kNone;
}

void frmReport::Text(std::u16string_view text) { Find(u"txtError")->caption.assign(text); }
void frmReport::SupportFax(std::u16string_view text) { Find(u"SupportFax")->caption.assign(text); }
void frmReport::SupportMail(std::u16string_view text) {
  Find(u"SupportMail")->caption.assign(text);
}

void frmReport::Form_Load() {
  for (Control& c : controls_) {
    std::int16_t id = 0;
    if (NumericTag(c.tag, &id)) c.caption = platform_->resources->LoadResString(id);
  }
  image1_ = std::make_unique<platform::Icon>(platform_->resources->LoadResIcon(kIconId));
  icon_ = std::make_unique<platform::Icon>(platform_->resources->LoadResIcon(kIconId));
}

void frmReport::cmdReport_Click(std::int16_t index) {
  switch (index) {
    case kCopy:
      Guarded([this] { CopyToClipboard(); });
      break;
    case kPrint:
      Guarded([this] { PrintReport(); });
      break;
    case kSendMail:
      Guarded([this] { SendMail(); });
      break;
    case kClose:
      Unload();
      break;
    default:
      break;  // no such button
  }
}

template <typename Action>
void frmReport::Guarded(Action action) {
  std::u16string failure;
  try {
    action();
    return;
  } catch (const Error& error) {
    failure = error.Description();
  } catch (const std::exception& error) {
    failure = text::FromUtf8(error.what());
  } catch (...) {
    failure = u"Unexpected failure";
  }
  try {
    platform_->message_box->Show(failure, platform::kExclamation, u"");
  } catch (...) {
    // Nowhere left to tell the user; the window stays and the host goes on.
  }
}

void frmReport::CopyToClipboard() {
  platform_->clipboard->SetText(Text());
  platform_->message_box->Show(platform_->resources->LoadResString(kClipboardConfirmationId),
                               platform::kOkOnly, u"");
}

void frmReport::PrintReport() { platform_->printer->PrintDocument(Text(), u"Courier", 12.0); }

void frmReport::SendMail() {
  platform::Shell& shell = *platform_->shell;
  const std::u16string probe = shell.CreateHtmProbe();
  std::u16string found;
  std::int32_t code = 0;
  try {
    code = shell.FindExecutable(probe, &found);
  } catch (...) {
    shell.DeleteHtmProbe(probe);
    throw;
  }
  shell.DeleteHtmProbe(probe);
  const std::u16string_view program = Trim(found);
  if (code <= 32 || program.empty()) {
    platform_->message_box->Show(u"Unable to find Mail program", platform::kOkOnly, u"");
    return;
  }
  std::u16string subject;
  for (const char16_t unit : u"[Bug Report] Application " + caption_) {
    if (unit == u' ') {
      subject += u"%20";
    } else {
      subject += unit;
    }
  }
  std::u16string parameters = u"mailto:";
  parameters += platform_->resources->LoadResString(kSupportMailId);
  parameters += u"?subject=";
  parameters += subject;
  shell.ShellExecute(u"open", program, parameters, 1);
}

}  // namespace cobaltmoth::report
