#include "tracing/stack_log_writer.hpp"

namespace cobaltmoth::tracing {

void StackLogWriter::Attach(platform::TextStream* stream) {
  stream_ = stream;
  room_ = stream != nullptr ? stream->Room() : nullptr;
  const platform::TextEncoder* encoder = stream != nullptr ? &stream->Encoder() : nullptr;
  if (encoder == encoder_) return;
  encoder_ = encoder;
  indent_.clear();
  if (encoder == nullptr) return;
  encoder->Append(u"|  ", indent_);
  unit_ = indent_.size();
  for (std::size_t level = 1; level < kRunLevels; ++level) indent_.append(indent_, 0, unit_);
  indent_.append(platform::LineRoom::kSlack, '\0');
  run_ = std::string_view(indent_).substr(0, kRunLevels * unit_);
}

void StackLogWriter::WritePieces(std::size_t indent, std::string_view rest) {
  pieces_.clear();
  for (; indent > run_.size(); indent -= run_.size()) pieces_.push_back(run_);
  pieces_.push_back(run_.substr(0, indent));
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
  const std::size_t size = out.size();
  out.append(platform::LineRoom::kSlack, '\0');
  return std::string_view(out).substr(0, size);
}

void StackLogWriter::WriteText(std::int32_t depth, StackLogLineKind kind,
                               std::u16string_view module_name, std::u16string_view proc_name) {
  WriteLine(depth, Encode(kind, module_name, proc_name, 0, line_));
}

void StackLogWriter::MakeLines(StackRecord& entry) {
  const std::int32_t line_number = entry.CalledByLineNumber();
  const std::string_view enter = Encode(StackLogLineKind::Enter, entry.ModuleName(),
                                        entry.ProcName(), line_number, line_);
  const std::string_view exit = Encode(StackLogLineKind::Exit, entry.ModuleName(),
                                       entry.ProcName(), line_number, exit_line_);
  entry.KeepLines(encoder_, enter, exit);
}

}  // namespace cobaltmoth::tracing
