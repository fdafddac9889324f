// libFuzzer target: any bytes as a message from the host, through the parser and the device's
// whole handling of it. One device lives across inputs, so that sequences reach deep states.
#include <cstddef>
#include <cstdint>

#include "devsim/device_core.h"
#include "devsim/host_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fen::devsim::DeviceCore core{fen::devsim::SimOptions{}};
  fen::devsim::ParseHostMessage(data, size);
  core.Handle(data, size);
  return 0;
}
