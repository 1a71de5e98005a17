// fuzz/desktop_entry_fuzz.cpp - key files (mimeapps.list, ".desktop" entries) and Exec values as
// anyone who can write to the user's folders could make them: the parameter text (as long as the
// last byte says), then the file. Keys and values: trimmed pieces of one line, a key without "=",
// a group without "]"; an Exec value not refused names a program, and without "%" ends in the text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "platform/posix/shell/xdg_shell.hpp"

namespace xdg = cobaltmoth::platform::posix::shell::xdg;

// Without blanks at its start, nor blanks or a CR at its end.
static bool Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return text.empty() || (!blank(text.front()) && !blank(text.back()) && text.back() != '\r');
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string argument = input.ConsumeBytesAsString(input.ConsumeIntegral<std::uint8_t>());
  const std::string contents = input.ConsumeRemainingBytesAsString();
  xdg::ForEachKey(contents, [&](std::string_view group, std::string_view key,
                                std::string_view value) {
    const auto words = xdg::ExecArguments(value, argument);
    if (group.find_first_of("\n]") != group.npos || key.find_first_of("\n=") != key.npos ||
        value.find('\n') != value.npos || !Trimmed(key) || !Trimmed(value) ||
        (words && (words->empty() || words->front().empty() ||
                   (value.find('%') == value.npos && words->back() != argument)))) {
      std::abort();
    }
  });
  return 0;
}
