// CMidiInPort over the recording driver: the driver calls of opening and closing, what a
// buffer return becomes, the ring of short messages, and the queue between two threads.
#include "midi/midi_in_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_midi_driver.h"

namespace fen {
namespace {

using Names = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

class MidiInPortTest : public ::testing::Test {
 protected:
  MidiInPortTest() { driver_.SetInputNames({"Device A", "Device B"}); }

  // The queued entries, oldest first, drained.
  std::vector<Bytes> Drain(CMidiInPort& port) {
    std::vector<Bytes> entries;
    std::size_t size = 0;
    while (const std::uint8_t* bytes = port.PeekSysEx(&size)) {
      entries.emplace_back(bytes, bytes + size);
      port.PopSysEx();
    }
    return entries;
  }

  FakeMidiDriver driver_;
  CMidiInPort port_{driver_};
};

// --- Opening and closing ------------------------------------------------------------------

TEST_F(MidiInPortTest, OpenOpensTheDeviceThenResetsPreparesLendsAndStartsInThatOrder) {
  port_.set_device_index(1);
  ASSERT_TRUE(port_.Open());
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_EQ(driver_.CallNames(), (Names{"midiInOpen", "midiInReset", "midiInPrepareHeader",
                                        "midiInAddBuffer", "midiInStart"}));
  const auto calls = driver_.Calls();
  EXPECT_EQ(calls[0].arg, 1);
  EXPECT_EQ(calls[0].value, CALLBACK_FUNCTION);
  ASSERT_NE(calls[3].header, nullptr);
  EXPECT_EQ(calls[3].header->dwBufferLength, CMidiInPort::kReceiveBufferSize);
  EXPECT_EQ(driver_.LentBuffers(), 1);
}

TEST_F(MidiInPortTest, OpenOnAnOpenPortReturnsTrueAndChangesNothingEvenForAnotherIndex) {
  ASSERT_TRUE(port_.Open());
  driver_.ClearCalls();
  port_.set_device_index(1);
  EXPECT_TRUE(port_.Open());
  EXPECT_TRUE(driver_.CallNames().empty());
  EXPECT_EQ(driver_.OpenInputs(), 1);
}

TEST_F(MidiInPortTest, CloseStopsResetsUnpreparesAndClosesAndASecondCloseDoesNothing) {
  ASSERT_TRUE(port_.Open());
  driver_.ClearCalls();
  port_.Close();
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(driver_.CallNames(),
            (Names{"midiInStop", "midiInReset", "midiInUnprepareHeader", "midiInClose"}));
  EXPECT_EQ(driver_.OpenInputs(), 0);
  EXPECT_EQ(driver_.PreparedInHeaders(), 0);
  driver_.ClearCalls();
  port_.Close();
  EXPECT_TRUE(driver_.CallNames().empty());
}

TEST_F(MidiInPortTest, APartOfAMessageThatTheStopReturnsIsQueuedBeforeTheDeviceCloses) {
  ASSERT_TRUE(port_.Open());
  driver_.SetPartialOnStop({0xF0, 0x41, 0x10});
  driver_.ClearCalls();
  port_.Close();
  EXPECT_EQ(driver_.CallNames(), (Names{"midiInStop", "midiInPrepareHeader", "midiInAddBuffer",
                                        "midiInReset", "midiInUnprepareHeader", "midiInClose"}));
  EXPECT_EQ(Drain(port_), (std::vector<Bytes>{{0xF0, 0x41, 0x10}}));
}

TEST_F(MidiInPortTest, NoSelectionNeverOpensADeviceAndALaterCloseDoesNothing) {
  port_.set_device_index(-1);
  EXPECT_FALSE(port_.Open());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_TRUE(driver_.CallNames().empty());
  port_.Close();
  EXPECT_TRUE(driver_.CallNames().empty());
}

TEST_F(MidiInPortTest, AnIndexThatNamesNoDeviceFailsAndLeavesThePortClosed) {
  port_.set_device_index(2);
  EXPECT_FALSE(port_.Open());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(driver_.CallNames(), (Names{"midiInOpen"}));
  port_.Close();
  EXPECT_EQ(driver_.CallNames(), (Names{"midiInOpen"}));
}

struct PartWayCase {
  const char* failing;
  Names expected;
};

class MidiInPortOpenPartWay : public MidiInPortTest,
                              public ::testing::WithParamInterface<PartWayCase> {};

TEST_P(MidiInPortOpenPartWay, GivesBackWhatItTookAndALaterOpenWorks) {
  driver_.Fail(GetParam().failing);
  EXPECT_FALSE(port_.Open());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(driver_.CallNames(), GetParam().expected);
  EXPECT_EQ(driver_.OpenInputs(), 0);
  EXPECT_EQ(driver_.LentBuffers(), 0);
  EXPECT_EQ(driver_.PreparedInHeaders(), 0);
  EXPECT_TRUE(port_.Open());
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, MidiInPortOpenPartWay,
    ::testing::Values(
        PartWayCase{"midiInOpen", {"midiInOpen"}},
        PartWayCase{"midiInReset", {"midiInOpen", "midiInReset", "midiInClose"}},
        PartWayCase{"midiInPrepareHeader",
                    {"midiInOpen", "midiInReset", "midiInPrepareHeader", "midiInClose"}},
        PartWayCase{"midiInAddBuffer",
                    {"midiInOpen", "midiInReset", "midiInPrepareHeader", "midiInAddBuffer",
                     "midiInUnprepareHeader", "midiInClose"}},
        PartWayCase{"midiInStart",
                    {"midiInOpen", "midiInReset", "midiInPrepareHeader", "midiInAddBuffer",
                     "midiInStart", "midiInReset", "midiInUnprepareHeader", "midiInClose"}}));

TEST_F(MidiInPortTest, AFailedCloseKeepsTheLentBufferAliveUntilTheDriverLetsGo) {
  ASSERT_TRUE(port_.Open());
  driver_.Fail("midiInReset");
  port_.Close();
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(driver_.LentBuffers(), 1);
  // The driver still writes the buffer: it must not have been freed.
  EXPECT_TRUE(driver_.DeliverLong({0xF0, 0x01, 0xF7}));
  EXPECT_EQ(Drain(port_), (std::vector<Bytes>{{0xF0, 0x01, 0xF7}}));

  driver_.ClearCalls();
  EXPECT_TRUE(port_.Open());
  EXPECT_EQ(driver_.CallNames(), (Names{"midiInStop", "midiInReset", "midiInUnprepareHeader",
                                        "midiInClose", "midiInOpen", "midiInReset",
                                        "midiInPrepareHeader", "midiInAddBuffer", "midiInStart"}));
  EXPECT_EQ(driver_.OpenInputs(), 1);
}

TEST_F(MidiInPortTest, DestructionAfterAFailedCloseStillReleasesTheDevice) {
  {
    CMidiInPort port(driver_);
    ASSERT_TRUE(port.Open());
    driver_.Fail("midiInStop");
    port.Close();
    EXPECT_EQ(driver_.OpenInputs(), 1);
  }
  EXPECT_EQ(driver_.OpenInputs(), 0);
  EXPECT_EQ(driver_.LentBuffers(), 0);
}

// --- Buffer returns and the SysExQueue ------------------------------------------------------

TEST_F(MidiInPortTest, EachBufferReturnBecomesOneEntryOfExactlyItsBytesInArrivalOrder) {
  ASSERT_TRUE(port_.Open());
  Bytes full(CMidiInPort::kReceiveBufferSize);
  for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(i & 0x7F);
  full[0] = 0xF0;
  const std::vector<Bytes> sent = {{0xF7}, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, full};
  for (const Bytes& bytes : sent) {
    driver_.ClearCalls();
    ASSERT_TRUE(driver_.DeliverLong(bytes));
    // The buffer goes straight back to the driver.
    EXPECT_EQ(driver_.CallNames(), (Names{"midiInPrepareHeader", "midiInAddBuffer"}));
    EXPECT_EQ(driver_.LentBuffers(), 1);
  }
  EXPECT_EQ(Drain(port_), sent);
}

TEST_F(MidiInPortTest, AnEmptyOrUnfinishedBufferReturnMakesNoEntryAndIsKept) {
  ASSERT_TRUE(port_.Open());
  driver_.ClearCalls();
  ASSERT_TRUE(driver_.ReturnBuffer(0, true));
  EXPECT_EQ(port_.PeekSysEx(), nullptr);
  EXPECT_TRUE(driver_.CallNames().empty());
  EXPECT_EQ(driver_.LentBuffers(), 0);
}

TEST_F(MidiInPortTest, ABufferReturnedWithoutTheDoneFlagMakesNoEntryAndIsKept) {
  ASSERT_TRUE(port_.Open());
  driver_.ClearCalls();
  ASSERT_TRUE(driver_.ReturnBuffer(5, false));
  EXPECT_EQ(port_.PeekSysEx(), nullptr);
  EXPECT_TRUE(driver_.CallNames().empty());
}

TEST_F(MidiInPortTest, AnEmptyQueuePeeksNullAndPopsNothing) {
  std::size_t size = 99;
  EXPECT_EQ(port_.PeekSysEx(&size), nullptr);
  EXPECT_EQ(size, 0u);
  port_.PopSysEx();
  EXPECT_EQ(port_.PeekSysEx(), nullptr);
}

TEST_F(MidiInPortTest, EntriesQueuedBeforeACloseComeFirstAfterTheNextOpen) {
  ASSERT_TRUE(port_.Open());
  driver_.DeliverLong({0xF0, 0x01, 0xF7});
  port_.Close();
  ASSERT_TRUE(port_.Open());
  driver_.DeliverLong({0xF0, 0x02, 0xF7});
  EXPECT_EQ(Drain(port_), (std::vector<Bytes>{{0xF0, 0x01, 0xF7}, {0xF0, 0x02, 0xF7}}));
}

TEST_F(MidiInPortTest, DestroyingAPortWithEntriesClosesItAndFreesThemAll) {
  {
    CMidiInPort port(driver_);
    ASSERT_TRUE(port.Open());
    for (int i = 0; i < 5; ++i) driver_.DeliverLong(Bytes(100 + i, 0x11));
  }
  EXPECT_EQ(driver_.OpenInputs(), 0);
}

TEST_F(MidiInPortTest, TheArrivalHookRunsOncePerQueuedEntry) {
  int arrivals = 0;
  port_.SetArrivalHook([&] { ++arrivals; });
  ASSERT_TRUE(port_.Open());
  driver_.DeliverLong({0xF0, 0xF7});
  driver_.DeliverLong({0xF0, 0xF7});
  driver_.ReturnBuffer(0, true);
  EXPECT_EQ(arrivals, 2);
}

TEST_F(MidiInPortTest, OneProducerAndOneConsumerPassEveryEntryOnceInOrderAndIntact) {
  ASSERT_TRUE(port_.Open());
  constexpr int kEntries = 5000;
  std::atomic<int> arrivals{0};
  port_.SetArrivalHook([&] { arrivals.fetch_add(1); });
  // Entry i: its length is 2 + i % 61, every byte carries i.
  auto expected = [](int i) { return Bytes(2 + i % 61, static_cast<std::uint8_t>(i & 0x7F)); };
  std::thread producer([&] {
    for (int i = 0; i < kEntries; ++i) driver_.DeliverLong(expected(i));
  });
  int received = 0;
  int mismatches = 0;
  while (received < kEntries) {
    std::size_t size = 0;
    const std::uint8_t* bytes = port_.PeekSysEx(&size);
    if (bytes == nullptr) {
      std::this_thread::yield();
      continue;
    }
    if (Bytes(bytes, bytes + size) != expected(received)) ++mismatches;
    port_.PopSysEx();
    ++received;
  }
  producer.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(port_.PeekSysEx(), nullptr);
  EXPECT_EQ(arrivals.load(), kEntries);
}

// --- ShortMessageRing ---------------------------------------------------------------------

TEST_F(MidiInPortTest, EveryShortMessageFillsOneSlotOfThreeBytes) {
  ASSERT_TRUE(port_.Open());
  driver_.DeliverShort(0x00643C90);  // note on
  driver_.DeliverShort(0x000000F8);  // clock: one byte, still a slot of three
  std::uint8_t out[4] = {};
  ASSERT_EQ(port_.ReadShortMessage(out, 4), 3);
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{0x90, 0x3C, 0x64}));
  ASSERT_EQ(port_.ReadShortMessage(out, 4), 3);
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{0xF8, 0x00, 0x00}));
  EXPECT_EQ(port_.ReadShortMessage(out, 4), 0);
}

TEST_F(MidiInPortTest, ACapacityOfTwoCopiesTwoBytesAndStillConsumesTheSlot) {
  ASSERT_TRUE(port_.Open());
  driver_.DeliverShort(0x00643C90);
  driver_.DeliverShort(0x00004080);
  std::uint8_t out[2] = {};
  EXPECT_EQ(port_.ReadShortMessage(out, 2), 2);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x90, 0x3C}));
  EXPECT_EQ(port_.ReadShortMessage(out, 2), 2);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0x80, 0x40}));
}

TEST_F(MidiInPortTest, TheThirtySecondUnreadMessageWrapsOntoTheReadIndexAndTheRingReadsEmpty) {
  ASSERT_TRUE(port_.Open());
  for (std::uint32_t i = 0; i < 32; ++i) driver_.DeliverShort(0x90 | (i << 8));
  std::uint8_t out[3] = {};
  EXPECT_EQ(port_.ReadShortMessage(out, 3), 0);
  // Writing goes on from slot 0: the 33rd message is the one now unread.
  driver_.DeliverShort(0x90 | (32u << 8));
  ASSERT_EQ(port_.ReadShortMessage(out, 3), 3);
  EXPECT_EQ(out[1], 32);
  EXPECT_EQ(port_.ReadShortMessage(out, 3), 0);
}

// --- Devices ------------------------------------------------------------------------------

TEST_F(MidiInPortTest, ListsEveryDeviceByItsName) {
  ASSERT_EQ(port_.GetDeviceCount(), 2);
  char name[260];
  port_.GetDeviceName(0, name);
  EXPECT_STREQ(name, "Device A");
  EXPECT_EQ(port_.GetDeviceName(1), "Device B");
}

TEST_F(MidiInPortTest, AUtf8NameComesThroughWhole) {
  const std::string japanese = "USB \u30aa\u30fc\u30c7\u30a3\u30aa \u30c7\u30d0\u30a4\u30b9";
  ASSERT_EQ(japanese.size(), 32u);
  std::string widest;  // 31 characters of 4 bytes each
  for (int i = 0; i < kMaxPnameChars; ++i) widest += "\U0001F3B9";
  driver_.SetInputNames({japanese, widest});
  char name[260];
  port_.GetDeviceName(0, name);
  EXPECT_EQ(std::string(name), japanese);
  port_.GetDeviceName(1, name);
  EXPECT_EQ(std::string(name), widest);
}

TEST_F(MidiInPortTest, ANameLongerThanTheCapacityIsCutBeforeACharacterNotInside) {
  std::string long_name;
  for (int i = 0; i < 80; ++i) long_name += "\u00e9";  // 2 bytes each: byte 127 is a second byte
  driver_.SetInputNames({long_name});
  char name[260];
  port_.GetDeviceName(0, name);
  const std::string got(name);
  EXPECT_EQ(got, long_name.substr(0, 126));
}

TEST_F(MidiInPortTest, ADeviceThatCannotReportItsCapabilitiesHasAnEmptyName) {
  driver_.Fail("midiInGetDevCaps");
  char name[260] = "stale";
  port_.GetDeviceName(0, name);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(port_.GetDeviceName(7), "");
}

}  // namespace
}  // namespace fen
