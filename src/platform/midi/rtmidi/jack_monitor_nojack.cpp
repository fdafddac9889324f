// The JACK monitor where JACK is not built (Windows): it never opens, so the RtMidi backend
// offers only the systems RtMidi itself was built with.
#include <utility>

#include "platform/midi/rtmidi/jack_monitor.h"

namespace fen {

JackMonitor::~JackMonitor() = default;
void JackMonitor::Release(JackMonitor* monitor) { delete monitor; }
std::vector<std::string> JackMonitor::MidiPorts(bool /*outputs*/) { return {}; }
int JackMonitor::Connect(const std::string& /*source*/, const std::string& /*destination*/) {
  return -1;
}
int JackMonitor::PortConnectedTo(const std::string& /*port*/, const std::string& /*other*/) {
  return -1;
}

std::shared_ptr<JackMonitor> OpenJackMonitor(const std::string& /*client_name*/,
                                             std::string* error) {
  if (error) *error = "JACK is not built on this system";
  return nullptr;
}

}  // namespace fen

namespace fen {

struct JackMidiInput::State {};
struct JackMidiOutput::State {};
JackMidiInput::JackMidiInput(std::unique_ptr<State> state) : state_(std::move(state)) {}
JackMidiInput::~JackMidiInput() = default;
JackMidiOutput::JackMidiOutput(std::unique_ptr<State> state) : state_(std::move(state)) {}
JackMidiOutput::~JackMidiOutput() = default;
const std::string& JackMidiInput::name() const {
  static const std::string none;
  return none;
}
const std::string& JackMidiOutput::name() const {
  static const std::string none;
  return none;
}
bool JackMidiOutput::Send(const std::uint8_t*, std::size_t) { return false; }
std::unique_ptr<JackMidiInput> OpenJackMidiInput(const std::string&, const std::string&,
                                                 MidiReceiver) {
  return nullptr;
}
std::unique_ptr<JackMidiOutput> OpenJackMidiOutput(const std::string&, const std::string&) {
  return nullptr;
}

}  // namespace fen
