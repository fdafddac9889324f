// The JACK monitor where JACK is not built (Windows): it never opens, so the RtMidi backend
// offers only the systems RtMidi itself was built with.
#include "platform/midi/rtmidi/jack_monitor.h"

namespace fen {

JackMonitor::~JackMonitor() = default;
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
