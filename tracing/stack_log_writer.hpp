// tracing/stack_log_writer.hpp - StackLogWriter, the stack log's lines as bytes of its stream.
//
// Each text is encoded once by the stream's encoder: the indent when the stream is attached
// (a run of "|  "), an entry's line and its exit's line after their indent when its record
// first needs them (the record keeps them while it holds the same names, see StackRecord).
// A line is then two runs of bytes, its indent and the rest, copied straight into the memory
// the stream lends (LineRoom) and published with one store, or else handed to the stream's
// WriteEncodedLine. The bytes are those the stream would write for the line's text.
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
    if (kind == StackLogLineKind::ExitNotFound) [[unlikely]] {
      return WriteText(depth, kind, entry.ModuleName(), entry.ProcName());
    }
    if (!entry.HasLines(encoder_)) [[unlikely]] MakeLines(entry);
    WriteLine(depth, kind == StackLogLineKind::Enter ? entry.EnterLine() : entry.ExitLine());
  }

  // Writes a comment's line at stack depth `depth`.
  void WriteComment(std::int32_t depth, std::u16string_view comment) {
    WriteText(depth, StackLogLineKind::Comment, comment, {});
  }

 private:
  // The levels of indent a run holds.
  static constexpr std::size_t kRunLevels = 32;

  // Copies `piece` to `to` in blocks of LineRoom::kSlack bytes: up to a block past its end is
  // read and written, which the next piece, or the line's slack, overwrites.
  static char* Copy(char* to, std::string_view piece) noexcept {
    std::size_t at = 0;
    do {
      std::memcpy(to + at, piece.data() + at, platform::LineRoom::kSlack);
      at += platform::LineRoom::kSlack;
    } while (at < piece.size());
    return to + piece.size();
  }

  // Writes the indent of `depth` and `rest`, which has LineRoom::kSlack bytes readable after
  // it.
  void WriteLine(std::int32_t depth, std::string_view rest) {
    std::size_t indent = depth > 1 ? static_cast<std::size_t>(depth - 1) * unit_ : 0;
    const std::size_t bytes = indent + rest.size();
    char* next = room_ != nullptr ? room_->Place(bytes) : nullptr;
    if (next == nullptr) [[unlikely]] return WritePieces(indent, rest);
    for (; indent > run_.size(); indent -= run_.size()) next = Copy(next, run_);
    Copy(Copy(next, run_.substr(0, indent)), rest);
    room_->Publish(bytes);
  }

  void WritePieces(std::size_t indent, std::string_view rest);
  void WriteText(std::int32_t depth, StackLogLineKind kind, std::u16string_view module_name,
                 std::u16string_view proc_name);
  void MakeLines(StackRecord& entry);
  // The bytes of the line of `kind` after its indent, CR LF included, with kSlack zeros after.
  std::string_view Encode(StackLogLineKind kind, std::u16string_view module_name,
                          std::u16string_view proc_name, std::int32_t line_number,
                          std::string& out);

  platform::TextStream* stream_ = nullptr;
  platform::LineRoom* room_ = nullptr;
  const platform::TextEncoder* encoder_ = nullptr;
  std::size_t unit_ = 0;  // the bytes of one level of indent
  std::string indent_;    // kRunLevels levels of indent, then kSlack zeros
  std::string_view run_;  // the levels in indent_
  std::u16string text_;   // reused for the text of every line encoded
  std::string line_;      // and for its bytes
  std::string exit_line_;
  std::vector<std::string_view> pieces_;
};

}  // namespace cobaltmoth::tracing
