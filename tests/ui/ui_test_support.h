// What the window tests share: waiting while the window thread processes events, a recorder
// that answers the dialog's message boxes, and a rig of virtual bus, driver and devices.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "devsim/virtual_bus_device.h"
#include "platform/midi/midi_driver.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "ui/fen_updator_dlg.h"

namespace fen::uitest {

// Processes events until `done` holds or `timeout_ms` has passed; false on time-out. The
// limit only turns a hang into a failure.
bool WaitFor(const std::function<bool()>& done, int timeout_ms = 30000);

// Records every message box the dialog opens and, when answering, presses `answer` once the
// window thread is back in its event loop.
class BoxRecorder {
 public:
  struct Box {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
  };

  void Attach(CFenUpdatorDlg* dialog);
  void set_answer(QMessageBox::StandardButton answer) { answer_ = answer; }
  // Leave boxes open (the window is closed over them).
  void set_answering(bool answering) { answering_ = answering; }
  // Runs on the window thread right after a box has been recorded.
  void set_on_box(std::function<void(QMessageBox*)> on_box) { on_box_ = std::move(on_box); }

  const std::vector<Box>& boxes() const { return boxes_; }
  QPointer<QMessageBox> last_open() const { return last_; }
  std::vector<QString> texts() const;

 private:
  std::vector<Box> boxes_;
  QPointer<QMessageBox> last_;
  QMessageBox::StandardButton answer_ = QMessageBox::Ok;
  bool answering_ = true;
  std::function<void(QMessageBox*)> on_box_;
};

// A virtual bus with its driver, devices and one dialog. Destroyed in the safe order: the
// dialog (its session), the devices, then the driver and the bus.
class Rig {
 public:
  Rig();
  ~Rig();

  VirtualMidiBus& bus() { return *bus_; }
  MidiDriver& driver() { return *driver_; }

  devsim::VirtualBusDevice& AddDevice(std::vector<devsim::Fault> faults = {},
                                      devsim::SimTiming timing = devsim::SimTiming::Instant(),
                                      const std::string& name = devsim::kDefaultClientName);
  // A peer that shows up in the lists and answers nothing (name tests, scripted devices).
  std::shared_ptr<VirtualMidiBus::Peer> AddPeer(const std::string& name);

  CFenUpdatorDlg& MakeDialog(int instance = 1, UpdateTiming timing = UpdateTiming::Shrunk(),
                             bool placeholder_firmware = false);
  CFenUpdatorDlg& dialog() { return *dialog_; }
  BoxRecorder& boxes() { return boxes_; }
  void DestroyDialog() { dialog_.reset(); }

  // Until the run that Execute started has ended (worker gone, busy flag clear).
  bool WaitRunEnded(int timeout_ms = 60000);

 private:
  std::shared_ptr<VirtualMidiBus> bus_;
  std::unique_ptr<MidiDriver> driver_;
  std::vector<std::shared_ptr<VirtualMidiBus::Peer>> peers_;
  std::vector<std::unique_ptr<devsim::VirtualBusDevice>> devices_;
  BoxRecorder boxes_;
  std::unique_ptr<CFenUpdatorDlg> dialog_;
};

}  // namespace fen::uitest

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
