// bench/bench_util.hpp - what the benchmarks share: the traced names, the log lines a
// pair of them writes at depth 8, and a unique scratch file in /tmp.
#pragma once

#include <unistd.h>

#include <atomic>
#include <string>
#include <string_view>
#include <utility>

namespace cobaltmoth::bench {

inline constexpr std::u16string_view kModule = u"frmOrders";
inline constexpr std::u16string_view kProc = u"cmdSave_Click";

// The depth every enter/exit pair is measured at: seven entries underneath it.
inline constexpr int kDepth = 8;
inline constexpr int kUnderneath = kDepth - 1;

// The two stack log lines of an enter/exit pair at depth 8, as they land in the file:
// Windows-1252 (0xBB is », 0xAB is «), each ending in CR LF.
inline constexpr std::string_view kEnterLine =
    "|  |  |  |  |  |  |  o\xBB\xBB\xBB Enter frmOrders::cmdSave_Click\r\n";
inline constexpr std::string_view kExitLine =
    "|  |  |  |  |  |  |  o\xAB\xAB\xAB Exit  frmOrders::cmdSave_Click\r\n";

// A file name in /tmp that no other run, and no other benchmark of this run, uses.
inline std::string ScratchName(std::string_view what) {
  static std::atomic<int> counter{0};
  std::string name = "cobaltmoth_bench_";
  name += what;
  name += '_';
  name += std::to_string(::getpid());
  name += '_';
  name += std::to_string(counter.fetch_add(1));
  return name;
}

// Removes the file when the benchmark that made it ends.
class ScratchFile {
 public:
  explicit ScratchFile(std::string path) : path_(std::move(path)) { ::unlink(path_.c_str()); }
  ~ScratchFile() { ::unlink(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::string& Path() const noexcept { return path_; }

 private:
  std::string path_;
};

}  // namespace cobaltmoth::bench
