// CMidiOutPort and CMidiOutBank over the recording driver: opening and closing, the wait of a
// long send and its bound, short sends, and the bank's slots and skip flags.
#include "midi/midi_out_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_midi_driver.h"

namespace fen {
namespace {

using Names = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;
constexpr auto kPatience = std::chrono::seconds(10);

class MidiOutPortTest : public ::testing::Test {
 protected:
  MidiOutPortTest() {
    driver_.SetOutputNames({"Out A", "Out B", "Out C"});
    header_.lpData = message_.data();
    header_.dwBufferLength = static_cast<std::uint32_t>(message_.size());
  }

  FakeMidiDriver driver_;
  CMidiOutPort port_{driver_};
  Bytes message_{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
  MIDIHDR header_;
};

TEST_F(MidiOutPortTest, OpenOpensTheDeviceWithoutCallback) {
  ASSERT_TRUE(port_.Open(2));
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_EQ(port_.device_index(), 2);
  EXPECT_EQ(driver_.CallLog(), (Names{"midiOutOpen(2)"}));
  EXPECT_EQ(driver_.Calls()[0].value, 0u);
}

TEST_F(MidiOutPortTest, OpenOnTheSameIndexKeepsThePortAndOnAnotherIndexReopens) {
  ASSERT_TRUE(port_.Open(1));
  driver_.ClearCalls();
  EXPECT_TRUE(port_.Open(1));
  EXPECT_TRUE(driver_.CallNames().empty());
  EXPECT_TRUE(port_.Open(2));
  EXPECT_EQ(driver_.CallLog(), (Names{"midiOutClose(1)", "midiOutOpen(2)"}));
  EXPECT_EQ(driver_.OpenOutputs(), 1);
}

TEST_F(MidiOutPortTest, CloseReportsWhetherAHandleWasHeldAndKeepsTheIndex) {
  EXPECT_FALSE(port_.Close());
  EXPECT_TRUE(driver_.CallNames().empty());
  ASSERT_TRUE(port_.Open(1));
  EXPECT_TRUE(port_.Close());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(port_.device_index(), 1);
  EXPECT_EQ(driver_.OpenOutputs(), 0);
}

TEST_F(MidiOutPortTest, NoSelectionNeverOpensADefaultDevice) {
  EXPECT_FALSE(port_.Open(-1));
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_TRUE(driver_.CallNames().empty());
}

TEST_F(MidiOutPortTest, AnIndexThatNamesNoDeviceFailsAndLeavesThePortClosed) {
  EXPECT_FALSE(port_.Open(3));
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(port_.Close());
}

TEST_F(MidiOutPortTest, DestructionClosesThePort) {
  {
    CMidiOutPort port(driver_);
    ASSERT_TRUE(port.Open(0));
  }
  EXPECT_EQ(driver_.OpenOutputs(), 0);
}

// --- SendLong -----------------------------------------------------------------------------

TEST_F(MidiOutPortTest, SendLongOnAClosedPortFailsAtOnceAndSendsNothing) {
  EXPECT_FALSE(port_.SendLong(&header_));
  EXPECT_TRUE(driver_.CallNames().empty());
}

TEST_F(MidiOutPortTest, SendLongReturnsOnlyWhenTheDriverIsDoneAndLeavesTheHeaderUnprepared) {
  ASSERT_TRUE(port_.Open(0));
  driver_.SetHoldSends(true);
  driver_.ClearCalls();
  std::atomic<bool> returned{false};
  bool result = false;
  std::thread sender([&] {
    result = port_.SendLong(&header_);
    returned = true;
  });
  ASSERT_TRUE(driver_.WaitForQueuedSends(1, kPatience));
  EXPECT_FALSE(returned.load());
  driver_.CompleteSends();
  sender.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(driver_.CallNames(), (Names{"midiOutPrepareHeader", "midiOutLongMsg", "midiOutWaitDone",
                                        "midiOutUnprepareHeader"}));
  EXPECT_EQ(driver_.Calls()[2].value, CMidiOutPort::kDefaultSendBoundMs);
  EXPECT_EQ(driver_.SentLong(), (std::vector<Bytes>{message_}));
  EXPECT_EQ(driver_.PreparedOutHeaders(), 0);
  EXPECT_EQ(header_.dwFlags.load() & MHDR_PREPARED, 0u);
}

TEST_F(MidiOutPortTest, ASendPastTheBoundFailsAndLeavesNothingPreparedOrQueued) {
  ASSERT_TRUE(port_.Open(0));
  port_.set_send_bound_ms(5);
  driver_.SetHoldSends(true);
  driver_.ClearCalls();
  EXPECT_FALSE(port_.SendLong(&header_));
  EXPECT_EQ(driver_.CallNames(), (Names{"midiOutPrepareHeader", "midiOutLongMsg", "midiOutWaitDone",
                                        "midiOutReset", "midiOutUnprepareHeader"}));
  EXPECT_EQ(driver_.Calls()[2].value, 5u);
  EXPECT_EQ(driver_.PreparedOutHeaders(), 0);
  EXPECT_FALSE(driver_.WaitForQueuedSends(1, std::chrono::milliseconds(0)));
  // The port stays usable.
  driver_.SetHoldSends(false);
  EXPECT_TRUE(port_.SendLong(&header_));
}

TEST_F(MidiOutPortTest, AFailedPrepareOrLongMessageFailsWithoutWaitingAndUnprepared) {
  ASSERT_TRUE(port_.Open(0));
  driver_.ClearCalls();
  driver_.Fail("midiOutPrepareHeader");
  EXPECT_FALSE(port_.SendLong(&header_));
  EXPECT_EQ(driver_.CallNames(), (Names{"midiOutPrepareHeader"}));
  driver_.ClearCalls();
  driver_.Fail("midiOutLongMsg");
  EXPECT_FALSE(port_.SendLong(&header_));
  EXPECT_EQ(driver_.CallNames(),
            (Names{"midiOutPrepareHeader", "midiOutLongMsg", "midiOutUnprepareHeader"}));
  EXPECT_EQ(driver_.PreparedOutHeaders(), 0);
}

TEST_F(MidiOutPortTest, CloseWhileASenderWaitsEndsTheSendAsAFailure) {
  ASSERT_TRUE(port_.Open(0));
  driver_.SetHoldSends(true);
  bool result = true;
  std::thread sender([&] { result = port_.SendLong(&header_); });
  ASSERT_TRUE(driver_.WaitForQueuedSends(1, kPatience));
  EXPECT_TRUE(port_.Close());
  sender.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(driver_.OpenOutputs(), 0);
  EXPECT_EQ(driver_.PreparedOutHeaders(), 0);
}

// --- SendShort ----------------------------------------------------------------------------

TEST_F(MidiOutPortTest, ThreeBytesAndTheirPackedValueSendTheSameMessage) {
  ASSERT_TRUE(port_.Open(0));
  EXPECT_TRUE(port_.SendShort(0x90, 60, 100));
  EXPECT_TRUE(port_.SendShort(0x90u | (60u << 8) | (100u << 16)));
  EXPECT_EQ(driver_.SentShort(), (std::vector<std::uint32_t>{0x00643C90, 0x00643C90}));
}

TEST_F(MidiOutPortTest, SendShortFailsOnAClosedPortOrAPlatformFailure) {
  EXPECT_FALSE(port_.SendShort(0x90, 60, 100));
  ASSERT_TRUE(port_.Open(0));
  driver_.Fail("midiOutShortMsg");
  EXPECT_FALSE(port_.SendShort(0x90, 60, 100));
}

TEST_F(MidiOutPortTest, ListsEveryDeviceByItsNameAndAFailureGivesAnEmptyName) {
  ASSERT_EQ(port_.GetDeviceCount(), 3);
  char name[260];
  port_.GetDeviceName(2, name);
  EXPECT_STREQ(name, "Out C");
  driver_.Fail("midiOutGetDevCaps");
  port_.GetDeviceName(0, name);
  EXPECT_STREQ(name, "");
}

// --- CMidiOutBank -------------------------------------------------------------------------

class MidiOutBankTest : public MidiOutPortTest {};

TEST_F(MidiOutBankTest, ANewBankHasSixteenEmptySlotsAndTheDeviceCountOfItsConstruction) {
  CMidiOutBank bank(driver_);
  driver_.SetOutputNames({"only"});
  EXPECT_EQ(bank.GetSlotCount(), 16);
  EXPECT_EQ(bank.GetDeviceCount(), 3);
  driver_.ClearCalls();
  EXPECT_TRUE(bank.OpenAll());
  EXPECT_TRUE(bank.CloseAll());
  EXPECT_TRUE(driver_.CallNames().empty());
}

TEST_F(MidiOutBankTest, OpenAllOpensAssignedSlotsInOrderAndStopsAtTheFirstFailure) {
  CMidiOutBank bank(driver_);
  EXPECT_EQ(bank.AssignDevice(3, 1), 1);
  bank.AssignDevice(7, 9);  // names no device
  bank.AssignDevice(9, 2);
  driver_.ClearCalls();
  EXPECT_FALSE(bank.OpenAll());
  EXPECT_EQ(driver_.CallLog(), (Names{"midiOutOpen(1)", "midiOutOpen(9)"}));
  EXPECT_EQ(driver_.OpenOutputs(), 1);  // slot 3 stays open
  bank.AssignDevice(7, 0);
  EXPECT_TRUE(bank.OpenAll());
  EXPECT_EQ(driver_.OpenOutputs(), 3);
  EXPECT_TRUE(bank.CloseAll());
  EXPECT_EQ(driver_.OpenOutputs(), 0);
}

TEST_F(MidiOutBankTest, DestructionClosesEveryOpenPort) {
  {
    CMidiOutBank bank(driver_);
    bank.AssignDevice(0, 0);
    bank.AssignDevice(15, 1);
    ASSERT_TRUE(bank.OpenAll());
    EXPECT_EQ(driver_.OpenOutputs(), 2);
  }
  EXPECT_EQ(driver_.OpenOutputs(), 0);
}

TEST_F(MidiOutBankTest, ASkippedSlotReportsSuccessWithoutSendingButAllNotesOffStillSends) {
  CMidiOutBank bank(driver_);
  bank.AssignDevice(2, 0);
  ASSERT_TRUE(bank.OpenAll());
  bank.SetSkip(2, 1);
  driver_.ClearCalls();
  EXPECT_TRUE(bank.SendLong(2, &header_));
  EXPECT_TRUE(bank.SendShort(2, 0x00643C90u));
  EXPECT_TRUE(bank.SendShort(2, 0x90, 60, 100));
  EXPECT_TRUE(driver_.CallNames().empty());
  bank.AllNotesOff(2, 0);
  EXPECT_EQ(driver_.SentShort(), (std::vector<std::uint32_t>{0x00007BB0}));
  bank.SetSkip(2, 0);
  EXPECT_TRUE(bank.SendShort(2, 0x90, 60, 100));
  EXPECT_TRUE(bank.SendLong(2, &header_));
  EXPECT_EQ(driver_.SentLong().size(), 1u);
}

TEST_F(MidiOutBankTest, AllNotesOffSendsOneChannelOrAllSixteenInOrder) {
  CMidiOutBank bank(driver_);
  bank.AssignDevice(0, 0);
  ASSERT_TRUE(bank.OpenAll());
  bank.AllNotesOff(0, 3);
  EXPECT_EQ(driver_.SentShort(), (std::vector<std::uint32_t>{0x00007BB3}));
  bank.AllNotesOff(0, 16);
  const auto sent = driver_.SentShort();
  ASSERT_EQ(sent.size(), 17u);
  for (std::uint32_t channel = 0; channel < 16; ++channel) {
    EXPECT_EQ(sent[1 + channel], (0xB0u + channel) | (123u << 8));
  }
}

TEST_F(MidiOutBankTest, ABankSendToAnUnopenedSlotFails) {
  CMidiOutBank bank(driver_);
  EXPECT_FALSE(bank.SendShort(4, 0x90, 60, 100));
  EXPECT_FALSE(bank.SendLong(4, &header_));
}

}  // namespace
}  // namespace fen
