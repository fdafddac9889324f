// CFenUpdatorApp: start-up of the desktop program. It takes an instance number, runs the main
// dialog modally and holds the instance lock until the process ends.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/instance_lock.h"
#include "platform/midi/midi_driver.h"

namespace fen {

class CFenUpdatorApp {
 public:
  // Makes the MIDI driver of the run; given the product title of the instance as the name the
  // program's ports carry on the MIDI system.
  // Makes the driver for ports of a client named `client`; when no MIDI system works, says
  // why in `problem` (the window then shows it).
  using DriverFactory =
      std::function<std::shared_ptr<MidiDriver>(const std::string& client, std::string* problem)>;

  explicit CFenUpdatorApp(DriverFactory make_driver);
  ~CFenUpdatorApp();
  CFenUpdatorApp(const CFenUpdatorApp&) = delete;
  CFenUpdatorApp& operator=(const CFenUpdatorApp&) = delete;

  // Instance start-up: the instance search, then the main dialog (or, with every number taken,
  // the warning box). Needs the QApplication. Returns false on every path: the program ends.
  bool InitInstance();
  int GetInstanceNumber() const { return instance_number_; }

 private:
  DriverFactory make_driver_;
  std::unique_ptr<InstanceLock> instance_lock_;  // never released while the process lives
  int instance_number_ = 0;
};

}  // namespace fen
