// The fault grammar that the command-line tools accept, and the numbering of blocks and
// erase steps that faults are aimed at.
#include "devsim/fault.h"

#include <gtest/gtest.h>

#include "devsim/update_plan.h"

namespace fen::devsim {
namespace {

Fault Parse(const std::string& text) {
  Fault f;
  std::string error;
  EXPECT_TRUE(ParseFault(text, &f, &error)) << text << ": " << error;
  return f;
}

std::string Error(const std::string& text) {
  Fault f;
  std::string error;
  EXPECT_FALSE(ParseFault(text, &f, &error)) << text << " was accepted";
  return error;
}

TEST(FaultGrammar, ReadsBlockStepValueDelayAndCount) {
  struct Row {
    const char* text;
    FaultKind kind;
    int at, value, delay_ms, count;
  };
  const Row rows[] = {
      {"crc@5", FaultKind::kCrc, 5, 0, 0, 1},
      {"flash@10x7", FaultKind::kFlash, 10, 0, 0, 7},
      {"late@7:1500x2", FaultKind::kLate, 7, 0, 1500, 2},
      {"status@9=42", FaultKind::kStatus, 9, 42, 0, 1},
      // Device-wide faults hit every time unless counted.
      {"model=0x33", FaultKind::kModel, -1, 0x33, 0, 0},
      {"vendor-request@4=0x05", FaultKind::kVendorRequest, 4, 5, 0, 1},
      {"erase-status@1=5x7", FaultKind::kEraseStatus, 1, 5, 0, 7},
      {"silent", FaultKind::kSilent, -1, 0, 0, 0},
      {"silent@100", FaultKind::kSilent, 100, 0, 0, 0},
      {"  noreply@3x2 ", FaultKind::kNoReply, 3, 0, 0, 2},
      {"crc@0x0F", FaultKind::kCrc, 15, 0, 0, 1},
      {"crc@1907x0", FaultKind::kCrc, 1907, 0, 0, 0},
  };
  for (const Row& row : rows) {
    const Fault f = Parse(row.text);
    EXPECT_EQ(f.kind, row.kind) << row.text;
    EXPECT_EQ(f.at, row.at) << row.text;
    EXPECT_EQ(f.value, row.value) << row.text;
    EXPECT_EQ(f.delay_ms, row.delay_ms) << row.text;
    EXPECT_EQ(f.count, row.count) << row.text;
  }
}

TEST(FaultGrammar, RejectsJunkWithAReasonThatNamesTheProblem) {
  EXPECT_NE(Error("").find("empty"), std::string::npos);
  EXPECT_NE(Error("bogus@3").find("unknown fault 'bogus'"), std::string::npos);
  EXPECT_NE(Error("crc").find("needs a block number"), std::string::npos);
  EXPECT_NE(Error("crc@").find("number must follow '@'"), std::string::npos);
  EXPECT_NE(Error("crc@1908").find("past the last block 1907"), std::string::npos);
  EXPECT_NE(Error("late@7").find("needs a delay"), std::string::npos);
  EXPECT_NE(Error("status@9").find("needs a status value"), std::string::npos);
  EXPECT_NE(Error("status@9=128").find("does not fit 7 bits"), std::string::npos);
  EXPECT_NE(Error("vendor-request@4=0").find("not a command"), std::string::npos);
  EXPECT_NE(Error("erase-noreply@3").find("not an erase step"), std::string::npos);
  EXPECT_NE(Error("model@3=0x33").find("not aimed at a block"), std::string::npos);
  EXPECT_NE(Error("crc@5=3").find("takes no value"), std::string::npos);
  EXPECT_NE(Error("crc@5:10").find("takes no delay"), std::string::npos);
  EXPECT_NE(Error("crc@5x").find("count"), std::string::npos);
  EXPECT_NE(Error("crc@5junk").find("unexpected 'junk'"), std::string::npos);
  EXPECT_NE(Error("crc@99999999999").find("number must follow"), std::string::npos);
  EXPECT_NE(Error("CRC@5").find("unknown fault"), std::string::npos);
}

TEST(FaultGrammar, CanonicalTextReadsBackToTheSameFault) {
  for (const char* text : {"crc@5",
                           "crc@5x3",
                           "flash@10x7",
                           "noreply@3x2",
                           "late@7:1500",
                           "status@9=42",
                           "silent",
                           "silent@100",
                           "model=0x33",
                           "model=0x33x1",
                           "not-update-mode",
                           "no-finish-reply",
                           "begin-status=5",
                           "finish-status=9",
                           "identity-noreply",
                           "identity-status=3",
                           "identity-request@4",
                           "vendor-request@4=0x05",
                           "erase-status@1=5x7",
                           "erase-noreply@2",
                           "erase-late@8:200",
                           "second-host@12",
                           "crc@7x0"}) {
    const Fault f = Parse(text);
    EXPECT_EQ(FaultToString(f), text);
  }
}

TEST(FaultGrammar, ListsSplitOnCommasAndBlanksAndFailWhole) {
  std::vector<Fault> faults;
  std::string error;
  ASSERT_TRUE(ParseFaults("crc@5, late@7:1500 not-update-mode", &faults, &error)) << error;
  ASSERT_EQ(faults.size(), 3u);
  EXPECT_EQ(faults[2].kind, FaultKind::kNotUpdateMode);

  EXPECT_FALSE(ParseFaults("crc@6,nonsense", &faults, &error));
  EXPECT_EQ(faults.size(), 3u) << "a list with a bad item adds nothing";
  EXPECT_NE(error.find("nonsense"), std::string::npos);
}

TEST(UpdatePlanNumbering, CountsBlocksInTheOrderTheUpdateWritesThem) {
  EXPECT_EQ(PlanBlockCount(), 1908);
  EXPECT_EQ(BlockNumberOf(0x000000), 0);
  EXPECT_EQ(BlockNumberOf(0x03F800), 127);
  EXPECT_EQ(BlockNumberOf(0x3FD000), 128);
  EXPECT_EQ(BlockNumberOf(0x3FF800), 133);
  EXPECT_EQ(BlockNumberOf(0x0F0000), 134);
  EXPECT_EQ(BlockNumberOf(0x3B6800), 1555);
  EXPECT_EQ(BlockNumberOf(0x040000), 1556);
  EXPECT_EQ(BlockNumberOf(0x0EF800), 1907);
  EXPECT_EQ(BlockNumberOf(0x000001), -1);
  EXPECT_EQ(BlockNumberOf(0x3B7000), -1) << "between the last write of step 7 and step 5";
  EXPECT_EQ(BlockNumberOf(0x400000), -1);

  for (int b : {0, 127, 128, 133, 134, 1555, 1556, 1907}) {
    const PlanRow* row = nullptr;
    std::uint32_t offset = 0;
    ASSERT_TRUE(BlockLocation(b, &row, &offset));
    EXPECT_EQ(BlockNumberOf(row->address + offset), b);
  }
  const PlanRow* row = nullptr;
  std::uint32_t offset = 0;
  EXPECT_FALSE(BlockLocation(1908, &row, &offset));
}

TEST(UpdatePlanNumbering, NamesEraseStepsByTheirPlanRow) {
  EXPECT_EQ(EraseStepOf(0x0EF000, 0x1000), 1);
  EXPECT_EQ(EraseStepOf(0x000000, 0x40000), 2);
  EXPECT_EQ(EraseStepOf(0x3FD000, 0x3000), 4);
  EXPECT_EQ(EraseStepOf(0x0F0000, 0x2C7000), 6);
  EXPECT_EQ(EraseStepOf(0x040000, 0xB0000), 8);
  EXPECT_EQ(EraseStepOf(0x040000, 0x1000), -1);
}

}  // namespace
}  // namespace fen::devsim
