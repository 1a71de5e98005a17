// tests/fake_ui.hpp - fakes of the message box, report window, clipboard, printer and shell
// that write what happened into one shared journal, so a test can check contents and order.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_platform.hpp"
#include "platform/ui.hpp"
#include "report/frm_report.hpp"

namespace cobaltmoth::testing {

// What the fakes saw, in order, as readable lines.
struct Journal {
  std::vector<std::string> lines;
  void Add(std::string line) { lines.push_back(std::move(line)); }
};

class FakeMessageBox final : public platform::MessageBox {
 public:
  explicit FakeMessageBox(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  std::function<void()> on_show;  // runs while the box is "open"
  void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) override {
    journal_->Add("msgbox " + std::to_string(style) + " [" + U8(title) + "] " + U8(prompt));
    if (on_show) on_show();
  }

 private:
  std::shared_ptr<Journal> journal_;
};

// Shows the form by running `script` on it (the user's edits and clicks), then records it.
class FakeReportWindow final : public platform::ReportWindow {
 public:
  explicit FakeReportWindow(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  std::function<void(report::frmReport&)> script = [](report::frmReport& f) {
    f.cmdReport_Click(report::kClose);
  };
  std::u16string shown_text;  // the text as the window opened with it
  std::u16string shown_caption;
  void ShowModal(report::frmReport& form) override {
    journal_->Add("window [" + U8(form.Caption()) + "]");
    shown_text = form.Text();
    shown_caption = form.Caption();
    script(form);
    journal_->Add(form.Unloaded() ? "window closed" : "window left open");
  }

 private:
  std::shared_ptr<Journal> journal_;
};

class FakeClipboard final : public platform::Clipboard {
 public:
  explicit FakeClipboard(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  std::int32_t fail_with = 0;
  void SetText(std::u16string_view text) override {
    if (fail_with != 0) host::RaiseRuntime(fail_with);
    journal_->Add("clipboard " + U8(text));
  }

 private:
  std::shared_ptr<Journal> journal_;
};

class FakePrinter final : public platform::Printer {
 public:
  explicit FakePrinter(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  std::u16string fail_with;  // the spooler's message, when not empty
  void PrintDocument(std::u16string_view text, std::u16string_view font,
                     double size) override {
    if (!fail_with.empty()) host::Raise(482, u"Cobaltmoth", fail_with);
    journal_->Add("print " + U8(font) + " " + std::to_string(static_cast<int>(size)) + " " +
                  U8(text));
  }

 private:
  std::shared_ptr<Journal> journal_;
};

class FakeShell final : public platform::Shell {
 public:
  explicit FakeShell(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  std::int32_t find_code = 42;
  std::u16string program = u"  /usr/bin/mailer  ";
  void DeleteHtmProbe(std::u16string_view path) override { journal_->Add("delete " + U8(path)); }
  std::u16string CreateHtmProbe() override {
    journal_->Add("probe");
    return u"/private/~mail.htm";
  }
  std::int32_t FindExecutable(std::u16string_view file, std::u16string* found) override {
    journal_->Add("find " + U8(file));
    *found = find_code > 32 ? program : u"";
    return find_code;
  }
  std::int32_t ShellExecute(std::u16string_view operation, std::u16string_view file,
                            std::u16string_view parameters, std::int32_t show) override {
    journal_->Add("execute " + U8(operation) + " [" + U8(file) + "] [" + U8(parameters) + "] " +
                  std::to_string(show));
    return 42;
  }

 private:
  std::shared_ptr<Journal> journal_;
};

// A FakePlatform with every user-interface port faked into one journal.
struct FakeUi {
  explicit FakeUi(FakePlatform& fake)
      : journal(std::make_shared<Journal>()),
        message_box(std::make_shared<FakeMessageBox>(journal)),
        report_window(std::make_shared<FakeReportWindow>(journal)),
        clipboard(std::make_shared<FakeClipboard>(journal)),
        printer(std::make_shared<FakePrinter>(journal)),
        shell(std::make_shared<FakeShell>(journal)) {
    fake.platform->message_box = message_box;
    fake.platform->report_window = report_window;
    fake.platform->clipboard = clipboard;
    fake.platform->printer = printer;
    fake.platform->shell = shell;
  }
  std::shared_ptr<Journal> journal;
  std::shared_ptr<FakeMessageBox> message_box;
  std::shared_ptr<FakeReportWindow> report_window;
  std::shared_ptr<FakeClipboard> clipboard;
  std::shared_ptr<FakePrinter> printer;
  std::shared_ptr<FakeShell> shell;
};

}  // namespace cobaltmoth::testing
