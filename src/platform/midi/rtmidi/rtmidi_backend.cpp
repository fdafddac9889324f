// The RtMidi backend: lists and opens ALSA sequencer, JACK and WinMM ports, keeps RtMidi's
// exceptions and messages inside, and bounds every send.
#include "platform/midi/rtmidi/rtmidi_backend.h"

#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>

#include "platform/midi/rtmidi/rtmidi_system.h"

namespace fen::rtmidi {
namespace {

constexpr const char* kInPortName = "MIDI In";
constexpr const char* kOutPortName = "MIDI Out";
bool ApiCompiled(RtMidi::Api api) {
  std::vector<RtMidi::Api> apis;
  RtMidi::getCompiledApi(apis);
  for (RtMidi::Api compiled : apis) {
    if (compiled == api) return true;
  }
  return false;
}

}  // namespace

std::string RtMidiSystemBackend::Name() const {
  switch (api_) {
    case RtMidi::LINUX_ALSA:
      return "alsa";
    case RtMidi::UNIX_JACK:
      return "jack";
    default:
      return RtMidi::getApiName(api_);
  }
}

std::vector<MidiEndpoint> RtMidiSystemBackend::ListInputs() { return List(/*inputs=*/true); }

std::vector<MidiEndpoint> RtMidiSystemBackend::ListOutputs() { return List(/*inputs=*/false); }

std::unique_ptr<MidiInputConnection> RtMidiSystemBackend::OpenInput(const MidiEndpoint& endpoint,
                                                                    MidiReceiver receiver) {
  return MakeInput(&endpoint, kInPortName, std::move(receiver));
}

std::unique_ptr<MidiOutputConnection> RtMidiSystemBackend::OpenOutput(
    const MidiEndpoint& endpoint) {
  return MakeOutput(&endpoint, kOutPortName);
}

std::unique_ptr<MidiInputConnection> RtMidiSystemBackend::OpenOwnInput(const std::string& port_name,
                                                                       MidiReceiver receiver) {
  return MakeInput(nullptr, port_name, std::move(receiver));
}

std::unique_ptr<MidiOutputConnection> RtMidiSystemBackend::OpenOwnOutput(
    const std::string& port_name) {
  return MakeOutput(nullptr, port_name);
}

// The monitor, reopened if the server went away and came back.
std::shared_ptr<JackMonitor> RtMidiSystemBackend::Monitor() {
  std::lock_guard<std::mutex> lock(monitor_mutex_);
  if (!monitor_ || monitor_->dead) monitor_ = OpenJackMonitor(client_name_, nullptr);
  return monitor_;
}

// JACK: refuse early when the server is gone, before RtMidi would print about it.
bool RtMidiSystemBackend::SystemUp(std::shared_ptr<JackMonitor>* monitor) {
  if (!IsJack()) return true;
  *monitor = Monitor();
  return *monitor != nullptr;
}

}  // namespace fen::rtmidi

namespace fen {

using rtmidi::ApiCompiled;
using rtmidi::ErrorSink;
using rtmidi::RtMidiSystemBackend;

std::shared_ptr<RtMidiBackend> MakeRtMidiBackend(const std::string& api,
                                                 const std::string& client_name, std::string* error,
                                                 RtMidiOptions options) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  try {
    RtMidi::Api id = RtMidi::UNSPECIFIED;
    if (api == "alsa") {
      id = RtMidi::LINUX_ALSA;
    } else if (api == "jack") {
      id = RtMidi::UNIX_JACK;
    } else {
      id = RtMidi::getCompiledApiByName(api);
    }
    if (id == RtMidi::UNSPECIFIED || id == RtMidi::RTMIDI_DUMMY || !ApiCompiled(id)) {
      *error = api + ": not available";
      return nullptr;
    }
    std::shared_ptr<JackMonitor> monitor;
    if (id == RtMidi::UNIX_JACK) {
      monitor = OpenJackMonitor(client_name, error);
      if (!monitor) {
        *error = "jack: " + *error;
        return nullptr;
      }
    } else {
      // Without the sequencer device ALSA prints and throws; check first.
      if (id == RtMidi::LINUX_ALSA && access("/dev/snd/seq", R_OK | W_OK) != 0) {
        *error = "alsa: no /dev/snd/seq";
        return nullptr;
      }
      ErrorSink sink;
      RtMidiIn probe(id, client_name);
      probe.setErrorCallback(&ErrorSink::Callback, &sink);
    }
    return std::make_shared<RtMidiSystemBackend>(id, client_name, options, std::move(monitor));
  } catch (const std::exception& e) {
    *error = api + ": " + e.what();
  } catch (...) {
    *error = api + ": failed";
  }
  return nullptr;
}

std::vector<std::shared_ptr<MidiBackend>> MakeRtMidiBackends(const std::string& api,
                                                             const std::string& client_name,
                                                             std::string* error,
                                                             RtMidiOptions options) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  error->clear();
  std::vector<std::shared_ptr<MidiBackend>> backends;
  std::vector<std::string> names;
  if (api == "auto") {
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    for (RtMidi::Api compiled : apis) {
      if (compiled == RtMidi::RTMIDI_DUMMY) continue;
      names.push_back(compiled == RtMidi::LINUX_ALSA  ? "alsa"
                      : compiled == RtMidi::UNIX_JACK ? "jack"
                                                      : RtMidi::getApiName(compiled));
    }
  } else {
    names.push_back(api);
  }
  for (const std::string& name : names) {
    std::string reason;
    if (auto backend = MakeRtMidiBackend(name, client_name, &reason, options)) {
      backends.push_back(std::move(backend));
    } else {
      if (!error->empty()) *error += "; ";
      *error += reason;
    }
  }
  return backends;
}

}  // namespace fen
