// The view interface: what an update run asks of its window. The Qt dialog, the command-line
// tool and the tests implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/flash_plan.h"
#include "engine/update_result.h"
#include "protocol/identity.h"

namespace fen {

class UpdateView {
 public:
  virtual ~UpdateView() = default;
  // Replaces the status line; an empty text clears it.
  virtual void SetStatusLine(const std::string& text) = 0;
  // Replaces the step counter ("k/9").
  virtual void SetStepCounter(const std::string& text) = 0;
  // Progress bar range 0..upper (32-bit) and position.
  virtual void SetProgressRange(std::int32_t upper) = 0;
  virtual void SetProgressPos(std::int32_t position) = 0;
  // Modal error box with the text of `string_id` and the caption "Error"; returns when the
  // user has closed it. Called on the worker thread, or on the window thread by Execute.
  virtual void ErrorBox(int string_id) = 0;
  // The same box with a line of detail under the string's text (which ports, who holds them).
  // A view that has no room for it shows the string alone.
  virtual void ErrorBoxWithDetail(int string_id, const std::string& detail) {
    (void)detail;
    ErrorBox(string_id);
  }
  // Enables the MIDI IN list, the MIDI OUT list, "Execute" and "Rescan Device", in that order.
  // The session clears its busy flag right after.
  virtual void RestoreControls() = 0;
  // Enables or disables "Execute" alone.
  virtual void EnableExecute(bool enable) = 0;
  // Disables the MIDI IN list, the MIDI OUT list, "Execute" and "Rescan Device", in that
  // order, when a run starts (window thread).
  virtual void DisableControls() = 0;
  // The device's Identity Reply has come: who answered (worker thread, before the model
  // check). The desktop program shows nothing of it.
  virtual void DeviceIdentified(const DeviceIdentity& identity) { (void)identity; }
  // A row of the flash plan starts (worker thread, right after its step counter): its number
  // from 1 and its kind.
  virtual void FlashStepStarted(int row, FlashStepKind kind) {
    (void)row;
    (void)kind;
  }
  // A request of the flash plan is sent again (worker thread, before the pause ahead of it):
  // the row from 1, the block's offset in its image (0 for an erase), the try that failed
  // (1 to 6) and the device's status, or -1 when it did not answer in time.
  virtual void Retrying(int row, std::int32_t offset, int attempt, std::int32_t status) {
    (void)row;
    (void)offset;
    (void)attempt;
    (void)status;
  }
  // A whole System Exclusive message went to the device (`sent`) or came from it, before it
  // is acted on: for a trace of the traffic. Called on the thread that sent or dispatched it
  // (worker or timer), also outside a run; the desktop program shows nothing of it.
  virtual void MessageTraffic(bool sent, const std::uint8_t* data, std::size_t size) {
    (void)sent;
    (void)data;
    (void)size;
  }
  // The run has ended and said so on the window (worker thread, after its last view call; on
  // the window thread when "Execute" could not open a port). Called once per run, never for
  // an aborted run, whose window is gone.
  virtual void RunEnded(UpdateResult result) { (void)result; }
};

// Passes every call on to another view, or drops it when there is none: the base of a view
// that watches a run beside the one that shows it.
class ForwardingView : public UpdateView {
 public:
  explicit ForwardingView(UpdateView* next) : next_(next) {}

  void SetStatusLine(const std::string& text) override {
    if (next_) next_->SetStatusLine(text);
  }
  void SetStepCounter(const std::string& text) override {
    if (next_) next_->SetStepCounter(text);
  }
  void SetProgressRange(std::int32_t upper) override {
    if (next_) next_->SetProgressRange(upper);
  }
  void SetProgressPos(std::int32_t position) override {
    if (next_) next_->SetProgressPos(position);
  }
  void ErrorBox(int string_id) override {
    if (next_) next_->ErrorBox(string_id);
  }
  void ErrorBoxWithDetail(int string_id, const std::string& detail) override {
    if (next_) next_->ErrorBoxWithDetail(string_id, detail);
  }
  void RestoreControls() override {
    if (next_) next_->RestoreControls();
  }
  void EnableExecute(bool enable) override {
    if (next_) next_->EnableExecute(enable);
  }
  void DisableControls() override {
    if (next_) next_->DisableControls();
  }
  void DeviceIdentified(const DeviceIdentity& identity) override {
    if (next_) next_->DeviceIdentified(identity);
  }
  void FlashStepStarted(int row, FlashStepKind kind) override {
    if (next_) next_->FlashStepStarted(row, kind);
  }
  void Retrying(int row, std::int32_t offset, int attempt, std::int32_t status) override {
    if (next_) next_->Retrying(row, offset, attempt, status);
  }
  void MessageTraffic(bool sent, const std::uint8_t* data, std::size_t size) override {
    if (next_) next_->MessageTraffic(sent, data, size);
  }
  void RunEnded(UpdateResult result) override {
    if (next_) next_->RunEnded(result);
  }

 private:
  UpdateView* next_;
};

// A view that shows nothing: a run with no window.
class NullView final : public ForwardingView {
 public:
  NullView() : ForwardingView(nullptr) {}
};

}  // namespace fen
