// Whole update runs of the session against a scripted device on the virtual bus, with the
// time constants shrunk: every outcome row of the worker and the flash steps, in order, with
// its log lines, and the flash the device is left with.
#include <gtest/gtest.h>

#include "engine/update_session.h"
#include "platform/midi/midi_driver.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "scripted_device.h"
#include "support/log_folder.h"
#include "support/recording_view.h"

namespace fen::testing {
namespace {

using Strings = std::vector<std::string>;
using Results = std::vector<UpdateResult>;

class EngineFlow : public ::testing::Test {
 protected:
  void Start(std::uint8_t device_model = 0x57) {
    bus_ = std::make_shared<VirtualMidiBus>();
    device_ = std::make_unique<ScriptedDevice>(*bus_, device_model);
    if (script_) device_->set_script(script_);
    device_->set_identity_model(identity_model_ == 0 ? device_model : identity_model_);
    driver_ = std::make_unique<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{bus_});
    session_ = std::make_unique<UpdateSession>(view_, UpdateServices{.driver = driver_.get()},
                                               UpdateTiming::Shrunk());
    session_->Initialise();
    ASSERT_EQ(session_->Execute(0, 0), UpdateSession::ExecuteOutcome::kStarted);
  }
  void Run(std::uint8_t device_model = 0x57) {
    Start(device_model);
    ASSERT_TRUE(session_->WaitForWorkerFor(60000)) << "run did not end";
  }
  void TearDown() override {
    if (session_) session_->Teardown();
    session_.reset();
    driver_.reset();
    device_.reset();
    bus_.reset();
  }
  Strings Outcome() const { return view_.outcome(); }

  LogFolder log_{"fen-engine"};
  RecordingView view_;
  ScriptedDevice::Script script_;
  int identity_model_ = 0;  // 0: the device's own model
  std::shared_ptr<VirtualMidiBus> bus_;
  std::unique_ptr<ScriptedDevice> device_;
  std::unique_ptr<MidiDriver> driver_;
  std::unique_ptr<UpdateSession> session_;
};

const Strings kSuccess = {
    "disable", "step 0/9",     "status ", "step 9/9", "status Version update completed.",
    "restore", "execute false"};

TEST_F(EngineFlow, AFullUpdateWritesEveryImageAndEndsCompleted) {
  Run();
  EXPECT_EQ(Outcome(), kSuccess);
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kCompleted}));
  EXPECT_EQ(session_->last_result(), UpdateResult::kCompleted);
  EXPECT_TRUE(log_.Texts().empty());
  EXPECT_TRUE(device_->FlashHoldsImages(FirmwareSet::Builtin()));
  EXPECT_EQ(device_->received(HostMessage::kErase).size(), 5u);
  EXPECT_EQ(device_->received(HostMessage::kWrite).size(), 1908u);
  EXPECT_FALSE(session_->busy());

  // The step counter runs 0/9 to 9/9 in turn, the progress of a write advances in 2048s.
  Strings steps;
  for (const auto& c : view_.calls())
    if (c.rfind("step ", 0) == 0) steps.push_back(c);
  EXPECT_EQ(steps, (Strings{"step 0/9", "step 1/9", "step 2/9", "step 3/9", "step 4/9", "step 5/9",
                            "step 6/9", "step 7/9", "step 8/9", "step 9/9"}));
  const Strings calls = view_.calls();
  const auto first = std::find(calls.begin(), calls.end(), "range 262144");
  ASSERT_NE(first, calls.end());
  EXPECT_EQ(*(first + 1), "status Data transmit  0 / 262144 ");
  EXPECT_EQ(*(first + 2), "pos 2048");
}

TEST_F(EngineFlow, ADeviceOfModel61IsUpdatedWithItsModelIdInEveryMessage) {
  Run(0x61);
  EXPECT_EQ(Outcome(), kSuccess);
  EXPECT_EQ(session_->identity_reply_model(), 0x61);
  for (const auto& m : device_->received()) {
    if (m.kind == HostMessage::kWrite || m.kind == HostMessage::kErase ||
        m.kind == HostMessage::kBegin || m.kind == HostMessage::kFinish) {
      ASSERT_EQ(m.model, 0x61);
    }
  }
}

TEST_F(EngineFlow, ASilentDeviceEndsInTheIdentityTimeOut) {
  identity_model_ = Reaction::kNoReply;
  Run();
  EXPECT_EQ(Outcome(), (Strings{"disable", "step 0/9", "error 102", "restore"}));
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kIdentityTimeout}));
  EXPECT_EQ(log_.Texts(), Strings{"Midi out error."});
  EXPECT_FALSE(session_->busy());
}

TEST_F(EngineFlow, AnUnknownModelIsRefusedAndStaysTheCurrentModel) {
  Run(0x33);
  EXPECT_EQ(Outcome(), (Strings{"disable", "step 0/9", "error 105", "restore"}));
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kIllegalDevice}));
  EXPECT_EQ(log_.Texts(), Strings{"Illegal device connected."});
  EXPECT_EQ(session_->current_model_id(), 0x33);
  EXPECT_EQ(session_->identity_reply_model(), 0x00);
  EXPECT_TRUE(device_->received(HostMessage::kBegin).empty());
}

TEST_F(EngineFlow, BeginUpdateRefusals) {
  script_ = [](const HostMessage& m) { return Reaction{m.kind == HostMessage::kBegin ? 11 : 0}; };
  Run();
  EXPECT_EQ(Outcome(), (Strings{"disable", "step 0/9", "status ", "error 106", "restore"}));
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kNotInUpdateMode}));
  EXPECT_EQ(log_.Texts(), Strings{"Please use the firmware update mode."});
}

TEST_F(EngineFlow, BeginUpdateAnsweredWithAnotherErrorIsATransferErrorWithoutLog) {
  script_ = [](const HostMessage& m) { return Reaction{m.kind == HostMessage::kBegin ? 3 : 0}; };
  Run();
  EXPECT_EQ(Outcome(), (Strings{"disable", "step 0/9", "status ", "error 107", "restore"}));
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kBeginRefused}));
  EXPECT_TRUE(log_.Texts().empty());
}

TEST_F(EngineFlow, FinishUpdateUnansweredIsATransferErrorAfterNineGoodSteps) {
  script_ = [](const HostMessage& m) {
    return Reaction{m.kind == HostMessage::kFinish ? Reaction::kNoReply : 0};
  };
  Run();
  EXPECT_EQ(Outcome(),
            (Strings{"disable", "step 0/9", "status ", "step 9/9", "error 107", "restore"}));
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kFinishUnanswered}));
  EXPECT_TRUE(log_.Texts().empty());
}

// The device's answer to Finish Update says whether the update took; only 0 is success.
TEST_F(EngineFlow, FinishUpdateAnsweredWithAFailureStatusIsAFailedRunNeverCompleted) {
  Strings logged;
  for (int status : {3, 8, 11}) {
    SCOPED_TRACE(status);
    script_ = [status](const HostMessage& m) {
      return Reaction{m.kind == HostMessage::kFinish ? status : 0};
    };
    view_.Clear();
    Run();
    EXPECT_EQ(Outcome(),
              (Strings{"disable", "step 0/9", "status ", "step 9/9", "error 107", "restore"}));
    EXPECT_EQ(view_.results(), (Results{UpdateResult::kFinishRefused}));
    EXPECT_EQ(InfoOf(UpdateResult::kFinishRefused).exit_status, kExitTransfer);
    logged.push_back("(Finish)Transfer error occurred.");
    EXPECT_EQ(log_.Texts(), logged);
    TearDown();
  }
}

// Another host on the device's shared ports: its acknowledgements reach this run too. One
// that nobody here asked for ends the run, wherever it lands: between two blocks, or just
// before an answer of this run's own, which it then passes for (the last such place is the
// answer to Finish Update).
TEST_F(EngineFlow, AStatusNobodyAskedForEndsTheRunAsAnotherProgramsNeverCompleted) {
  Strings logged;
  for (const HostMessage::Kind kind : {HostMessage::kWrite, HostMessage::kFinish}) {
    SCOPED_TRACE(static_cast<int>(kind));
    script_ = [this, kind](const HostMessage& m) {
      if (m.kind == kind && (kind == HostMessage::kFinish || (m.block == 100 && m.attempt == 1))) {
        device_->SendToHost({0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7});
      }
      return Reaction{};
    };
    view_.Clear();
    Run();
    EXPECT_EQ(view_.results(), (Results{UpdateResult::kOtherHost}));
    const Strings outcome = Outcome();
    ASSERT_GE(outcome.size(), 2u);
    EXPECT_EQ(outcome[outcome.size() - 2], "error 117");
    EXPECT_EQ(outcome.back(), "restore");
    logged.push_back("Another program is talking to the device.");
    EXPECT_EQ(log_.Texts(), logged);
    EXPECT_EQ(session_->replies().unowed_replies.load(), 1u);
    TearDown();
  }
}

// Asking the device who it is changes nothing: another program's Identity Reply is neither
// an answer here nor a reason to stop. Nor are the answers to this run's own late requests.
TEST_F(EngineFlow, RepliesThisRunIsOwedOrThatChangeNothingLetItComplete) {
  script_ = [this](const HostMessage& m) {
    if (m.kind == HostMessage::kWrite && m.block == 7 && m.attempt == 1) {
      Bytes reply(kIdentityReplyTemplate.begin(), kIdentityReplyTemplate.end());
      reply[6] = 0x57;
      device_->SendToHost(reply);
    }
    // Late answers: the second try's and the first's both come.
    if (m.kind == HostMessage::kWrite && m.block == 9 && m.attempt == 1) return Reaction{0, true};
    return Reaction{};
  };
  Run();
  EXPECT_EQ(Outcome(), kSuccess);
  EXPECT_EQ(session_->replies().unowed_replies.load(), 0u);
  EXPECT_TRUE(device_->FlashHoldsImages(FirmwareSet::Builtin()));
}

// One device, one updater: a second session (another copy of the program, a script) is
// refused before it opens a port or sends a byte, told who holds the device; once the first
// run has ended the device is free again.
TEST_F(EngineFlow, ASecondRunOnTheSameDeviceIsRefusedBeforeItSendsAnything) {
  script_ = [](const HostMessage& m) {
    return Reaction{m.kind == HostMessage::kBegin ? Reaction::kNoReply : 0};
  };
  Start();
  ASSERT_TRUE(device_->WaitFor(HostMessage::kBegin, 1, 5000));
  RecordingView other_view;
  UpdateSession other(other_view, UpdateServices{.driver = driver_.get()}, UpdateTiming::Shrunk());
  other.Initialise();
  EXPECT_EQ(other.Execute(0, 0), UpdateSession::ExecuteOutcome::kPortsInUse);
  EXPECT_EQ(other_view.calls(), Strings{"error 116"});
  EXPECT_EQ(other_view.results(), (Results{UpdateResult::kPortsInUse}));
  EXPECT_EQ(other.claim_holder().pid, CurrentProcessId());
  EXPECT_NE(other.claim_refusal().find("\"USB Audio Device\" held by "), std::string::npos)
      << other.claim_refusal();
  EXPECT_FALSE(other.out_port().IsOpen());
  EXPECT_FALSE(other.busy());
  EXPECT_EQ(device_->received(HostMessage::kIdentityRequest).size(), 1u);
  EXPECT_EQ(device_->received(HostMessage::kBegin).size(), 1u);

  session_->Teardown();  // the window closed: the run aborted, and its claim went with it
  other_view.Clear();
  EXPECT_EQ(other.Execute(0, 0), UpdateSession::ExecuteOutcome::kStarted);
  EXPECT_TRUE(device_->WaitFor(HostMessage::kBegin, 2, 5000));
  other.Teardown();
}

TEST_F(EngineFlow, AnEraseFailingSevenTimesEndsInATransferError) {
  script_ = [](const HostMessage& m) { return Reaction{m.kind == HostMessage::kErase ? 5 : 0}; };
  Run();
  EXPECT_EQ(Outcome(),
            (Strings{"disable", "step 0/9", "status ", "step 1/9", "error 107", "restore"}));
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kEraseErrors}));
  EXPECT_EQ(log_.Texts(), Strings{"(Erase)Time Out Error."});
  EXPECT_EQ(device_->received(HostMessage::kErase).size(), 7u);
}

TEST_F(EngineFlow, AnUnansweredEraseEndsAtOnceInTheEraseTimeOut) {
  script_ = [](const HostMessage& m) {
    return Reaction{m.kind == HostMessage::kErase && m.index == 1 ? Reaction::kNoReply : 0};
  };
  Run();
  EXPECT_EQ(Outcome(),
            (Strings{"disable", "step 0/9", "status ", "step 2/9", "error 104", "restore"}));
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kEraseTimeout}));
  EXPECT_EQ(log_.Texts(), Strings{"(Erase)Time Out Error."});
  EXPECT_EQ(device_->received(HostMessage::kErase).size(), 2u);
}

TEST_F(EngineFlow, ABlockAcknowledgedAtItsSeventhTryLetsTheRunGoOn) {
  script_ = [](const HostMessage& m) {
    if (m.kind == HostMessage::kWrite && m.block == 10 && m.attempt < 7) return Reaction{8};
    if (m.kind == HostMessage::kWrite && m.block == 11 && m.attempt < 7) return Reaction{3};
    return Reaction{};
  };
  Run();
  EXPECT_EQ(Outcome(), kSuccess);
  Strings expected(6, "(CRC)Transfer error occurred.");
  expected.insert(expected.end(), 6, "(Flash Write)Transfer error occurred.");
  EXPECT_EQ(log_.Texts(), expected);
  EXPECT_TRUE(device_->FlashHoldsImages(FirmwareSet::Builtin()));
}

TEST_F(EngineFlow, SixTimeOutsThenACrcErrorEndInATransferError) {
  script_ = [](const HostMessage& m) {
    if (m.kind == HostMessage::kWrite && m.block == 3) {
      return Reaction{m.attempt < 7 ? Reaction::kNoReply : 8};
    }
    return Reaction{};
  };
  Run();
  EXPECT_EQ(Outcome(),
            (Strings{"disable", "step 0/9", "status ", "step 3/9", "error 107", "restore"}));
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kTransferError}));
  EXPECT_EQ(log_.Texts(), Strings{"(CRC)Transfer error occurred."});
}

TEST_F(EngineFlow, SixCrcErrorsThenSilenceEndInTheWriteTimeOut) {
  script_ = [](const HostMessage& m) {
    if (m.kind == HostMessage::kWrite && m.block == 200) {
      return Reaction{m.attempt < 7 ? 8 : Reaction::kNoReply};
    }
    return Reaction{};
  };
  Run();
  EXPECT_EQ(Outcome(),
            (Strings{"disable", "step 0/9", "status ", "step 7/9", "error 103", "restore"}));
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kWriteTimeout}));
  Strings expected(6, "(CRC)Transfer error occurred.");
  expected.push_back("(Write)Time Out Error.");
  EXPECT_EQ(log_.Texts(), expected);
}

TEST_F(EngineFlow, ADeviceThatAnswersEveryBlockWithAFlashErrorFailsAfterSevenTries) {
  script_ = [](const HostMessage& m) { return Reaction{m.kind == HostMessage::kWrite ? 3 : 0}; };
  Run();
  EXPECT_EQ(Outcome(),
            (Strings{"disable", "step 0/9", "status ", "step 3/9", "error 107", "restore"}));
  EXPECT_EQ(log_.Texts(), Strings(7, "(Flash Write)Transfer error occurred."));
  EXPECT_EQ(device_->received(HostMessage::kWrite).size(), 7u);
}

// A reply that comes after its wait timed out must never be read as the next block's answer:
// here block 5's late success would otherwise stand for block 6, whose CRC error would then
// stand for block 7, and block 6 would never be written.
TEST_F(EngineFlow, ALateReplyFollowedByAnErrorOnTheNextBlockNeverLeavesABlockUnwritten) {
  script_ = [](const HostMessage& m) {
    if (m.kind == HostMessage::kWrite && m.block == 5 && m.attempt == 1) {
      return Reaction{0, true};
    }
    if (m.kind == HostMessage::kWrite && m.block == 6 && m.attempt == 1) return Reaction{8};
    return Reaction{};
  };
  Run();
  EXPECT_EQ(Outcome(), kSuccess);
  EXPECT_TRUE(device_->FlashHoldsImages(FirmwareSet::Builtin()));
  EXPECT_EQ(log_.Texts(), Strings{"(CRC)Transfer error occurred."});
}

TEST_F(EngineFlow, LateErrorRepliesOnManyBlocksStillEndWithEveryBlockWritten) {
  script_ = [](const HostMessage& m) {
    if (m.kind == HostMessage::kWrite && m.block % 97 == 3 && m.attempt == 1) {
      return Reaction{8, true};
    }
    return Reaction{};
  };
  Run();
  const Strings outcome = Outcome();
  if (outcome == kSuccess) {
    EXPECT_TRUE(device_->FlashHoldsImages(FirmwareSet::Builtin()));
  } else {
    EXPECT_NE(std::find(outcome.begin(), outcome.end(), "restore"), outcome.end());
  }
}

TEST_F(EngineFlow, TheDevicesOwnRequestsAreAnsweredDuringTheTransfer) {
  script_ = [this](const HostMessage& m) {
    if (m.kind == HostMessage::kWrite && m.block == 2 && m.attempt == 1) {
      device_->SendToHost({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
      device_->SendToHost({0xF0, 0x52, 0x00, 0x57, 0x01, 0xF7});
      device_->SendToHost({0xF0, 0x52, 0x00, 0x57, 0x03, 0xF7});
      device_->SendToHost({0xF0, 0x52, 0x00, 0x57, 0x20, 0xF7});
      device_->SendToHost({0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7});
    }
    return Reaction{};
  };
  Run();
  EXPECT_EQ(Outcome(), kSuccess);
  const auto replies = device_->received(HostMessage::kIdentityReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].bytes, (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x57, 0x00, 0x00, 0x00,
                                     0x31, 0x30, 0x30, 0x30, 0xF7}));
  Strings statuses;
  for (const auto& s : device_->received(HostMessage::kStatus))
    statuses.push_back(std::to_string(s.bytes[5]));
  EXPECT_EQ(statuses, (Strings{"0", "1"}));
}

TEST_F(EngineFlow, ClosingDuringTheWaitAfterBeginUpdateEndsSilently) {
  script_ = [](const HostMessage& m) {
    return Reaction{m.kind == HostMessage::kBegin ? Reaction::kNoReply : 0};
  };
  Start();
  ASSERT_TRUE(device_->WaitFor(HostMessage::kBegin, 1, 5000));
  ASSERT_TRUE(view_.WaitFor("status Erasing Flash memory.", 5000));
  const auto before = view_.calls().size();
  session_->Teardown();
  EXPECT_FALSE(session_->WorkerRunning());
  EXPECT_EQ(view_.calls().size(), before);
  EXPECT_TRUE(view_.results().empty());
  EXPECT_EQ(session_->last_result(), UpdateResult::kAborted);
  EXPECT_TRUE(log_.Texts().empty());
}

TEST_F(EngineFlow, ClosingDuringRetriesOfABlockEndsSilently) {
  script_ = [](const HostMessage& m) {
    return Reaction{m.kind == HostMessage::kWrite && m.block == 1 ? Reaction::kNoReply : 0};
  };
  Start();
  ASSERT_TRUE(device_->WaitFor(HostMessage::kWrite, 3, 5000));
  session_->Teardown();
  const auto calls = view_.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "restore"), 0);
  EXPECT_FALSE(session_->WorkerRunning());
}

TEST_F(EngineFlow, ExecuteWhileBusySaysInProgressAndTheRunGoesOn) {
  script_ = [](const HostMessage& m) {
    return Reaction{m.kind == HostMessage::kBegin ? Reaction::kNoReply : 0};
  };
  Start();
  ASSERT_TRUE(device_->WaitFor(HostMessage::kBegin, 1, 5000));
  EXPECT_EQ(session_->Execute(0, 0), UpdateSession::ExecuteOutcome::kBusy);
  EXPECT_TRUE(view_.WaitFor("error 109", 1000));
  EXPECT_TRUE(session_->WorkerRunning());
}

TEST_F(EngineFlow, PortsThatDoNotOpenAreReportedAndLogged) {
  bus_ = std::make_shared<VirtualMidiBus>();
  driver_ = std::make_unique<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{bus_});
  session_ = std::make_unique<UpdateSession>(view_, UpdateServices{.driver = driver_.get()},
                                             UpdateTiming::Shrunk());
  session_->Initialise();
  EXPECT_EQ(session_->Execute(-1, -1), UpdateSession::ExecuteOutcome::kOutPortFailed);
  EXPECT_EQ(view_.calls(), Strings{"error 113"});
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kOutPortNotOpened}));
  EXPECT_EQ(log_.Texts(), Strings{"Midi out error."});
  EXPECT_FALSE(session_->busy());

  device_ = std::make_unique<ScriptedDevice>(*bus_);
  driver_->Rescan();
  view_.Clear();
  EXPECT_EQ(session_->Execute(-1, 0), UpdateSession::ExecuteOutcome::kInPortFailed);
  EXPECT_EQ(view_.calls(), Strings{"error 110"});
  EXPECT_EQ(view_.results(), (Results{UpdateResult::kInPortNotOpened}));
  EXPECT_TRUE(session_->out_port().IsOpen());
  EXPECT_EQ(log_.Texts(), (Strings{"Midi out error.", "Midi out error."}));
}

TEST_F(EngineFlow, AVanishedDeviceEndsInTheWriteTimeOutAndTheSessionStaysUsable) {
  script_ = [this](const HostMessage& m) {
    if (m.kind == HostMessage::kWrite && m.block == 4) {
      device_->Vanish();
      return Reaction{Reaction::kNoReply};
    }
    return Reaction{};
  };
  Run();
  EXPECT_EQ(Outcome(),
            (Strings{"disable", "step 0/9", "status ", "step 3/9", "error 103", "restore"}));
  EXPECT_FALSE(session_->busy());
}

}  // namespace
}  // namespace fen::testing
