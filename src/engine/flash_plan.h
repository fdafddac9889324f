// The flash plan: its rows, what kind of step each is, and how often a step's request is sent
// before the step gives up.
#pragma once

#include <array>
#include <cstdint>

namespace fen {

// What a row of the flash plan does; a row of any other kind is skipped.
enum class FlashStepKind : std::int32_t { kErase = 1, kWrite = 2 };

struct FlashStep {
  FlashStepKind kind;
  std::int32_t address;
  std::int32_t size;  // write: 0 means the whole image
  std::int32_t resource_id;
};

inline constexpr int kTotalSteps = 9;
extern const std::array<FlashStep, 9> FlashStepPlan;

// An erase or write request is sent at most this often in a row: the first send and 6 resends.
inline constexpr int kMaxTries = 7;

}  // namespace fen
