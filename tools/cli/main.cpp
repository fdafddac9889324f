// fenupdator-cli: the headless updater. Lists the MIDI ports, or updates one device through
// the same update session as the desktop program, against a real port or the built-in
// simulated device.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli_view.h"
#include "devsim/fault.h"
#include "devsim/sim_timing.h"
#include "devsim/virtual_bus_device.h"
#include "engine/port_selection.h"
#include "engine/string_table.h"
#include "engine/update_session.h"
#include "platform/midi_driver.h"
#include "platform/rtmidi_backend.h"
#include "platform/virtual_midi_bus.h"
#include "res/firmware.h"

namespace {

using namespace fen;

// Exit statuses; documented in the README.
enum Exit : int {
  kExitCompleted = 0,
  kExitUsage = 2,
  kExitPorts = 3,
  kExitRefused = 4,
  kExitTransfer = 5,
  kExitInterrupted = 6,
  kExitVerification = 7,
};

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

std::string VersionText() {
  std::string text = std::string(kProductTitle) + " (command-line updater)";
  if (FirmwareSet::BuiltinIsPlaceholder()) {
    text += "\nDemo build: the built-in firmware images are placeholders, not a firmware release.";
  }
  return text;
}

struct PortLists {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

PortLists ListPorts(UpdateSession& session) {
  PortLists lists;
  const int outs = session.out_port().GetDeviceCount();
  for (int i = 0; i < outs; ++i) lists.outputs.push_back(session.out_port().GetDeviceName(i));
  const int ins = session.in_port().GetDeviceCount();
  for (int i = 0; i < ins; ++i) lists.inputs.push_back(session.in_port().GetDeviceName(i));
  return lists;
}

// A port given as an index or a name as `list` shows it; the dialog's pre-selection when
// not given. -1 when nothing matches, which the port then refuses as the dialog's would.
int ResolvePort(const std::string& given, const std::vector<std::string>& names, int instance,
                std::string* error) {
  if (given.empty()) return SelectPreferredPort(names, instance);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == given) return static_cast<int>(i);
  }
  if (given.find_first_not_of("0123456789") == std::string::npos && given.size() < 6) {
    const int index = std::stoi(given);
    if (index < static_cast<int>(names.size())) return index;
  }
  *error = "no MIDI port \"" + given + "\" (see `fenupdator-cli list`)";
  return -2;
}

class NullView : public UpdateView {
 public:
  void SetStatusLine(const std::string&) override {}
  void SetStepCounter(const std::string&) override {}
  void SetProgressRange(std::int32_t) override {}
  void SetProgressPos(std::int32_t) override {}
  void ErrorBox(int) override {}
  void RestoreControls() override {}
  void EnableExecute(bool) override {}
  void DisableControls() override {}
};

std::shared_ptr<MidiDriver> MakeRealDriver(const std::string& api, std::string* error) {
  std::string reasons;
  auto backends = MakeRtMidiBackends(api, "fenupdator-cli", &reasons);
  if (backends.empty()) {
    *error = "no MIDI system is available" + (reasons.empty() ? "" : ": " + reasons);
    return nullptr;
  }
  return std::make_shared<MidiDriver>(std::move(backends));
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
    auto print = [](const char* key, const std::vector<std::string>& names, int selected) {
      std::printf("\"%s\":[", key);
      for (std::size_t i = 0; i < names.size(); ++i) {
        std::printf("%s{\"index\":%zu,\"name\":\"%s\",\"preselected\":%s}", i ? "," : "", i,
                    CliView::JsonEscape(names[i]).c_str(),
                    static_cast<int>(i) == selected ? "true" : "false");
      }
      std::printf("]");
    };
    std::printf("{");
    print("inputs", lists.inputs, in_selected);
    std::printf(",");
    print("outputs", lists.outputs, out_selected);
    std::printf("}\n");
    return kExitCompleted;
  }
  auto print = [](const char* title, const std::vector<std::string>& names, int selected) {
    std::printf("%s\n", title);
    if (names.empty()) std::printf("  (none)\n");
    for (std::size_t i = 0; i < names.size(); ++i) {
      std::printf("  %c %2zu  %s\n", static_cast<int>(i) == selected ? '*' : ' ', i,
                  names[i].c_str());
    }
  };
  print("MIDI IN", lists.inputs, in_selected);
  print("MIDI OUT", lists.outputs, out_selected);
  if (in_selected >= 0 || out_selected >= 0)
    std::printf("* pre-selected for instance %d\n", instance);
  return kExitCompleted;
}

struct UpdateArgs {
  std::string api = "auto";
  std::string in;
  std::string out;
  int instance = 1;
  std::string firmware;
  bool json = false;
  bool simulate = false;
  std::vector<std::string> faults;
  std::string pace = "usb";
  std::string model = "0x57";
  std::string timeouts = "original";
};

int ExitForError(int string_id) {
  switch (string_id) {
    case IDS_ILLEGAL_DEVICE:
    case IDS_USE_UPDATE_MODE:
      return kExitRefused;
    case IDS_CANT_OPEN_MIDI_IN:
    case IDS_CANT_OPEN_MIDI_OUT:
      return kExitPorts;
    default:
      return kExitTransfer;
  }
}

int RunUpdate(const UpdateArgs& args) {
  // Firmware first: a bad folder is an argument error and nothing is touched.
  std::optional<FirmwareSet> folder;
  if (!args.firmware.empty()) {
    std::string error;
    folder = FirmwareSet::LoadFolder(args.firmware, &error);
    if (!folder) {
      std::fprintf(stderr, "fenupdator-cli: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  const FirmwareSet& firmware = folder ? *folder : FirmwareSet::Builtin();
  if (!args.simulate && !folder && FirmwareSet::BuiltinIsPlaceholder()) {
    std::fprintf(stderr,
                 "fenupdator-cli: this build carries placeholder firmware images, not a firmware "
                 "release; flashing them would leave the device unusable.\n"
                 "Give the release with --firmware DIR, or try the program with --simulate.\n");
    return kExitUsage;
  }

  std::shared_ptr<VirtualMidiBus> bus;
  std::unique_ptr<devsim::VirtualBusDevice> device;
  std::shared_ptr<MidiDriver> driver;
  if (args.simulate) {
    devsim::SimOptions options;
    std::string error;
    for (const auto& text : args.faults) {
      devsim::Fault fault;
      if (!devsim::ParseFault(text, &fault, &error)) {
        std::fprintf(stderr, "fenupdator-cli: --fault %s: %s\n", text.c_str(), error.c_str());
        return kExitUsage;
      }
      options.faults.push_back(fault);
    }
    try {
      const unsigned long model = std::stoul(args.model, nullptr, 0);
      if (model > 0x7F) throw std::out_of_range("model");
      options.model_id = static_cast<std::uint8_t>(model);
    } catch (const std::exception&) {
      std::fprintf(stderr, "fenupdator-cli: --model %s: not a model ID (0x00 to 0x7F)\n",
                   args.model.c_str());
      return kExitUsage;
    }
    options.timing = args.pace == "instant" ? devsim::SimTiming::Instant()
                     : args.pace == "din"   ? devsim::SimTiming::Din()
                                            : devsim::SimTiming::Usb();
    bus = std::make_shared<VirtualMidiBus>();
    device = std::make_unique<devsim::VirtualBusDevice>(*bus, "USB Audio Device", options);
    driver = std::make_shared<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{bus});
  } else {
    std::string error;
    driver = MakeRealDriver(args.api, &error);
    if (!driver) {
      std::fprintf(stderr, "fenupdator-cli: %s\n", error.c_str());
      return kExitPorts;
    }
  }

  const CliView::Mode mode = args.json                 ? CliView::Mode::kJson
                             : ::isatty(STDOUT_FILENO) ? CliView::Mode::kTerminal
                                                       : CliView::Mode::kPlain;
  CliView view(mode, stdout, stderr);
  const UpdateTiming timing = args.timeouts == "short" ? UpdateTiming::Shrunk() : UpdateTiming{};
  UpdateSession session(view, UpdateServices{.driver = driver.get(), .firmware = &firmware},
                        timing);
  session.Initialise();

  const PortLists lists = ListPorts(session);
  std::string error;
  const int in = ResolvePort(args.in, lists.inputs, args.instance, &error);
  const int out = in == -2 ? -2 : ResolvePort(args.out, lists.outputs, args.instance, &error);
  if (in == -2 || out == -2) {
    std::fprintf(stderr, "fenupdator-cli: %s\n", error.c_str());
    return kExitUsage;
  }
  if (mode != CliView::Mode::kJson) {
    std::printf("MIDI IN:  %s\nMIDI OUT: %s\n",
                in >= 0 ? lists.inputs[static_cast<std::size_t>(in)].c_str() : "(none)",
                out >= 0 ? lists.outputs[static_cast<std::size_t>(out)].c_str() : "(none)");
    std::fflush(stdout);
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  const auto outcome = session.Execute(in, out);
  if (outcome != UpdateSession::ExecuteOutcome::kStarted) return kExitPorts;
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
    std::fprintf(stderr,
                 "Interrupted: the update did not finish. Run it again before using the "
                 "device.\n");
    return kExitInterrupted;
  }
  int status = view.completed() ? kExitCompleted : ExitForError(view.last_error());
  if (device) {
    device->WaitIdle();
    const bool holds = device->device().FlashHoldsImages(firmware);
    if (mode == CliView::Mode::kJson) {
      std::printf("{\"call\":\"device\",\"flash_holds_images\":%s}\n", holds ? "true" : "false");
    } else if (holds) {
      std::printf("Simulated device: its flash holds the firmware images.\n");
    } else {
      std::printf("Simulated device: its flash does not hold the firmware images.\n");
    }
    if (view.completed() && !holds) status = kExitVerification;
  }
  if (mode == CliView::Mode::kJson) {
    std::printf("{\"call\":\"result\",\"completed\":%s,\"exit\":%d}\n",
                view.completed() ? "true" : "false", status);
  }
  return status;
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
      ->check(CLI::IsMember({"auto", "alsa", "jack"}));
  list->add_option("--instance", list_instance, "Mark the ports pre-selected for this instance")
      ->check(CLI::Range(1, 20));
  list->add_flag("--json", list_json, "One JSON object");

  UpdateArgs args;
  auto* update = app.add_subcommand("update", "Update the device's firmware");
  update->add_option("--api", args.api, "MIDI system")
      ->check(CLI::IsMember({"auto", "alsa", "jack"}));
  update->add_option("--in", args.in, "MIDI IN port: index or name as `list` shows it");
  update->add_option("--out", args.out, "MIDI OUT port: index or name as `list` shows it");
  update
      ->add_option("--instance", args.instance,
                   "Pre-select the ports named for this instance number")
      ->check(CLI::Range(1, 20));
  update->add_option("--firmware", args.firmware,
                     "Folder with the release's 129.bin, 133.bin, 136.bin and 137.bin");
  update->add_flag("--json", args.json, "One JSON object per line for every step");
  update->add_flag("--simulate", args.simulate, "Update the built-in simulated device");
  update->add_option("--fault", args.faults, "Simulated device fault (repeatable), e.g. crc@5x3")
      ->needs(update->get_option("--simulate"));
  update->add_option("--pace", args.pace, "Simulated device speed")
      ->check(CLI::IsMember({"usb", "din", "instant"}));
  update->add_option("--model", args.model, "Simulated device model ID");
  update->add_option("--timeouts", args.timeouts, "Time-outs: original, or short for tests")
      ->check(CLI::IsMember({"original", "short"}));
  bool instant = false;
  update->add_flag("--instant", instant, "Simulated device answers at once (--pace instant)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  if (instant) args.pace = "instant";

  if (*list) return RunList(list_api, list_json, list_instance);
  return RunUpdate(args);
}
