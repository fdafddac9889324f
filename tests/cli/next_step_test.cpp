// Every error box that can end a run is followed by advice, and the README's Troubleshooting
// gives the same words, so that what the terminal says can be looked up.
#include "next_step.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/string_table.h"

namespace fen {
namespace {

constexpr int kRunEndingErrors[] = {
    IDS_TIMEOUT_IDENTITY, IDS_TIMEOUT_WRITE,  IDS_TIMEOUT_ERASE,     IDS_ILLEGAL_DEVICE,
    IDS_USE_UPDATE_MODE,  IDS_TRANSFER_ERROR, IDS_CANT_OPEN_MIDI_IN, IDS_CANT_OPEN_MIDI_OUT};

TEST(NextStep, EveryRunEndingErrorSaysWhetherTheFlashChangedAndWhatToDo) {
  for (int id : kRunEndingErrors) {
    const std::string hint = NextStepHint(id);
    EXPECT_TRUE(hint.rfind("Nothing was", 0) == 0 || hint.find("flash") != std::string::npos)
        << id << ": " << hint;
  }
  EXPECT_EQ(NextStepHint(IDS_UPDATE_COMPLETED), "");
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
  for (int id : kRunEndingErrors) {
    EXPECT_NE(readme.find(NextStepHint(id)), std::string::npos) << LoadString(id);
  }
}

}  // namespace
}  // namespace fen
