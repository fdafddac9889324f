// The RtMidi backend inside: the system backend class, whose listing (rtmidi_ports.cpp),
// connections (rtmidi_connections.cpp) and making (rtmidi_backend.cpp) live in files of their
// own, and what those share. Internal to platform/midi/rtmidi/.
#pragma once

#include <RtMidi.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/midi/rtmidi/jack_monitor.h"
#include "platform/midi/rtmidi/rtmidi_backend.h"

namespace fen::rtmidi {

// RtMidi prints errors unless it has a callback; they are collected here instead.
struct ErrorSink {
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::string last;

  static void Callback(RtMidiError::Type type, const std::string& text, void* user) {
    auto* sink = static_cast<ErrorSink*>(user);
    if (type == RtMidiError::DEBUG_WARNING) return;
    std::lock_guard<std::mutex> lock(sink->mutex);
    sink->last = text;
    if (type != RtMidiError::WARNING) sink->failed = true;
  }
  std::string Last() {
    std::lock_guard<std::mutex> lock(mutex);
    return last;
  }
};

using fen::JackMonitor;
using fen::OpenJackMonitor;

bool AllDigits(const std::string& text);

class RtMidiSystemBackend : public RtMidiBackend {
 public:
  RtMidiSystemBackend(RtMidi::Api api, std::string client_name, RtMidiOptions options,
                      std::shared_ptr<JackMonitor> monitor)
      : api_(api),
        client_name_(std::move(client_name)),
        options_(options),
        monitor_(std::move(monitor)) {}

  std::string Name() const override;
  // A card's sequencer client is the card, as rawmidi sees it; a program's is its client.
  std::string DeviceKey(const MidiEndpoint& endpoint) const override;
  std::vector<MidiEndpoint> ListInputs() override;
  std::vector<MidiEndpoint> ListOutputs() override;
  std::unique_ptr<MidiInputConnection> OpenInput(const MidiEndpoint& endpoint,
                                                 MidiReceiver receiver) override;
  std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) override;
  std::unique_ptr<MidiInputConnection> OpenOwnInput(const std::string& port_name,
                                                    MidiReceiver receiver) override;
  std::unique_ptr<MidiOutputConnection> OpenOwnOutput(const std::string& port_name) override;

 private:
  bool IsJack() const { return api_ == RtMidi::UNIX_JACK; }
  std::shared_ptr<JackMonitor> Monitor();
  bool IsOwnClient(const std::string& client) const;
  MidiEndpoint ParseName(const std::string& name) const;
  static void ShowJackRenamesUnderTheirBase(std::vector<MidiEndpoint>& list);
  std::vector<std::string> ListNames(bool inputs);
  std::vector<MidiEndpoint> List(bool inputs);
  bool OpenPort(RtMidi& rtmidi, ErrorSink& sink, const MidiEndpoint* endpoint,
                const std::string& port_name, bool input);
  bool Connected(JackMonitor& monitor, const std::string& target, const std::string& ours);
  bool ConnectJackPort(JackMonitor& monitor, const MidiEndpoint* endpoint, const std::string& ours,
                       bool input);
  bool SystemUp(std::shared_ptr<JackMonitor>* monitor);
  std::unique_ptr<MidiInputConnection> MakeInput(const MidiEndpoint* endpoint,
                                                 const std::string& port_name,
                                                 MidiReceiver receiver);
  std::unique_ptr<MidiOutputConnection> MakeOutput(const MidiEndpoint* endpoint,
                                                   const std::string& port_name);

  RtMidi::Api api_;
  std::string client_name_;
  RtMidiOptions options_;
  std::mutex monitor_mutex_;
  std::shared_ptr<JackMonitor> monitor_;
};

}  // namespace fen::rtmidi
