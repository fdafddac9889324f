// The reply dispatcher on its own: what it stores, what it answers, and that it never reads
// past the bytes that arrived. Messages are fed through a fake driver's input callback and
// the dispatcher is called directly, as a tick would.
#include <gtest/gtest.h>

#include "engine/update_session.h"
#include "support/fake_midi_driver.h"
#include "support/fake_timer_service.h"
#include "support/recording_view.h"

namespace fen::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Dispatcher : public ::testing::Test {
 protected:
  Dispatcher()
      : session_(view_, UpdateServices{.driver = &driver_, .timer = &timer_},
                 UpdateTiming::Shrunk()) {
    driver_.SetInputNames({"Device"});
    driver_.SetOutputNames({"Device"});
    EXPECT_TRUE(session_.out_port().Open(0));
    EXPECT_TRUE(session_.in_port().Open());
  }
  // Queues the messages, runs one dispatch and returns what was sent in answer.
  std::vector<Bytes> Dispatch(const std::vector<Bytes>& messages) {
    const auto before = driver_.SentLong().size();
    for (const auto& m : messages) EXPECT_TRUE(driver_.DeliverLong(m));
    session_.DispatchReplies();
    const auto sent = driver_.SentLong();
    return {sent.begin() + static_cast<std::ptrdiff_t>(before), sent.end()};
  }

  FakeMidiDriver driver_;
  FakeTimerService timer_;
  RecordingView view_;
  UpdateSession session_;
};

TEST_F(Dispatcher, StoresTheStatusOfAStatusForTheCurrentModel) {
  EXPECT_TRUE(Dispatch({{0xF0, 0x52, 0x00, 0x57, 0x00, 0x08, 0xF7}}).empty());
  EXPECT_EQ(session_.status_code(), 8);
  // Two replies in one tick are both handled, in order.
  Dispatch({{0xF0, 0x52, 0x00, 0x57, 0x00, 0x08, 0xF7}, {0xF0, 0x52, 0x00, 0x57, 0x02, 0xF7}});
  EXPECT_EQ(session_.status_code(), 0);
  EXPECT_EQ(session_.replies().replies_stored.load(), 3u);
}

TEST_F(Dispatcher, IgnoresOtherModelsManufacturersAndContinuations) {
  EXPECT_TRUE(Dispatch({{0xF0, 0x52, 0x00, 0x61, 0x00, 0x08, 0xF7},
                        {0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7},
                        {0x12, 0x34, 0x56, 0xF7},
                        {0xF0, 0x7E, 0x00, 0x09, 0x01, 0xF7},
                        {0xF0, 0x52, 0x00, 0x57, 0x03, 0xF7}})
                  .empty());
  EXPECT_EQ(session_.replies().replies_stored.load(), 0u);
}

TEST_F(Dispatcher, AnswersTheDevicesRequests) {
  const Bytes ack = {0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7};
  const Bytes unknown = {0xF0, 0x52, 0x00, 0x57, 0x00, 0x01, 0xF7};
  EXPECT_EQ(Dispatch({{0xF0, 0x52, 0x00, 0x57, 0x01, 0xF7},
                      {0xF0, 0x52, 0x00, 0x57, 0x04, 0xF7},
                      {0xF0, 0x52, 0x00, 0x57, 0x05, 0xF7},
                      {0xF0, 0x52, 0x00, 0x57, 0x0A, 0x00, 0xF7},
                      {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}}),
            (std::vector<Bytes>{ack, ack, ack, unknown, unknown}));
  EXPECT_EQ(Dispatch({{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}),
            (std::vector<Bytes>{{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00, 0x00, 0x31,
                                 0x30, 0x30, 0x30, 0xF7}}));
}

TEST_F(Dispatcher, TakesTheModelOfAnIdentityReplyWhateverItsManufacturer) {
  Dispatch({{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x41, 0x61, 0x00, 0xF7}});
  EXPECT_EQ(session_.status_code(), 0);
  EXPECT_EQ(session_.replies().replies_stored.load(), 1u);
}

TEST_F(Dispatcher, KeepsTheWholeIdentityOfTheLastIdentityReply) {
  EXPECT_FALSE(session_.device_identity().has_value());
  EXPECT_TRUE(Dispatch({{0xF0, 0x7E, 0x10, 0x06, 0x02, 0x52, 0x61, 0x02, 0x03, 0x01, 0x31, 0x32,
                         0x33, 0x34, 0xF7}})
                  .empty());
  const std::optional<DeviceIdentity> identity = session_.device_identity();
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity->model_id, 0x61);
  EXPECT_EQ(identity->family, 0x0161);
  EXPECT_EQ(identity->member, 0x0083);
  EXPECT_EQ(RevisionText(*identity), "1234");
  // A reply too short to be whole still gives its model, as before, but no identity.
  Dispatch({{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x41, 0x57, 0x00, 0xF7}});
  EXPECT_EQ(session_.status_code(), 0);
  EXPECT_FALSE(session_.device_identity().has_value());
}

TEST_F(Dispatcher, NeverReadsPastTheBytesThatArrived) {
  // Each is cut before the byte its test reads: none may store or answer anything.
  EXPECT_TRUE(Dispatch({{0xF0},
                        {0xF0, 0x52},
                        {0xF0, 0x52, 0x00, 0x57},
                        {0xF0, 0x52, 0x00, 0x57, 0x00},
                        {0xF0, 0x7E, 0x00, 0x06},
                        {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52}})
                  .empty());
  EXPECT_EQ(session_.replies().replies_stored.load(), 0u);
}

TEST_F(Dispatcher, AStatusByteWithBitSevenSetCannotForgeTheAbortStatus) {
  Dispatch({{0xF0, 0x52, 0x00, 0x57, 0x00, 0xFF, 0xF7}});
  EXPECT_EQ(session_.status_code(), 0);
  EXPECT_EQ(session_.replies().replies_stored.load(), 0u);
}

TEST_F(Dispatcher, SendsNothingWithoutAnOutputPortAndDropsTheEntryAllTheSame) {
  session_.out_port().Close();
  EXPECT_EQ(session_.SendStatus(0), -1);
  Dispatch({{0xF0, 0x52, 0x00, 0x57, 0x01, 0xF7}});
  EXPECT_EQ(session_.in_port().PeekSysEx(), nullptr);
}

TEST_F(Dispatcher, AfterTeardownARepliesCannotOverwriteTheAbortStatus) {
  session_.Teardown();
  EXPECT_EQ(session_.status_code(), kAbortStatus);
  session_.DispatchReplies();
  EXPECT_EQ(session_.status_code(), kAbortStatus);
}

}  // namespace
}  // namespace fen::testing
