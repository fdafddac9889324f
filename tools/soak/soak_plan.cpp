// Draws a run's fault mix. The shares below keep most runs whole (so that 500 runs take
// minutes, not hours) while every fault kind, and every way a run can end, comes up often.
#include "soak/soak_plan.h"

#include <algorithm>
#include <random>
#include <set>

#include "devsim/update_plan.h"
#include "protocol/messages.h"

namespace fen::soak {

namespace {

using devsim::Fault;
using devsim::FaultKind;

constexpr std::size_t kReceiveBuffer = 8192;  // the input port's lent buffer

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : engine_(seed) {}
  // Uniform in [lo, hi].
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(engine_) < p; }
  std::uint8_t Byte() { return static_cast<std::uint8_t>(Int(0, 255)); }
  std::uint8_t Data() { return static_cast<std::uint8_t>(Int(0, 127)); }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(Int(0, static_cast<int>(items.size()) - 1))];
  }

 private:
  std::mt19937_64 engine_;
};

std::size_t ShortLength(std::uint8_t status) {
  if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 2 : 3;
  if (status == 0xF1 || status == 0xF3) return 2;
  if (status == 0xF2) return 3;
  return 1;
}

bool BufferIsReply(const std::uint8_t* p, std::size_t n) {
  if (n < 5 || p[0] != kSysExStart) return false;
  if (p[1] == kManufacturerId) {
    return (p[4] == kCmdStatus && n >= 6 && p[5] < 0x80) || p[4] == kCmdWriteBlock;
  }
  return p[1] == kUniversalNonRealTime && p[3] == kGeneralInformation &&
         p[4] == kIdentityReplySubId && n >= 7;
}

Bytes Sysex(std::initializer_list<std::uint8_t> head, std::size_t body, Rng& rng,
            bool close = true) {
  Bytes m(head);
  for (std::size_t i = 0; i < body; ++i) m.push_back(rng.Data());
  if (close) m.push_back(kSysExEnd);
  return m;
}

// One junk message of a kind; the kind's name goes to `kind`.
Bytes MakeJunk(Rng& rng, std::uint8_t model, std::string* kind) {
  // A model ID no device of the family has, so vendor messages for it are someone else's.
  const std::uint8_t other_model = static_cast<std::uint8_t>(rng.Pick<int>({0x00, 0x33, 0x60}));
  switch (rng.Int(0, 6)) {
    case 0: {  // channel messages, several in one delivery
      *kind = "short";
      Bytes m;
      const int count = rng.Int(1, 6);
      for (int i = 0; i < count; ++i) {
        const std::uint8_t status = static_cast<std::uint8_t>(rng.Int(0x80, 0xEF));
        m.push_back(status);
        for (std::size_t j = 1; j < ShortLength(status); ++j) m.push_back(rng.Data());
      }
      return m;
    }
    case 1: {  // real-time and system common bytes, stray data, a lone end of SysEx
      *kind = "stray";
      Bytes m;
      const int count = rng.Int(1, 8);
      for (int i = 0; i < count; ++i) {
        m.push_back(rng.Pick<std::uint8_t>(
            {0xF8, 0xFA, 0xFC, 0xFE, 0xFF, 0xF6, 0xF7, 0x00, 0x40, 0x7F, 0xF1, 0xF3, 0xF2}));
      }
      return m;
    }
    case 2: {  // another manufacturer, a universal real-time message
      *kind = "other-maker";
      const std::uint8_t id = rng.Pick<std::uint8_t>({0x41, 0x43, 0x7F, 0x7D, 0x00});
      if (id == 0x00) return Sysex({kSysExStart, 0x00, 0x20, 0x29}, rng.Int(0, 300), rng);
      return Sysex({kSysExStart, id}, rng.Int(0, 300), rng);
    }
    case 3: {  // truncated and malformed messages of our own family
      *kind = "malformed";
      const std::vector<Bytes> shapes = {
          {kSysExStart},
          {kSysExStart, kSysExEnd},
          {kSysExStart, kManufacturerId},
          {kSysExStart, kManufacturerId, 0x00},
          {kSysExStart, kManufacturerId, 0x00, model},
          {kSysExStart, kManufacturerId, 0x00, model, kCmdStatus},
          {kSysExStart, kManufacturerId, 0x00, model, kCmdStatus, kSysExEnd},
          {kSysExStart, kManufacturerId, 0x00, model, 0x03, kSysExEnd},
          {kSysExStart, kManufacturerId, 0x00, other_model, kCmdStatus, 0x08, kSysExEnd},
          {kSysExStart, kManufacturerId, 0x00, other_model, kCmdWriteBlock, kSysExEnd},
          {kSysExStart, kUniversalNonRealTime, 0x00, kGeneralInformation},
          {kSysExStart, kUniversalNonRealTime, 0x00, kGeneralInformation, kIdentityReplySubId,
           kManufacturerId},
          {kSysExStart, kUniversalNonRealTime, 0x00, 0x09, 0x01, kSysExEnd},
          {kSysExStart, 0x41, 0x10, 0x90, 0x40, 0x7F},
      };
      return rng.Pick(shapes);
    }
    case 4: {  // longer than the receive buffer: arrives in several buffer returns
      *kind = "oversized";
      const std::size_t body = static_cast<std::size_t>(
          rng.Int(static_cast<int>(kReceiveBuffer), static_cast<int>(3 * kReceiveBuffer)));
      switch (rng.Int(0, 2)) {
        case 0:
          return Sysex({kSysExStart, 0x41, 0x10}, body, rng);
        case 1:
          return Sysex({kSysExStart, kManufacturerId, 0x00, other_model, kCmdStatus}, body, rng);
        default:
          return Sysex({kSysExStart, kManufacturerId, 0x00, model, 0x40}, body, rng,
                       rng.Chance(0.5));
      }
    }
    case 5: {  // vendor commands the host does not know, and requests in passing
      *kind = "unknown-command";
      const std::uint8_t command =
          rng.Pick<std::uint8_t>({0x01, 0x03, 0x04, 0x05, 0x06, 0x20, 0x7F});
      return {kSysExStart, kManufacturerId, 0x00, model, command, kSysExEnd};
    }
    default: {  // anything at all, short of a forged reply
      *kind = "garbage";
      for (;;) {
        Bytes m(static_cast<std::size_t>(rng.Int(1, 64)));
        for (auto& b : m) b = rng.Byte();
        if (!LooksLikeReply(m)) return m;
      }
    }
  }
}

int PickBlock(Rng& rng) { return rng.Int(0, devsim::PlanBlockCount() - 1); }

int PickEraseStep(Rng& rng) { return rng.Pick<int>({1, 2, 4, 6, 8}); }

Fault Make(FaultKind kind, int at = -1, int value = 0, int delay = 0, int count = 1) {
  Fault f;
  f.kind = kind;
  f.at = at;
  f.value = value;
  f.delay_ms = delay;
  f.count = count;
  return f;
}

// A status value the device may send that is neither success nor the host's abort.
int ErrorStatus(Rng& rng) {
  return rng.Pick<int>({kStatusCrcMismatch, kStatusFlashWriteFailed, kStatusUnrecognised,
                        kStatusNotInUpdateMode, 2, 5, 0x40, 0x7F});
}

// A delay of a late reply on a block: mostly well inside or across the write time-outs, some
// beyond the seventh, a few right at its edge.
int WriteLateDelay(Rng& rng, const PlanOptions& o) {
  const int seventh = 7 * o.write_wait_ms + 6 * o.retry_pause_ms;
  const int m = o.late_margin_ms;
  const int draw = rng.Int(0, 99);
  if (draw < 50) return rng.Int(1, o.write_wait_ms - 1);
  if (draw < 82) return rng.Int(o.write_wait_ms, std::max(o.write_wait_ms, seventh - m - 20));
  if (draw < 94) return rng.Int(seventh + m + 20, seventh + m + 300);
  return rng.Int(std::max(1, seventh - m), seventh + m);
}

}  // namespace

bool LooksLikeReply(const Bytes& message) {
  const std::uint8_t* p = message.data();
  const std::size_t n = message.size();
  std::size_t pos = 0;
  while (pos < n) {
    if (p[pos] == kSysExStart) {
      // The rest of the delivery is one System Exclusive message, in buffers of 8192.
      for (std::size_t at = pos; at < n; at += kReceiveBuffer) {
        if (BufferIsReply(p + at, std::min(kReceiveBuffer, n - at))) return true;
      }
      return false;
    }
    if (p[pos] < 0x80 || p[pos] == kSysExEnd) {
      ++pos;
      continue;
    }
    pos += std::min(ShortLength(p[pos]), n - pos);
  }
  return false;
}

struct JunkSource::Impl {
  Impl(std::uint64_t seed, std::uint8_t model) : rng(seed), model_id(model) {}
  Rng rng;
  std::uint8_t model_id;
};

JunkSource::JunkSource(std::uint64_t seed, std::uint8_t model_id)
    : impl_(std::make_unique<Impl>(seed, model_id)) {}
JunkSource::~JunkSource() = default;

Bytes JunkSource::Next(std::string* kind) {
  std::string name;
  Bytes message = MakeJunk(impl_->rng, impl_->model_id, &name);
  if (kind != nullptr) *kind = name;
  return message;
}

std::uint64_t RunSeed(std::uint64_t soak_seed, std::uint64_t index) {
  // splitmix64 of the pair, so that neighbouring runs draw unrelated mixes.
  std::uint64_t z = soak_seed + 0x9E3779B97F4A7C15ull * (index + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

RunPlan DrawRunPlan(std::uint64_t seed, const PlanOptions& o) {
  Rng rng(seed);
  RunPlan plan;
  plan.seed = seed;
  plan.model_id = rng.Chance(0.2) ? 0x61 : 0x57;
  auto add = [&](const Fault& f) { plan.faults.push_back(f); };

  // How the run may be stopped before or after the transfer.
  const int ending = rng.Int(0, 99);
  if (ending < 2) {
    add(Make(FaultKind::kIdentityNoReply, -1, 0, 0, 0));
  } else if (ending < 4) {
    add(Make(FaultKind::kModel, -1, rng.Pick<int>({0x00, 0x56, 0x58, 0x60, 0x7F}), 0, 0));
  } else if (ending < 5) {
    add(Make(FaultKind::kIdentityStatus, -1, rng.Int(0, 127), 0, 0));
  } else if (ending < 7) {
    add(Make(FaultKind::kNotUpdateMode, -1, 0, 0, 0));
  } else if (ending < 9) {
    add(Make(FaultKind::kBeginStatus, -1, rng.Pick<int>({0, 1, 3, 8, 11, 0x7F}), 0, 0));
  } else if (ending < 12) {
    add(Make(FaultKind::kNoFinishReply, -1, 0, 0, 0));
  } else if (ending < 17) {
    add(Make(FaultKind::kFinishStatus, -1, rng.Int(0, 127), 0, 0));
  }

  // Erase steps answered with errors, late, or not at all.
  if (rng.Chance(0.12)) {
    const int step = PickEraseStep(rng);
    const int draw = rng.Int(0, 99);
    if (draw < 55) {
      add(Make(FaultKind::kEraseStatus, step, ErrorStatus(rng), 0, rng.Int(1, 8)));
    } else if (draw < 65) {
      add(Make(FaultKind::kEraseNoReply, step));
    } else {
      const int m = o.late_margin_ms;
      const int delay = rng.Chance(0.7)
                            ? rng.Int(1, std::max(1, o.erase_wait_ms - m - 20))
                            : rng.Int(o.erase_wait_ms + m + 20, o.erase_wait_ms + m + 200);
      add(Make(FaultKind::kEraseLate, step, 0, delay));
    }
  }

  // Blocks that fail a few times in a row: lost replies first, then error statuses. Seven
  // failures in a row end the run.
  std::set<int> troubled;
  const int troubles = rng.Chance(0.3) ? 0 : rng.Int(1, rng.Chance(0.8) ? 3 : 8);
  for (int i = 0; i < troubles; ++i) {
    const int block = PickBlock(rng);
    if (!troubled.insert(block).second) continue;
    const int failures = rng.Chance(0.93) ? rng.Int(1, 6) : rng.Int(7, 9);
    const int lost = rng.Chance(0.75) ? 0 : rng.Int(1, std::min(failures, 7));
    if (lost > 0) add(Make(FaultKind::kNoReply, block, 0, 0, lost));
    int left = failures - lost;
    while (left > 0) {
      const int run = rng.Int(1, left);
      switch (rng.Int(0, 2)) {
        case 0:
          add(Make(FaultKind::kCrc, block, 0, 0, run));
          break;
        case 1:
          add(Make(FaultKind::kFlash, block, 0, 0, run));
          break;
        default:
          add(Make(FaultKind::kStatus, block, ErrorStatus(rng), 0, run));
          break;
      }
      left -= run;
    }
  }

  // Late replies on blocks of their own.
  if (rng.Chance(0.3)) {
    const int lates = rng.Int(1, 3);
    for (int i = 0; i < lates; ++i) {
      const int block = PickBlock(rng);
      if (!troubled.insert(block).second) continue;
      add(Make(FaultKind::kLate, block, 0, WriteLateDelay(rng, o)));
    }
  }
  if (o.repeated_late && rng.Chance(0.06)) {
    const int block = PickBlock(rng);
    if (troubled.insert(block).second) {
      add(Make(FaultKind::kLate, block, 0, rng.Int(o.write_wait_ms + 10, 2 * o.write_wait_ms + 50),
               rng.Int(2, 3)));
      plan.has_repeated_late = true;
      // An error on one of the next blocks is what would turn a reply taken for the wrong block
      // into a block left unwritten.
      const int next = std::min(block + rng.Int(1, 3), devsim::PlanBlockCount() - 1);
      if (troubled.insert(next).second) add(Make(FaultKind::kCrc, next, 0, 0, rng.Int(1, 2)));
    }
  }

  // A device that vanishes from some block on.
  if (rng.Chance(0.07)) add(Make(FaultKind::kSilent, PickBlock(rng), 0, 0, 0));

  // The device's own requests during the transfer: Identity Requests and vendor commands, known
  // and unknown (0x00 and 0x02 are replies, not requests).
  if (rng.Chance(0.35)) {
    const int requests = rng.Int(1, 4);
    for (int i = 0; i < requests; ++i) {
      if (rng.Chance(0.3)) {
        add(Make(FaultKind::kIdentityRequest, PickBlock(rng)));
      } else {
        add(Make(FaultKind::kVendorRequest, PickBlock(rng),
                 rng.Pick<int>({0x01, 0x03, 0x04, 0x05, 0x06, 0x11, 0x42, 0x7F})));
      }
    }
  }

  // Junk on the line.
  if (rng.Chance(0.5)) {
    const int bursts = rng.Int(1, 6);
    for (int i = 0; i < bursts; ++i) {
      NoiseBurst burst;
      const int where = rng.Int(0, 19);
      if (where == 0) {
        burst.trigger = {NoiseTrigger::On::kIdentityRequest, -1};
      } else if (where == 1) {
        burst.trigger = {NoiseTrigger::On::kBeginUpdate, -1};
      } else if (where == 2) {
        burst.trigger = {NoiseTrigger::On::kFinishUpdate, -1};
      } else if (where < 5) {
        burst.trigger = {NoiseTrigger::On::kEraseStep, PickEraseStep(rng)};
      } else {
        burst.trigger = {NoiseTrigger::On::kBlock, PickBlock(rng)};
      }
      const int count = rng.Int(1, 12);
      for (int j = 0; j < count; ++j) {
        std::string kind;
        burst.messages.push_back(MakeJunk(rng, plan.model_id, &kind));
        burst.kinds.push_back(kind);
      }
      plan.noise.push_back(std::move(burst));
    }
  }
  return plan;
}

std::string RunPlan::Describe() const {
  char head[64];
  std::snprintf(head, sizeof head, "seed=%llu model=0x%02X", static_cast<unsigned long long>(seed),
                model_id);
  std::string text = head;
  text += " faults:";
  if (faults.empty()) text += " none";
  for (const auto& f : faults) text += " " + devsim::FaultToString(f);
  std::size_t messages = 0;
  for (const auto& b : noise) messages += b.messages.size();
  text += " noise: " + std::to_string(noise.size()) + " bursts, " + std::to_string(messages) +
          " messages";
  for (const auto& b : noise) {
    static const char* const kOn[] = {"identity", "begin", "erase", "block", "finish"};
    text += " [" + std::string(kOn[static_cast<int>(b.trigger.on)]);
    if (b.trigger.at >= 0) text += "@" + std::to_string(b.trigger.at);
    text += ":";
    for (std::size_t i = 0; i < b.kinds.size(); ++i) text += (i ? "," : "") + b.kinds[i];
    text += "]";
  }
  return text;
}

}  // namespace fen::soak
