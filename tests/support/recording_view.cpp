// Recording view helpers.
#include "support/recording_view.h"

#include <chrono>

namespace fen::testing {

std::vector<std::string> RecordingView::outcome() const {
  std::vector<std::string> out;
  for (const auto& c : calls()) {
    if (c.rfind("pos ", 0) == 0 || c.rfind("range ", 0) == 0 ||
        c.rfind("status Data transmit", 0) == 0 || c == "status Erasing Flash memory.") {
      continue;
    }
    if (c.rfind("step ", 0) == 0 && c != "step 0/9" && !out.empty() &&
        out.back().rfind("step ", 0) == 0) {
      out.back() = c;  // keep only the last of a run of step counter updates
      continue;
    }
    out.push_back(c);
  }
  return out;
}

bool RecordingView::WaitFor(const std::string& call, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const auto& c : calls_) {
      if (c == call) return true;
    }
    return false;
  });
}

}  // namespace fen::testing
