// fen-devsim: the simulated device as a program of its own on a real MIDI system, so that the
// updater meets it through JACK or the ALSA sequencer exactly as it would the hardware, or on
// the device's own side of a USB cable (a gadget's rawmidi device).
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devsim/jack_device_ports.h"
#include "devsim/sim_device.h"
#include "firmware/firmware.h"
#include "firmware/image_file.h"
#include "package_version.h"
#include "platform/midi/rawmidi/rawmidi_backend.h"
#include "platform/midi/rtmidi/rtmidi_backend.h"
#include "platform/output_file.h"

namespace {

using namespace fen;
using namespace fen::devsim;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFlashDiffers = 1;  // --once: the update ended but the flash is not right
constexpr int kExitBadArguments = 2;  // arguments or firmware folder
constexpr int kExitNoMidi = 3;        // the MIDI system or its ports cannot be had
constexpr int kExitServerGone = 4;    // the MIDI system went away while running

std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int) { g_stop = true; }

bool ParseByte(const std::string& text, int* value) {
  try {
    std::size_t used = 0;
    const int v = std::stoi(text, &used, 0);
    if (used != text.size() || v < 0 || v > 0x7F) return false;
    *value = v;
    return true;
  } catch (...) {
    return false;
  }
}

std::string Hex(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(v));
  return buf;
}

void PrintSummary(const Report& r, const std::string& images_name) {
  std::printf(
      "fen-devsim: received %llu messages: %llu Identity Request, %llu Begin Update, "
      "%llu Erase Range, %llu Write Block (%llu sent again), %llu Finish Update, %llu "
      "answers from the host, %llu for another model, %llu other, %llu malformed; %llu "
      "not taken up\n",
      static_cast<unsigned long long>(r.messages_received),
      static_cast<unsigned long long>(r.identity_requests),
      static_cast<unsigned long long>(r.begin_updates),
      static_cast<unsigned long long>(r.erase_ranges),
      static_cast<unsigned long long>(r.write_blocks),
      static_cast<unsigned long long>(r.blocks_sent_again),
      static_cast<unsigned long long>(r.finish_updates),
      static_cast<unsigned long long>(r.host_statuses + r.host_identity_replies),
      static_cast<unsigned long long>(r.other_model),
      static_cast<unsigned long long>(r.other_messages),
      static_cast<unsigned long long>(r.malformed),
      static_cast<unsigned long long>(r.messages_pending));
  std::printf(
      "fen-devsim: erased %llu ranges, wrote %llu blocks; %llu CRC errors, %llu flash "
      "errors, %llu refused\n",
      static_cast<unsigned long long>(r.ranges_erased),
      static_cast<unsigned long long>(r.blocks_written),
      static_cast<unsigned long long>(r.crc_errors),
      static_cast<unsigned long long>(r.flash_errors), static_cast<unsigned long long>(r.rejected));
  std::printf("fen-devsim: faults played: %llu\n",
              static_cast<unsigned long long>(r.faults_played_count));
  for (const std::string& f : r.faults_played) std::printf("  %s\n", f.c_str());
  if (!r.requests.empty()) {
    std::printf("fen-devsim: own requests: %zu sent, %d answered right, %d wrong, %d unanswered\n",
                r.requests.size(), r.requests_right, r.requests_wrong, r.requests_unanswered);
    for (const RequestRecord& q : r.requests) {
      std::printf("  %s: expected %s: %s%s%s\n", q.request.c_str(), q.expected.c_str(),
                  q.outcome.c_str(), q.received.empty() ? "" : ", got ", q.received.c_str());
    }
  }
  if (r.flash.holds_images) {
    std::printf("fen-devsim: flash holds the images (%s)\n", images_name.c_str());
  } else {
    std::printf("fen-devsim: flash does NOT hold the images (%s): %zu blocks differ: %s\n",
                images_name.c_str(), r.flash.mismatched_blocks.size(),
                BlockRanges(r.flash.mismatched_blocks).c_str());
  }
  std::fflush(stdout);
}

// Written beside and renamed, so that a script that waits for the file never reads half, and
// never through a link planted under the name (WriteFileReplacing).
bool WriteReport(const std::string& path, const std::string& json, std::string* error) {
  return WriteFileReplacing(path, json + "\n", error);
}

// The device's two ports on the chosen MIDI system. The device's thread sends through them
// while the main thread opens and closes them: a host may connect and ask the moment the
// ports exist, before they are stored here, and a stop may close them during an answer.
struct Ports {
  std::mutex mutex;
  std::unique_ptr<JackDevicePorts> jack;
  std::shared_ptr<MidiBackend> backend;  // the ALSA sequencer's or rawmidi's
  std::unique_ptr<MidiInputConnection> in;
  std::unique_ptr<MidiOutputConnection> out;

  // What comes before the ports are stored, or after they closed, is lost, as on a line that
  // is not there.
  bool Send(const std::uint8_t* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    if (jack) return jack->Send(data, size);
    return out && out->Send(data, size);
  }
  bool Gone() {
    std::lock_guard<std::mutex> lock(mutex);
    return jack && jack->server_gone();
  }
  void Drain() {
    std::lock_guard<std::mutex> lock(mutex);
    if (jack) jack->WaitSent(std::chrono::milliseconds(1000));
  }
  // The receiving threads only hand messages to the device's queue, so closing under the
  // lock cannot wait on a sender.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex);
    jack.reset();
    in.reset();
    out.reset();
  }
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Plays a device of the family on a real MIDI system: one MIDI client with an\n"
      "input and an output port that the updater lists and pre-selects."};
  app.name("fen-devsim");
  app.set_version_flag("--version",
                       std::string("fen-devsim (simulated device), version ") + kPackageVersion);
  std::string api = "jack";
  std::string name = kDefaultClientName;
  std::string model_text = "0x57";
  std::string pace = "usb";
  std::string report_path;
  std::string firmware_dir;
  std::string device_text;
  bool once = false;
  std::vector<std::string> fault_texts;
  app.add_option("--api", api, "MIDI system")->check(CLI::IsMember({"jack", "alsa", "rawmidi"}));
  auto* device_option = app.add_option(
      "--device", device_text,
      "rawmidi: the device file (/dev/snd/midiC1D0) or card name to play the device on");
  app.add_option("--name", name, "client name the updater lists");
  app.add_option("--model", model_text, "model ID in the Identity Reply (0x00 to 0x7F)");
  app.add_option("--pace", pace, "timing model")->check(CLI::IsMember({"usb", "din", "instant"}));
  app.add_flag("--once", once, "stop after one update (its Finish Update answered)");
  app.add_option("--report", report_path, "write the report as JSON to this file on exit");
  app.add_option("--firmware", firmware_dir,
                 "folder with 129.bin, 133.bin, 136.bin, 137.bin to compare the flash with");
  app.add_option("faults", fault_texts, "faults to play (see below)");
  app.footer(FaultGrammarHelp());
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitBadArguments;
  }

  if (api == "rawmidi" && device_text.empty()) {
    std::fprintf(stderr, "fen-devsim: --api rawmidi needs --device\n");
    return kExitBadArguments;
  }
  if (api != "rawmidi" && device_option->count() > 0) {
    std::fprintf(stderr, "fen-devsim: --device goes with --api rawmidi\n");
    return kExitBadArguments;
  }

  SimOptions options;
  int model = 0;
  if (!ParseByte(model_text, &model)) {
    std::fprintf(stderr, "fen-devsim: --model %s is not a model ID from 0x00 to 0x7F\n",
                 model_text.c_str());
    return kExitBadArguments;
  }
  options.model_id = static_cast<std::uint8_t>(model);
  options.timing = pace == "din"       ? SimTiming::Din()
                   : pace == "instant" ? SimTiming::Instant()
                                       : SimTiming::Usb();
  // The MIDI system moves messages once a period: polling for exact moments buys nothing.
  options.timing.exact = false;
  for (const std::string& text : fault_texts) {
    std::string error;
    if (!ParseFaults(text, &options.faults, &error)) {
      std::fprintf(stderr, "fen-devsim: %s\n", error.c_str());
      return kExitBadArguments;
    }
  }

  // A report that could not be written is refused before the device plays, not after.
  if (std::string error; !report_path.empty() && !CheckReplaceable(report_path, &error)) {
    std::fprintf(stderr, "fen-devsim: --report: %s\n", error.c_str());
    return kExitBadArguments;
  }

  std::optional<FirmwareSet> folder_images;
  std::string images_name =
      FirmwareSet::BuiltinIsPlaceholder() ? "built-in placeholder images" : "built-in images";
  if (!firmware_dir.empty()) {
    Checked<FirmwareSet> loaded = FirmwareSet::LoadFolder(Utf8Path(firmware_dir));
    if (!loaded) {
      std::fprintf(stderr, "fen-devsim: %s\n", loaded.refusal().text.c_str());
      return kExitBadArguments;
    }
    folder_images = std::move(*loaded);
    images_name = "images of " + firmware_dir;
  }
  const FirmwareSet& images = folder_images ? *folder_images : FirmwareSet::Builtin();

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  // The device is made before its ports, so that nothing arrives for a device not there; the
  // ports are closed before it goes.
  Ports ports;
  SimDevice device(
      options, [&ports](const std::uint8_t* data, std::size_t size) { ports.Send(data, size); });
  auto receiver = [&device](const std::uint8_t* data, std::size_t size) {
    device.OnHostMessage(data, size);
  };
  std::string shown_name = name;
  std::string error;
  if (api == "jack") {
    auto jack = JackDevicePorts::Open(name, receiver, &error);
    if (!jack) {
      std::fprintf(stderr, "fen-devsim: jack: %s\n", error.c_str());
      return kExitNoMidi;
    }
    shown_name = jack->client_name();
    std::lock_guard<std::mutex> lock(ports.mutex);
    ports.jack = std::move(jack);
  } else if (api == "rawmidi") {
    // The device's side of the cable: one subdevice, read from the moment it opens.
    auto backend = MakeRawMidiBackend(&error);
    MidiEndpoint endpoint;
    if (!backend || !backend->Find(device_text, &endpoint, &error)) {
      std::fprintf(stderr, "fen-devsim: rawmidi: %s\n", error.c_str());
      return kExitNoMidi;
    }
    auto in = backend->OpenInput(endpoint, receiver);
    auto out = in ? backend->OpenOutput(endpoint) : nullptr;
    if (!in || !out) {
      std::fprintf(stderr, "fen-devsim: rawmidi: %s\n", backend->LastOpenError().c_str());
      return kExitNoMidi;
    }
    shown_name = endpoint.client + " (" + endpoint.id + ")";
    std::lock_guard<std::mutex> lock(ports.mutex);
    ports.backend = std::move(backend);
    ports.out = std::move(out);
    ports.in = std::move(in);
  } else {
    auto backend = MakeRtMidiBackend(api, name, &error);
    std::unique_ptr<MidiOutputConnection> out;
    std::unique_ptr<MidiInputConnection> in;
    if (backend) {
      out = backend->OpenOwnOutput(name + " MIDI 1");
      in = backend->OpenOwnInput(name + " MIDI 1", receiver);
    }
    if (!in || !out) {
      std::fprintf(stderr, "fen-devsim: %s: %s\n", api.c_str(),
                   error.empty() ? "cannot create the ports" : error.c_str());
      return kExitNoMidi;
    }
    std::lock_guard<std::mutex> lock(ports.mutex);
    ports.backend = std::move(backend);
    ports.out = std::move(out);
    ports.in = std::move(in);
  }
  std::printf("fen-devsim: ready as \"%s\" on %s, model %s, %s pace%s%s\n", shown_name.c_str(),
              api.c_str(), Hex(model).c_str(), pace.c_str(),
              options.faults.empty() ? "" : ", faults:",
              [&] {
                std::string list;
                for (const Fault& f : options.faults) list += " " + FaultToString(f);
                return list;
              }()
                  .c_str());
  std::fflush(stdout);

  int status = kExitOk;
  while (!g_stop) {
    if (once && device.WaitForFinishUpdate(std::chrono::milliseconds(100))) break;
    if (!once) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (ports.Gone()) {
      std::fprintf(stderr, "fen-devsim: the JACK server has gone\n");
      status = kExitServerGone;
      break;
    }
  }
  if (!g_stop && status == kExitOk) {
    // The last answer still has to leave before the ports close.
    device.WaitIdleFor(std::chrono::milliseconds(2000));
    ports.Drain();
  }
  ports.Close();

  const Report report = device.GetReport(images);
  PrintSummary(report, images_name);
  if (!report_path.empty()) {
    const std::string json = ReportDocument(report, {shown_name, api, pace, images_name});
    if (!WriteReport(report_path, json, &error)) {
      std::fprintf(stderr, "fen-devsim: %s\n", error.c_str());
      if (status == kExitOk) status = kExitBadArguments;
    }
  }
  if (status == kExitOk && once && !g_stop && !report.flash.holds_images) {
    status = kExitFlashDiffers;
  }
  return status;
}
