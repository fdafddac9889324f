// Runs one update against the simulated device and checks it against the oracle: the window's
// calls, the log lines, the controls, the device's flash and its record of the requests.
#include "soak/soak_run.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

#include "devsim/sim_device.h"
#include "platform/midi/midi_driver.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "platform/output_file.h"
#include "soak/soak_link.h"

namespace fen::soak {

namespace {

// Lines start with "YYYY/MM/DD HH:MM:SS" and five blanks.
constexpr std::size_t kStampLength = 24;

Strings ReadLogTexts(const std::string& path) {
  Strings texts;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    texts.push_back(line.size() > kStampLength ? line.substr(kStampLength) : line);
  }
  return texts;
}

std::string Join(const Strings& items) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) text += (i ? ", " : "") + items[i];
  return text + "]";
}

}  // namespace

UpdateTiming SoakTiming() {
  UpdateTiming t = UpdateTiming::Shrunk();
  t.identity_wait_ms = 1500;
  t.erase_wait_ms = 1500;
  t.finish_wait_ms = 1500;
  return t;
}

PlanOptions PlanOptionsFor(const RunOptions& options) {
  PlanOptions p;
  p.late_margin_ms = options.late_margin_ms;
  p.write_wait_ms = static_cast<int>(options.timing.write_wait_ms);
  p.retry_pause_ms = static_cast<int>(options.timing.retry_pause_ms);
  p.erase_wait_ms = static_cast<int>(options.timing.erase_wait_ms);
  return p;
}

RunResult RunOnce(const RunPlan& plan, const RunOptions& options) {
  RunResult r;
  r.plan = plan;
  OracleTiming oracle_timing;
  oracle_timing.write_wait_ms = static_cast<int>(options.timing.write_wait_ms);
  oracle_timing.retry_pause_ms = static_cast<int>(options.timing.retry_pause_ms);
  oracle_timing.erase_wait_ms = static_cast<int>(options.timing.erase_wait_ms);
  oracle_timing.late_margin_ms = options.late_margin_ms;
  r.prediction = Predict(plan, oracle_timing);

  // An empty log for the run, made beside and renamed (never written through a link).
  if (std::string ignored; !WriteFileReplacing(options.log_path, "", &ignored)) {
    std::remove(options.log_path.c_str());
  }

  devsim::SimOptions device_options;
  device_options.model_id = plan.model_id;
  device_options.faults = plan.faults;
  device_options.timing = devsim::SimTiming::Instant();

  auto bus = std::make_shared<VirtualMidiBus>();
  SoakLink link(*bus, device_options, plan.noise);
  SoakView view;
  {
    MidiDriver driver(std::vector<std::shared_ptr<MidiBackend>>{bus});
    UpdateSession session(view, UpdateServices{.driver = &driver}, options.timing);
    session.Initialise();
    const auto start = std::chrono::steady_clock::now();
    if (session.Execute(0, 0) == UpdateSession::ExecuteOutcome::kStarted) {
      r.ended = session.WaitForWorkerFor(static_cast<std::uint32_t>(options.run_limit_ms));
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.busy_after = session.busy();
    r.result = session.last_result();
    view.Close();
    session.Teardown();
    view.Gone();
  }
  r.calls_after_teardown = view.calls_after_gone();
  r.outcome = view.Outcome();
  r.controls = view.controls();
  r.log = ReadLogTexts(options.log_path);
  r.completed = r.result == UpdateResult::kCompleted;
  r.report = link.device().GetReport(devsim::LookupIn(FirmwareSet::Builtin()));

  // What the run ended in, and whether the oracle allows it.
  const Expected* match = nullptr;
  for (const Expected& e : r.prediction.allowed) {
    if (e.outcome == r.outcome && e.log == r.log) match = &e;
  }
  if (!r.ended) r.mismatches.push_back("the run did not end within the limit (hang)");
  if (match != nullptr) {
    r.kind = match->kind;
    if (r.ended && r.result != ResultOf(match->kind)) {
      r.mismatches.push_back(std::string("the session reports ") +
                             (r.result ? InfoOf(*r.result).name : "no result") + ", not " +
                             EndKindName(match->kind));
    }
  } else {
    std::string expected;
    for (const Expected& e : r.prediction.allowed) {
      expected += "\n    outcome " + Join(e.outcome) + " log " + Join(e.log);
    }
    r.mismatches.push_back("outcome " + Join(r.outcome) + " log " + Join(r.log) +
                           " is none of:" + expected);
  }
  const SoakView::Controls expected_controls = {true, true, !r.completed, true};
  if (r.ended && !(r.controls == expected_controls)) {
    r.mismatches.push_back("controls after the run are not those of its outcome");
  }
  if (r.ended && r.busy_after) r.mismatches.push_back("busy flag still set after the run");
  if (r.calls_after_teardown != 0) {
    r.mismatches.push_back(std::to_string(r.calls_after_teardown) +
                           " view calls after the session's teardown returned");
  }
  if (r.completed && !r.report.flash.holds_images) {
    r.mismatches.push_back("SUCCESS OVER WRONG FLASH: blocks " +
                           devsim::BlockRanges(r.report.flash.mismatched_blocks));
  }
  if (r.report.requests_wrong != 0) {
    r.mismatches.push_back(std::to_string(r.report.requests_wrong) +
                           " of the device's requests answered wrongly");
  }
  if (r.completed && r.report.requests_unanswered != 0) {
    r.mismatches.push_back(std::to_string(r.report.requests_unanswered) +
                           " of the device's requests left unanswered");
  }
  return r;
}

std::string DescribeRun(const RunResult& r) {
  std::string text = "  plan:     " + r.plan.Describe() + "\n";
  for (const Expected& e : r.prediction.allowed) {
    text += std::string("  expected: ") + EndKindName(e.kind) + " at " +
            (e.kind == EndKind::kCompleted ? std::string("the end") : r.prediction.where) +
            ", outcome " + Join(e.outcome) + ", log " + Join(e.log) + "\n";
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f s", r.seconds);
  text += "  observed: outcome " + Join(r.outcome) + ", log " + Join(r.log) + ", " + seconds +
          ", flash " + (r.report.flash.holds_images ? "holds the images" : "differs") + "\n";
  for (const auto& m : r.mismatches) text += "  MISMATCH: " + m + "\n";
  return text;
}

}  // namespace fen::soak
