// The simulated device's JACK ports where JACK is not built (Windows): they never open.
#include "devsim/jack_device_ports.h"

namespace fen::devsim {

struct JackDevicePorts::Impl {};

JackDevicePorts::JackDevicePorts(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
JackDevicePorts::~JackDevicePorts() = default;

std::unique_ptr<JackDevicePorts> JackDevicePorts::Open(const std::string& /*client_name*/,
                                                       MidiReceiver /*receiver*/,
                                                       std::string* error) {
  if (error) *error = "JACK is not built on this system";
  return nullptr;
}

bool JackDevicePorts::Send(const std::uint8_t* /*data*/, std::size_t /*size*/) { return false; }
bool JackDevicePorts::WaitSent(std::chrono::milliseconds /*timeout*/) { return false; }
std::string JackDevicePorts::client_name() const { return {}; }
bool JackDevicePorts::server_gone() const { return true; }
std::uint64_t JackDevicePorts::dropped() const { return 0; }

}  // namespace fen::devsim
