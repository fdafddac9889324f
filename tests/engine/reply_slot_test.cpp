// The reply slot on its own: which answers a wait may take, and what ends every wait.
#include "engine/reply_slot.h"

#include <gtest/gtest.h>

#include <thread>

namespace fen::testing {
namespace {

class ReplySlotTest : public ::testing::Test {
 protected:
  std::atomic<bool> aborted_{false};
  ReplySlot slot_{aborted_};
  const std::uint8_t model_ = 0x57;
};

// Once an answer nobody owes has come, every wait ends on it, and neither the next message's
// reset nor a later answer can hide it.
TEST_F(ReplySlotTest, AnAnswerNobodyOwesDuringARunStaysTheSignOfAnotherHost) {
  slot_.StartRun();
  slot_.Expect();
  slot_.Store(0, nullptr);
  ASSERT_TRUE(slot_.Wait(0));
  EXPECT_EQ(slot_.status(), 0);
  slot_.Store(0, nullptr);
  EXPECT_TRUE(slot_.other_host());
  slot_.Expect();
  slot_.Store(0, nullptr);
  EXPECT_TRUE(slot_.Wait(0));
  EXPECT_EQ(slot_.status(), kOtherHostStatus);
  EXPECT_TRUE(slot_.AnotherHostWithin(0));
  EXPECT_EQ(slot_.counts().unowed_replies.load(), 1u);
  // A new run starts without suspicion.
  slot_.StartRun();
  EXPECT_FALSE(slot_.other_host());
  EXPECT_FALSE(slot_.AnotherHostWithin(1));
}

// An Identity Reply is taken only in answer to an Identity Request; the request may also be
// answered with a Status (a refusal). Between runs answers are taken without suspicion.
TEST_F(ReplySlotTest, IdentityRepliesAnswerOnlyIdentityRequests) {
  slot_.StartRun();
  slot_.Store(0, &model_);
  EXPECT_FALSE(slot_.Wait(0));
  EXPECT_FALSE(slot_.other_host());
  slot_.Expect(ReplySlot::Asked::kIdentity);
  slot_.Store(5, nullptr);
  EXPECT_TRUE(slot_.Wait(0));
  EXPECT_EQ(slot_.status(), 5);
  slot_.Expect(ReplySlot::Asked::kIdentity);
  slot_.Store(0, &model_);
  EXPECT_TRUE(slot_.Wait(0));
  EXPECT_EQ(slot_.detected_model_id(), 0x57);
  EXPECT_FALSE(slot_.identity().has_value());  // not whole
  slot_.EndRun();
  slot_.Store(3, nullptr);
  EXPECT_FALSE(slot_.other_host());
  EXPECT_EQ(slot_.status(), 3);
}

// The abort ends every wait, also one begun after it, and no answer overwrites it.
TEST_F(ReplySlotTest, TheAbortEndsEveryWaitAndStaysWhatTheWaitsRead) {
  slot_.StartRun();
  slot_.Expect();
  std::thread waiter([this] { EXPECT_TRUE(slot_.Wait(AutoResetEvent::kInfinite)); });
  aborted_.store(true);
  slot_.Abort();
  waiter.join();
  slot_.Store(0, nullptr);
  slot_.Expect();
  EXPECT_TRUE(slot_.Wait(AutoResetEvent::kInfinite));
  EXPECT_EQ(slot_.status(), kAbortStatus);
  EXPECT_TRUE(slot_.Settle(1, 1, [] { ADD_FAILURE() << "no request after the abort"; }));
}

// Answers owed to an earlier try are discarded before the next message; a device that does not
// answer the Identity Request sent after them is not to be trusted.
TEST_F(ReplySlotTest, SettlingDiscardsLateAnswersAndAsksWhenTheyDoNotCome) {
  slot_.StartRun();
  slot_.Expect();
  slot_.Expect();
  slot_.Store(0, nullptr);
  int requests = 0;
  EXPECT_FALSE(slot_.Settle(5, 5, [&] { ++requests; }));
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(slot_.counts().stale_replies_discarded.load(), 0u);
  EXPECT_FALSE(slot_.Wait(0));

  slot_.Expect();
  std::thread device([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    slot_.Store(8, nullptr);
  });
  EXPECT_TRUE(slot_.Settle(2000, 5, [&] { ++requests; }));
  device.join();
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(slot_.counts().stale_replies_discarded.load(), 1u);
  EXPECT_FALSE(slot_.Wait(0));  // the late answer is nobody's answer now
}

}  // namespace
}  // namespace fen::testing
