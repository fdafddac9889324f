// The soak's window stand-in.
#include "soak/soak_view.h"

#include <chrono>

namespace fen::soak {

void SoakView::Add(std::string call) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (gone_) ++calls_after_gone_;
  calls_.push_back(std::move(call));
  cv_.notify_all();
}

void SoakView::ErrorBox(int string_id) {
  Add("error " + std::to_string(string_id));
  std::unique_lock<std::mutex> lock(mutex_);
  if (!hold_boxes_) return;
  box_open_ = true;
  cv_.notify_all();
  cv_.wait(lock, [this] { return closed_ || !hold_boxes_; });
  box_open_ = false;
}

void SoakView::RestoreControls() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_ = {true, true, true, true};
  }
  Add("restore");
}

void SoakView::EnableExecute(bool enable) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_.execute = enable;
  }
  Add(std::string("execute ") + (enable ? "true" : "false"));
}

void SoakView::DisableControls() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_ = {false, false, false, false};
  }
  Add("disable");
}

void SoakView::set_hold_error_boxes(bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  hold_boxes_ = hold;
  cv_.notify_all();
}

void SoakView::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  cv_.notify_all();
}

void SoakView::Gone() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  gone_ = true;
  cv_.notify_all();
}

void SoakView::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
  controls_ = {};
  closed_ = false;
  gone_ = false;
  calls_after_gone_ = 0;
}

std::vector<std::string> SoakView::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> SoakView::Outcome() const {
  std::vector<std::string> out;
  for (const auto& c : calls()) {
    if (c.rfind("pos ", 0) == 0 || c.rfind("range ", 0) == 0 ||
        c.rfind("status Data transmit", 0) == 0 || c == "status Erasing Flash memory.") {
      continue;
    }
    if (c.rfind("step ", 0) == 0 && c != "step 0/9" && !out.empty() &&
        out.back().rfind("step ", 0) == 0 && out.back() != "step 0/9") {
      out.back() = c;
      continue;
    }
    out.push_back(c);
  }
  return out;
}

SoakView::Controls SoakView::controls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_;
}

int SoakView::calls_after_gone() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_after_gone_;
}

bool SoakView::error_box_open() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return box_open_;
}

bool SoakView::WaitForPrefix(const std::string& prefix, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const auto& c : calls_) {
      if (c.rfind(prefix, 0) == 0) return true;
    }
    return false;
  });
}

}  // namespace fen::soak
