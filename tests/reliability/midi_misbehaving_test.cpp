// The MIDI system misbehaving under a run: the device's ports vanish while open, a send is
// never finished, the input buffer is never handed back. Each run ends in the failure report of
// the step it was in, within its time-outs, and the next "Execute" updates the device.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "devsim/host_message.h"
#include "devsim/update_plan.h"
#include "engine/update_session.h"
#include "platform/midi/midi_driver.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "soak/soak_link.h"
#include "soak/soak_run.h"
#include "soak/soak_view.h"
#include "support/log_folder.h"

namespace fen::soak {
namespace {

using Strings = std::vector<std::string>;
using devsim::HostMessageKind;
using devsim::ParsedMessage;
using fen::testing::LogFolder;

// The real driver, which can be told to keep the input buffer it is lent.
class KeepingDriver : public MidiDriver {
 public:
  using MidiDriver::MidiDriver;
  MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override {
    if (keep_.load()) return MMSYSERR_NOERROR;  // taken, and never handed back
    return MidiDriver::midiInAddBuffer(handle, header, size);
  }
  std::atomic<bool> keep_{false};
};

const Strings kCompleted = {
    "disable", "step 0/9",     "status ", "step 9/9", "status Version update completed.",
    "restore", "execute false"};

Strings Failed(int row, int box) {
  if (row == 0) return {"disable", "step 0/9", "error " + std::to_string(box), "restore"};
  return {"disable",
          "step 0/9",
          "status ",
          "step " + std::to_string(row) + "/9",
          "error " + std::to_string(box),
          "restore"};
}

class MidiMisbehaving : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = std::make_shared<VirtualMidiBus>();
    slow_ = std::make_shared<SlowLinkBackend>(bus_);
    PlugDevice();
    MidiDriverTimings driver_timings;
    driver_timings.close_wait = std::chrono::milliseconds(250);
    driver_ = std::make_unique<KeepingDriver>(std::vector<std::shared_ptr<MidiBackend>>{slow_},
                                              driver_timings);
    UpdateTiming timing = SoakTiming();
    timing.send_bound_ms = 50;
    session_ =
        std::make_unique<UpdateSession>(view_, UpdateServices{.driver = driver_.get()}, timing);
    session_->Initialise();
  }
  void TearDown() override {
    session_->Teardown();
    slow_->Release();
    session_.reset();
    driver_.reset();
    link_.reset();
  }
  void PlugDevice() {
    link_.reset();
    devsim::SimOptions options;
    options.timing = devsim::SimTiming::Instant();
    link_ = std::make_unique<SoakLink>(*bus_, options);
  }
  // One whole run; its outcome.
  Strings RunUpdate() {
    view_.Reset();
    EXPECT_EQ(session_->Execute(0, 0), UpdateSession::ExecuteOutcome::kStarted);
    EXPECT_TRUE(session_->WaitForWorkerFor(20000)) << "the run did not end";
    EXPECT_FALSE(session_->busy());
    return view_.Outcome();
  }
  // After a failure: the device plugged in again (when it had gone), the lists read again,
  // and the next run updates it.
  void ExpectNextRunCompletes(bool replug) {
    if (replug) {
      PlugDevice();
      driver_->Rescan();
    }
    EXPECT_EQ(RunUpdate(), kCompleted);
    EXPECT_TRUE(link_->device().FlashHoldsImages(FirmwareSet::Builtin()));
    EXPECT_TRUE(log_.TakeTexts().empty());
  }

  LogFolder log_{"fen-reliability"};
  SoakView view_;
  std::shared_ptr<VirtualMidiBus> bus_;
  std::shared_ptr<SlowLinkBackend> slow_;
  std::unique_ptr<SoakLink> link_;
  std::unique_ptr<KeepingDriver> driver_;
  std::unique_ptr<UpdateSession> session_;
};

// The device is unplugged the moment `what` reaches it.
void VanishOn(SoakLink& link, std::function<bool(const ParsedMessage&)> what) {
  link.SetDrop([&link, what](const ParsedMessage& m) {
    if (!what(m)) return false;
    link.Vanish();
    return true;
  });
}

TEST_F(MidiMisbehaving, PortsVanishingDuringTheTransferEndInTheWriteTimeOut) {
  VanishOn(*link_, [](const ParsedMessage& m) {
    return m.kind == HostMessageKind::kWriteBlock && devsim::BlockNumberOf(m.address) == 200;
  });
  EXPECT_EQ(RunUpdate(), Failed(7, 103));
  EXPECT_EQ(log_.TakeTexts(), Strings{"(Write)Time Out Error."});
  ExpectNextRunCompletes(true);
}

TEST_F(MidiMisbehaving, PortsVanishingDuringAnEraseEndInTheEraseTimeOut) {
  VanishOn(*link_, [](const ParsedMessage& m) {
    return m.kind == HostMessageKind::kEraseRange && devsim::EraseStepOf(m.address, m.size) == 4;
  });
  EXPECT_EQ(RunUpdate(), Failed(4, 104));
  EXPECT_EQ(log_.TakeTexts(), Strings{"(Erase)Time Out Error."});
  ExpectNextRunCompletes(true);
}

TEST_F(MidiMisbehaving, PortsVanishingBeforeTheIdentityReplyEndInTheIdentityTimeOut) {
  VanishOn(*link_,
           [](const ParsedMessage& m) { return m.kind == HostMessageKind::kIdentityRequest; });
  EXPECT_EQ(RunUpdate(), Failed(0, 102));
  EXPECT_EQ(log_.TakeTexts(), Strings{"Midi out error."});
  ExpectNextRunCompletes(true);
}

TEST_F(MidiMisbehaving, ASendTheSystemNeverFinishesFailsTheIdentityRequestAndTheRunEnds) {
  slow_->Hold();
  EXPECT_EQ(RunUpdate(), (Strings{"disable", "step 0/9", "error 113", "error 102", "restore"}));
  EXPECT_EQ(log_.TakeTexts(), (Strings{"Midi out error.", "Midi out error."}));
  slow_->Release();
  ExpectNextRunCompletes(false);
}

TEST_F(MidiMisbehaving, SendsStuckInTheMiddleOfTheTransferEndInTheWriteTimeOut) {
  link_->SetDrop([this](const ParsedMessage& m) {
    if (m.kind == HostMessageKind::kWriteBlock && devsim::BlockNumberOf(m.address) == 60) {
      slow_->Hold();  // every send from block 61 on stays in the link
    }
    return false;
  });
  EXPECT_EQ(RunUpdate(), Failed(3, 103));
  EXPECT_EQ(log_.TakeTexts(), Strings{"(Write)Time Out Error."});
  slow_->Release();
  link_->SetDrop(nullptr);
  ExpectNextRunCompletes(false);
}

TEST_F(MidiMisbehaving, AnInputBufferNeverHandedBackEndsTheRunInTheTimeOutOfItsStep) {
  link_->SetDrop([this](const ParsedMessage& m) {
    // From block 300 on, the driver keeps the buffer the port lends it after each message.
    if (m.kind == HostMessageKind::kWriteBlock && devsim::BlockNumberOf(m.address) == 300) {
      driver_->keep_.store(true);
    }
    return false;
  });
  EXPECT_EQ(RunUpdate(), Failed(7, 103));
  EXPECT_EQ(log_.TakeTexts(), Strings{"(Write)Time Out Error."});
  driver_->keep_.store(false);
  link_->SetDrop(nullptr);
  ExpectNextRunCompletes(false);
}

TEST_F(MidiMisbehaving, AnInputBufferKeptFromTheStartEndsInTheIdentityTimeOut) {
  driver_->keep_.store(true);
  EXPECT_EQ(RunUpdate(), Failed(0, 102));
  EXPECT_EQ(log_.TakeTexts(), Strings{"Midi out error."});
  driver_->keep_.store(false);
  ExpectNextRunCompletes(false);
}

}  // namespace
}  // namespace fen::soak
