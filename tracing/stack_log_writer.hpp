// tracing/stack_log_writer.hpp - StackLogWriter, the stack log's lines as bytes of its stream.
//
// Each text is encoded once by the stream's encoder: the indent when the stream is attached
// (a run of kRunLevels levels of "|  "), an entry's line and its exit's line when its record
// first needs them (the record keeps them while it holds the same names, see StackRecord; a
// record is always at the same depth, so its lines hold their indent, up to kRunLevels levels,
// and a deeper line has the rest of its indent put in front). A line is then copied straight
// into the memory the stream lends (LineRoom) and published with one store, or else handed to
// the stream's WriteEncodedLine. The bytes are those the stream would write for its text.
//
// Thread-safety: none; the writer belongs to its tracer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"
#include "tracing/stack_log_format.hpp"
#include "tracing/stack_record.hpp"

namespace cobaltmoth::tracing {

class StackLogWriter {
 public:
  // Writes to `stream` (none: to nothing) from now on.
  void Attach(platform::TextStream* stream);

  // Writes the line of an entry, of its exit or of an exit never reported (ExitNotFound), at
  // stack depth `depth`. File errors are raised.
  void Write(std::int32_t depth, StackLogLineKind kind, StackRecord& entry) {
    if (kind == StackLogLineKind::ExitNotFound || Levels(depth) > kRunLevels ||
        !entry.HasLines(encoder_)) [[unlikely]] {
      return WriteSlowly(depth, kind, entry);
    }
    const std::string_view line =
        kind == StackLogLineKind::Enter ? entry.EnterLine() : entry.ExitLine();
    char* const at = room_ != nullptr ? room_->Place(line.size()) : nullptr;
    if (at == nullptr) [[unlikely]] return WritePieces(0, line);
    Copy(at, line);
    room_->Publish(line.size());
  }

  // The levels of indent of a line at stack depth `depth`: one less.
  static std::size_t Levels(std::int32_t depth) noexcept {
    return depth > 1 ? static_cast<std::size_t>(depth - 1) : 0;
  }

  // Writes a comment's line at stack depth `depth`.
  void WriteComment(std::int32_t depth, std::u16string_view comment) {
    WriteText(depth, StackLogLineKind::Comment, comment, {});
  }

 private:
  // The levels of indent a run holds.
  static constexpr std::size_t kRunLevels = 32;

  // Copies `piece` to `to` with no call: blocks of 32 bytes while more than 64 are left, then
  // two blocks of the size's own class (32, 16, 8 or 4 bytes), the second ending where the
  // piece ends.
  static char* Copy(char* to, std::string_view piece) noexcept {
    const char* from = piece.data();
    std::size_t n = piece.size();
    char* const end = to + n;
    for (; n > 64; n -= 32, to += 32, from += 32) std::memcpy(to, from, 32);
    if (n >= 32) {
      Both<32>(to, from, n);
    } else if (n >= 16) {
      Both<16>(to, from, n);
    } else if (n >= 8) {
      Both<8>(to, from, n);
    } else if (n >= 4) {
      Both<4>(to, from, n);
    } else {
      for (std::size_t at = 0; at < n; ++at) to[at] = from[at];
    }
    return end;
  }
  // The first and the last `size` bytes of `n` (from size to 2 * size), from a line that the
  // place it goes to never overlaps.
  template <std::size_t size>
  static void Both(char* __restrict to, const char* __restrict from, std::size_t n) noexcept {
    std::memcpy(to, from, size);
    std::memcpy(to + n - size, from + n - size, size);
  }

  void WriteSlowly(std::int32_t depth, StackLogLineKind kind, StackRecord& entry);
  void WriteLine(std::size_t indent, std::string_view rest);
  void WritePieces(std::size_t indent, std::string_view rest);
  void WriteText(std::int32_t depth, StackLogLineKind kind, std::u16string_view module_name,
                 std::u16string_view proc_name);
  void MakeLines(std::int32_t depth, StackRecord& entry);
  // The bytes of the line of `kind` after its indent, CR LF included.
  std::string_view Encode(StackLogLineKind kind, std::u16string_view module_name,
                          std::u16string_view proc_name, std::int32_t line_number,
                          std::string& out);

  platform::TextStream* stream_ = nullptr;
  platform::LineRoom* room_ = nullptr;
  const platform::TextEncoder* encoder_ = nullptr;
  std::size_t unit_ = 0;  // the bytes of one level of indent
  std::string run_;       // kRunLevels levels of indent
  std::u16string text_;   // reused for the text of every line encoded
  std::string line_;      // and for its bytes
  std::string enter_line_;
  std::string exit_line_;
  std::vector<std::string_view> pieces_;
};

}  // namespace cobaltmoth::tracing
