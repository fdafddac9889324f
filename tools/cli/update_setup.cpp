// Setting up an update: the release, the real MIDI system or the simulated devices, the record
// file; interruption; and the record's line when a run has ended.
#include <csignal>
#include <cstdio>

#include "devsim/fault.h"
#include "devsim/sim_timing.h"
#include "failure.h"
#include "platform/midi/system_midi.h"
#include "progress_line.h"
#include "run_events.h"
#include "terminal_text.h"
#include "update_command.h"
#include "usb_identity.h"

namespace fen {

namespace {
volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }
}  // namespace

bool InterruptRequested() { return g_interrupted != 0; }

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

// `rawmidi`, when that backend runs, is set to it: only it can say why a port would not open.
std::shared_ptr<MidiDriver> MakeRealDriver(const std::string& api, std::string* error,
                                           std::shared_ptr<RawMidiBackend>* rawmidi) {
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

// The exit status of a session's last run; a run that never reported an end failed.
int ExitFor(const UpdateSession& session) {
  const std::optional<UpdateResult> result = session.last_result();
  return result ? InfoOf(*result).exit_status : kExitTransfer;
}

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

}  // namespace fen
