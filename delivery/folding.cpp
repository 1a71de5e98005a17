#include "delivery/folding.hpp"

namespace cobaltmoth::delivery {

bool Folding::Admit(const std::string& fingerprint, Time now, std::uint32_t* folded) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (minutes_.size() >= kFoldFingerprints && minutes_.count(fingerprint) == 0) {
    std::erase_if(minutes_, [now](const auto& entry) {
      return entry.second.folded == 0 && now - entry.second.start >= kFoldWindow;
    });
    if (minutes_.size() >= kFoldFingerprints) minutes_.erase(minutes_.begin());
  }
  const auto [it, first] = minutes_.try_emplace(fingerprint, Minute{now});
  Minute& minute = it->second;
  if (!first && now - minute.start >= kFoldWindow) {
    minute.start = now;
    minute.sent = 0;
  }
  if (minute.sent >= kFoldLimit) {
    ++minute.folded;
    return false;
  }
  ++minute.sent;
  *folded = minute.folded;
  minute.folded = 0;
  return true;
}

Folding& Folding::OfProcess() {
  static Folding* const folding = new Folding;  // never destroyed: handlers may outlive statics
  return *folding;
}

}  // namespace cobaltmoth::delivery
