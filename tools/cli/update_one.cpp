// `update` of one device: its ports chosen, one session run to its end, the result reported on
// the terminal, in the event stream and in the record.
#include <unistd.h>

#include <cstdio>

#include "engine/identity_probe.h"
#include "failure.h"
#include "run_events.h"
#include "terminal_text.h"
#include "update_command.h"

namespace fen {

int RunUpdate(const UpdateArgs& args) {
  UpdateSetup setup;
  if (const int refused = PrepareRecordAndUpdate(args, &setup); refused != 0) return refused;
  const FirmwareSet& firmware = *setup.firmware;
  const std::shared_ptr<MidiDriver>& driver = setup.driver;
  // With several simulated devices, the one the instance number picks.
  devsim::VirtualBusDevice* device =
      static_cast<std::size_t>(args.instance) <= setup.devices.size()
          ? setup.devices[static_cast<std::size_t>(args.instance - 1)].get()
          : nullptr;

  const CliView::Mode mode = args.json                 ? CliView::Mode::kJson
                             : ::isatty(STDOUT_FILENO) ? CliView::Mode::kTerminal
                                                       : CliView::Mode::kPlain;
  // --json: the event stream; --json-calls: the window's calls, one line each.
  const bool events = args.json && !args.json_calls;
  CliView view(mode, events ? nullptr : stdout, stderr, {}, args.verbosity());
  RunEvents run(&view, events ? stdout : nullptr);
  UpdateTiming timing = args.timeouts == "short" ? UpdateTiming::Shrunk() : UpdateTiming{};
  timing.early_tick = args.dispatch == "early";
  UpdateSession session(run,
                        UpdateServices{.driver = driver.get(),
                                       .firmware = &firmware,
                                       .release_models = setup.choice.release.models},
                        timing);
  session.Initialise();

  const PortLists lists = ListPorts(session);
  std::string error;
  int in = ResolvePort(args.in, lists.inputs, args.instance, "MIDI IN", args.simulate, &error);
  int out = in < -1 ? in
                    : ResolvePort(args.out, lists.outputs, args.instance, "MIDI OUT", args.simulate,
                                  &error);
  if (in < -1 || out < -1) {
    return ReportFailure(in == kAmbiguousPort || out == kAmbiguousPort ? kExitPorts : kExitUsage,
                         error);
  }
  // No pair of ports bears the device's names (Windows MIDI Services' names, a renamed
  // device): the N-th pair that answers an Identity Request as the family is the device's.
  bool by_answer = false;
  if (in == -1 && out == -1 && args.in.empty() && args.out.empty() && !lists.inputs.empty() &&
      !lists.outputs.empty()) {
    const std::vector<IdentifiedPair> family =
        FamilyPairs(ProbeIdentities(*driver, args.identify_wait_ms));
    if (static_cast<int>(family.size()) >= args.instance) {
      in = family[static_cast<std::size_t>(args.instance - 1)].in;
      out = family[static_cast<std::size_t>(args.instance - 1)].out;
      by_answer = true;
    }
  }
  // No port bears the device's names and none answered as it: nothing to open, and no port to
  // blame.
  if (in < 0 || out < 0) {
    std::string text = NoDeviceText(lists, args.instance, in < 0, out < 0);
    if (args.in.empty() && args.out.empty() && !lists.inputs.empty() && !lists.outputs.empty()) {
      text += "; no other pair answered an Identity Request as the device";
    }
    return ReportFailure(kExitPorts, text, NoDeviceAdvice(static_cast<int>(setup.devices.size())));
  }
  const std::string in_name = in >= 0 ? lists.inputs[static_cast<std::size_t>(in)] : "";
  const std::string out_name = out >= 0 ? lists.outputs[static_cast<std::size_t>(out)] : "";
  if (mode != CliView::Mode::kJson && !args.quiet) {
    std::printf("MIDI IN:  %s\nMIDI OUT: %s\n", TerminalText(in_name).c_str(),
                TerminalText(out_name).c_str());
    if (by_answer) {
      std::printf(
          "(found by the device's answer to an Identity Request: no port bears its name)\n");
    }
    std::fflush(stdout);
  }
  run.Begin(in_name, out_name, ReleaseJson(setup.choice.release, setup.choice.folder.has_value()));
  if (events && !setup.choice.event.is_null()) PrintJsonLine(stdout, setup.choice.event);
  // The closing result event and the record's line, however the run ended.
  const auto finish = [&](const std::string& outcome, int status, const JsonLine& extra) {
    return WriteRecord(args, run.Finish(outcome, status, UnitFields(args, *driver, out, extra)),
                       status, "");
  };

  CatchInterrupts();
  const auto outcome = session.Execute(in, out);
  if (outcome != UpdateSession::ExecuteOutcome::kStarted) {
    ReportOpenFailure(outcome, lists, in, out, setup.rawmidi, "");
    const std::optional<UpdateResult> result = session.last_result();
    return finish(result ? InfoOf(*result).name : "port not opened", kExitPorts, {});
  }
  bool interrupted = false;
  while (!session.WaitForWorkerFor(50)) {
    if (InterruptRequested()) {
      interrupted = true;
      session.Teardown();
      break;
    }
  }
  view.FinishLine();
  session.Teardown();
  if (interrupted) {
    const std::string text = "Interrupted: the update did not finish.";
    const std::string advice = "Run it again before using the device.";
    std::fprintf(stderr, "%s %s\n", text.c_str(), advice.c_str());
    if (events) PrintErrorEvent(kExitInterrupted, text, advice);
    return finish("interrupted", kExitInterrupted, {});
  }
  int status = ExitFor(session);
  JsonLine extra = JsonLine::object();
  if (device) {
    device->WaitIdle();
    const bool holds = device->device().FlashHoldsImages(firmware);
    extra["flash_holds_images"] = holds;
    if (mode == CliView::Mode::kJson) {
      if (!events) {
        PrintJsonLine(stdout, JsonLine{{"call", "device"}, {"flash_holds_images", holds}});
      }
    } else if (args.quiet && (holds || !view.completed())) {
      // Said only where it is the failure: after a run that reported success.
    } else if (holds) {
      PrintFitted(stdout, "Simulated device: its flash holds the firmware images.");
    } else {
      PrintFitted(stdout, "Simulated device: its flash does not hold the firmware images.");
    }
    if (view.completed() && !holds) {
      status = kExitVerification;
      if (events) PrintErrorEvent(status, kFlashDiffers, {});
    }
  }
  if (mode == CliView::Mode::kJson && !events) {
    PrintJsonLine(stdout,
                  JsonLine{{"call", "result"}, {"completed", view.completed()}, {"exit", status}});
  }
  const std::optional<UpdateResult> result = session.last_result();
  return finish(result ? InfoOf(*result).name : "ended without a result", status, extra);
}

}  // namespace fen
