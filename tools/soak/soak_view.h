// A window stand-in for soak and teardown runs: records every call, keeps the controls' state,
// can hold error boxes open until the window closes, and notices calls after it has gone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/update_view.h"

namespace fen::soak {

class SoakView : public UpdateView {
 public:
  struct Controls {
    bool in_list = true;
    bool out_list = true;
    bool execute = true;
    bool rescan = true;
    bool operator==(const Controls&) const = default;
  };

  void SetStatusLine(const std::string& text) override { Add("status " + text); }
  void SetStepCounter(const std::string& text) override { Add("step " + text); }
  void SetProgressRange(std::int32_t upper) override { Add("range " + std::to_string(upper)); }
  void SetProgressPos(std::int32_t position) override { Add("pos " + std::to_string(position)); }
  void ErrorBox(int string_id) override;
  void RestoreControls() override;
  void EnableExecute(bool enable) override;
  void DisableControls() override;

  // Error boxes stay open until Close, as a modal box does until its window goes.
  void set_hold_error_boxes(bool hold);
  // The window is being destroyed: open boxes return at once, as do later calls.
  void Close();
  // The session's teardown has returned: any call from now on is a fault.
  void Gone();
  // Forgets the calls of the last run and opens the window again.
  void Reset();

  std::vector<std::string> calls() const;
  // The calls that tell how a run ended: without progress, transmit and erase texts, and with
  // only the last of consecutive step counters after "0/9".
  std::vector<std::string> Outcome() const;
  Controls controls() const;
  int calls_after_gone() const;
  bool error_box_open() const;
  // Waits until a call that starts with `prefix` has been made; false after timeout_ms.
  bool WaitForPrefix(const std::string& prefix, int timeout_ms) const;

 private:
  void Add(std::string call);

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<std::string> calls_;
  Controls controls_;
  bool hold_boxes_ = false;
  bool closed_ = false;
  bool gone_ = false;
  bool box_open_ = false;
  int calls_after_gone_ = 0;
};

}  // namespace fen::soak
