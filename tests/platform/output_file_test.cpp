// The one way output files are opened, against what another user of a shared folder can plant
// under the name: each is refused before a byte is written, and what it points to is untouched.
#include "platform/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fen {
namespace {

namespace fs = std::filesystem;

class OutputFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("fen-output-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "victim") << "precious\n";
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path dir_;
};

struct Planted {
  const char* what;
  std::function<void(const fs::path& dir, const fs::path& name)> plant;
  const char* reason;
};

// Each thing planted under the name, for an append and for a replacement alike.
std::vector<Planted> PlantedThings() {
  return {
      {"a link to a file", [](auto& d, auto& n) { fs::create_symlink(d / "victim", n); },
       "is a symbolic link"},
      {"a dangling link", [](auto& d, auto& n) { fs::create_symlink(d / "made", n); },
       "is a symbolic link"},
      {"a FIFO", [](auto&, auto& n) { ASSERT_EQ(::mkfifo(n.c_str(), 0600), 0); }, "a FIFO"},
      {"a folder", [](auto&, auto& n) { fs::create_directory(n); }, "a folder"},
  };
}

TEST_F(OutputFile, RefusesWhatIsPlantedUnderTheNameAndWritesNothing) {
  const std::vector<Planted> planted = PlantedThings();
  for (std::size_t i = 0; i < planted.size(); ++i) {
    const Planted& p = planted[i];
    SCOPED_TRACE(p.what);
    const fs::path name = dir_ / ("out-" + std::to_string(i));
    p.plant(dir_, name);
    for (bool create : {true, false}) {
      AppendFile file;
      std::string error;
      EXPECT_EQ(file.Open(name.string(), create, &error), AppendFile::Opened::kRefused);
      EXPECT_NE(error.find(name.string()), std::string::npos) << error;
      EXPECT_NE(error.find(p.reason), std::string::npos) << error;
      EXPECT_FALSE(file.IsOpen());
    }
    std::string error;
    EXPECT_FALSE(CheckReplaceable(name.string(), &error));
    EXPECT_NE(error.find(p.reason), std::string::npos) << error;
    EXPECT_FALSE(WriteFileReplacing(name.string(), "replaced\n", &error));
    EXPECT_EQ(Read(dir_ / "victim"), "precious\n");
    EXPECT_FALSE(fs::exists(dir_ / "made"));
  }
  // Nothing was left beside the names either.
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 1u + planted.size());
}

TEST_F(OutputFile, RefusesAFifoWithAReaderBeforeWritingToIt) {
  const fs::path name = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
  const int reader = ::open(name.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  AppendFile file;
  std::string error;
  EXPECT_EQ(file.Open(name.string(), true, &error), AppendFile::Opened::kRefused);
  EXPECT_NE(error.find("a FIFO, not a regular file"), std::string::npos) << error;
  char byte = 0;
  EXPECT_LE(::read(reader, &byte, 1), 0);
  ::close(reader);
}

TEST_F(OutputFile, AppendsOnlyToARegularFileOfOneNameThatTheUserOwns) {
  const fs::path name = dir_ / "record";
  AppendFile file;
  std::string error;
  EXPECT_EQ(file.Open(name.string(), false, &error), AppendFile::Opened::kMissing);
  EXPECT_FALSE(fs::exists(name));
  ASSERT_EQ(file.Open(name.string(), true, &error), AppendFile::Opened::kOk) << error;
  ASSERT_TRUE(file.Append("one\n", true, &error)) << error;
  ASSERT_EQ(file.Open(name.string(), false, &error), AppendFile::Opened::kOk) << error;
  ASSERT_TRUE(file.Append("two\n", false, &error)) << error;
  file.Close();
  EXPECT_EQ(Read(name), "one\ntwo\n");

  // A second name for the file: what is appended would land in a file known by another name.
  fs::create_hard_link(dir_ / "victim", dir_ / "second-name");
  EXPECT_EQ(file.Open((dir_ / "second-name").string(), true, &error), AppendFile::Opened::kRefused);
  EXPECT_NE(error.find("names (hard links)"), std::string::npos) << error;

  if (::geteuid() != 0) GTEST_SKIP() << "another user's file needs root to be made";
  const fs::path theirs = dir_ / "theirs";
  std::ofstream(theirs) << "forged line\n";
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  EXPECT_EQ(file.Open(theirs.string(), true, &error), AppendFile::Opened::kRefused);
  EXPECT_NE(error.find("belongs to another user (uid 65534)"), std::string::npos) << error;
  EXPECT_EQ(Read(theirs), "forged line\n");
}

TEST_F(OutputFile, ReplacesARegularFileWithANewOne) {
  const fs::path name = dir_ / "report.json";
  std::string error;
  EXPECT_TRUE(CheckReplaceable(name.string(), &error)) << error;
  EXPECT_FALSE(fs::exists(name));
  std::ofstream(name) << "old";
  ASSERT_TRUE(WriteFileReplacing(name.string(), "new", &error)) << error;
  EXPECT_EQ(Read(name), "new");
  EXPECT_FALSE(CheckReplaceable((dir_ / "absent" / "report.json").string(), &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

}  // namespace
}  // namespace fen
