// The exit statuses that the manual page and the README's table list are the ones the tool
// returns: each once, and no other.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "engine/update_result.h"

namespace fen {
namespace {

std::string ReadAll(const char* path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::multiset<int> ToolStatuses() {
  std::multiset<int> statuses;
  for (ExitStatus status : kExitStatuses) statuses.insert(status);
  return statuses;
}

// Numbers at the start of the lines that `pattern` matches, between `begin` and `end`.
std::multiset<int> Listed(const std::string& text, const std::string& begin, const std::string& end,
                          const std::regex& pattern) {
  const std::size_t from = text.find(begin);
  EXPECT_NE(from, std::string::npos) << begin;
  if (from == std::string::npos) return {};
  const std::string section = text.substr(from, text.find(end, from + begin.size()) - from);
  std::multiset<int> numbers;
  for (auto it = std::sregex_iterator(section.begin(), section.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    numbers.insert(std::stoi((*it)[1]));
  }
  return numbers;
}

TEST(ExitStatuses, TheManualPageAndTheReadmeListEveryStatusOnce) {
  const std::string manual = ReadAll(FEN_CLI_MANUAL);
  ASSERT_FALSE(manual.empty()) << FEN_CLI_MANUAL;
  EXPECT_EQ(Listed(manual, "# EXIT STATUS", "\n# ", std::regex(R"(\n\*(\d+)\*\n)")),
            ToolStatuses());

  const std::string readme = ReadAll(FEN_README);
  ASSERT_FALSE(readme.empty()) << FEN_README;
  EXPECT_EQ(Listed(readme, "| status | meaning |", "\n\n", std::regex(R"(\n\| (\d+) \|)")),
            ToolStatuses());
}

TEST(ExitStatuses, EachResultOfARunHasOneOfThem) {
  const std::multiset<int> statuses = ToolStatuses();
  for (const UpdateResultInfo& info : UpdateResultTable()) {
    EXPECT_EQ(statuses.count(info.exit_status), 1u) << info.name;
  }
}

}  // namespace
}  // namespace fen
