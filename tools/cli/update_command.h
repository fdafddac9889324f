// What the update, identify and list commands of fenupdator-cli share: their arguments, the
// MIDI system or simulated devices they run on, interruption, and the record of a run.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli_view.h"
#include "devsim/virtual_bus_device.h"
#include "engine/update_session.h"
#include "firmware_commands.h"
#include "json_line.h"
#include "platform/midi/midi_driver.h"
#include "platform/midi/rawmidi/rawmidi_backend.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "port_choice.h"

namespace fen {

// A simulated device whose flash differs after a run that reported success.
inline constexpr const char* kFlashDiffers =
    "the run reported success, but the simulated device's flash does not hold the firmware "
    "images";

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

// Only Ctrl-C and SIGTERM abort a run; they are caught so that the run ends in order, which
// asks InterruptRequested() between its waits.
void CatchInterrupts();
bool InterruptRequested();
// A closed terminal (SIGHUP) or a reader of the output that went away (SIGPIPE) does not stop
// a flash half-way.
void KeepRunningWithoutOutput();

// A line of its own; on a terminal broken at spaces to its width.
void PrintFitted(std::FILE* to, const std::string& text);

// The real MIDI system for `api` ("auto", "alsa", "jack", "rawmidi"); null with the reason in
// `error`. `rawmidi`, when that backend runs, is set to it.
std::shared_ptr<MidiDriver> MakeRealDriver(const std::string& api, std::string* error,
                                           std::shared_ptr<RawMidiBackend>* rawmidi = nullptr);

// After a port would not open: which one, and why, where the backend knows.
void ReportOpenFailure(UpdateSession::ExecuteOutcome outcome, const PortLists& lists, int in,
                       int out, const std::shared_ptr<RawMidiBackend>& rawmidi,
                       const std::string& label);

// The exit status of a session's last run; a run that never reported an end failed.
int ExitFor(const UpdateSession& session);

// The MIDI side of an update or of `identify`. 0, or the exit status of a refusal that has
// been reported.
int PrepareMidi(const UpdateArgs& args, UpdateSetup* setup);
// The record file, the release and the MIDI side of an update, in that order. 0, or the exit
// status of a refusal that has been reported.
int PrepareRecordAndUpdate(const UpdateArgs& args, UpdateSetup* setup);

// What a record line and the result event say about the unit besides the run: the operator's
// label (--label), the station and the USB device behind MIDI OUT port `out`, after `extra`.
JsonLine UnitFields(const UpdateArgs& args, MidiDriver& driver, int out, const JsonLine& extra);
// Appends a run's line to the record; a line that cannot be written is an error of its own.
// Returns the status to end with.
int WriteRecord(const UpdateArgs& args, const JsonLine& summary, int status,
                const std::string& label);

// The commands.
int RunList(const std::string& api, bool json, int instance);
int RunIdentify(const UpdateArgs& args);
int RunUpdate(const UpdateArgs& args);     // one device
int RunUpdateAll(const UpdateArgs& args);  // every device at once

}  // namespace fen
