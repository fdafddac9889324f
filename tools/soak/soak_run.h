// One soak run: the update session against the simulated device over the virtual bus, with
// the run's fault mix, compared with what the oracle gives for it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "devsim/sim_report.h"
#include "engine/update_session.h"
#include "soak/soak_oracle.h"
#include "soak/soak_plan.h"
#include "soak/soak_view.h"

namespace fen::soak {

// The shrunk timing of the tests, with the waits that end a run when they run out (identity,
// erase, Finish Update) long enough that a busy machine never runs them out on its own. The
// write wait stays short: a block that times out only costs a resend.
UpdateTiming SoakTiming();

struct RunOptions {
  UpdateTiming timing = SoakTiming();
  int late_margin_ms = 150;
  // A run that has not ended after this long is a hang.
  int run_limit_ms = 60000;
  // The log file the session appends to, in the working directory; emptied before each run.
  std::string log_path = "TEST_LOG.txt";
};

struct RunResult {
  RunPlan plan;
  Prediction prediction;
  bool ended = false;
  bool completed = false;              // the session's result says completed
  std::optional<UpdateResult> result;  // the session's, as the run ended
  EndKind kind = EndKind::kCompleted;
  Strings outcome;
  Strings log;
  SoakView::Controls controls;
  bool busy_after = false;
  int calls_after_teardown = 0;
  devsim::Report report;  // with the flash check
  double seconds = 0;
  // Empty when the run did what the oracle says; otherwise each difference.
  std::vector<std::string> mismatches;
};

// Options of the fault mix that fit the run's time-outs.
PlanOptions PlanOptionsFor(const RunOptions& options);

RunResult RunOnce(const RunPlan& plan, const RunOptions& options);

// Several lines: the plan, what was expected and what happened.
std::string DescribeRun(const RunResult& result);

}  // namespace fen::soak
