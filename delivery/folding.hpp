// delivery/folding.hpp - a host that reports in a loop must not flood the system's log.
//
// At most kFoldLimit records of one fingerprint go out in a minute: the first record of a
// fingerprint opens its minute, the next ones up to the limit go out in it, the rest are folded
// away and counted, and the first record of a later minute goes out carrying that count (then
// the count starts again). A process keeps one Folding for all its bug handlers; the table
// keeps at most kFoldFingerprints fingerprints, forgetting first those whose minute is over and
// that have nothing folded to carry.
//
// Thread-safety: Admit may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace cobaltmoth::delivery {

inline constexpr int kFoldLimit = 10;
inline constexpr std::chrono::seconds kFoldWindow{60};
inline constexpr std::size_t kFoldFingerprints = 1024;

class Folding {
 public:
  using Time = std::chrono::steady_clock::time_point;
  // Whether a record of `fingerprint` goes out at `now`; when it does, `*folded` is the number
  // folded away before it and not yet carried.
  bool Admit(const std::string& fingerprint, Time now, std::uint32_t* folded);
  // The process's own.
  static Folding& OfProcess();

 private:
  struct Minute {
    Time start;
    int sent = 0;
    std::uint32_t folded = 0;
  };
  std::mutex mutex_;
  std::map<std::string, Minute> minutes_;
};

}  // namespace cobaltmoth::delivery
