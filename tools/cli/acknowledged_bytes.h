// How many bytes of the images the device has acknowledged so far in a run, followed from the
// window's calls: in a write step the progress position is the bytes of its image acknowledged,
// and a step that starts keeps what the write step before it reached. The terminal's progress
// line, the --all board and the JSON event stream all count with it.
#pragma once

#include <cstdint>

#include "engine/flash_plan.h"

namespace fen {

class AcknowledgedBytes {
 public:
  void StepStarted(FlashStepKind kind) {
    before_step_ += position_;
    position_ = 0;
    writing_ = kind == FlashStepKind::kWrite;
  }
  // The progress position; it counts only in a write step.
  void Position(std::int32_t position) {
    if (writing_) position_ = position;
  }
  bool writing() const { return writing_; }
  std::int64_t done() const { return before_step_ + position_; }

 private:
  bool writing_ = false;  // no step, or not a write step
  std::int32_t position_ = 0;
  std::int64_t before_step_ = 0;  // acknowledged bytes of the write steps before this one
};

}  // namespace fen
