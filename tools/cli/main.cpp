// fenupdator-cli: the headless updater. Lists the MIDI ports, or updates one device (or every
// device at once) through the same update session as the desktop program, against real ports
// or built-in simulated devices.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli_view.h"
#include "devsim/fault.h"
#include "devsim/sim_timing.h"
#include "devsim/virtual_bus_device.h"
#include "engine/port_selection.h"
#include "engine/string_table.h"
#include "engine/update_session.h"
#include "failure.h"
#include "firmware/firmware.h"
#include "firmware_commands.h"
#include "identify.h"
#include "json_line.h"
#include "next_step.h"
#include "package_version.h"
#include "platform/midi/midi_driver.h"
#include "platform/midi/rawmidi/rawmidi_backend.h"
#include "platform/midi/system_midi.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "port_choice.h"
#include "progress_line.h"
#include "run_events.h"
#include "suggest.h"
#include "terminal_text.h"
#include "usb_identity.h"

namespace {

using namespace fen;

// Exit statuses (engine/update_result.h) are documented in the README.

// A simulated device whose flash differs after a run that reported success.
constexpr const char* kFlashDiffers =
    "the run reported success, but the simulated device's flash does not hold the firmware "
    "images";

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

// Only Ctrl-C and SIGTERM abort a run; they are caught so that the run ends in order.
void CatchInterrupts() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}

// A closed terminal (SIGHUP) or a reader of the output that went away (SIGPIPE, `| head`) must
// not stop a flash half-way: the run goes on to its end, writes its record and exits with its
// own status; what it would have printed is lost, and write errors on the output are ignored.
void KeepRunningWithoutOutput() {
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
#endif
}

// A line of its own; on a terminal broken at spaces to its width, so that it never wraps
// mid-word.
void PrintFitted(std::FILE* to, const std::string& text) {
  const int columns = TerminalColumns(to);
  for (const std::string& line : WrapWords(text, columns - 1, "  ")) {
    std::fprintf(to, "%s\n", line.c_str());
  }
  std::fflush(to);
}

std::string VersionText() {
  std::string text =
      std::string(kProductTitle) + " (command-line updater), version " + kPackageVersion;
  if (FirmwareSet::BuiltinIsPlaceholder()) {
    text += "\nDemo build: the built-in firmware images are placeholders, not a firmware release.";
  }
  return text + BuiltinReleaseText();
}

// `rawmidi`, when that backend runs, is set to it: only it can say why a port would not open.
std::shared_ptr<MidiDriver> MakeRealDriver(const std::string& api, std::string* error,
                                           std::shared_ptr<RawMidiBackend>* rawmidi = nullptr) {
  if (api == "rawmidi") {
    std::string reason;
    auto backend = MakeRawMidiBackend(&reason);
    if (!backend) {
      *error = "no MIDI system is available: " + reason;
      return nullptr;
    }
    if (rawmidi) *rawmidi = backend;
    return std::make_shared<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{backend});
  }
  std::string reasons;
  auto driver = MakeSystemMidiDriver(api, "fenupdator-cli", &reasons);
  if (!driver) {
    *error = "no MIDI system is available" + (reasons.empty() ? "" : ": " + reasons);
    return nullptr;
  }
  return driver;
}

// After a port would not open: which one, and why, where the backend knows.
void ReportOpenFailure(const UpdateSession::ExecuteOutcome outcome, const PortLists& lists, int in,
                       int out, const std::shared_ptr<RawMidiBackend>& rawmidi,
                       const std::string& label) {
  const bool out_failed = outcome == UpdateSession::ExecuteOutcome::kOutPortFailed;
  if (!out_failed && outcome != UpdateSession::ExecuteOutcome::kInPortFailed) return;
  const std::vector<std::string>& names = out_failed ? lists.outputs : lists.inputs;
  const int index = out_failed ? out : in;
  const std::string name = index >= 0 && static_cast<std::size_t>(index) < names.size()
                               ? names[static_cast<std::size_t>(index)]
                               : std::string("(none)");
  const std::string reason = rawmidi ? rawmidi->LastOpenError() : std::string();
  std::fprintf(stderr, "fenupdator-cli: %s%scannot open MIDI %s port \"%s\"%s%s\n",
               TerminalText(label).c_str(), label.empty() ? "" : ": ", out_failed ? "OUT" : "IN",
               TerminalText(name).c_str(), reason.empty() ? "" : ": ",
               TerminalText(reason).c_str());
}

int RunList(const std::string& api, bool json, int instance) {
  std::string error;
  auto driver = MakeRealDriver(api, &error);
  if (!driver) {
    std::fprintf(stderr, "fenupdator-cli: %s\n", error.c_str());
    return kExitPorts;
  }
  NullView view;
  UpdateSession session(view, UpdateServices{.driver = driver.get()});
  const PortLists lists = ListPorts(session);
  const int in_selected = SelectPreferredPort(lists.inputs, instance);
  const int out_selected = SelectPreferredPort(lists.outputs, instance);
  if (json) {
    auto entries = [](const std::vector<std::string>& names, int selected) {
      JsonLine list = JsonLine::array();
      for (std::size_t i = 0; i < names.size(); ++i) {
        list.push_back(JsonLine{{"index", i},
                                {"name", names[i]},
                                {"preselected", static_cast<int>(i) == selected},
                                {"shared_name", PortsNamed(names, names[i]).size() > 1}});
      }
      return list;
    };
    PrintJsonLine(stdout, JsonLine{{"inputs", entries(lists.inputs, in_selected)},
                                   {"outputs", entries(lists.outputs, out_selected)}});
    return kExitCompleted;
  }
  auto print = [](const char* title, const std::vector<std::string>& names, int selected) {
    std::printf("%s\n", title);
    if (names.empty()) std::printf("  (none)\n");
    for (std::size_t i = 0; i < names.size(); ++i) {
      const bool shared = PortsNamed(names, names[i]).size() > 1;
      std::printf("  %c %2zu  %s%s\n", static_cast<int>(i) == selected ? '*' : ' ', i,
                  TerminalText(names[i]).c_str(),
                  shared ? "  (name shared by several ports: give the index)" : "");
    }
  };
  print("MIDI IN", lists.inputs, in_selected);
  print("MIDI OUT", lists.outputs, out_selected);
  if (in_selected >= 0 || out_selected >= 0)
    std::printf("* pre-selected for instance %d\n", instance);
  if (lists.inputs.empty() && lists.outputs.empty()) {
    std::printf(
        "No MIDI device found: the MIDI system lists no input and no output port. Connect the "
        "device, or try the simulated one: fenupdator-cli update --simulate\n");
  }
  return kExitCompleted;
}

struct UpdateArgs {
  std::string api = "auto";
  std::string in;
  std::string out;
  int instance = 1;
  std::string firmware;
  bool allow_unsigned = false;
  bool json = false;
  bool simulate = false;
  std::vector<std::string> faults;
  std::string pace = "usb";
  std::string model = "0x57";
  std::string timeouts = "original";
  bool all = false;
  int simulated_devices = 0;  // 0: one, when simulating
  std::string simulated_name = "USB Audio Device";
  bool simulate_echo = false;
  std::uint32_t identify_wait_ms = 300;
  std::string dispatch = "early";
  bool json_calls = false;  // --json-calls: the window's calls instead of the event stream
  std::string record;       // --record FILE
  std::string unit;         // --label: the operator's name for the unit (a serial, a barcode)
  bool quiet = false;       // -q: errors and the result only
  bool verbose = false;     // -v: each message and each retry's cause as well

  CliView::Verbosity verbosity() const {
    return quiet     ? CliView::Verbosity::kQuiet
           : verbose ? CliView::Verbosity::kVerbose
                     : CliView::Verbosity::kNormal;
  }
};

// The exit status of a session's last run; a run that never reported an end failed.
int ExitFor(const UpdateSession& session) {
  const std::optional<UpdateResult> result = session.last_result();
  return result ? InfoOf(*result).exit_status : kExitTransfer;
}

// What an update runs on: the firmware, the MIDI driver and, when simulating, the bus with
// the simulated devices (listed as "USB Audio Device", "USB Audio Device (2)", ...).
struct UpdateSetup {
  FirmwareChoice choice;
  const FirmwareSet* firmware = nullptr;
  std::shared_ptr<VirtualMidiBus> bus;
  std::vector<std::unique_ptr<devsim::VirtualBusDevice>> devices;
  std::shared_ptr<VirtualMidiBus::Peer> echo;
  std::shared_ptr<MidiDriver> driver;
  std::shared_ptr<RawMidiBackend> rawmidi;  // when the ports are rawmidi's
};

int PrepareMidi(const UpdateArgs& args, UpdateSetup* setup);

// 0, or the exit status of a refusal that has been reported.
int PrepareUpdate(const UpdateArgs& args, UpdateSetup* setup) {
  // Firmware first: a bad or unverified release is refused and nothing is touched.
  if (const int refused = ChooseUpdateFirmware(args.firmware, !args.simulate, args.allow_unsigned,
                                               args.json || args.quiet, &setup->choice);
      refused != 0) {
    return refused;
  }
  const std::optional<FirmwareSet>& folder = setup->choice.folder;
  setup->firmware = folder ? &*folder : &FirmwareSet::Builtin();
  if (!args.simulate && !folder && FirmwareSet::BuiltinIsPlaceholder()) {
    return ReportFailure(kExitUsage,
                         "this build carries placeholder firmware images, not a firmware "
                         "release; flashing them would leave the device unusable.",
                         "Give the release with --firmware DIR, or try the program with "
                         "--simulate.");
  }
  return PrepareMidi(args, setup);
}

// The MIDI side of an update or of `identify`: the simulated devices on the bus, or the real
// MIDI system. 0, or the exit status of a refusal that has been reported.
int PrepareMidi(const UpdateArgs& args, UpdateSetup* setup) {
  if (args.simulate) {
    devsim::SimOptions options;
    std::string error;
    const int count = args.simulated_devices > 0 ? args.simulated_devices : 1;
    // "D:FAULT" gives the fault to simulated device D alone, so that one unit of several fails.
    std::vector<std::pair<int, devsim::Fault>> faults;
    for (const auto& text : args.faults) {
      int only = 0;
      std::string fault_text = text;
      if (const std::size_t colon = text.find(':'); colon > 0 && colon < 3 &&
                                                    colon != std::string::npos &&
                                                    text.find_first_not_of("0123456789") == colon) {
        only = std::stoi(text.substr(0, colon));
        fault_text = text.substr(colon + 1);
        if (only < 1 || only > count) {
          return ReportFailure(kExitUsage, "--fault " + text + ": there is no simulated device " +
                                               std::to_string(only) + " (1 to " +
                                               std::to_string(count) + ")");
        }
      }
      devsim::Fault fault;
      if (!devsim::ParseFault(fault_text, &fault, &error)) {
        return ReportFailure(kExitUsage, "--fault " + text + ": " + error);
      }
      faults.emplace_back(only, fault);
    }
    // Read as a manifest's model IDs are, "0x57": the whole text, or a refusal.
    if (!ParseModelId(args.model, &options.model_id)) {
      return ReportFailure(
          kExitUsage, "--model " + args.model + ": not a model ID (0x00 to 0x7F, written as 0x57)");
    }
    options.timing = args.pace == "instant" ? devsim::SimTiming::Instant()
                     : args.pace == "din"   ? devsim::SimTiming::Din()
                                            : devsim::SimTiming::Usb();
    setup->bus = std::make_shared<VirtualMidiBus>();
    // Named as the system numbers several devices of one name, so that each copy of the
    // desktop program (and `--all`) finds its own.
    for (int i = 1; i <= count; ++i) {
      const std::string name =
          i == 1 ? args.simulated_name : args.simulated_name + " (" + std::to_string(i) + ")";
      devsim::SimOptions own = options;
      for (const auto& [only, fault] : faults) {
        if (only == 0 || only == i) own.faults.push_back(fault);
      }
      setup->devices.push_back(std::make_unique<devsim::VirtualBusDevice>(*setup->bus, name, own));
    }
    if (args.simulate_echo) {
      // A port that hands back whatever it is sent, as a MIDI Through does.
      setup->echo = setup->bus->AddPeer("Midi Through");
      std::weak_ptr<VirtualMidiBus::Peer> echo = setup->echo;
      setup->echo->SetReceiver([echo](const std::uint8_t* data, std::size_t size) {
        if (auto peer = echo.lock()) peer->Send(data, size);
      });
    }
    setup->driver =
        std::make_shared<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{setup->bus});
  } else {
    std::string error;
    setup->driver = MakeRealDriver(args.api, &error, &setup->rawmidi);
    if (!setup->driver) {
      return ReportFailure(kExitPorts, error,
                           "Start a MIDI system (JACK, or the ALSA sequencer: modprobe snd-seq), "
                           "or give --api rawmidi for a device's own port; --simulate needs "
                           "none.");
    }
  }
  return 0;
}

int RunIdentify(const UpdateArgs& args) {
  UpdateSetup setup;
  if (const int refused = PrepareMidi(args, &setup); refused != 0) return refused;
  return PrintIdentities(ProbeIdentities(*setup.driver, args.identify_wait_ms), args.json,
                         kExitPorts);
}

// A record file that cannot be written is refused before anything else, then as PrepareUpdate.
int PrepareRecordAndUpdate(const UpdateArgs& args, UpdateSetup* setup) {
  if (std::string error; !args.record.empty() && !CheckRecordWritable(args.record, &error)) {
    return ReportFailure(kExitUsage, "--record: " + error);
  }
  return PrepareUpdate(args, setup);
}

// What a record line and the result event say about the unit besides the run: the operator's
// label (--label), the station and the USB device behind MIDI OUT port `out`, after `extra`.
JsonLine UnitFields(const UpdateArgs& args, MidiDriver& driver, int out, const JsonLine& extra) {
  JsonLine fields = extra.is_object() ? extra : JsonLine::object();
  fields["unit"] = args.unit.empty() ? JsonLine(nullptr) : JsonLine(args.unit);
  fields["station"] = StationName();
  fields["usb"] = UsbJson(
      out >= 0 ? UsbIdentityOfDeviceKey(driver.midiOutGetDeviceKey(static_cast<std::uint32_t>(out)))
               : std::nullopt);
  return fields;
}

// Appends a run's line to the record. A line that cannot be written after the run is an error
// of its own: said so, and the tool's status becomes kExitRecord where the run had completed
// (a failed run keeps its own). Returns the status to end with.
int WriteRecord(const UpdateArgs& args, const JsonLine& summary, int status,
                const std::string& label) {
  std::string why;
  if (args.record.empty() || AppendRecord(args.record, summary, &why)) return status;
  const int record_status = status == kExitCompleted ? kExitRecord : status;
  const std::string text = (label.empty() ? "" : label + ": ") + "--record: " + why +
                           "; this run's line is not in the record";
  const std::string advice =
      "The update itself " + std::string(status == kExitCompleted ? "completed" : "failed") +
      ". Free the disk or choose another record file, and note this unit by hand.";
  std::fprintf(stderr, "fenupdator-cli: %s\n%s\n", TerminalText(text).c_str(), advice.c_str());
  if (FailuresAsJson()) PrintErrorEvent(record_status, text, advice, label);
  return record_status;
}

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
  const int in =
      ResolvePort(args.in, lists.inputs, args.instance, "MIDI IN", args.simulate, &error);
  const int out = in < -1 ? in
                          : ResolvePort(args.out, lists.outputs, args.instance, "MIDI OUT",
                                        args.simulate, &error);
  if (in < -1 || out < -1) {
    return ReportFailure(in == kAmbiguousPort || out == kAmbiguousPort ? kExitPorts : kExitUsage,
                         error);
  }
  // No port bears the device's names: nothing to open, and no port to blame.
  if (in < 0 || out < 0) {
    return ReportFailure(kExitPorts, NoDeviceText(lists, args.instance, in < 0, out < 0),
                         NoDeviceAdvice(static_cast<int>(setup.devices.size())));
  }
  const std::string in_name = in >= 0 ? lists.inputs[static_cast<std::size_t>(in)] : "";
  const std::string out_name = out >= 0 ? lists.outputs[static_cast<std::size_t>(out)] : "";
  if (mode != CliView::Mode::kJson && !args.quiet) {
    std::printf("MIDI IN:  %s\nMIDI OUT: %s\n", TerminalText(in_name).c_str(),
                TerminalText(out_name).c_str());
    std::fflush(stdout);
  }
  run.Begin(in_name, out_name, ReleaseJson(setup.choice.release, setup.choice.folder.has_value()));
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
    if (g_interrupted) {
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

// ---- Every device at once ----------------------------------------------------------------

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
  const bool board = !json && ::isatty(STDOUT_FILENO) && !args.quiet && !args.verbose;
  // On a terminal the board draws the lines, so the views write nowhere.
  std::FILE* quiet = board ? std::fopen("/dev/null", "w") : nullptr;
  if (board && quiet == nullptr) return kExitUsage;
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
    if (g_interrupted) {
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

// After a refused command line: for each option that the command does not have, the nearest
// one it has ("--jsn": "did you mean --json?").
void SuggestOptions(const CLI::App& app, int argc, char** argv) {
  const CLI::App* command = &app;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.rfind("--", 0) != 0) {
      for (const CLI::App* sub : command->get_subcommands({})) {
        if (sub->get_name() == word) command = sub;
      }
      continue;
    }
    const std::string name = word.substr(2, word.find('=') - 2);
    if (name.empty()) continue;
    std::vector<std::string> names;
    bool known = false;
    for (const CLI::Option* option : command->get_options()) {
      for (const std::string& long_name : option->get_lnames()) {
        known = known || long_name == name;
        if (!option->get_group().empty()) names.push_back(long_name);
      }
    }
    if (known) continue;
    if (const std::string nearest = NearestWord(name, names); !nearest.empty()) {
      std::fprintf(stderr, "fenupdator-cli: no option --%s; did you mean --%s?\n",
                   TerminalText(name).c_str(), nearest.c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Updates the firmware of the device over MIDI."};
  app.set_version_flag("--version", VersionText());
  app.require_subcommand(1);

  std::string list_api = "auto";
  bool list_json = false;
  int list_instance = 1;
  auto* list = app.add_subcommand("list", "List the MIDI input and output ports");
  list->add_option("--api", list_api, "MIDI system")
      ->check(CLI::IsMember({"auto", "alsa", "jack", "rawmidi"}));
  list->add_option("--instance", list_instance, "Mark the ports pre-selected for this instance")
      ->check(CLI::Range(1, 20));
  list->add_flag("--json", list_json, "One JSON object");

  UpdateArgs args;
  auto* update = app.add_subcommand("update", "Update the device's firmware");
  update->add_option("--api", args.api, "MIDI system")
      ->check(CLI::IsMember({"auto", "alsa", "jack", "rawmidi"}));
  update->add_option("--in", args.in, "MIDI IN port: index or name as `list` shows it");
  update->add_option("--out", args.out, "MIDI OUT port: index or name as `list` shows it");
  update
      ->add_option("--instance", args.instance,
                   "Pre-select the ports named for this instance number")
      ->check(CLI::Range(1, 20));
  update->add_option("--firmware", args.firmware,
                     "Release folder: 129.bin, 133.bin, 136.bin, 137.bin and its signed manifest");
  update->add_flag("--allow-unsigned", args.allow_unsigned,
                   "Send an unverified release to a real port: one whose manifest is not signed, "
                   "or a folder without a manifest");
  update->add_flag("--json", args.json,
                   "JSON events, one a line: the plan, each step, progress, the identity, each "
                   "retry, each error, the result");
  update
      ->add_flag("--json-calls", args.json_calls,
                 "With --json: one line per call the run makes on its window instead")
      ->needs(update->get_option("--json"));
  update->add_option("--label", args.unit,
                     "The unit's label for the record and the result (a serial number or "
                     "barcode)");
  update->add_option("--record", args.record,
                     "Append one JSON line per device to FILE when its run ends (never "
                     "truncated; flushed to the disk)");
  auto* quiet = update->add_flag("-q,--quiet", args.quiet,
                                 "Print only errors and the result (the JSON lines are the same)");
  update
      ->add_flag("-v,--verbose", args.verbose,
                 "Also print each message's kind and size and each retry's cause")
      ->excludes(quiet);
  update->add_flag("--simulate", args.simulate, "Update the built-in simulated device");
  update->add_option("--fault", args.faults, "Simulated device fault (repeatable), e.g. crc@5x3");
  update->add_option("--pace", args.pace, "Simulated device speed")
      ->check(CLI::IsMember({"usb", "din", "instant"}));
  update->add_option("--model", args.model, "Simulated device model ID");
  update->add_option("--timeouts", args.timeouts, "Time-outs: original, or short for tests")
      ->check(CLI::IsMember({"original", "short"}));
  bool instant = false;
  update->add_flag("--instant", instant, "Simulated device answers at once (--pace instant)");
  auto* all = update->add_flag(
      "--all", args.all,
      "Update every device at once: each pair of ports named like the device, numbered "
      "siblings included (\"USB Audio Device (2)\", ...)");
  all->excludes(update->get_option("--in"))
      ->excludes(update->get_option("--out"))
      ->excludes(update->get_option("--instance"));
  update
      ->add_option("--simulate-devices", args.simulated_devices,
                   "Attach this many simulated devices (implies --simulate)")
      ->check(CLI::Range(1, 20));
  // For measurements of the dispatch: "tick" leaves every reply to wait for the next 1 ms tick.
  update->add_option("--dispatch", args.dispatch, "Reply dispatch: early, or tick alone")
      ->check(CLI::IsMember({"early", "tick"}))
      ->group("");

  FirmwareCommands firmware(app);

  UpdateArgs identify_args;
  auto* identify = app.add_subcommand(
      "identify",
      "Send one Identity Request out of each MIDI port and list the devices that answer");
  identify->add_option("--api", identify_args.api, "MIDI system")
      ->check(CLI::IsMember({"auto", "alsa", "jack", "rawmidi"}));
  identify->add_flag("--json", identify_args.json, "One JSON object");
  identify->add_option("--wait", identify_args.identify_wait_ms, "Wait for answers per port, ms")
      ->check(CLI::Range(10, 10000));
  identify->add_flag("--simulate", identify_args.simulate, "Ask the built-in simulated device");
  identify->add_option("--model", identify_args.model, "Simulated device model ID");
  identify
      ->add_option("--simulate-devices", identify_args.simulated_devices,
                   "Attach this many simulated devices (implies --simulate)")
      ->check(CLI::Range(1, 20));
  // For the tests: simulated devices under names that do not tell, and a port that echoes.
  for (auto [sub, target] : {std::pair{update, &args}, std::pair{identify, &identify_args}}) {
    sub->add_option("--simulate-name", target->simulated_name, "Simulated devices' client name")
        ->group("");
    sub->add_flag("--simulate-echo", target->simulate_echo, "Add a port that echoes")->group("");
  }

  // A word that names no command would otherwise be reported as a missing one.
  if (argc > 1 && argv[1][0] != '-') {
    const std::string word = argv[1];
    std::vector<std::string> commands;
    for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
    if (std::find(commands.begin(), commands.end(), word) == commands.end()) {
      const std::string nearest = NearestWord(word, commands);
      std::fprintf(stderr,
                   "fenupdator-cli: no command \"%s\"%s; the commands are list, update, identify "
                   "and firmware (see --help)\n",
                   TerminalText(word).c_str(),
                   nearest.empty() ? "" : (" (did you mean \"" + nearest + "\"?)").c_str());
      return kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    if (code != 0) SuggestOptions(app, argc, argv);
    return code == 0 ? 0 : kExitUsage;
  }
  if (instant) args.pace = "instant";
  if (args.simulated_devices > 0) args.simulate = true;
  if (*update && !args.simulate) {
    // Options of the simulated device mean nothing to a real one: say so rather than ignore them.
    for (const char* name : {"--pace", "--model", "--instant", "--fault"}) {
      if (update->count(name) > 0) {
        std::fprintf(stderr,
                     "fenupdator-cli: %s sets up the simulated device; add --simulate, or leave it "
                     "out for a real device\n",
                     name);
        return kExitUsage;
      }
    }
    if (args.timeouts == "short") {
      std::fprintf(stderr,
                   "fenupdator-cli: --timeouts short: the device gets %u ms instead of %u ms "
                   "for each block's answer, a time-out for tests; a real device may need the "
                   "original time-outs\n",
                   static_cast<unsigned>(UpdateTiming::Shrunk().write_wait_ms),
                   static_cast<unsigned>(UpdateTiming{}.write_wait_ms));
    }
  }
  if (*identify && !identify_args.simulate && identify->count("--model") > 0) {
    std::fprintf(stderr,
                 "fenupdator-cli: --model sets up the simulated device; add --simulate, or leave "
                 "it out for a real device\n");
    return kExitUsage;
  }

  if (firmware.given()) return firmware.Run();
  if (*identify) {
    if (identify_args.simulated_devices > 0) identify_args.simulate = true;
    identify_args.pace = "instant";
    return RunIdentify(identify_args);
  }
  if (*list) return RunList(list_api, list_json, list_instance);
  ReportFailuresAsJson(args.json && !args.json_calls);
  KeepRunningWithoutOutput();
  return args.all ? RunUpdateAll(args) : RunUpdate(args);
}
