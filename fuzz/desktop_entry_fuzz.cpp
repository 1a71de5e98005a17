// fuzz/desktop_entry_fuzz.cpp - the desktop's key files (mimeapps.list, ".desktop" entries) and
// their Exec values, as anyone who can write to the user's folders could make them.
//
// The input's last byte is the length of the parameter text at its start (FuzzedDataProvider
// takes numbers from the back, bytes from the front); the rest is the file. Every visited key
// and value must be a trimmed piece of one line, the key without "=" and the group without "]". Every value is also read as an Exec value: when it is
// not refused, it names a program, and without any "%" the parameter text comes last, whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/shell/xdg_shell.hpp"

namespace xdg = cobaltmoth::platform::xdg;

namespace {

// Without blanks at its start, nor blanks or a CR at its end.
bool Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return text.empty() || (!blank(text.front()) && !blank(text.back()) && text.back() != '\r');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string argument = input.ConsumeBytesAsString(input.ConsumeIntegral<std::uint8_t>());
  const std::string contents = input.ConsumeRemainingBytesAsString();
  xdg::ForEachKey(contents, [&](std::string_view group, std::string_view key,
                                std::string_view value) {
    if (group.find_first_of("\n]") != std::string_view::npos ||
        key.find_first_of("\n=") != std::string_view::npos ||
        value.find('\n') != std::string_view::npos || !Trimmed(key) || !Trimmed(value)) {
      std::abort();
    }
    const auto words = xdg::ExecArguments(value, argument);
    if (words && (words->empty() || words->front().empty())) std::abort();
    if (words && value.find('%') == std::string_view::npos && words->back() != argument) {
      std::abort();
    }
  });
  return 0;
}
