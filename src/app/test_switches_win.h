// Switches of the test build of the desktop program (fenupdator-test.exe) alone: the product
// reads no environment. FEN_TEST_SIMULATE=1 puts a simulated device named "USB Audio Device" on
// an in-process bus as the only MIDI ports; FEN_TEST_FAULTS gives it faults ("not-update-mode");
// FEN_TEST_PACE=usb makes it answer at the pace of the real device; FEN_TEST_TIMEOUTS=short
// shrinks the program's waits; FEN_TEST_REPORT names a file that gets, when the window has
// closed, the run's result and whether the device's flash holds the images.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "devsim/fault.h"
#include "devsim/virtual_bus_device.h"
#include "dialog/dialog_model.h"
#include "platform/midi/midi_driver.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "platform/output_file.h"

namespace fen {

class TestSwitches {
 public:
  explicit TestSwitches(DialogModel::Options& options) : firmware_(options.services.firmware) {
    if (Env("FEN_TEST_TIMEOUTS") == "short") options.timing = UpdateTiming::Shrunk();
    if (Env("FEN_TEST_SIMULATE") != "1") return;
    bus_ = std::make_shared<VirtualMidiBus>();
    devsim::SimOptions device_options;
    std::string error;
    devsim::ParseFaults(Env("FEN_TEST_FAULTS"), &device_options.faults, &error);
    device_options.timing =
        Env("FEN_TEST_PACE") == "usb" ? devsim::SimTiming::Usb() : devsim::SimTiming::Instant();
    device_ = std::make_unique<devsim::VirtualBusDevice>(*bus_, device_options, "USB Audio Device");
    driver_ = std::make_unique<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{bus_});
    options.services.driver = driver_.get();
  }

  ~TestSwitches() {
    device_.reset();
    driver_.reset();
  }

  void Finished(UpdateSession& session) {
    const std::string path = Env("FEN_TEST_REPORT");
    if (path.empty()) return;
    const std::optional<UpdateResult> result = session.last_result();
    std::string text = std::string("result ") + (result ? InfoOf(*result).name : "none") + "\n";
    text += std::string("worker ") + (session.WorkerRunning() ? "running" : "ended") + "\n";
    if (device_) {
      device_->WaitIdle();
      text += std::string("flash ") +
              (device_->device().FlashHoldsImages(*firmware_) ? "holds the images" : "differs") +
              "\n";
    }
    // Written beside and renamed, never through a link; a failure leaves no report, which the
    // test that asked for one notices.
    std::string ignored;
    WriteFileReplacing(path, text, &ignored);
  }

 private:
  static std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? "" : value;
  }

  const FirmwareSet* firmware_;
  std::shared_ptr<VirtualMidiBus> bus_;
  std::unique_ptr<devsim::VirtualBusDevice> device_;
  std::unique_ptr<MidiDriver> driver_;
};

}  // namespace fen
