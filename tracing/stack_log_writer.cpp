#include "tracing/stack_log_writer.hpp"

namespace cobaltmoth::tracing {

void StackLogWriter::Attach(platform::TextStream* stream) {
  stream_ = stream;
  room_ = stream != nullptr ? stream->Room() : nullptr;
  const platform::TextEncoder* encoder = stream != nullptr ? &stream->Encoder() : nullptr;
  if (encoder == encoder_) return;
  encoder_ = encoder;
  run_.clear();
  if (encoder == nullptr) return;
  std::string level;
  encoder->Append(u"|  ", level);
  unit_ = level.size();
  for (std::size_t i = 0; i < kRunLevels; ++i) run_ += level;
}

void StackLogWriter::WriteSlowly(std::int32_t depth, StackLogLineKind kind,
                                 StackRecord& entry) {
  if (kind == StackLogLineKind::ExitNotFound) {
    return WriteText(depth, kind, entry.ModuleName(), entry.ProcName());
  }
  if (!entry.GetLines(encoder_)) MakeLines(depth, entry);
  const std::size_t levels = Levels(depth);
  WriteLine(levels > kRunLevels ? (levels - kRunLevels) * unit_ : 0,
            kind == StackLogLineKind::Enter ? entry.EnterLine() : entry.ExitLine());
}

void StackLogWriter::WriteLine(std::size_t indent, std::string_view rest) {
  const std::size_t bytes = indent + rest.size();
  char* next = room_ != nullptr ? room_->Place(bytes) : nullptr;
  if (next == nullptr) return WritePieces(indent, rest);
  const std::string_view run = run_;
  for (; indent > run.size(); indent -= run.size()) next = Copy(next, run);
  Copy(Copy(next, run.substr(0, indent)), rest);
  room_->Publish(bytes);
}

void StackLogWriter::WritePieces(std::size_t indent, std::string_view rest) {
  pieces_.clear();
  const std::string_view run = run_;
  for (; indent > run.size(); indent -= run.size()) pieces_.push_back(run);
  pieces_.push_back(run.substr(0, indent));
  pieces_.push_back(rest);
  stream_->WriteEncodedLine(pieces_);
}

std::string_view StackLogWriter::Encode(StackLogLineKind kind, std::u16string_view module_name,
                                        std::u16string_view proc_name,
                                        std::int32_t line_number, std::string& out) {
  text_.clear();
  AppendTraceLine(text_, 1, kind, module_name, proc_name, line_number);  // no indent
  text_ += u"\r\n";
  out.clear();
  encoder_->Append(text_, out);
  return out;
}

void StackLogWriter::WriteText(std::int32_t depth, StackLogLineKind kind,
                               std::u16string_view module_name, std::u16string_view proc_name) {
  WriteLine(Levels(depth) * unit_, Encode(kind, module_name, proc_name, 0, line_));
}

void StackLogWriter::MakeLines(std::int32_t depth, StackRecord& entry) {
  const std::string_view indent = std::string_view(run_).substr(0, Levels(depth) * unit_);
  const std::int32_t line_number = entry.CalledByLineNumber();
  for (const StackLogLineKind kind : {StackLogLineKind::Enter, StackLogLineKind::Exit}) {
    std::string& line = kind == StackLogLineKind::Enter ? enter_line_ : exit_line_;
    Encode(kind, entry.ModuleName(), entry.ProcName(), line_number, line_);
    line.assign(indent);
    line += line_;
  }
  entry.KeepLines(encoder_, enter_line_, exit_line_);
}

}  // namespace cobaltmoth::tracing
