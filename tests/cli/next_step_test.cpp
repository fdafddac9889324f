// Every error box that can end a run is followed by advice, and the README's Troubleshooting
// gives the same words, so that what the terminal says can be looked up.
#include "next_step.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/update_result.h"

namespace fen {
namespace {

TEST(NextStep, EveryFailedRunSaysWhetherTheFlashChangedAndWhatToDo) {
  for (const UpdateResultInfo& info : UpdateResultTable()) {
    const std::string hint = NextStepHint(info.result);
    if (info.result == UpdateResult::kCompleted || info.result == UpdateResult::kAborted) {
      EXPECT_EQ(hint, "") << info.name;
      continue;
    }
    EXPECT_TRUE(hint.rfind("Nothing was", 0) == 0 || hint.find("flash") != std::string::npos ||
                hint.find("Every block was written") != std::string::npos)
        << info.name << ": " << hint;
  }
}

TEST(NextStep, TheReadmesTroubleshootingGivesTheSameAdvice) {
  std::ifstream file(FEN_README);
  ASSERT_TRUE(file) << FEN_README;
  std::stringstream text;
  text << file.rdbuf();
  // The README wraps its lines; compare with single spaces.
  std::string readme;
  for (char c : text.str()) {
    if (c == '\n') c = ' ';
    if (c == ' ' && !readme.empty() && readme.back() == ' ') continue;
    readme += c;
  }
  for (const UpdateResultInfo& info : UpdateResultTable()) {
    EXPECT_NE(readme.find(NextStepHint(info.result)), std::string::npos) << info.name;
  }
}

}  // namespace
}  // namespace fen
