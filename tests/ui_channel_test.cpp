// The messages between the library and cobaltmoth-ui: frames cut from any split of the byte
// stream, the report window's model across the wire, and what a broken peer looks like.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/posix/desktop/ui_channel.hpp"

namespace cobaltmoth {
namespace {

namespace channel = platform::ui_channel;

channel::ReportWindowModel SampleModel() {
  channel::ReportWindowModel model;
  model.title = "R&D @home #1? - Unexpected error";
  model.width = 9225;
  model.height = 6795;
  model.icon_width = 2;
  model.icon_height = 1;
  model.icon_rgba = std::string("\x00\x01\x02\xff\x10\x20\x30\x00", 8);
  channel::WindowControl text;
  text.name = "txtError";
  text.kind = channel::WindowControl::kTextBox;
  text.left = 60;
  text.top = 720;
  text.width = 9135;
  text.height = 4395;
  text.tab_index = 0;
  text.caption = std::string("line 1\r\n\0binary\xC3\xA9", 17);
  channel::WindowControl close;
  close.name = "cmdReport";
  close.index = 3;
  close.kind = channel::WindowControl::kButton;
  close.tab_index = 10;
  close.caption = "Close";
  close.is_cancel = true;
  channel::WindowControl label;
  label.name = "SupportFax";
  label.caption = "";
  label.auto_size = true;
  label.word_wrap = true;
  label.is_default = true;
  model.controls = {text, close, label};
  return model;
}

bool SameControl(const channel::WindowControl& a, const channel::WindowControl& b) {
  return a.name == b.name && a.index == b.index && a.kind == b.kind && a.left == b.left &&
         a.top == b.top && a.width == b.width && a.height == b.height &&
         a.tab_index == b.tab_index && a.caption == b.caption && a.auto_size == b.auto_size &&
         a.word_wrap == b.word_wrap && a.is_default == b.is_default &&
         a.is_cancel == b.is_cancel;
}

TEST(UiChannel, MessagesSurviveEverySplitOfTheStream) {
  const channel::Message first{"CLICK", {"2", std::string("a\0b", 3), ""}};
  const channel::Message second{"ALIVE", {}};
  const std::string bytes = channel::Encode(first) + channel::Encode(second);
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    channel::Decoder decoder;
    decoder.Feed(bytes.data(), cut);
    std::vector<channel::Message> got;
    while (auto m = decoder.Next()) got.push_back(*m);
    decoder.Feed(bytes.data() + cut, bytes.size() - cut);
    while (auto m = decoder.Next()) got.push_back(*m);
    ASSERT_EQ(got.size(), 2u) << "cut at " << cut;
    EXPECT_EQ(got[0].kind, "CLICK");
    EXPECT_EQ(got[0].fields, first.fields);
    EXPECT_EQ(got[1].kind, "ALIVE");
    EXPECT_TRUE(got[1].fields.empty());
    EXPECT_FALSE(decoder.Broken());
  }
}

TEST(UiChannel, AFrameIsItsLittleEndianLengthAndLengthPrefixedFields) {
  EXPECT_EQ(channel::Encode({"DONE", {"x"}}),
            std::string("\x0d\x00\x00\x00"
                        "\x04\x00\x00\x00"
                        "DONE"
                        "\x01\x00\x00\x00"
                        "x",
                        17));
}

TEST(UiChannel, MalformedFramesBreakTheDecoderForGood) {
  const std::string too_big("\xff\xff\xff\x7f", 4);
  const std::string field_past_end("\x08\x00\x00\x00\x09\x00\x00\x00" "ABCD", 12);
  const std::string short_length("\x06\x00\x00\x00\x01\x00\x00\x00X\x00", 10);
  for (const std::string& bad : {too_big, field_past_end, short_length}) {
    channel::Decoder decoder;
    decoder.Feed(bad.data(), bad.size());
    EXPECT_FALSE(decoder.Next().has_value());
    EXPECT_TRUE(decoder.Broken());
    const std::string good = channel::Encode({"ALIVE", {}});
    decoder.Feed(good.data(), good.size());
    EXPECT_FALSE(decoder.Next().has_value());
  }
}

TEST(UiChannel, TheReportWindowCrossesTheWireWhole) {
  const channel::ReportWindowModel model = SampleModel();
  channel::ReportWindowModel back;
  ASSERT_TRUE(channel::DecodeReport(channel::EncodeReport(model), &back));
  EXPECT_EQ(back.title, model.title);
  EXPECT_EQ(back.width, 9225);
  EXPECT_EQ(back.height, 6795);
  EXPECT_EQ(back.twips_per_pixel, 15);
  EXPECT_EQ(back.icon_rgba, model.icon_rgba);
  ASSERT_EQ(back.controls.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(SameControl(back.controls[i], model.controls[i])) << i;
  }
}

TEST(UiChannel, AReportThatDoesNotAddUpIsRefused) {
  channel::ReportWindowModel ignored;
  const channel::Message good = channel::EncodeReport(SampleModel());
  const auto with = [&](std::size_t field, std::string value) {
    channel::Message changed = good;
    changed.fields[field] = std::move(value);
    return channel::DecodeReport(changed, &ignored);
  };
  EXPECT_FALSE(with(7, "4")) << "more controls announced than sent";
  EXPECT_FALSE(with(7, "-1"));
  EXPECT_FALSE(with(1, "9225x")) << "a width that is no number";
  EXPECT_FALSE(with(3, "0")) << "no twips per pixel";
  EXPECT_FALSE(with(6, "short")) << "an icon of the wrong size";
  EXPECT_FALSE(with(8 + 1, "4")) << "a control kind that does not exist";
  EXPECT_FALSE(with(8 + 9, "yes")) << "a flag that is neither 0 nor 1";
  EXPECT_FALSE(with(2, "99999999999")) << "a number past 32 bits";
  channel::Message other = good;
  other.kind = "MSGBOX";
  EXPECT_FALSE(channel::DecodeReport(other, &ignored));
  EXPECT_TRUE(channel::DecodeReport(good, &ignored));
}

TEST(UiChannel, APeerThatGoesAwayIsSeenAndNeverKillsTheSender) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  channel::Decoder decoder;
  channel::Message message;
  EXPECT_EQ(channel::ReceiveMessage(ends[0], decoder, 50, &message), channel::Receive::kTimeout);

  std::thread peer([fd = ends[1]] {
    channel::Send(fd, {"SHOWN", {}});
    ::close(fd);
  });
  EXPECT_EQ(channel::ReceiveMessage(ends[0], decoder, 5000, &message),
            channel::Receive::kMessage);
  EXPECT_EQ(message.kind, "SHOWN");
  EXPECT_EQ(channel::ReceiveMessage(ends[0], decoder, 5000, &message), channel::Receive::kClosed);
  peer.join();
  // Writing to the closed peer fails instead of raising SIGPIPE in the host.
  EXPECT_FALSE(channel::Send(ends[0], {"DONE", {std::string(1 << 20, 'x')}}));
  ::close(ends[0]);
}

}  // namespace
}  // namespace cobaltmoth
