// The soak's own parts: the oracle against the outcome rows it encodes, the fault mix (same seed,
// same mix; junk that never forges a reply), and whole runs with late replies on several tries
// of a block followed by errors, which must never end in success over a wrong flash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "soak/soak_oracle.h"
#include "soak/soak_plan.h"
#include "soak/soak_run.h"

namespace fen::soak {
namespace {

RunPlan PlanOf(const std::string& faults, std::uint8_t model = 0x57) {
  RunPlan plan;
  plan.model_id = model;
  std::string error;
  EXPECT_TRUE(devsim::ParseFaults(faults, &plan.faults, &error)) << error;
  return plan;
}

Expected Only(const std::string& faults, std::uint8_t model = 0x57) {
  const Prediction p = Predict(PlanOf(faults, model), OracleTiming{});
  EXPECT_EQ(p.allowed.size(), 1u) << faults;
  return p.allowed.empty() ? Expected{} : p.allowed.front();
}

const std::string kCrc = "(CRC)Transfer error occurred.";
const std::string kFlash = "(Flash Write)Transfer error occurred.";
const std::string kWriteTimeout = "(Write)Time Out Error.";

TEST(SoakOracle, TheSeventhFailureOfABlockDecidesItsReport) {
  Expected e = Only("crc@5x7");
  EXPECT_EQ(e.kind, EndKind::kWriteErrors);
  EXPECT_EQ(e.log, Strings(7, kCrc));
  EXPECT_EQ(e.outcome,
            (Strings{"disable", "step 0/9", "status ", "step 3/9", "error 107", "restore"}));

  e = Only("noreply@130x6, flash@130");  // block 130 is written by row 5
  EXPECT_EQ(e.kind, EndKind::kWriteErrors);
  EXPECT_EQ(e.log, Strings{kFlash});
  EXPECT_EQ(e.outcome[3], "step 5/9");

  e = Only("noreply@9x7");
  EXPECT_EQ(e.kind, EndKind::kWriteTimeout);
  EXPECT_EQ(e.log, Strings{kWriteTimeout});

  e = Only("noreply@9x2, crc@9x2, status@9=5x2, flash@9x3");
  EXPECT_EQ(e.kind, EndKind::kWriteErrors);
  EXPECT_EQ(e.log, (Strings{kCrc, kCrc, kFlash}));

  e = Only("crc@9x6, crc@20x6");
  EXPECT_EQ(e.kind, EndKind::kCompleted);
  EXPECT_EQ(e.log, Strings(12, kCrc));
}

TEST(SoakOracle, TheFirstFaultThatEndsTheRunWins) {
  Expected e = Only("silent@1600, crc@1700x7, crc@5x2");
  EXPECT_EQ(e.kind, EndKind::kWriteTimeout);
  EXPECT_EQ(e.log, (Strings{kCrc, kCrc, kWriteTimeout}));
  EXPECT_EQ(e.outcome[3], "step 9/9");

  e = Only("erase-status@6=3x7, crc@1600x7");
  EXPECT_EQ(e.kind, EndKind::kEraseErrors);
  EXPECT_EQ(e.log, Strings{"(Erase)Time Out Error."});
  EXPECT_EQ(e.outcome[3], "step 6/9");

  EXPECT_EQ(Only("erase-noreply@1").kind, EndKind::kEraseTimeout);
  EXPECT_EQ(Only("erase-status@8=1x6").kind, EndKind::kCompleted);
  EXPECT_EQ(Only("no-finish-reply, crc@4").log, Strings{kCrc});
  EXPECT_EQ(Only("no-finish-reply").outcome,
            (Strings{"disable", "step 0/9", "status ", "step 9/9", "error 107", "restore"}));
}

TEST(SoakOracle, IdentificationAndBeginUpdateFailures) {
  EXPECT_EQ(Only("identity-noreply").outcome,
            (Strings{"disable", "step 0/9", "error 102", "restore"}));
  EXPECT_EQ(Only("model=0x33").log, Strings{"Illegal device connected."});
  // Before identification only Status messages of the first model are heard.
  EXPECT_EQ(Only("identity-status=0").kind, EndKind::kIllegalDevice);
  EXPECT_EQ(Only("identity-status=0", 0x61).kind, EndKind::kIdentityTimeout);
  EXPECT_EQ(Only("not-update-mode").outcome,
            (Strings{"disable", "step 0/9", "status ", "error 106", "restore"}));
  EXPECT_EQ(Only("begin-status=3").kind, EndKind::kBeginRefused);
  EXPECT_TRUE(Only("begin-status=3").log.empty());
  EXPECT_EQ(Only("begin-status=0").kind, EndKind::kCompleted);
}

TEST(SoakOracle, LateRepliesNearATimeOutMayEndEitherWay) {
  OracleTiming t;  // 150 ms a block, 2 ms pauses: the seventh wait ends at 1062 ms
  t.late_margin_ms = 60;
  t.erase_wait_ms = 400;
  EXPECT_EQ(Predict(PlanOf("late@7:1000"), t).allowed.size(), 1u);
  EXPECT_EQ(Predict(PlanOf("late@7:1050"), t).allowed.size(), 2u);
  EXPECT_EQ(Predict(PlanOf("late@7:1200"), t).allowed.front().kind, EndKind::kWriteTimeout);
  EXPECT_EQ(Predict(PlanOf("erase-late@2:500"), t).allowed.front().kind, EndKind::kEraseTimeout);
  EXPECT_EQ(Predict(PlanOf("erase-late@2:100"), t).allowed.front().kind, EndKind::kCompleted);
}

TEST(SoakPlan, TheSameSeedDrawsTheSameMixAndJunkNeverForgesAReply) {
  const PlanOptions options;
  int kinds_seen = 0;
  for (std::uint64_t i = 0; i < 300; ++i) {
    const std::uint64_t seed = RunSeed(77, i);
    const RunPlan a = DrawRunPlan(seed, options);
    const RunPlan b = DrawRunPlan(seed, options);
    ASSERT_EQ(a.Describe(), b.Describe());
    for (const auto& burst : a.noise) {
      for (const auto& m : burst.messages) {
        const bool other_model_status =
            m.size() > 4 && m[0] == 0xF0 && m[1] == 0x52 && m[3] != 0x57 && m[3] != 0x61;
        if (!other_model_status) {
          ASSERT_FALSE(LooksLikeReply(m)) << a.Describe();
        }
      }
    }
    kinds_seen += !a.faults.empty();
  }
  EXPECT_GT(kinds_seen, 200);
  EXPECT_NE(DrawRunPlan(RunSeed(77, 0), options).Describe(),
            DrawRunPlan(RunSeed(77, 1), options).Describe());
}

TEST(SoakPlan, RepliesAreFoundWhereverTheDriverWouldCutThem) {
  EXPECT_TRUE(LooksLikeReply({0xF0, 0x52, 0x00, 0x57, 0x00, 0x08, 0xF7}));
  EXPECT_TRUE(LooksLikeReply({0xF0, 0x52, 0x00, 0x57, 0x02}));
  EXPECT_TRUE(LooksLikeReply({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x57}));
  // After a short message, and in the second buffer of a long message.
  EXPECT_TRUE(LooksLikeReply({0x90, 0x40, 0x7F, 0xF0, 0x52, 0x00, 0x57, 0x00, 0x00}));
  Bytes long_message(8192, 0x11);
  long_message[0] = 0xF0;
  for (std::uint8_t b : {0xF0, 0x52, 0x00, 0x57, 0x00, 0x03}) long_message.push_back(b);
  EXPECT_TRUE(LooksLikeReply(long_message));

  EXPECT_FALSE(LooksLikeReply({0xF0, 0x52, 0x00, 0x57, 0x00}));
  EXPECT_FALSE(LooksLikeReply({0xF0, 0x52, 0x00, 0x57, 0x00, 0xF7}));
  EXPECT_FALSE(LooksLikeReply({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52}));
  // A short message takes its data bytes whatever they are.
  EXPECT_FALSE(LooksLikeReply({0x90, 0xF0, 0x52, 0x00, 0x57, 0x00, 0x00}));
}

// Whole runs, in a folder of their own for the log.
class SoakRuns : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("fen-soak-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path dir_;
  std::filesystem::path old_;
};

// A device late on two or three tries of one block in a row answers the last of them after the
// block was acknowledged and the next one sent. That answer must not be taken for the next
// block's, or an error on the next block would leave it unwritten under a "completed" run.
TEST_F(SoakRuns, RepeatedLateRepliesFollowedByAnErrorNeverEndInSuccessOverWrongFlash) {
  const RunOptions options;
  for (const char* faults :
       {"late@100:200x2, crc@101", "late@100:200x3, crc@101", "late@100:260x2, crc@102x2",
        "late@100:170x3, flash@101", "late@40:320x3, status@41=1, crc@42"}) {
    const RunResult r = RunOnce(PlanOf(faults), options);
    EXPECT_TRUE(r.mismatches.empty()) << DescribeRun(r);
    EXPECT_TRUE(r.report.flash.holds_images) << DescribeRun(r);
  }
}

TEST_F(SoakRuns, ARunWithJunkRequestsAndErrorsEndsAsTheOracleSays) {
  const RunOptions options;
  for (std::uint64_t i = 0; i < 3; ++i) {
    const RunResult r = RunOnce(DrawRunPlan(RunSeed(2026, i), PlanOptionsFor(options)), options);
    EXPECT_TRUE(r.mismatches.empty()) << DescribeRun(r);
  }
}

}  // namespace
}  // namespace fen::soak
