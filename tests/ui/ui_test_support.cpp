// Waiting with the event loop running, message box recorder, and the bus rig of the tests.
#include "ui_test_support.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace fen::uitest {

bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
  if (done()) return true;
  // An event loop, not sleeps: the worker's calls are handled the moment they are posted.
  QEventLoop loop;
  QTimer poll;
  QElapsedTimer clock;
  clock.start();
  bool reached = false;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) {
      reached = true;
      loop.quit();
    } else if (clock.elapsed() > timeout_ms) {
      loop.quit();
    }
  });
  poll.start(1);
  loop.exec();
  return reached;
}

void BoxRecorder::Attach(CFenUpdatorDlg* dialog) {
  QObject::connect(dialog, &CFenUpdatorDlg::messageBoxShown, dialog, [this](QMessageBox* box) {
    boxes_.push_back({box->windowTitle(), box->text(), box->icon()});
    last_ = box;
    if (on_box_) on_box_(box);
    if (!answering_) return;
    const QMessageBox::StandardButton answer = answer_;
    QTimer::singleShot(0, box, [box, answer] {
      if (QAbstractButton* button = box->button(answer)) {
        button->click();
      } else {
        box->reject();
      }
    });
  });
}

std::vector<QString> BoxRecorder::texts() const {
  std::vector<QString> texts;
  for (const Box& box : boxes_) texts.push_back(box.text);
  return texts;
}

Rig::Rig()
    : bus_(std::make_shared<VirtualMidiBus>()),
      driver_(std::make_unique<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{bus_})) {}

Rig::~Rig() {
  dialog_.reset();
  devices_.clear();
  for (auto& peer : peers_) peer->Remove();
  peers_.clear();
  driver_.reset();
}

devsim::VirtualBusDevice& Rig::AddDevice(std::vector<devsim::Fault> faults,
                                         devsim::SimTiming timing, const std::string& name) {
  devsim::SimOptions options;
  options.faults = std::move(faults);
  options.timing = timing;
  devices_.push_back(std::make_unique<devsim::VirtualBusDevice>(*bus_, options, name));
  return *devices_.back();
}

std::shared_ptr<VirtualMidiBus::Peer> Rig::AddPeer(const std::string& name) {
  peers_.push_back(bus_->AddPeer(name));
  return peers_.back();
}

CFenUpdatorDlg& Rig::MakeDialog(int instance, UpdateTiming timing, bool placeholder_firmware) {
  CFenUpdatorDlg::Options options;
  options.instance = instance;
  options.services.driver = driver_.get();
  options.timing = timing;
  options.placeholder_firmware = placeholder_firmware;
  dialog_ = std::make_unique<CFenUpdatorDlg>(std::move(options));
  boxes_.Attach(dialog_.get());
  dialog_->show();
  return *dialog_;
}

bool Rig::WaitRunEnded(int timeout_ms) {
  return WaitFor(
      [this] { return !dialog_->session().WorkerRunning() && !dialog_->session().busy(); },
      timeout_ms);
}

}  // namespace fen::uitest
