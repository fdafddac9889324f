// fen-soak: whole update runs against the simulated device, each with a fault mix drawn from
// a seed, checked against the outcome the oracle gives; prints the counts and the seeds.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "soak/soak_run.h"

namespace {

using namespace fen::soak;

std::uint64_t ParseSeed(const std::string& text) { return std::stoull(text, nullptr, 0); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Fault soak: whole update runs against the simulated device with random faults."};
  int runs = 500;
  std::string seed_text;
  std::string replay_text;
  int margin = 150;
  bool verbose = false;
  bool no_repeated_late = false;
  std::string faults_text;
  int model = 0x57;
  app.add_option("--runs", runs, "Number of runs")->check(CLI::Range(1, 1000000));
  app.add_option("--seed", seed_text, "Seed of the whole soak (default: drawn and printed)");
  app.add_option("--replay", replay_text, "Replay the one run of this run seed, in detail");
  app.add_option("--late-margin", margin,
                 "Milliseconds around a time-out within which a late reply may land either side")
      ->check(CLI::Range(0, 10000));
  app.add_option(
      "--faults", faults_text,
      "Run once with these faults (the simulated device's grammar) instead of drawn ones");
  app.add_option("--model", model, "Model ID of the device for --faults")
      ->check(CLI::Range(0, 127));
  app.add_flag("--verbose", verbose, "One line per run");
  app.add_flag("--no-repeated-late", no_repeated_late,
               "Leave out late replies on several tries of one block");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  std::uint64_t seed = 0;
  std::uint64_t replay = 0;
  try {
    seed = seed_text.empty() ? std::random_device{}() : ParseSeed(seed_text);
    if (!replay_text.empty()) replay = ParseSeed(replay_text);
  } catch (const std::exception&) {
    std::fprintf(stderr, "fen-soak: a seed is a number\n");
    return 2;
  }

  RunPlan given;
  if (!faults_text.empty()) {
    std::string error;
    if (!fen::devsim::ParseFaults(faults_text, &given.faults, &error)) {
      std::fprintf(stderr, "fen-soak: --faults: %s\n", error.c_str());
      return 2;
    }
    given.model_id = static_cast<std::uint8_t>(model);
  }

  // The session appends its log to TEST_LOG.txt in the working directory: give it a folder
  // of its own.
  std::error_code ec;
  const auto old_dir = std::filesystem::current_path();
  const auto dir =
      std::filesystem::temp_directory_path() / ("fen-soak-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir, ec);
  std::filesystem::current_path(dir, ec);
  if (ec) {
    std::fprintf(stderr, "fen-soak: cannot work in %s: %s\n", dir.string().c_str(),
                 ec.message().c_str());
    return 2;
  }

  RunOptions options;
  options.late_margin_ms = margin;
  PlanOptions plan_options = PlanOptionsFor(options);
  plan_options.repeated_late = !no_repeated_late;

  int status = 0;
  if (!replay_text.empty() || !faults_text.empty()) {
    RunPlan plan = given;
    if (faults_text.empty()) plan = DrawRunPlan(replay, plan_options);
    const RunResult r = RunOnce(plan, options);
    std::printf("run seed %llu: %s\n%s", static_cast<unsigned long long>(plan.seed),
                r.mismatches.empty() ? "as expected" : "MISMATCH", DescribeRun(r).c_str());
    std::printf(
        "device: %llu blocks written, %llu sent again, %llu replies sent, "
        "requests %d right / %d wrong / %d unanswered\n",
        static_cast<unsigned long long>(r.report.blocks_written),
        static_cast<unsigned long long>(r.report.blocks_sent_again),
        static_cast<unsigned long long>(r.report.replies_sent), r.report.requests_right,
        r.report.requests_wrong, r.report.requests_unanswered);
    status = r.mismatches.empty() ? 0 : 1;
  } else {
    std::printf("fen-soak: %d runs, soak seed %llu\n", runs, static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    std::array<int, kEndKindCount> by_kind{};
    int mismatched = 0;
    int either_way = 0;
    int repeated_late = 0;
    std::uint64_t junk = 0;
    std::string mismatched_seeds;
    double longest = 0;
    for (int i = 0; i < runs; ++i) {
      const std::uint64_t run_seed = RunSeed(seed, static_cast<std::uint64_t>(i));
      const RunPlan plan = DrawRunPlan(run_seed, plan_options);
      const RunResult r = RunOnce(plan, options);
      ++by_kind[static_cast<std::size_t>(r.kind)];
      either_way += r.prediction.allowed.size() > 1;
      repeated_late += plan.has_repeated_late;
      for (const auto& b : plan.noise) junk += b.messages.size();
      longest = std::max(longest, r.seconds);
      if (!r.mismatches.empty()) {
        ++mismatched;
        mismatched_seeds += " " + std::to_string(run_seed);
        std::printf("run %d (run seed %llu) MISMATCH\n%s", i + 1,
                    static_cast<unsigned long long>(run_seed), DescribeRun(r).c_str());
      } else if (verbose) {
        std::printf("run %d (run seed %llu): %s, %.2f s\n", i + 1,
                    static_cast<unsigned long long>(run_seed), EndKindName(r.kind), r.seconds);
      }
      if (!verbose && (i + 1) % 50 == 0) std::printf("  %d runs done\n", i + 1);
      std::fflush(stdout);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("runs:        %d\n", runs);
    std::printf("successes:   %d\n", by_kind[0]);
    std::printf("failures:    %d\n", runs - by_kind[0]);
    for (int k = 1; k < kEndKindCount; ++k) {
      std::printf("  %-32s %d\n", EndKindName(static_cast<EndKind>(k)), by_kind[k]);
    }
    std::printf("mismatches:  %d%s\n", mismatched,
                mismatched ? (" (run seeds:" + mismatched_seeds + ")").c_str() : "");
    std::printf("runs with a late reply near a time-out (either end allowed): %d\n", either_way);
    std::printf("runs with late replies on several tries of one block: %d\n", repeated_late);
    std::printf("junk messages sent to the program: %llu\n", static_cast<unsigned long long>(junk));
    std::printf("time:        %.1f s (longest run %.2f s)\n", seconds, longest);
    std::printf("soak seed %llu; replay one run with: fen-soak --replay <run seed>\n",
                static_cast<unsigned long long>(seed));
    status = mismatched == 0 ? 0 : 1;
  }

  std::filesystem::current_path(old_dir, ec);
  std::filesystem::remove_all(dir, ec);
  return status;
}
