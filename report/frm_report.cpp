#include "report/frm_report.hpp"

#include <exception>
#include <utility>

#include "platform/resources.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::report {
namespace {

using platform::WindowControl;
using Kind = WindowControl::Kind;

WindowControl Make(std::u16string name, std::int32_t index, Kind kind, std::int32_t left,
             std::int32_t top, std::int32_t width, std::int32_t height, std::int32_t tab_index,
             std::u16string tag, std::u16string caption) {
  WindowControl c;
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
std::vector<WindowControl> DesignControls() {
  std::vector<WindowControl> c;
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
    : platform_(std::move(platform)) {
  model_.title = u"Form1";
  model_.width = kClientWidthTwips;
  model_.height = kClientHeightTwips;
  model_.twips_per_pixel = kTwipsPerPixel;
  model_.controls = DesignControls();
}

void frmReport::Text(std::u16string_view text) { model_.Find(u"txtError")->caption.assign(text); }
void frmReport::SupportFax(std::u16string_view text) {
  model_.Find(u"SupportFax")->caption.assign(text);
}
void frmReport::SupportMail(std::u16string_view text) {
  model_.Find(u"SupportMail")->caption.assign(text);
}

void frmReport::Form_Load() {
  for (WindowControl& c : model_.controls) {
    std::int16_t id = 0;
    if (NumericTag(c.tag, &id)) c.caption = platform_->resources->LoadResString(id);
  }
  const platform::Icon icon = platform_->resources->LoadResIcon(platform::kIconId);
  model_.picture.width = icon.width;
  model_.picture.height = icon.height;
  model_.picture.rgba.assign(icon.rgba.begin(), icon.rgba.end());
  model_.picture.ico.assign(icon.ico.begin(), icon.ico.end());
}

void frmReport::ShowModal() {
  unloaded_ = false;
  const std::unique_ptr<platform::ShownReportWindow> window =
      platform_->report_window->Show(model_);
  shown_ = window.get();
  try {
    while (!unloaded_) {
      platform::Click click = window->WaitForClick();
      if (click.text != Text()) Text(click.text);
      if (click.button == platform::Click::kCloseBox) {
        Unload();
      } else if (click.button >= INT16_MIN && click.button <= INT16_MAX) {
        cmdReport_Click(static_cast<std::int16_t>(click.button));
      }
    }
  } catch (...) {
    shown_ = nullptr;
    throw;
  }
  shown_ = nullptr;
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

void frmReport::MsgBox(std::u16string_view prompt, std::int32_t style) {
  if (shown_ != nullptr) {
    shown_->ShowMessage(prompt, style, u"");
  } else {
    platform_->message_box->Show(prompt, style, u"");
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
    failure = runtime::FromUtf8(error.what());
  } catch (...) {
    failure = u"Unexpected failure";
  }
  try {
    MsgBox(failure, platform::kExclamation);
  } catch (...) {
    // Nowhere left to tell the user; the window stays and the host goes on.
  }
}

void frmReport::CopyToClipboard() {
  const std::u16string kept_in = platform_->clipboard->SetText(Text());
  if (kept_in.empty()) {
    MsgBox(platform_->resources->LoadResString(platform::kClipboardConfirmationId),
           platform::kOkOnly);
    return;
  }
  // No clipboard here: the text went to a file, and the user is told where instead.
  std::u16string note = platform_->resources->LoadResString(platform::kKeptInFileId);
  const std::size_t at = note.find(u"%1");
  if (at != std::u16string::npos) note.replace(at, 2, kept_in);
  MsgBox(note, platform::kOkOnly);
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
    MsgBox(u"Unable to find Mail program", platform::kOkOnly);
    return;
  }
  std::u16string subject;
  for (const char16_t unit : u"[Bug Report] Application " + Caption()) {
    if (unit == u' ') {
      subject += u"%20";
    } else {
      subject += unit;
    }
  }
  std::u16string parameters = u"mailto:";
  parameters += platform_->resources->LoadResString(platform::kSupportMailId);
  parameters += u"?subject=";
  parameters += subject;
  shell.ShellExecute(u"open", program, parameters, 1);
}

}  // namespace cobaltmoth::report
