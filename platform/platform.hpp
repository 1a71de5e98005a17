// platform/platform.hpp - the one interface between the library and the operating system.
//
// Subsystems reach the operating system only through a Platform: a bundle of small ports,
// injected into each public object when it is made. Every build compiles exactly one backend
// (platform/posix or platform/windows), and the library's composition root puts its ports
// together as DefaultPlatform() (component/default_platform_posix.cpp, _windows.cpp); tests
// build their own Platform from fakes that record what was written.
//
// Thread-safety: the ports of DefaultPlatform() may be used from any thread; a TextStream
// belongs to the object that opened it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cobaltmoth::platform {

// Text turned into the bytes of a log's code page ahead of the lines that use it, so that a
// writer encodes a name once and writes it many times. One encoder serves every stream of its
// code page and lives as long as the process: bytes it made stay good for each of them.
class TextEncoder {
 public:
  // Appends the text's bytes, each character as the stream's Write would write it.
  virtual void Append(std::u16string_view text, std::string& out) const = 0;

 protected:
  ~TextEncoder() = default;
};

// Memory that a stream lends its writer for whole lines of encoded bytes (a ring of pages that
// the stream empties into its file by itself), so that a line goes in with no call: Place(n)
// gives where a line of n bytes is copied, Publish(n) hands it over with one store. The lender
// fills in the fields below and keeps them true; a line Place refuses goes through the
// stream's WriteEncodedLine, which makes room or raises the error.
class LineRoom {
 public:
  // Where a line of `bytes` goes, or null.
  char* Place(std::size_t bytes) const noexcept {
    if (position + bytes > end ||
        position >= limit->load(std::memory_order_relaxed) ||
        gate->load(std::memory_order_relaxed) != gate_value) {
      return nullptr;
    }
    return lines + (position & mask);
  }
  // Hands over the `bytes` copied to Place's place.
  void Publish(std::size_t bytes) noexcept {
    position += bytes;
    std::atomic_ref<std::uint64_t>(*published).store(position, std::memory_order_release);
  }

  // The lender's: the bytes are a ring of mask + 1 bytes mapped twice in a row at `lines`, so
  // that a line starting anywhere is one run of memory; its lines go up to `end`, without the
  // lender being asked, while `limit` (which another thread may lower) is above the position
  // and `gate` holds `gate_value`; each Publish stores the new position at `published`.
  char* lines = nullptr;
  std::uint64_t mask = 0;
  std::uint64_t position = 0;
  std::uint64_t end = 0;
  const std::atomic<std::uint64_t>* limit = nullptr;
  const std::atomic<unsigned>* gate = nullptr;
  unsigned gate_value = 0;
  std::uint64_t* published = nullptr;
};

// An open single-byte text file, positioned at its end. Each call hands its bytes to the
// operating system before it returns, so a crash of the process loses nothing written.
// Failures throw the host's run-time error (61 "Disk full", 70 "Permission denied", ...).
// Destroying the stream closes the file.
class TextStream {
 public:
  virtual ~TextStream() = default;
  // The text, in the log's code page, with no line break.
  virtual void Write(std::u16string_view text) = 0;
  // The text followed by CR LF, in one piece.
  virtual void WriteLine(std::u16string_view text) = 0;
  // `count` CR LF pairs.
  virtual void WriteBlankLines(int count) = 0;
  // Closes the file; later writes are errors.
  virtual void Close() = 0;

  // The encoder of the bytes WriteEncodedLine takes. A stream that does not name its code page
  // takes each code unit as two bytes, which its WriteEncodedLine turns back into the text it
  // writes; a stream that gives its own encoder writes its bytes itself.
  virtual const TextEncoder& Encoder() const noexcept;
  // One line of bytes that Encoder() made, in pieces, its CR LF included, written as WriteLine
  // writes a line.
  virtual void WriteEncodedLine(std::span<const std::string_view> pieces);
  // The memory the stream lends for its lines, or none (the default): see LineRoom.
  virtual LineRoom* Room() noexcept { return nullptr; }
};

// Each code unit as two bytes: the encoder of a stream that does not name its code page.
class CodeUnitBytes final : public TextEncoder {
 public:
  void Append(std::u16string_view text, std::string& out) const override {
    out.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
  }
};

inline const TextEncoder& TextStream::Encoder() const noexcept {
  static const CodeUnitBytes encoder;
  return encoder;
}

inline void TextStream::WriteEncodedLine(std::span<const std::string_view> pieces) {
  std::string bytes;
  for (const std::string_view piece : pieces) bytes += piece;
  std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
  Write(text);
}

// The file system, as far as the logs need it.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens `path` for appending single-byte text, creating the file when it is missing and
  // never truncating it. Throws the host's run-time error when the folder is missing (76),
  // access is denied (70) and the like.
  virtual std::unique_ptr<TextStream> OpenTextFileForAppending(std::u16string_view path) = 0;
  // Opens `path` as OpenTextFileForAppending does, for a log whose lines may be copied into
  // mapped pages instead of written: a line is then kept as soon as it is copied, with no
  // system call, outlives a killed process as a written one does, and reaches the file a
  // little later (after a kill, at the file's next open); a clean Close leaves exactly the
  // bytes written. A file that cannot be written that way (a device, a file another writer
  // has open, a backend without mapped files) gives the stream of OpenTextFileForAppending,
  // and so does this default.
  virtual std::unique_ptr<TextStream> OpenMappedTextFile(std::u16string_view path) {
    return OpenTextFileForAppending(path);
  }
};

// A local date and time, broken down.
struct LocalTime {
  int year = 0;     // four digits
  int month = 0;    // 1 to 12
  int day = 0;      // 1 to 31
  int weekday = 0;  // 0 Sunday to 6 Saturday
  int hour = 0;     // 0 to 23
  int minute = 0;
  int second = 0;
};

// The clock, as the host's Now.
class Clock {
 public:
  virtual ~Clock() = default;
  // The current local moment as the user's short date, one blank and the user's time format.
  virtual std::u16string NowText() = 0;
  // The current local moment.
  virtual LocalTime Now() = 0;
  // The user's time separator (":" in most locales).
  virtual std::u16string TimeSeparator() = 0;
  // The full names of a weekday (0 Sunday to 6 Saturday) and of a month (1 to 12) in the
  // user's locale ("Sunday", "domenica", "Sonntag"; "December", "dicembre", "Dezember").
  virtual std::u16string DayName(int weekday) = 0;
  virtual std::u16string MonthName(int month) = 0;
};

// The process environment, as the host's Environ$ reads it.
class Environment {
 public:
  virtual ~Environment() = default;
  // Every "NAME=value" entry of the process environment, in the environment's own order.
  virtual std::vector<std::u16string> Entries() = 0;
  // Whether the environment holds exactly this "NAME=value" entry: a switch the user has set.
  bool Holds(std::u16string_view entry) {
    const std::vector<std::u16string> entries = Entries();
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
  }
};

// The host runtime's error-line number (Erl).
class ErrorLine {
 public:
  virtual ~ErrorLine() = default;
  // The line of the most recent run-time error of the calling thread, 0 when there is none.
  virtual std::int32_t Erl() = 0;
};

class Registry;   // platform/registry.hpp: the settings store
class Resources;  // platform/resources.hpp: the string table, the icon, the user's language
class MessageBox;    // platform/ui.hpp, with the four below
class ReportWindow;
class Clipboard;
class Printer;
class Shell;
class Crashes;    // platform/crashes.hpp
class Outbox;     // platform/outbox.hpp: reports waiting for an error tracker
class Transport;  // platform/transport.hpp: the ways to the system's log

struct Platform {
  std::shared_ptr<FileSystem> files;
  std::shared_ptr<Clock> clock;
  std::shared_ptr<ErrorLine> error_line;
  std::shared_ptr<Environment> environment;
  std::shared_ptr<Registry> registry;
  std::shared_ptr<Resources> resources;
  std::shared_ptr<MessageBox> message_box;
  std::shared_ptr<ReportWindow> report_window;
  std::shared_ptr<Clipboard> clipboard;
  std::shared_ptr<Printer> printer;
  std::shared_ptr<Shell> shell;
  std::shared_ptr<Crashes> crashes;  // none where crashes are not caught
  std::shared_ptr<Outbox> outbox;        // reports for an error tracker; none where none are sent
  std::shared_ptr<Transport> transport;  // none: reports go nowhere but the bug log
  // What joins a folder and a file name: "/" on Linux, "\" on Windows.
  std::u16string path_separator;
};

// The operating system's own services, shared by every object that is not given others.
std::shared_ptr<const Platform> DefaultPlatform();

}  // namespace cobaltmoth::platform
