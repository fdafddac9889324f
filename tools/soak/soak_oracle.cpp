// The oracle: walks a run's fault mix in the order the run meets it and gives the report of
// the first fault that ends it, from the outcome tables of the worker and the flash steps.
#include "soak/soak_oracle.h"

#include <functional>
#include <map>

#include "devsim/update_plan.h"
#include "engine/string_table.h"
#include "engine/update_session.h"
#include "log/diagnostic_log.h"
#include "protocol/messages.h"

namespace fen::soak {

namespace {

using devsim::Fault;
using devsim::FaultKind;

const std::string kMidiOutError = LogTexts[0];
const std::string kIllegalDevice = LogTexts[1];
const std::string kUseUpdateMode = LogTexts[2];
const std::string kEraseTimeout = LogTexts[3];
const std::string kCrcError = LogTexts[4];
const std::string kFlashError = LogTexts[5];
const std::string kWriteTimeout = LogTexts[6];
const std::string kFinishError = LogTexts[7];

std::string Box(int id) { return "error " + std::to_string(id); }
std::string Step(int row) { return "step " + std::to_string(row) + "/9"; }

// One way a point of the run can go: it ends the run there, or the run goes on; either way
// with the log lines it writes.
struct Option {
  bool ends = false;
  EndKind kind = EndKind::kCompleted;
  int box = 0;
  Strings log;
};

// A point of the run where faults act, in run order.
struct Point {
  enum class Phase { kIdentity, kBegin, kRow, kFinish } phase;
  int row = 0;
  std::string where;
  std::vector<Option> options;
};

Strings OutcomeOf(Point::Phase phase, int row, int box) {
  switch (phase) {
    case Point::Phase::kIdentity:
      return {"disable", "step 0/9", Box(box), "restore"};
    case Point::Phase::kBegin:
      return {"disable", "step 0/9", "status ", Box(box), "restore"};
    case Point::Phase::kRow:
      return {"disable", "step 0/9", "status ", Step(row), Box(box), "restore"};
    case Point::Phase::kFinish:
      return {"disable", "step 0/9", "status ", Step(9), Box(box), "restore"};
  }
  return {};
}

const Strings kCompletedOutcome = {
    "disable", "step 0/9",     "status ", Step(9), "status Version update completed.",
    "restore", "execute false"};

Option Ends(EndKind kind, int box, Strings log) { return {true, kind, box, std::move(log)}; }
Option GoesOn(Strings log = {}) { return {false, EndKind::kCompleted, 0, std::move(log)}; }

// A late reply D ms after its message, against a deadline: inside, beyond, or too near to tell.
std::vector<Option> LateOptions(int delay, int deadline, int margin, const Option& beyond) {
  if (delay < deadline - margin) return {GoesOn()};
  if (delay > deadline + margin) return {beyond};
  return {GoesOn(), beyond};
}

std::string LogOfStatus(int status) {
  if (status == kStatusCrcMismatch) return kCrcError;
  if (status == kStatusFlashWriteFailed) return kFlashError;
  return {};
}

}  // namespace

const char* EndKindName(EndKind kind) {
  switch (kind) {
    case EndKind::kCompleted:
      return "completed";
    case EndKind::kIdentityTimeout:
      return "identity time-out (102)";
    case EndKind::kIllegalDevice:
      return "illegal device (105)";
    case EndKind::kNotUpdateMode:
      return "not in update mode (106)";
    case EndKind::kBeginRefused:
      return "begin update refused (107)";
    case EndKind::kEraseTimeout:
      return "erase time-out (104)";
    case EndKind::kEraseErrors:
      return "erase errors (107)";
    case EndKind::kWriteTimeout:
      return "write time-out (103)";
    case EndKind::kWriteErrors:
      return "write errors (107)";
    case EndKind::kFinishTimeout:
      return "finish update unanswered (107)";
    case EndKind::kFinishRefused:
      return "finish update refused (107)";
  }
  return "?";
}

UpdateResult ResultOf(EndKind kind) {
  switch (kind) {
    case EndKind::kCompleted:
      return UpdateResult::kCompleted;
    case EndKind::kIdentityTimeout:
      return UpdateResult::kIdentityTimeout;
    case EndKind::kIllegalDevice:
      return UpdateResult::kIllegalDevice;
    case EndKind::kNotUpdateMode:
      return UpdateResult::kNotInUpdateMode;
    case EndKind::kBeginRefused:
      return UpdateResult::kBeginRefused;
    case EndKind::kEraseTimeout:
      return UpdateResult::kEraseTimeout;
    case EndKind::kEraseErrors:
      return UpdateResult::kEraseErrors;
    case EndKind::kWriteTimeout:
      return UpdateResult::kWriteTimeout;
    case EndKind::kWriteErrors:
      return UpdateResult::kTransferError;
    case EndKind::kFinishTimeout:
      return UpdateResult::kFinishUnanswered;
    case EndKind::kFinishRefused:
      return UpdateResult::kFinishRefused;
  }
  return UpdateResult::kAborted;
}

Prediction Predict(const RunPlan& plan, const OracleTiming& t) {
  const Fault* identity_noreply = nullptr;
  const Fault* identity_status = nullptr;
  const Fault* model = nullptr;
  const Fault* not_update_mode = nullptr;
  const Fault* begin_status = nullptr;
  const Fault* no_finish = nullptr;
  const Fault* finish_status = nullptr;
  std::map<int, const Fault*> erase_fault;
  std::map<int, std::vector<const Fault*>> block_faults;
  int silent_block = -1;
  for (const Fault& f : plan.faults) {
    switch (f.kind) {
      case FaultKind::kIdentityNoReply:
        identity_noreply = &f;
        break;
      case FaultKind::kIdentityStatus:
        identity_status = &f;
        break;
      case FaultKind::kModel:
        model = &f;
        break;
      case FaultKind::kNotUpdateMode:
        not_update_mode = &f;
        break;
      case FaultKind::kBeginStatus:
        begin_status = &f;
        break;
      case FaultKind::kNoFinishReply:
        no_finish = &f;
        break;
      case FaultKind::kFinishStatus:
        finish_status = &f;
        break;
      case FaultKind::kEraseStatus:
      case FaultKind::kEraseNoReply:
      case FaultKind::kEraseLate:
        erase_fault[f.at] = &f;
        break;
      case FaultKind::kSilent:
        if (silent_block < 0 || f.at < silent_block) silent_block = f.at;
        break;
      case FaultKind::kCrc:
      case FaultKind::kFlash:
      case FaultKind::kNoReply:
      case FaultKind::kLate:
      case FaultKind::kStatus:
        block_faults[f.at].push_back(&f);
        break;
      default:  // the device's own requests change nothing of the outcome
        break;
    }
  }

  std::vector<Point> points;
  // Identification.
  {
    Point p{Point::Phase::kIdentity, 0, "identity", {GoesOn()}};
    if (identity_noreply) {
      p.options = {Ends(EndKind::kIdentityTimeout, IDS_TIMEOUT_IDENTITY, {kMidiOutError})};
    } else if (identity_status) {
      // The Status carries the device's model; only one of the first model is heard before
      // identification. A Status 0 leaves the detected model at its start value, 0x00.
      p.options = {plan.model_id == AllowedModelIds[0]
                       ? Ends(EndKind::kIllegalDevice, IDS_ILLEGAL_DEVICE, {kIllegalDevice})
                       : Ends(EndKind::kIdentityTimeout, IDS_TIMEOUT_IDENTITY, {kMidiOutError})};
    } else if (model) {
      p.options = {Ends(EndKind::kIllegalDevice, IDS_ILLEGAL_DEVICE, {kIllegalDevice})};
    }
    points.push_back(p);
  }
  // Begin Update.
  {
    Point p{Point::Phase::kBegin, 0, "begin update", {GoesOn()}};
    int status = 0;
    if (not_update_mode) {
      status = kStatusNotInUpdateMode;
    } else if (begin_status) {
      status = begin_status->value;
    }
    if (status == kStatusNotInUpdateMode) {
      p.options = {Ends(EndKind::kNotUpdateMode, IDS_USE_UPDATE_MODE, {kUseUpdateMode})};
    } else if (status != 0) {
      p.options = {Ends(EndKind::kBeginRefused, IDS_TRANSFER_ERROR, {})};
    }
    points.push_back(p);
  }
  // The nine rows.
  const int seventh_write_wait = 7 * t.write_wait_ms + 6 * t.retry_pause_ms;
  for (const devsim::PlanRow& row : devsim::UpdatePlan()) {
    if (!row.write) {
      const auto it = erase_fault.find(row.step);
      if (it == erase_fault.end()) continue;
      const Fault& f = *it->second;
      Point p{Point::Phase::kRow, row.step, "erase step " + std::to_string(row.step), {GoesOn()}};
      if (f.kind == FaultKind::kEraseNoReply) {
        p.options = {Ends(EndKind::kEraseTimeout, IDS_TIMEOUT_ERASE, {kEraseTimeout})};
      } else if (f.kind == FaultKind::kEraseStatus) {
        if (f.count == 0 || f.count >= kMaxTries) {
          p.options = {Ends(EndKind::kEraseErrors, IDS_TRANSFER_ERROR, {kEraseTimeout})};
        }
      } else {
        p.options = LateOptions(f.delay_ms, t.erase_wait_ms, t.late_margin_ms,
                                Ends(EndKind::kEraseTimeout, IDS_TIMEOUT_ERASE, {kEraseTimeout}));
      }
      points.push_back(p);
      continue;
    }
    const int blocks = static_cast<int>(row.size / devsim::kPlanBlockLength);
    for (int b = row.first_block; b < row.first_block + blocks; ++b) {
      Point p{Point::Phase::kRow, row.step, "block " + std::to_string(b), {GoesOn()}};
      if (b == silent_block) {
        p.options = {Ends(EndKind::kWriteTimeout, IDS_TIMEOUT_WRITE, {kWriteTimeout})};
        p.where += " (silent)";
        points.push_back(p);
        break;
      }
      const auto it = block_faults.find(b);
      if (it == block_faults.end()) continue;
      // Each arrival of the block: lost replies come first, then the error faults in the order
      // they were given; the kind of the seventh failure in a row decides the report.
      std::vector<int> failures;  // -1: no reply; otherwise the status
      const Fault* late = nullptr;
      for (const Fault* f : it->second) {
        if (f->kind == FaultKind::kNoReply) {
          failures.insert(failures.begin(), static_cast<std::size_t>(f->count), -1);
        }
      }
      for (const Fault* f : it->second) {
        int status = -2;
        if (f->kind == FaultKind::kCrc) status = kStatusCrcMismatch;
        if (f->kind == FaultKind::kFlash) status = kStatusFlashWriteFailed;
        if (f->kind == FaultKind::kStatus) status = f->value;
        if (f->kind == FaultKind::kLate) late = f;
        if (status != -2)
          failures.insert(failures.end(), static_cast<std::size_t>(f->count), status);
      }
      Strings log;
      const std::size_t counted = std::min<std::size_t>(failures.size(), kMaxTries);
      for (std::size_t i = 0; i < counted; ++i) {
        const std::string line = failures[i] < 0 ? "" : LogOfStatus(failures[i]);
        if (!line.empty()) log.push_back(line);
      }
      if (failures.size() >= static_cast<std::size_t>(kMaxTries)) {
        if (failures[kMaxTries - 1] < 0) {
          log.push_back(kWriteTimeout);
          p.options = {Ends(EndKind::kWriteTimeout, IDS_TIMEOUT_WRITE, log)};
        } else {
          p.options = {Ends(EndKind::kWriteErrors, IDS_TRANSFER_ERROR, log)};
        }
      } else if (late != nullptr && failures.empty()) {
        p.options = LateOptions(late->delay_ms, seventh_write_wait, t.late_margin_ms,
                                Ends(EndKind::kWriteTimeout, IDS_TIMEOUT_WRITE, {kWriteTimeout}));
      } else {
        p.options = {GoesOn(log)};
      }
      points.push_back(p);
    }
    if (silent_block >= 0 && silent_block >= row.first_block &&
        silent_block < row.first_block + blocks) {
      break;  // nothing after a silent block is reached
    }
  }
  // Finish Update.
  if (no_finish) {
    points.push_back({Point::Phase::kFinish,
                      9,
                      "finish update",
                      {Ends(EndKind::kFinishTimeout, IDS_TRANSFER_ERROR, {})}});
  } else if (finish_status != nullptr && finish_status->value != 0) {
    // The device says the update did not take: a failed run.
    points.push_back({Point::Phase::kFinish,
                      9,
                      "finish update",
                      {Ends(EndKind::kFinishRefused, IDS_TRANSFER_ERROR, {kFinishError})}});
  }

  // Every way through the points; a point with two options splits the walk.
  Prediction prediction;
  std::function<void(std::size_t, Strings)> walk = [&](std::size_t i, Strings log) {
    for (; i < points.size(); ++i) {
      const Point& p = points[i];
      if (p.options.size() == 1 && !p.options[0].ends) {
        log.insert(log.end(), p.options[0].log.begin(), p.options[0].log.end());
        continue;
      }
      for (const Option& o : p.options) {
        Strings next = log;
        next.insert(next.end(), o.log.begin(), o.log.end());
        if (o.ends) {
          if (prediction.where.empty()) prediction.where = p.where;
          prediction.allowed.push_back({o.kind, OutcomeOf(p.phase, p.row, o.box), next});
        } else {
          walk(i + 1, next);
        }
      }
      return;
    }
    prediction.allowed.push_back({EndKind::kCompleted, kCompletedOutcome, log});
  };
  walk(0, {});
  return prediction;
}

}  // namespace fen::soak
