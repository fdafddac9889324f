// A view that records every call of an update run as a line of text, for tests that check
// the outcome rows in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/update_view.h"

namespace fen::testing {

class RecordingView : public UpdateView {
 public:
  void SetStatusLine(const std::string& text) override { Add("status " + text); }
  void SetStepCounter(const std::string& text) override { Add("step " + text); }
  void SetProgressRange(std::int32_t upper) override { Add("range " + std::to_string(upper)); }
  void SetProgressPos(std::int32_t position) override { Add("pos " + std::to_string(position)); }
  void ErrorBox(int string_id) override { Add("error " + std::to_string(string_id)); }
  void RestoreControls() override { Add("restore"); }
  void EnableExecute(bool enable) override {
    Add(std::string("execute ") + (enable ? "true" : "false"));
  }
  void DisableControls() override { Add("disable"); }
  void RunEnded(UpdateResult result) override {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.push_back(result);
  }

  // Every end the session reported, in order.
  std::vector<UpdateResult> results() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return results_;
  }

  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  // The calls other than progress and transmit status lines: the outcome of a run.
  std::vector<std::string> outcome() const;
  // Waits until a call equal to `call` was recorded; false after timeout_ms.
  bool WaitFor(const std::string& call, int timeout_ms) const;
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    results_.clear();
  }

 private:
  void Add(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    cv_.notify_all();
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<std::string> calls_;
  std::vector<UpdateResult> results_;
};

}  // namespace fen::testing
