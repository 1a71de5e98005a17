// The log files of the POSIX backend: single-byte text appended through a descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "component/base/host_error.hpp"
#include "component/base/text.hpp"
#include "platform/posix/fd.hpp"
#include "platform/posix/posix_platform.hpp"

namespace cobaltmoth::platform {
namespace {

using posix::RaisePosixError;
using posix::UniqueFd;

class PosixTextStream final : public TextStream {
 public:
  explicit PosixTextStream(UniqueFd fd) : fd_(std::move(fd)) {}

  void Write(std::u16string_view text) override {
    bytes_.clear();
    text::AppendWindows1252(text, bytes_);
    WriteBytes();
  }

  void WriteLine(std::u16string_view text) override {
    bytes_.clear();
    text::AppendWindows1252(text, bytes_);
    bytes_ += "\r\n";
    WriteBytes();
  }

  void WriteBlankLines(int count) override {
    bytes_.clear();
    for (int i = 0; i < count; ++i) bytes_ += "\r\n";
    WriteBytes();
  }

  void Close() override {
    if (fd_.Get() < 0) return;
    if (::close(fd_.Release()) != 0 && errno != EINTR) RaisePosixError(errno);
  }

 private:
  // Hands every byte to the kernel before returning: no buffer of ours can be lost.
  void WriteBytes() {
    if (fd_.Get() < 0) host::RaiseRuntime(host::kBadFileNameOrNumber);
    const char* data = bytes_.data();
    std::size_t left = bytes_.size();
    while (left > 0) {
      const ssize_t written = ::write(fd_.Get(), data, left);
      if (written < 0) {
        if (errno == EINTR) continue;
        RaisePosixError(errno);
      }
      data += written;
      left -= static_cast<std::size_t>(written);
    }
  }

  UniqueFd fd_;
  std::string bytes_;  // reused between lines
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<TextStream> OpenTextFileForAppending(std::u16string_view path) override {
    const std::string name = text::ToUtf8(path);
    if (name.empty() || name.find('\0') != std::string::npos) {
      host::RaiseRuntime(host::kBadFileNameOrNumber);
    }
    int fd;
    do {
      fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) RaisePosixError(errno);
    return std::make_unique<PosixTextStream>(UniqueFd(fd));
  }
};

}  // namespace

std::shared_ptr<FileSystem> MakePosixFileSystem() { return std::make_shared<PosixFileSystem>(); }

}  // namespace cobaltmoth::platform
