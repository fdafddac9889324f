// The main window driving real runs against the simulated device on the virtual bus: a whole
// update, each failure of the "Execute" handler, pre-selection, rescan, and closing the window
// at every point of a run.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/string_table.h"
#include "firmware/firmware.h"
#include "protocol/messages.h"
#include "ui/dialog_layout.h"
#include "ui/dialog_template.h"
#include "ui_test_support.h"

namespace fen {
namespace {

using uitest::Rig;
using uitest::WaitFor;

QString Text(int id) { return QString::fromStdString(LoadString(id)); }

struct Controls {
  explicit Controls(CFenUpdatorDlg& d)
      : in_list(DialogItemOf<QComboBox>(&d, IDC_MIDI_IN_LIST)),
        out_list(DialogItemOf<QComboBox>(&d, IDC_MIDI_OUT_LIST)),
        progress(DialogItemOf<QProgressBar>(&d, IDC_PROGRESS)),
        execute(DialogItemOf<QPushButton>(&d, IDOK)),
        status_line(DialogItemOf<QLineEdit>(&d, IDC_STATUS_LINE)),
        rescan(DialogItemOf<QPushButton>(&d, IDC_RESCAN_DEVICE)),
        step_counter(DialogItemOf<QLineEdit>(&d, IDC_STEP_COUNTER)) {}
  bool ReadyState() const {
    return in_list->isEnabled() && out_list->isEnabled() && execute->isEnabled() &&
           rescan->isEnabled();
  }
  bool AllDisabled() const {
    return !in_list->isEnabled() && !out_list->isEnabled() && !execute->isEnabled() &&
           !rescan->isEnabled();
  }
  QComboBox* in_list;
  QComboBox* out_list;
  QProgressBar* progress;
  QPushButton* execute;
  QLineEdit* status_line;
  QPushButton* rescan;
  QLineEdit* step_counter;
};

// A timing whose waits outlast any test, so that a run is surely inside the wait when the
// window closes; the pauses stay short unless a test wants to close inside one.
UpdateTiming LongWaits() {
  UpdateTiming timing = UpdateTiming::Shrunk();
  timing.identity_wait_ms = 60000;
  timing.erase_wait_ms = 60000;
  timing.write_wait_ms = 60000;
  timing.finish_wait_ms = 60000;
  return timing;
}

devsim::Fault FaultOf(devsim::FaultKind kind) {
  devsim::Fault fault;
  fault.kind = kind;
  fault.count = 0;
  return fault;
}

// ---------------------------------------------------------------------------------------

TEST(MainDialogRun, AWholeUpdateEndsCompletedWithTheImagesInTheDevicesFlash) {
  Rig rig;
  devsim::VirtualBusDevice& device = rig.AddDevice();
  CFenUpdatorDlg& dialog = rig.MakeDialog();
  Controls c(dialog);
  ASSERT_EQ(c.out_list->currentText(), "USB Audio Device");
  ASSERT_EQ(c.in_list->currentText(), "USB Audio Device");

  c.execute->click();
  EXPECT_TRUE(c.AllDisabled());
  ASSERT_TRUE(rig.WaitRunEnded());

  EXPECT_EQ(c.step_counter->text(), "9/9");
  EXPECT_EQ(c.status_line->text(), Text(IDS_UPDATE_COMPLETED));
  EXPECT_EQ(c.progress->value(), c.progress->maximum());
  EXPECT_TRUE(c.in_list->isEnabled());
  EXPECT_TRUE(c.out_list->isEnabled());
  EXPECT_TRUE(c.rescan->isEnabled());
  EXPECT_FALSE(c.execute->isEnabled());
  EXPECT_TRUE(rig.boxes().boxes().empty());
  EXPECT_TRUE(device.device().FlashHoldsImages(FirmwareSet::Builtin()));

  // Only "Rescan Device" leads back to Ready; the ports of the run stay open meanwhile.
  c.rescan->click();
  EXPECT_TRUE(c.ReadyState());
  EXPECT_EQ(c.out_list->currentText(), "USB Audio Device");
  EXPECT_TRUE(dialog.session().out_port().IsOpen());
  EXPECT_EQ(c.status_line->text(), Text(IDS_UPDATE_COMPLETED)) << "nothing clears the last run";
}

TEST(MainDialogRun, AFailedRunShowsItsErrorBoxOnceAndReturnsToReady) {
  Rig rig;
  rig.AddDevice({FaultOf(devsim::FaultKind::kNotUpdateMode)});
  CFenUpdatorDlg& dialog = rig.MakeDialog();
  Controls c(dialog);

  c.execute->click();
  ASSERT_TRUE(rig.WaitRunEnded());
  ASSERT_EQ(rig.boxes().boxes().size(), 1u);
  const auto& box = rig.boxes().boxes()[0];
  EXPECT_EQ(box.text, Text(IDS_USE_UPDATE_MODE));
  EXPECT_EQ(box.caption, Text(IDS_ERROR_CAPTION));
  EXPECT_EQ(box.icon, QMessageBox::Critical);
  EXPECT_TRUE(c.ReadyState());

  // Execute again at once: the same failure, the same single box.
  c.execute->click();
  ASSERT_TRUE(rig.WaitRunEnded());
  EXPECT_EQ(rig.boxes().boxes().size(), 2u);
  EXPECT_TRUE(c.ReadyState());
}

// ---------------------------------------------------------------------------------------
// The "Execute" handler's own failures.

class ExecuteFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    folder_ = std::filesystem::temp_directory_path() /
              ("fen_ui_log_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(folder_);
    std::filesystem::current_path(folder_);
    std::ofstream(folder_ / "TEST_LOG.txt").close();
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(folder_);
  }
  std::string LogText() const {
    std::ifstream in(folder_ / "TEST_LOG.txt");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::filesystem::path previous_;
  std::filesystem::path folder_;
};

TEST_F(ExecuteFailure, AnOutputPortThatDoesNotOpenIsLoggedThenReportedWithBox113) {
  Rig rig;
  devsim::VirtualBusDevice& device = rig.AddDevice();
  CFenUpdatorDlg& dialog = rig.MakeDialog();
  Controls c(dialog);
  std::string log_when_box_opened;
  rig.boxes().set_on_box([&](QMessageBox*) { log_when_box_opened = LogText(); });

  device.Vanish();  // unplugged after the lists were filled
  c.execute->click();

  ASSERT_EQ(rig.boxes().texts(), std::vector<QString>{Text(IDS_CANT_OPEN_MIDI_OUT)});
  EXPECT_NE(log_when_box_opened.find("Midi out error."), std::string::npos)
      << "the log line comes before the box: " << log_when_box_opened;
  EXPECT_TRUE(c.ReadyState());
  EXPECT_FALSE(dialog.session().busy());
  EXPECT_FALSE(dialog.session().in_port().IsOpen()) << "the input port is not touched";
}

TEST_F(ExecuteFailure, AnInputPortThatDoesNotOpenIsReportedWithBox110AndLeavesTheOutputOpen) {
  Rig rig;
  rig.AddDevice();
  CFenUpdatorDlg& dialog = rig.MakeDialog();
  Controls c(dialog);

  c.in_list->setCurrentIndex(-1);  // no selection: -1 reaches the port's Open
  c.execute->click();

  ASSERT_EQ(rig.boxes().texts(), std::vector<QString>{Text(IDS_CANT_OPEN_MIDI_IN)});
  EXPECT_EQ(rig.boxes().boxes()[0].caption, Text(IDS_ERROR_CAPTION));
  EXPECT_EQ(rig.boxes().boxes()[0].icon, QMessageBox::Critical);
  EXPECT_NE(LogText().find("Midi out error."), std::string::npos);
  EXPECT_EQ(dialog.session().in_port().device_index(), -1);
  EXPECT_TRUE(dialog.session().out_port().IsOpen());
  EXPECT_TRUE(c.ReadyState());
  EXPECT_FALSE(dialog.session().busy());
}

TEST_F(ExecuteFailure, WithNoDevicesBothListsAreEmptyAndMinusOneReachesTheOutputPort) {
  Rig rig;
  CFenUpdatorDlg& dialog = rig.MakeDialog();
  Controls c(dialog);
  EXPECT_EQ(c.in_list->count(), 0);
  EXPECT_EQ(c.out_list->count(), 0);
  EXPECT_EQ(c.out_list->currentIndex(), -1);

  c.execute->click();

  ASSERT_EQ(rig.boxes().texts(), std::vector<QString>{Text(IDS_CANT_OPEN_MIDI_OUT)});
  EXPECT_EQ(dialog.session().out_port().device_index(), -1);
  EXPECT_TRUE(c.ReadyState());
}

TEST(ExecuteWhileBusy, ShowsInProgressAndTheRunGoesOn) {
  Rig rig;
  devsim::VirtualBusDevice& device = rig.AddDevice({FaultOf(devsim::FaultKind::kIdentityNoReply)});
  CFenUpdatorDlg& dialog = rig.MakeDialog(1, LongWaits());
  Controls c(dialog);
  c.execute->click();
  ASSERT_TRUE(WaitFor([&] { return device.device().GetReport().identity_requests >= 1; }));

  dialog.OnExecute();  // the button is disabled; Enter or a second click would land here

  EXPECT_EQ(rig.boxes().texts(), std::vector<QString>{Text(IDS_IN_PROGRESS)});
  EXPECT_TRUE(dialog.session().busy());
  EXPECT_TRUE(dialog.session().WorkerRunning());
  EXPECT_TRUE(c.AllDisabled());
  EXPECT_EQ(device.device().GetReport().identity_requests, 1u) << "no second run started";
}

// ---------------------------------------------------------------------------------------
// Pre-selection by name and instance number, and "Rescan Device".

TEST(PortPreselection, FollowsTheNamesAndTheInstanceNumber) {
  struct Case {
    std::vector<std::string> peers;
    int instance;
    QString selected;  // empty: no selection
  };
  const std::vector<Case> cases = {
      // The later of two matching items wins, whichever name it matched.
      {{"USB Audio Device", "TARN PL Series"}, 1, "TARN PL Series"},
      {{"TARN PL Series", "Other Synth", "USB Audio Device"}, 1, "USB Audio Device"},
      // Case matters; no prefix matches.
      {{"usb audio device", "USB Audio Device 2"}, 1, ""},
      // The Japanese name of the device matches in its UTF-8 form.
      {{"Other Synth",
        "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
        "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9"},
       1,
       QString::fromUtf8("USB オーディオ デバイス")},
      // A second device of the same kind, numbered by the system: each instance takes its own.
      {{"USB Audio Device", "USB Audio Device (2)"}, 1, "USB Audio Device"},
      {{"USB Audio Device (2)", "USB Audio Device"}, 2, "USB Audio Device (2)"},
      {{"USB Audio Device", "TARN PL Series"}, 2, ""},
      {{"TARN PL Series (3)", "USB Audio Device (2)"}, 3, "TARN PL Series (3)"},
  };
  for (const Case& test : cases) {
    Rig rig;
    for (const std::string& name : test.peers) rig.AddPeer(name);
    CFenUpdatorDlg& dialog = rig.MakeDialog(test.instance);
    Controls c(dialog);
    SCOPED_TRACE(::testing::Message()
                 << "instance " << test.instance << ", first item " << test.peers.front());
    QStringList items;
    for (int i = 0; i < c.out_list->count(); ++i) items << c.out_list->itemText(i);
    SCOPED_TRACE(items.join(" | ").toStdString());
    EXPECT_EQ(c.out_list->count(), static_cast<int>(test.peers.size()));
    EXPECT_EQ(c.out_list->currentText(), test.selected);
    EXPECT_EQ(c.in_list->currentText(), test.selected);
    EXPECT_EQ(c.out_list->currentIndex() == -1, test.selected.isEmpty());
  }
}

TEST(RescanDevice, ListsADevicePluggedInLaterRecomputesTheSelectionAndEnablesExecute) {
  Rig rig;
  rig.AddPeer("Other Synth");
  CFenUpdatorDlg& dialog = rig.MakeDialog();
  Controls c(dialog);
  EXPECT_EQ(c.out_list->currentIndex(), -1);
  c.execute->setEnabled(false);

  rig.AddDevice();
  c.rescan->click();

  EXPECT_EQ(c.out_list->count(), 2);
  EXPECT_EQ(c.out_list->currentText(), "USB Audio Device");
  EXPECT_EQ(c.in_list->currentText(), "USB Audio Device");
  EXPECT_TRUE(c.execute->isEnabled());

  // A choice made by hand is lost on the next rescan.
  c.out_list->setCurrentIndex(0);
  c.rescan->click();
  EXPECT_EQ(c.out_list->currentText(), "USB Audio Device");
}

// ---------------------------------------------------------------------------------------
// Closing the window in every phase of a run: no deadlock, no crash, no box, no late call.

enum class Phase {
  kIdentityWait,
  kBeginUpdateWait,
  kBeginPause,
  kWriteStep,
  kWorkerErrorBoxOpen,
  kExecuteErrorBoxOpen
};

class CloseDuringRun : public ::testing::TestWithParam<Phase> {};

// Answers the Identity Request like the device and never answers Begin Update.
std::atomic<int> g_begin_updates{0};
void AnswerIdentityOnly(VirtualMidiBus::Peer* peer) {
  peer->SetReceiver([peer](const std::uint8_t* data, std::size_t size) {
    if (size == kIdentityRequestTemplate.size() && data[1] == kUniversalNonRealTime &&
        data[4] == kIdentityRequestSubId) {
      std::array<std::uint8_t, 15> reply = kIdentityReplyTemplate;
      reply[kIdentityReplyModelOffset] = 0x57;
      peer->Send(reply.data(), reply.size());
    } else if (size >= 6 && data[1] == kManufacturerId && data[4] == kCmdBeginUpdate) {
      ++g_begin_updates;
    }
  });
}

TEST_P(CloseDuringRun, EndsTheRunSilentlyAndPromptly) {
  Rig rig;
  UpdateTiming timing = LongWaits();
  std::function<bool()> reached;
  devsim::VirtualBusDevice* device = nullptr;
  bool closed = false;
  switch (GetParam()) {
    case Phase::kIdentityWait:
      device = &rig.AddDevice({FaultOf(devsim::FaultKind::kIdentityNoReply)});
      reached = [&] { return device->device().GetReport().identity_requests >= 1; };
      break;
    case Phase::kBeginUpdateWait: {
      g_begin_updates = 0;
      AnswerIdentityOnly(rig.AddPeer("USB Audio Device").get());
      reached = [] { return g_begin_updates.load() >= 1; };
      break;
    }
    case Phase::kBeginPause:
      timing.begin_pause_ms = 60000;
      device = &rig.AddDevice();
      reached = [&] {
        return device->device().GetReport().begin_updates >= 1 &&
               rig.dialog().session().replies().replies_stored >= 2;
      };
      break;
    case Phase::kWriteStep:
      device = &rig.AddDevice({}, devsim::SimTiming::Usb());
      reached = [&] { return device->device().GetReport().write_blocks >= 3; };
      break;
    case Phase::kWorkerErrorBoxOpen:
      timing = UpdateTiming::Shrunk();  // the Identity Reply's time-out comes quickly
      device = &rig.AddDevice({FaultOf(devsim::FaultKind::kIdentityNoReply)});
      rig.boxes().set_answering(false);
      reached = [&] { return !rig.boxes().last_open().isNull(); };
      break;
    case Phase::kExecuteErrorBoxOpen:
      rig.boxes().set_answering(false);
      reached = [&] { return closed; };
      break;
  }
  CFenUpdatorDlg& dialog = rig.MakeDialog(1, timing);
  Controls c(dialog);
  if (GetParam() == Phase::kExecuteErrorBoxOpen) {
    // The box runs inside the "Execute" handler; the window is closed from within it.
    rig.boxes().set_on_box([&](QMessageBox*) {
      QTimer::singleShot(0, &dialog, [&] {
        dialog.reject();
        closed = true;
      });
    });
  }

  c.execute->click();
  ASSERT_TRUE(WaitFor(reached));
  if (!closed) dialog.reject();

  EXPECT_FALSE(dialog.isVisible());
  EXPECT_FALSE(dialog.session().WorkerRunning()) << "the worker was joined";
  EXPECT_FALSE(dialog.session().out_port().IsOpen());
  EXPECT_FALSE(dialog.session().in_port().IsOpen());
  const std::size_t boxes_at_close = rig.boxes().boxes().size();
  const QString status_at_close = c.status_line->text();
  ASSERT_TRUE(WaitFor([&] { return rig.boxes().last_open().isNull(); }, 5000))
      << "a box left open is closed with the window";
  WaitFor([] { return false; }, 20);  // let anything still posted arrive
  EXPECT_EQ(rig.boxes().boxes().size(), boxes_at_close) << "an aborted run reports nothing";
  EXPECT_EQ(c.status_line->text(), status_at_close);
  rig.DestroyDialog();
}

// Every phase, with its name in the test's name.
const std::pair<Phase, const char*> kPhases[] = {
    {Phase::kIdentityWait, "IdentityWait"},
    {Phase::kBeginUpdateWait, "BeginUpdateWait"},
    {Phase::kBeginPause, "BeginPause"},
    {Phase::kWriteStep, "WriteStep"},
    {Phase::kWorkerErrorBoxOpen, "WorkerErrorBoxOpen"},
    {Phase::kExecuteErrorBoxOpen, "ExecuteErrorBoxOpen"},
};

std::vector<Phase> EveryPhase() {
  std::vector<Phase> phases;
  for (const auto& [phase, name] : kPhases) phases.push_back(phase);
  return phases;
}

std::string PhaseName(const ::testing::TestParamInfo<Phase>& info) {
  for (const auto& [phase, name] : kPhases) {
    if (phase == info.param) return name;
  }
  return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, CloseDuringRun, ::testing::ValuesIn(EveryPhase()), PhaseName);

// Enter as a user presses it, on whatever has the focus.
void PressEnter(QDialog& dialog) {
  QWidget* target = dialog.focusWidget() != nullptr ? dialog.focusWidget() : &dialog;
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QApplication::sendEvent(target, &release);
}

TEST(EnterDuringRun, DoesNothingOnceExecuteIsDisabledAndNeverReachesExit) {
  Rig rig;
  devsim::VirtualBusDevice& device = rig.AddDevice({}, devsim::SimTiming::Usb());
  CFenUpdatorDlg& dialog = rig.MakeDialog(1, LongWaits());
  Controls c(dialog);
  ASSERT_EQ(dialog.focusWidget(), c.execute);
  PressEnter(dialog);  // starts the run
  ASSERT_TRUE(WaitFor([&] { return device.device().GetReport().write_blocks >= 3; }));
  EXPECT_NE(dialog.focusWidget(), DialogItemOf<QWidget>(&dialog, IDCANCEL));
  PressEnter(dialog);
  PressEnter(dialog);
  WaitFor([] { return false; }, 50);
  EXPECT_TRUE(dialog.isVisible()) << "Enter closed the window in the middle of the run";
  EXPECT_TRUE(dialog.session().WorkerRunning());
  EXPECT_TRUE(rig.boxes().boxes().empty());
  rig.DestroyDialog();
}

TEST(DestroyDuringRun, DestroyingTheWindowObjectInTheMiddleOfAWriteStepIsSafe) {
  Rig rig;
  devsim::VirtualBusDevice& device = rig.AddDevice({}, devsim::SimTiming::Usb());
  CFenUpdatorDlg& dialog = rig.MakeDialog(1, LongWaits());
  DialogItemOf<QPushButton>(&dialog, IDOK)->click();
  ASSERT_TRUE(WaitFor([&] { return device.device().GetReport().write_blocks >= 3; }));
  rig.DestroyDialog();  // no done(): the destructor alone
  const auto blocks = device.device().GetReport().write_blocks;
  WaitFor([] { return false; }, 20);
  EXPECT_EQ(device.device().GetReport().write_blocks, blocks) << "nothing is sent any more";
}

// ---------------------------------------------------------------------------------------
// Builds with placeholder images.

TEST(PlaceholderFirmware, TheFirstExecuteOfTheProcessWarnsAndCancelStartsNoRun) {
  CFenUpdatorDlg::ResetPlaceholderWarning();
  Rig rig;
  devsim::VirtualBusDevice& device = rig.AddDevice();
  CFenUpdatorDlg& dialog = rig.MakeDialog(1, UpdateTiming::Shrunk(), true);
  Controls c(dialog);

  rig.boxes().set_answer(QMessageBox::Cancel);
  c.execute->click();
  ASSERT_EQ(rig.boxes().boxes().size(), 1u);
  EXPECT_EQ(rig.boxes().boxes()[0].icon, QMessageBox::Warning);
  EXPECT_TRUE(rig.boxes().boxes()[0].text.contains("placeholder"));
  EXPECT_FALSE(dialog.session().out_port().IsOpen());
  EXPECT_EQ(device.device().GetReport().messages_received, 0u);

  rig.boxes().set_answer(QMessageBox::Ok);
  c.execute->click();
  ASSERT_EQ(rig.boxes().boxes().size(), 2u) << "warned again: no device was updated yet";
  ASSERT_TRUE(rig.WaitRunEnded());
  EXPECT_EQ(c.status_line->text(), Text(IDS_UPDATE_COMPLETED));

  c.rescan->click();
  c.execute->click();
  ASSERT_TRUE(rig.WaitRunEnded());
  EXPECT_EQ(rig.boxes().boxes().size(), 2u) << "once per run of the program";

  // A second window of the same process does not warn again either.
  Rig other;
  other.AddDevice();
  other.MakeDialog(1, UpdateTiming::Shrunk(), true);
  DialogItemOf<QPushButton>(&other.dialog(), IDOK)->click();
  ASSERT_TRUE(other.WaitRunEnded());
  EXPECT_TRUE(other.boxes().boxes().empty());
}

TEST(PlaceholderFirmware, AReleaseBuildNeverWarns) {
  CFenUpdatorDlg::ResetPlaceholderWarning();
  Rig rig;
  rig.AddDevice();
  CFenUpdatorDlg& dialog = rig.MakeDialog(1, UpdateTiming::Shrunk(), false);
  DialogItemOf<QPushButton>(&dialog, IDOK)->click();
  ASSERT_TRUE(rig.WaitRunEnded());
  EXPECT_TRUE(rig.boxes().boxes().empty());
}

}  // namespace
}  // namespace fen
