// The main dialog's model driven through fake widgets on a fake window thread (the test's),
// against the simulated device on the virtual bus: the lists, a whole run, error boxes, the
// focus during a run, the placeholder warning and closing the window at awkward moments.
#include "dialog/dialog_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <map>
#include <thread>

#include "devsim/virtual_bus_device.h"
#include "engine/resource.h"
#include "engine/string_table.h"
#include "platform/midi/midi_driver.h"
#include "platform/midi/virtual/virtual_midi_bus.h"

namespace fen {
namespace {

class FakeWidgets : public DialogWidgets {
 public:
  struct Box {
    std::string text;
    std::string caption;
  };

  void SetListItems(int id, const std::vector<std::string>& items) override {
    lists[id] = items;
    selected[id] = items.empty() ? -1 : 0;  // as a list that selects its first item
  }
  void SelectListItem(int id, int position) override { selected[id] = position; }
  int SelectedListItem(int id) const override { return selected.at(id); }
  void SetControlText(int id, const std::string& text) override { texts[id] = text; }
  void EnableControl(int id, bool enable) override { enabled[id] = enable; }
  void SetProgressRange(int upper) override { range = upper; }
  void SetProgressPos(int position) override { pos = position; }
  int FocusedControl() const override { return focus; }
  void FocusControl(int id) override { focus = id; }
  void ErrorBox(const std::string& text, const std::string& caption) override {
    boxes.push_back({text, caption});
    if (on_window_box) on_window_box();
  }
  void OpenErrorBox(const std::string& text, const std::string& caption,
                    std::function<void()> closed) override {
    boxes.push_back({text, caption});
    if (answer_worker_boxes) {
      closed();
    } else {
      open_box = std::move(closed);
    }
  }
  bool ConfirmPlaceholder(const std::string& text, const std::string&) override {
    boxes.push_back({text, "placeholder"});
    return confirm;
  }
  void ShowAbout() override { ++abouts; }
  void CloseBoxes() override {
    ++boxes_closed;
    if (open_box) std::exchange(open_box, nullptr)();
  }
  bool OnWindowThread() const override { return std::this_thread::get_id() == window_thread; }
  void Post(std::function<void()> call) override {
    std::lock_guard<std::mutex> lock(queue_mutex);
    queue.push_back(std::move(call));
  }

  // The window thread's loop: runs posted calls until `done` holds; false after the limit.
  bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::function<void()> call;
      {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (!queue.empty()) {
          call = std::move(queue.front());
          queue.pop_front();
        }
      }
      if (call) {
        call();
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    return true;
  }

  bool RunControlsEnabled() const {
    return enabled.at(IDC_MIDI_IN_LIST) && enabled.at(IDC_MIDI_OUT_LIST) && enabled.at(IDOK) &&
           enabled.at(IDC_RESCAN_DEVICE);
  }

  std::thread::id window_thread = std::this_thread::get_id();
  std::map<int, std::vector<std::string>> lists;
  std::map<int, int> selected;
  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  int range = 0;
  int pos = 0;
  int focus = 0;
  std::vector<Box> boxes;
  bool answer_worker_boxes = true;
  std::function<void()> open_box;
  std::function<void()> on_window_box;
  bool confirm = true;
  int abouts = 0;
  int boxes_closed = 0;
  std::mutex queue_mutex;
  std::deque<std::function<void()>> queue;
};

devsim::Fault FaultOf(devsim::FaultKind kind) {
  devsim::Fault fault;
  fault.kind = kind;
  fault.count = 0;
  return fault;
}

class DialogModelTest : public ::testing::Test {
 protected:
  devsim::VirtualBusDevice& AddDevice(std::vector<devsim::Fault> faults = {},
                                      const std::string& name = devsim::kDefaultClientName) {
    devsim::SimOptions options;
    options.faults = std::move(faults);
    options.timing = devsim::SimTiming::Instant();
    devices_.push_back(std::make_unique<devsim::VirtualBusDevice>(*bus_, options, name));
    return *devices_.back();
  }
  DialogModel& Make(int instance = 1, UpdateTiming timing = UpdateTiming::Shrunk(),
                    bool placeholder = false) {
    DialogModel::ResetPlaceholderWarning();
    model_ = std::make_unique<DialogModel>(
        w_, DialogModel::Options{instance, UpdateServices{.driver = driver_.get()}, timing,
                                 placeholder});
    model_->set_on_run_ended([this](UpdateResult r) { results_.push_back(r); });
    model_->Initialise();
    return *model_;
  }
  bool RunEnded() {
    return w_.PumpUntil([&] { return !model_->session().WorkerRunning(); });
  }
  void TearDown() override {
    model_.reset();
    devices_.clear();
  }

  FakeWidgets w_;
  std::vector<UpdateResult> results_;
  std::shared_ptr<VirtualMidiBus> bus_ = std::make_shared<VirtualMidiBus>();
  std::unique_ptr<MidiDriver> driver_ =
      std::make_unique<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{bus_});
  std::vector<std::unique_ptr<devsim::VirtualBusDevice>> devices_;
  std::unique_ptr<DialogModel> model_;
};

TEST_F(DialogModelTest, InitialisationFillsAndPreselectsTheListsForTheInstance) {
  AddDevice({}, "Other");
  AddDevice({}, "USB Audio Device");
  AddDevice({}, "USB Audio Device (2)");
  AddDevice({}, "usb audio device (2)");
  Make(2);
  const std::vector<std::string> names = {"Other", "USB Audio Device", "USB Audio Device (2)",
                                          "usb audio device (2)"};
  EXPECT_EQ(w_.lists[IDC_MIDI_OUT_LIST], names);
  EXPECT_EQ(w_.lists[IDC_MIDI_IN_LIST], names);
  EXPECT_EQ(w_.selected[IDC_MIDI_OUT_LIST], 2);
  EXPECT_EQ(w_.selected[IDC_MIDI_IN_LIST], 2);
  EXPECT_EQ(w_.texts[0], "TARN PL-33QV v2.00 Updater (2)");
  EXPECT_EQ(w_.range, 100);
  EXPECT_EQ(w_.focus, IDOK);
}

// Ports named otherwise (by Windows MIDI Services, by Wine after the ALSA port, by the user):
// the devices that answer as the family are found by their answer, copy N taking the N-th;
// an echoing port and another model are never taken.
TEST_F(DialogModelTest, PortsNamedOtherwiseAreChosenByTheDevicesAnswer) {
  auto echo = bus_->AddPeer("Midi Through");
  std::weak_ptr<VirtualMidiBus::Peer> weak = echo;
  echo->SetReceiver([weak](const std::uint8_t* data, std::size_t size) {
    if (auto peer = weak.lock()) peer->Send(data, size);
  });
  devsim::SimOptions stranger;
  stranger.model_id = 0x33;
  stranger.timing = devsim::SimTiming::Instant();
  devices_.push_back(std::make_unique<devsim::VirtualBusDevice>(*bus_, stranger, "Other Synth"));
  AddDevice({}, "PL Synth A");
  AddDevice({}, "PL Synth B");
  for (int instance : {1, 2, 3}) {
    SCOPED_TRACE(instance);
    model_.reset();
    w_.texts.clear();
    Make(instance);
    const std::vector<std::string>& outs = w_.lists[IDC_MIDI_OUT_LIST];
    const int out = w_.selected[IDC_MIDI_OUT_LIST];
    const int in = w_.selected[IDC_MIDI_IN_LIST];
    if (instance == 3) {
      EXPECT_EQ(out, -1);
      EXPECT_EQ(in, -1);
      EXPECT_EQ(w_.texts[IDC_STATUS_LINE], "");
      continue;
    }
    ASSERT_GE(out, 0);
    ASSERT_GE(in, 0);
    const std::string want = instance == 1 ? "PL Synth A" : "PL Synth B";
    EXPECT_EQ(outs[static_cast<std::size_t>(out)], want);
    EXPECT_EQ(w_.lists[IDC_MIDI_IN_LIST][static_cast<std::size_t>(in)], want);
    EXPECT_EQ(w_.texts[IDC_STATUS_LINE], DialogModel::kFoundByAnswerText);
  }
  // The run on the pair found goes through, and its status line replaces the note.
  model_.reset();
  Make(2);
  model_->OnExecute();
  ASSERT_TRUE(RunEnded());
  EXPECT_EQ(results_.back(), UpdateResult::kCompleted);
  EXPECT_TRUE(devices_.back()->device().FlashHoldsImages(FirmwareSet::Builtin()));
}

TEST_F(DialogModelTest, EmptyListsAreExplainedInTheStatusLineUntilADeviceIsThere) {
  Make();
  EXPECT_EQ(w_.texts[IDC_STATUS_LINE], DialogModel::kNoMidiDeviceText);
  AddDevice();
  model_->OnRescanDevice();
  EXPECT_EQ(w_.texts[IDC_STATUS_LINE], "");
  // A run's own status line is not the empty lists' to clear.
  model_->OnExecute();
  ASSERT_TRUE(RunEnded());
  EXPECT_EQ(w_.texts[IDC_STATUS_LINE], LoadString(IDS_UPDATE_COMPLETED));
  model_->OnRescanDevice();
  EXPECT_EQ(w_.texts[IDC_STATUS_LINE], LoadString(IDS_UPDATE_COMPLETED));
}

TEST_F(DialogModelTest, WithoutAMidiSystemTheStatusLineSaysWhy) {
  DialogModel::ResetPlaceholderWarning();
  DialogModel::Options options{1, UpdateServices{.driver = driver_.get()}, UpdateTiming::Shrunk()};
  options.midi_problem = "No MIDI system is available: JACK server not running.";
  model_ = std::make_unique<DialogModel>(w_, options);
  model_->Initialise();
  EXPECT_EQ(w_.texts[IDC_STATUS_LINE], options.midi_problem);
}

// The worker hands progress over without waiting; a window thread held up finds one call
// queued for all of it, shows the latest of each, and shows it before what the worker waits for.
TEST_F(DialogModelTest, ProgressFromTheWorkerIsHandedOverWithoutWaitingAndShowsItsLatest) {
  Make();
  std::thread worker([this] {
    for (int i = 0; i <= 1000; ++i) {
      model_->SetStepCounter(std::to_string(i));
      model_->SetProgressPos(i);
    }
    model_->SetProgressRange(10);
    model_->SetStatusLine("last");
  });
  worker.join();
  {
    std::lock_guard<std::mutex> lock(w_.queue_mutex);
    EXPECT_EQ(w_.queue.size(), 1u);
  }
  ASSERT_TRUE(w_.PumpUntil([&] { return w_.texts[IDC_STATUS_LINE] == "last"; }));
  EXPECT_EQ(w_.texts[IDC_STEP_COUNTER], "1000");
  EXPECT_EQ(w_.range, 10);
  EXPECT_EQ(w_.pos, 0);  // the position of the last range is not carried into the new one

  std::thread waits([this] {
    model_->SetProgressPos(7);
    model_->EnableExecute(false);
  });
  bool shown_before = false;
  w_.on_window_box = nullptr;
  ASSERT_TRUE(w_.PumpUntil([&] {
    if (!w_.enabled.count(IDOK) || w_.enabled[IDOK]) return false;
    shown_before = w_.pos == 7;
    return true;
  }));
  waits.join();
  EXPECT_TRUE(shown_before);
}

TEST_F(DialogModelTest, AWholeRunKeepsEnterAwayFromExitAndEndsCompleted) {
  AddDevice();
  Make();
  model_->OnExecute();
  // The run's controls are disabled and the focus is on the status line, not on "Exit".
  EXPECT_FALSE(w_.enabled[IDOK]);
  EXPECT_FALSE(w_.enabled[IDC_MIDI_IN_LIST]);
  EXPECT_EQ(w_.focus, IDC_STATUS_LINE);
  // "Execute" again (Enter reaching the handler) only says the run is under way.
  model_->OnExecute();
  ASSERT_EQ(w_.boxes.size(), 1u);
  EXPECT_EQ(w_.boxes[0].text, LoadString(IDS_IN_PROGRESS));
  ASSERT_TRUE(RunEnded());
  ASSERT_TRUE(w_.PumpUntil([&] { return !results_.empty(); }));
  EXPECT_EQ(results_, std::vector<UpdateResult>{UpdateResult::kCompleted});
  EXPECT_EQ(w_.texts[IDC_STATUS_LINE], LoadString(IDS_UPDATE_COMPLETED));
  EXPECT_EQ(w_.texts[IDC_STEP_COUNTER], "9/9");
  EXPECT_FALSE(w_.enabled[IDOK]) << "Execute stays disabled until Rescan Device";
  EXPECT_TRUE(w_.enabled[IDC_RESCAN_DEVICE]);
  EXPECT_TRUE(devices_[0]->device().FlashHoldsImages(FirmwareSet::Builtin()));

  model_->OnRescanDevice();
  EXPECT_TRUE(w_.enabled[IDOK]);
}

TEST_F(DialogModelTest, AFailedRunShowsOneErrorBoxAndRestoresTheControls) {
  AddDevice({FaultOf(devsim::FaultKind::kNotUpdateMode)});
  Make();
  model_->OnExecute();
  ASSERT_TRUE(RunEnded());
  ASSERT_EQ(w_.boxes.size(), 1u);
  EXPECT_EQ(w_.boxes[0].text, LoadString(IDS_USE_UPDATE_MODE));
  EXPECT_EQ(w_.boxes[0].caption, "Error");
  EXPECT_TRUE(w_.RunControlsEnabled());
  EXPECT_FALSE(model_->session().busy());
}

TEST_F(DialogModelTest, APortThatDoesNotOpenIsReportedOnTheWindowThreadWithoutARun) {
  Make();  // no device: both lists are empty, -1 reaches the output port
  model_->OnExecute();
  ASSERT_EQ(w_.boxes.size(), 1u);
  EXPECT_EQ(w_.boxes[0].text, LoadString(IDS_CANT_OPEN_MIDI_OUT));
  EXPECT_EQ(results_, std::vector<UpdateResult>{UpdateResult::kOutPortNotOpened});
  EXPECT_FALSE(model_->session().WorkerRunning());
}

TEST_F(DialogModelTest, ThePlaceholderQuestionComesOncePerProcessAndNoStartsNoRun) {
  AddDevice();
  Make(1, UpdateTiming::Shrunk(), true);
  w_.confirm = false;
  model_->OnExecute();
  EXPECT_FALSE(model_->session().WorkerRunning());
  EXPECT_TRUE(w_.enabled.empty()) << "nothing disabled";
  w_.confirm = true;
  model_->OnExecute();
  ASSERT_TRUE(RunEnded());
  const auto questions = std::count_if(w_.boxes.begin(), w_.boxes.end(),
                                       [](const auto& b) { return b.caption == "placeholder"; });
  EXPECT_EQ(questions, 2);
  model_->OnRescanDevice();
  model_->OnExecute();
  ASSERT_TRUE(RunEnded());
  EXPECT_EQ(std::count_if(w_.boxes.begin(), w_.boxes.end(),
                          [](const auto& b) { return b.caption == "placeholder"; }),
            2)
      << "asked no more once answered yes";
}

TEST_F(DialogModelTest, ClosingWhileTheWorkersErrorBoxIsOpenClosesItAndEndsTheRun) {
  AddDevice({FaultOf(devsim::FaultKind::kIdentityNoReply)});
  Make();
  w_.answer_worker_boxes = false;
  model_->OnExecute();
  ASSERT_TRUE(w_.PumpUntil([&] { return static_cast<bool>(w_.open_box); }));
  model_->OnClose();
  EXPECT_EQ(w_.boxes_closed, 1);
  EXPECT_FALSE(w_.open_box);
  EXPECT_FALSE(model_->session().WorkerRunning());
  EXPECT_FALSE(model_->session().out_port().IsOpen());
  EXPECT_TRUE(results_.empty()) << "the run ended without reporting to the closing window";
}

TEST_F(DialogModelTest, ClosingInTheMiddleOfARunAbortsItSilently) {
  AddDevice();
  UpdateTiming timing = UpdateTiming::Shrunk();
  timing.begin_pause_ms = 60000;
  Make(1, timing);
  model_->OnExecute();
  ASSERT_TRUE(w_.PumpUntil([&] { return w_.texts[IDC_STATUS_LINE] == ""; }));
  const auto started = std::chrono::steady_clock::now();
  model_->OnClose();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_FALSE(model_->session().WorkerRunning());
  EXPECT_EQ(model_->session().last_result(), UpdateResult::kAborted);
  w_.PumpUntil([&] { return false; }, 20);  // whatever was still posted runs and does nothing
  EXPECT_TRUE(w_.boxes.empty());
  EXPECT_FALSE(w_.enabled[IDOK]);
  model_->OnExecute();  // a late click after closing does nothing
  EXPECT_TRUE(w_.boxes.empty());
}

TEST_F(DialogModelTest, ClosingFromInsideExecutesOwnErrorBoxTearsDownOnceItReturns) {
  Make();
  w_.on_window_box = [&] {
    model_->OnClose();
    // Still inside the session's Execute: the session is released when it returns.
    EXPECT_TRUE(model_->closing());
  };
  model_->OnExecute();
  EXPECT_EQ(w_.boxes.size(), 1u);
  EXPECT_FALSE(model_->session().out_port().IsOpen());
  EXPECT_EQ(model_->session().Execute(0, 0), UpdateSession::ExecuteOutcome::kOutPortFailed)
      << "a torn-down session starts nothing";
}

// Another run holds the device (a script, another copy): "Execute" shows who in an error box,
// sends nothing and stays usable; once the device is free the update runs.
TEST_F(DialogModelTest, ADeviceHeldByAnotherRunIsRefusedInABoxAndExecuteStaysUsable) {
  devsim::VirtualBusDevice& device = AddDevice();
  Make();
  ClaimHolder holder;
  auto other = PortClaim::Take({driver_->midiOutGetDeviceKey(0)}, &holder);
  ASSERT_TRUE(other);
  model_->OnExecute();
  ASSERT_EQ(w_.boxes.size(), 1u);
  EXPECT_EQ(w_.boxes[0].caption, "Error");
  const ClaimHolder& held_by = model_->session().claim_holder();
  EXPECT_EQ(held_by.pid, CurrentProcessId());
  EXPECT_FALSE(held_by.program.empty());
  EXPECT_EQ(w_.boxes[0].text,
            "The device's MIDI ports are in use by another update.\n\nMIDI OUT \"USB Audio "
            "Device\" and MIDI IN \"USB Audio Device\" held by " +
                DescribeHolder(held_by));
  EXPECT_EQ(results_, (std::vector<UpdateResult>{UpdateResult::kPortsInUse}));
  EXPECT_FALSE(model_->session().WorkerRunning());
  EXPECT_TRUE(w_.enabled.count(IDOK) == 0 || w_.enabled[IDOK]);
  EXPECT_EQ(device.device().GetReport().messages_received, 0u);

  other.reset();
  model_->OnExecute();
  ASSERT_TRUE(RunEnded());
  EXPECT_EQ(w_.texts[IDC_STATUS_LINE], LoadString(IDS_UPDATE_COMPLETED));
}

TEST_F(DialogModelTest, TheAboutHandlerShowsTheBoxUntilTheWindowCloses) {
  Make();
  model_->OnAbout();
  EXPECT_EQ(w_.abouts, 1);
  model_->OnClose();
  model_->OnAbout();
  EXPECT_EQ(w_.abouts, 1);
}

}  // namespace
}  // namespace fen
