// `update --all`: every device at once, each pair of ports named like the device (or paired by
// its Identity Reply) in a session of its own, shown on a board that redraws in place, or as
// plain lines or JSON.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/port_selection.h"
#include "engine/string_table.h"
#include "failure.h"
#include "identify.h"
#include "next_step.h"
#include "progress_line.h"
#include "run_events.h"
#include "terminal_text.h"
#include "update_command.h"

namespace fen {

namespace {

struct Target {
  std::string label;
  int in = -1;
  int out = -1;
  int instance = 1;
  devsim::VirtualBusDevice* device = nullptr;  // when simulating
  bool by_identity = false;                    // paired by its Identity Reply, not its names
  std::unique_ptr<CliView> view;
  std::unique_ptr<RunEvents> events;  // the event stream and the record of its run
  std::unique_ptr<UpdateSession> session;
  int status = kExitCompleted;
  bool flash_holds = true;
};

// One line per device, redrawn in place on a terminal.
class ProgressBoard {
 public:
  explicit ProgressBoard(const std::vector<Target*>& targets) : targets_(targets) {}

  // Each line fitted to the terminal's width as it is now, so that none wraps and moving
  // up as many lines as there are devices finds the first.
  void Draw() {
    if (drawn_) std::printf("\r\033[%zuA\033[J", targets_.size());
    drawn_ = true;
    const double total = static_cast<double>(TotalImageBytes());
    const int columns = TerminalColumns(stdout);
    for (const Target* t : targets_) {
      const double fraction = static_cast<double>(t->view->bytes_done()) / total;
      std::string state = "updating";
      if (t->view->completed()) {
        state = LoadString(IDS_UPDATE_COMPLETED);
      } else if (t->view->last_error() != 0) {
        state = "Error: " + LoadString(t->view->last_error());
      }
      std::printf("%s\n", FitBoardLine(TerminalText(t->label), fraction, state, columns).c_str());
    }
    std::fflush(stdout);
  }

 private:
  std::vector<Target*> targets_;
  bool drawn_ = false;
};

}  // namespace

int RunUpdateAll(const UpdateArgs& args) {
  UpdateSetup setup;
  if (const int refused = PrepareRecordAndUpdate(args, &setup); refused != 0) return refused;

  // A device is a pair of ports with the names one copy of the desktop program would pick.
  const PortLists lists = ListPorts(*setup.driver);
  std::vector<std::unique_ptr<Target>> targets;
  std::vector<std::string> unpaired;
  std::vector<std::string> ambiguous;  // preferred names several ports answer to
  for (int instance = 1; instance <= kMaxInstances; ++instance) {
    std::string error;
    const int in = ResolvePort("", lists.inputs, instance, "MIDI IN", args.simulate, &error);
    const int out = ResolvePort("", lists.outputs, instance, "MIDI OUT", args.simulate, &error);
    if (in == kAmbiguousPort || out == kAmbiguousPort) {
      // Not updated: the name may lead to another program's port.
      ReportFailure(kExitPorts, error);
      ambiguous.push_back(
          in == kAmbiguousPort
              ? lists.inputs[static_cast<std::size_t>(LastPreferredPort(lists.inputs, instance))]
              : lists
                    .outputs[static_cast<std::size_t>(LastPreferredPort(lists.outputs, instance))]);
      continue;
    }
    if (in < 0 && out < 0) continue;
    if (in < 0 || out < 0) {
      unpaired.push_back(in >= 0 ? lists.inputs[static_cast<std::size_t>(in)]
                                 : lists.outputs[static_cast<std::size_t>(out)]);
      continue;
    }
    auto target = std::make_unique<Target>();
    target->label = lists.inputs[static_cast<std::size_t>(in)];
    target->in = in;
    target->out = out;
    target->instance = instance;
    if (static_cast<std::size_t>(instance) <= setup.devices.size()) {
      target->device = setup.devices[static_cast<std::size_t>(instance - 1)].get();
    }
    targets.push_back(std::move(target));
  }
  // Where the names do not tell, the devices' own Identity Replies do. Only Identity Requests
  // go out for it.
  if (targets.empty() || !unpaired.empty() || !ambiguous.empty()) {
    const IdentifyResult probe = ProbeIdentities(*setup.driver, args.identify_wait_ms);
    for (const IdentifiedPair& pair : probe.pairs) {
      const bool taken = std::any_of(targets.begin(), targets.end(), [&](const auto& t) {
        return t->in == pair.in || t->out == pair.out;
      });
      if (!pair.of_family || taken || pair.in >= static_cast<int>(lists.inputs.size()) ||
          pair.out >= static_cast<int>(lists.outputs.size())) {
        continue;
      }
      auto target = std::make_unique<Target>();
      target->label = lists.inputs[static_cast<std::size_t>(pair.in)];
      target->in = pair.in;
      target->out = pair.out;
      target->by_identity = true;
      // The simulated device whose client name the port's name starts with, the longest.
      for (const auto& device : setup.devices) {
        if (target->label.rfind(device->client_name(), 0) == 0 &&
            (target->device == nullptr ||
             device->client_name().size() > target->device->client_name().size())) {
          target->device = device.get();
        }
      }
      const auto paired_now = [&](const std::string& name) {
        return name == lists.inputs[static_cast<std::size_t>(pair.in)] ||
               name == lists.outputs[static_cast<std::size_t>(pair.out)];
      };
      std::erase_if(unpaired, paired_now);
      std::erase_if(ambiguous, paired_now);
      targets.push_back(std::move(target));
    }
  }
  for (const std::string& name : unpaired) {
    ReportFailure(kExitPorts, name + ": only one direction of the device's ports is there",
                  "Check the cable and `fenupdator-cli list`: the device shows a MIDI IN and a "
                  "MIDI OUT port.");
  }
  if (targets.empty()) {
    return ReportFailure(kExitPorts,
                         "no device found: no pair of MIDI ports is named like the device and "
                         "none answered an Identity Request as one; " +
                             PortsListed(lists),
                         NoDeviceAdvice(static_cast<int>(setup.devices.size()), true));
  }

  const bool json = args.json;
  const bool events = json && !args.json_calls;
  // Quiet and verbose output is made of lines, which a board would draw over.
  bool board = !json && ::isatty(STDOUT_FILENO) && !args.quiet && !args.verbose;
  // On a terminal the board draws the lines, so the views write nowhere: to the system's null
  // device, "NUL" on Windows, where no POSIX path exists. Without one, the lines are written
  // and no board is drawn.
#ifdef _WIN32
  constexpr const char* kNullDevice = "NUL";
#else
  constexpr const char* kNullDevice = "/dev/null";
#endif
  std::FILE* quiet = board ? std::fopen(kNullDevice, "w") : nullptr;
  if (quiet == nullptr) board = false;
  UpdateTiming timing = args.timeouts == "short" ? UpdateTiming::Shrunk() : UpdateTiming{};
  timing.early_tick = args.dispatch == "early";
  if (!json && !args.quiet) {
    std::printf("Updating %zu device%s:\n", targets.size(), targets.size() == 1 ? "" : "s");
    const int columns = board ? TerminalColumns(stdout) - 1 : 0;
    for (const auto& t : targets) {
      const std::string label = TerminalText(t->label);
      const std::string in = TerminalText(lists.inputs[static_cast<std::size_t>(t->in)]);
      const std::string out = TerminalText(lists.outputs[static_cast<std::size_t>(t->out)]);
      const std::string by = t->by_identity ? "its Identity Reply" : "name";
      std::string line =
          "  " + label + ": MIDI IN " + in + ", MIDI OUT " + out + " (paired by " + by + ")";
      // On a narrow terminal the ports that bear the label's name go without saying.
      if (columns > 0 && DisplayColumns(line) > columns && in == label && out == label) {
        line = "  " + label + ": paired by " + by;
      }
      for (const std::string& part : WrapWords(line, columns, "    ")) {
        std::printf("%s\n", part.c_str());
      }
    }
    std::fflush(stdout);
  } else {
    for (const auto& t : targets) {
      // The event stream's first lines say its shape's version, as a single run's plan does.
      JsonLine paired = events ? JsonLine{{"schema", kEventSchemaVersion}} : JsonLine::object();
      paired.update(JsonLine{{events ? "label" : "device", t->label},
                             {events ? "event" : "call", "paired"},
                             {"by", t->by_identity ? "identity" : "name"},
                             {"in", lists.inputs[static_cast<std::size_t>(t->in)]},
                             {"out", lists.outputs[static_cast<std::size_t>(t->out)]}});
      PrintJsonLine(stdout, paired);
    }
    if (events && !setup.choice.event.is_null()) PrintJsonLine(stdout, setup.choice.event);
  }

  CatchInterrupts();
  for (auto& t : targets) {
    t->view = board ? std::make_unique<CliView>(CliView::Mode::kPlain, quiet, quiet, t->label)
                    : std::make_unique<CliView>(json ? CliView::Mode::kJson : CliView::Mode::kPlain,
                                                events ? nullptr : stdout, stderr, t->label,
                                                args.verbosity());
    t->events = std::make_unique<RunEvents>(t->view.get(), events ? stdout : nullptr, t->label);
    t->events->Begin(lists.inputs[static_cast<std::size_t>(t->in)],
                     lists.outputs[static_cast<std::size_t>(t->out)],
                     ReleaseJson(setup.choice.release, setup.choice.folder.has_value()));
    t->session = std::make_unique<UpdateSession>(
        *t->events,
        UpdateServices{.driver = setup.driver.get(),
                       .firmware = setup.firmware,
                       .release_models = setup.choice.release.models},
        timing);
    t->session->Initialise();
    const auto outcome = t->session->Execute(t->in, t->out);
    if (outcome != UpdateSession::ExecuteOutcome::kStarted) {
      ReportOpenFailure(outcome, lists, t->in, t->out, setup.rawmidi, t->label);
      t->status = kExitPorts;
    }
  }

  std::vector<Target*> shown;
  for (auto& t : targets) shown.push_back(t.get());
  ProgressBoard progress(shown);
  bool interrupted = false;
  for (;;) {
    bool running = false;
    for (auto& t : targets) running = running || t->session->WorkerRunning();
    if (board) progress.Draw();
    if (!running) break;
    if (InterruptRequested()) {
      interrupted = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(board ? 200 : 50));
  }
  for (auto& t : targets) {
    t->session->Teardown();
    t->view->FinishLine();
  }
  if (quiet != nullptr) std::fclose(quiet);
  // The closing result event and the record's line of one device.
  bool record_lost = false;
  const auto finish = [&](Target& t, const std::string& outcome, const JsonLine& extra) {
    const JsonLine summary =
        t.events->Finish(outcome, t.status, UnitFields(args, *setup.driver, t.out, extra));
    record_lost = WriteRecord(args, summary, t.status, t.label) != t.status || record_lost;
  };
  if (interrupted) {
    const std::string text = "Interrupted: the updates did not finish.";
    const std::string advice = "Run them again before using the devices.";
    for (auto& t : targets) {
      t->status = kExitInterrupted;
      if (events) PrintErrorEvent(kExitInterrupted, text, advice, t->label);
      finish(*t, "interrupted", {});
    }
    std::fprintf(stderr, "%s %s\n", text.c_str(), advice.c_str());
    return kExitInterrupted;
  }

  int status = kExitCompleted;
  int updated = 0;
  for (auto& t : targets) {
    if (t->status == kExitCompleted) {
      t->status = ExitFor(*t->session);
    }
    if (t->device != nullptr) {
      t->device->WaitIdle();
      t->flash_holds = t->device->device().FlashHoldsImages(*setup.firmware);
      if (t->status == kExitCompleted && !t->flash_holds) {
        t->status = kExitVerification;
        if (events) PrintErrorEvent(t->status, kFlashDiffers, {}, t->label);
      }
    }
    if (t->status == kExitCompleted) ++updated;
    if (status == kExitCompleted) status = t->status;
    const std::optional<UpdateResult> result = t->session->last_result();
    {
      JsonLine extra = JsonLine::object();
      if (t->device != nullptr) extra["flash_holds_images"] = t->flash_holds;
      finish(*t, result ? InfoOf(*result).name : "ended without a result", extra);
    }
    if (events) continue;
    if (json) {
      JsonLine done{{"device", t->label},
                    {"call", "done"},
                    {"completed", t->view->completed()},
                    {"exit", t->status}};
      if (t->device != nullptr) done["flash_holds_images"] = t->flash_holds;
      PrintJsonLine(stdout, done);
      continue;
    }
    // Plain lines already said how each run ended; the board only showed it. A failed
    // unit's error and advice stand under the board.
    if (board) {
      const std::string label = TerminalText(t->label) + ": ";
      if (t->view->completed()) {
        PrintFitted(stdout, label + LoadString(IDS_UPDATE_COMPLETED));
      } else if (t->view->last_error() != 0) {
        PrintFitted(stderr, label + "Error: " + LoadString(t->view->last_error()));
        if (result && !NextStepHint(*result).empty()) {
          PrintFitted(stderr, label + NextStepHint(*result));
        }
      }
    }
    if (t->device != nullptr && !(args.quiet && (t->flash_holds || !t->view->completed()))) {
      PrintFitted(stdout, TerminalText(t->label) + ": the simulated device's flash " +
                              (t->flash_holds ? "holds" : "does not hold") +
                              " the firmware images.");
    }
  }
  if ((!unpaired.empty() || !ambiguous.empty()) && status == kExitCompleted) status = kExitPorts;
  if (record_lost && status == kExitCompleted) status = kExitRecord;
  const int failed = static_cast<int>(targets.size()) - updated;
  if (json) {
    PrintJsonLine(stdout, JsonLine{{events ? "event" : "call", "summary"},
                                   {"devices", targets.size()},
                                   {"updated", updated},
                                   {"failed", failed},
                                   {"unpaired", unpaired.size()},
                                   {"exit", status}});
  } else {
    PrintFitted(stdout, "Summary: " + std::to_string(updated) + " of " +
                            std::to_string(targets.size()) + " device" +
                            (targets.size() == 1 ? "" : "s") + " updated" +
                            (failed > 0 ? ", " + std::to_string(failed) + " failed" : "") + ".");
  }
  std::fflush(stdout);
  return status;
}

}  // namespace fen
