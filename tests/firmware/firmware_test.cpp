// The firmware images: built-in ones of exact size (placeholders when no release was given),
// and a release folder read with messages that name the file at fault.
#include "firmware/firmware.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "firmware/image_file.h"
#include "firmware/release.h"
#include "res/placeholder_firmware.h"

#ifndef _WIN32
#include <sys/inotify.h>
#include <sys/stat.h>
#endif

namespace fen {
namespace {

namespace fs = std::filesystem;

// The common zlib CRC-32, to pin the placeholder bytes to recorded values.
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

TEST(FirmwareImages, AreTheFourIdsWithTheirExactSizes) {
  const auto& specs = FirmwareImageTable();
  ASSERT_EQ(specs.size(), 4u);
  EXPECT_EQ(specs[0].resource_id, 129);
  EXPECT_EQ(specs[0].size, 720896u);
  EXPECT_EQ(specs[1].resource_id, 133);
  EXPECT_EQ(specs[1].size, 12288u);
  EXPECT_EQ(specs[2].resource_id, 136);
  EXPECT_EQ(specs[2].size, 262144u);
  EXPECT_EQ(specs[3].resource_id, 137);
  EXPECT_EQ(specs[3].size, 2912256u);
}

TEST(BuiltinFirmware, HoldsEveryImageAtItsExactSize) {
  for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
    const FirmwareImage image = FirmwareSet::Builtin().Find(entry.resource_id);
    ASSERT_NE(image.data, nullptr) << entry.resource_id;
    EXPECT_EQ(image.size, entry.size) << entry.resource_id;
  }
}

TEST(BuiltinFirmware, HasNoImageForAnotherId) {
  const FirmwareImage image = FirmwareSet::Builtin().Find(130);
  EXPECT_EQ(image.data, nullptr);
  EXPECT_EQ(image.size, 0u);
}

TEST(BuiltinFirmware, IsMarkedPlaceholderExactlyWhenBuiltWithoutARelease) {
  EXPECT_EQ(FirmwareSet::BuiltinIsPlaceholder(), FEN_TEST_EXPECT_PLACEHOLDER != 0);
}

TEST(PlaceholderFirmware, IsTheGeneratorsOutputByteForByte) {
  if (!FirmwareSet::BuiltinIsPlaceholder()) GTEST_SKIP() << "built from a firmware release";
  for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
    const FirmwareImage image = FirmwareSet::Builtin().Find(entry.resource_id);
    const std::vector<std::uint8_t> expected = MakePlaceholderImage(entry.resource_id, entry.size);
    ASSERT_EQ(image.size, expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.data)) << entry.resource_id;
  }
}

TEST(PlaceholderFirmware, MatchesTheRecordedChecksumsOnEveryMachine) {
  if (!FirmwareSet::BuiltinIsPlaceholder()) GTEST_SKIP() << "built from a firmware release";
  const std::pair<int, std::uint32_t> recorded[] = {
      {129, 0x3482E635u}, {133, 0x47B12678u}, {136, 0x35B345FDu}, {137, 0xFF85E48Bu}};
  for (const auto& [id, crc] : recorded) {
    const FirmwareImage image = FirmwareSet::Builtin().Find(id);
    EXPECT_EQ(Crc32(image.data, image.size), crc) << id;
  }
}

TEST(PlaceholderFirmware, UsesEveryByteValueAndDiffersBetweenImages) {
  if (!FirmwareSet::BuiltinIsPlaceholder()) GTEST_SKIP() << "built from a firmware release";
  std::set<std::vector<std::uint8_t>> heads;
  for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
    const FirmwareImage image = FirmwareSet::Builtin().Find(entry.resource_id);
    // Past the opening count, the random part alone still has every value and the high bit.
    std::set<std::uint8_t> values(image.data + 256, image.data + image.size);
    EXPECT_EQ(values.size(), 256u) << entry.resource_id;
    heads.emplace(image.data + 256, image.data + 2048);
  }
  EXPECT_EQ(heads.size(), 4u);
}

// A release folder in a temporary directory, its images made from other seeds than the
// built-in ones so that a mix-up shows.
class FirmwareFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("fen_firmware_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
      WriteImage(entry.resource_id, MakePlaceholderImage(entry.resource_id + 1000, entry.size));
    }
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_ / "129.bin", fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }
  void WriteImage(int id, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(Path(id), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  std::string Path(int id) const { return (dir_ / (std::to_string(id) + ".bin")).string(); }
  // Why the folder does not load (a failure of the test when it does).
  std::string LoadError() const {
    std::string error;
    EXPECT_FALSE(FirmwareSet::LoadFolder(dir_.string(), &error).has_value());
    return error;
  }

  fs::path dir_;
};

TEST_F(FirmwareFolder, LoadsEveryImageAndKeepsItAfterTheSetIsCopied) {
  std::string error = "untouched";
  std::optional<FirmwareSet> loaded = FirmwareSet::LoadFolder(dir_.string(), &error);
  ASSERT_TRUE(loaded.has_value()) << error;
  const FirmwareSet copy = *loaded;
  loaded.reset();
  for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
    const FirmwareImage image = copy.Find(entry.resource_id);
    const auto expected = MakePlaceholderImage(entry.resource_id + 1000, entry.size);
    ASSERT_EQ(image.size, entry.size);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.data)) << entry.resource_id;
  }
}

TEST_F(FirmwareFolder, NamesAMissingFile) {
  fs::remove(Path(133));
  const std::string error = LoadError();
  EXPECT_NE(error.find(Path(133)), std::string::npos) << error;
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

TEST_F(FirmwareFolder, NamesAShortOrLongFileWithBothSizes) {
  struct Row {
    int id;
    std::size_t size, wanted;
    std::uint8_t fill;
    const char *size_text, *wanted_text;
  };
  for (const Row& row : {Row{136, 262144 - 1, 262144, 0x5A, "262143", "262144"},
                         Row{137, 2912256 + 2048, 2912256, 0xA5, "2914304", "2912256"}}) {
    WriteImage(row.id, std::vector<std::uint8_t>(row.size, row.fill));
    const std::string error = LoadError();
    EXPECT_NE(error.find(Path(row.id)), std::string::npos) << error;
    EXPECT_NE(error.find(row.size_text), std::string::npos) << error;
    EXPECT_NE(error.find(row.wanted_text), std::string::npos) << error;
    WriteImage(row.id, MakePlaceholderImage(row.id + 1000, row.wanted));
  }
}

TEST_F(FirmwareFolder, NamesAnImageThatIsNotAFile) {
  fs::remove(Path(129));
  fs::create_directory(Path(129));
  const std::string error = LoadError();
  EXPECT_NE(error.find(Path(129)), std::string::npos) << error;
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  fs::remove(Path(129));
}

TEST_F(FirmwareFolder, NamesAnUnreadableFile) {
  fs::permissions(Path(129), fs::perms::none);
  // Root, and Windows, where permissions are not these bits, still read it.
  if (std::ifstream(Path(129)).good()) GTEST_SKIP() << "this user reads any file";
  const std::string error = LoadError();
  EXPECT_NE(error.find(Path(129)), std::string::npos) << error;
}

TEST_F(FirmwareFolder, NamesTheFirstImageOfAFolderThatDoesNotExist) {
  std::string error;
  EXPECT_FALSE(FirmwareSet::LoadFolder((dir_ / "nowhere").string(), &error).has_value());
  EXPECT_NE(error.find((dir_ / "nowhere" / "129.bin").string()), std::string::npos) << error;
  // The message is optional for the caller.
  EXPECT_FALSE(FirmwareSet::LoadFolder((dir_ / "nowhere").string(), nullptr).has_value());
}

#ifndef _WIN32
// Links and FIFOs as another user of a shared folder could plant them.
TEST_F(FirmwareFolder, TakesNoManifestOrSignatureThroughALinkOrAFifo) {
  const fs::path manifest = dir_ / kManifestFile;
  std::string text;
  std::string error;
  fs::create_symlink(dir_ / "nowhere.json", manifest);  // dangling: once read as "no manifest"
  EXPECT_EQ(ReadSmallFile(manifest.string(), 100, &text, &error), -1);
  EXPECT_NE(error.find("is a symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(LoadRelease(dir_.string(), {}, &error).has_value());
  EXPECT_NE(error.find(manifest.string() + " is a symbolic link"), std::string::npos) << error;
  fs::remove(manifest);

  std::ofstream(dir_ / "elsewhere.json") << "{}";
  fs::create_symlink(dir_ / "elsewhere.json", dir_ / kSignatureFile);
  std::ofstream(manifest) << "{}";
  EXPECT_FALSE(LoadRelease(dir_.string(), {}, &error).has_value());
  EXPECT_NE(error.find(kSignatureFile + std::string(" is a symbolic link")), std::string::npos)
      << error;
  fs::remove(dir_ / kSignatureFile);

  // A FIFO would block a reader that opened it to look.
  ASSERT_EQ(::mkfifo((dir_ / kSignatureFile).c_str(), 0600), 0);
  EXPECT_EQ(ReadSmallFile((dir_ / kSignatureFile).string(), 100, &text, &error), -1);
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

// An image may be a link, but only to a regular file, and nothing else is even opened: opening
// a device or a FIFO can act on it. inotify sees every open of the FIFO the link points to.
TEST_F(FirmwareFolder, FollowsALinkOnlyToARegularFileAndOpensNothingElse) {
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, fifo.c_str(), IN_OPEN), 0);
  for (const fs::path& target : {fifo, fs::path("/dev/zero"), fs::path("/dev/ptmx")}) {
    SCOPED_TRACE(target.string());
    fs::remove(Path(133));
    fs::create_symlink(target, Path(133));
    std::string error = LoadError();
    EXPECT_NE(error.find(Path(133) + " is not a regular file"), std::string::npos) << error;
  }
  char events[256];
  EXPECT_LT(::read(watch, events, sizeof events), 0) << "the FIFO was opened";
  ::close(watch);

  fs::remove(Path(133));
  fs::create_symlink(dir_ / "nowhere.bin", Path(133));
  EXPECT_NE(LoadError().find("missing firmware image " + Path(133)), std::string::npos);
  fs::remove(Path(133));
  WriteImage(9133, MakePlaceholderImage(1133, FirmwareImageSize(133)));
  fs::create_symlink(dir_ / "9133.bin", Path(133));
  std::string error;
  EXPECT_TRUE(FirmwareSet::LoadFolder(dir_.string(), &error).has_value()) << error;
}

TEST_F(FirmwareFolder, ReadsASmallFileUpToItsLimitOnly) {
  const fs::path path = dir_ / "key";
  std::ofstream(path) << std::string(100, 'k');
  std::string text;
  std::string error;
  EXPECT_EQ(ReadSmallFile(path.string(), 100, &text, &error), 0) << error;
  EXPECT_EQ(text, std::string(100, 'k'));
  EXPECT_EQ(ReadSmallFile(path.string(), 99, &text, &error), -1);
  EXPECT_NE(error.find("is 100 bytes, more than the 99"), std::string::npos) << error;
  EXPECT_EQ(ReadSmallFile((dir_ / "absent").string(), 99, &text, &error), 1);
  // A file the user names, such as a key, may be a link; one found in a folder may not.
  fs::create_symlink(path, dir_ / "linked");
  EXPECT_EQ(ReadSmallFile((dir_ / "linked").string(), 100, &text, &error, true), 0) << error;
  EXPECT_EQ(ReadSmallFile((dir_ / "linked").string(), 100, &text, &error), -1);
}

TEST_F(FirmwareFolder, WritesANewFileAndNeverThroughALink) {
  const fs::path target = dir_ / "someone-elses-file";
  std::ofstream(target) << "precious";
  const fs::path planted = dir_ / kManifestFile;
  fs::create_symlink(target, planted);
  std::string error;
  EXPECT_FALSE(WriteFileReplacing(planted.string(), "overwritten", &error));
  EXPECT_NE(error.find("is a symbolic link"), std::string::npos) << error;
  std::string text;
  ASSERT_EQ(ReadSmallFile(target.string(), 100, &text, &error), 0);
  EXPECT_EQ(text, "precious");
  EXPECT_TRUE(fs::is_symlink(planted));

  fs::remove(planted);
  std::ofstream(planted) << "old";
  ASSERT_TRUE(WriteFileReplacing(planted.string(), "new", &error)) << error;
  ASSERT_EQ(ReadSmallFile(planted.string(), 100, &text, &error), 0);
  EXPECT_EQ(text, "new");
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 4u + 2u);  // the images, the target and the manifest: no file left behind
}
#endif

}  // namespace
}  // namespace fen
