// One soak run's fault mix, drawn from a seed: the simulated device's faults, and the junk the
// device's side of the link sends towards the program while the transfer runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devsim/fault.h"

namespace fen::soak {

using Bytes = std::vector<std::uint8_t>;

// Where junk is sent: when the device first gets the message named here.
struct NoiseTrigger {
  enum class On { kIdentityRequest, kBeginUpdate, kEraseStep, kBlock, kFinishUpdate } on;
  int at = -1;  // erase step (1, 2, 4, 6, 8) or block number (0 to 1907)
};

struct NoiseBurst {
  NoiseTrigger trigger;
  // What each message is, for the run's description ("short", "oversized", ...).
  std::vector<std::string> kinds;
  std::vector<Bytes> messages;
};

struct RunPlan {
  std::uint64_t seed = 0;
  std::uint8_t model_id = 0x57;  // the device's model
  std::vector<devsim::Fault> faults;
  std::vector<NoiseBurst> noise;
  // Consecutive late replies on one block, each later than the write time-out: a device that
  // is slow twice in a row. Drawn only when the mix allows it (see PlanOptions).
  bool has_repeated_late = false;

  // "seed=..., model=0x57, faults: crc@5x3 late@7:200, noise: 3 bursts (12 messages)".
  std::string Describe() const;
};

struct PlanOptions {
  // Late replies are drawn around these time-outs, in milliseconds.
  int write_wait_ms = 150;
  int retry_pause_ms = 2;
  int erase_wait_ms = 1500;
  // A late reply this near a time-out may land on either side of it (see OracleTiming).
  int late_margin_ms = 150;
  // Draw late replies on several consecutive tries of one block.
  bool repeated_late = true;
};

// The run's seed from the soak's seed and the run's index; a run is replayed from it alone.
std::uint64_t RunSeed(std::uint64_t soak_seed, std::uint64_t index);

// Draws the fault mix of one run; the same seed gives the same plan.
RunPlan DrawRunPlan(std::uint64_t seed, const PlanOptions& options);

// True when the dispatcher could take some part of this message, as the driver splits it into
// short messages and buffers of 8192 bytes, for a reply (a Status or command 0x02 of any model,
// or an Identity Reply). Junk must never be one: a forged reply is a lying device, which no
// host can tell from an honest one.
bool LooksLikeReply(const Bytes& message);

// Junk of every kind the fault mix sends, one message at a time, for floods.
class JunkSource {
 public:
  JunkSource(std::uint64_t seed, std::uint8_t model_id);
  ~JunkSource();
  JunkSource(const JunkSource&) = delete;
  JunkSource& operator=(const JunkSource&) = delete;
  // The next message; its kind goes to `kind` when given.
  Bytes Next(std::string* kind = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace fen::soak
