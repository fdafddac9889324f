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
    const Checked<FirmwareSet> loaded = FirmwareSet::LoadFolder(dir_);
    EXPECT_FALSE(loaded);
    return loaded.refusal().text;
  }

  fs::path dir_;
};

TEST_F(FirmwareFolder, LoadsEveryImageAndKeepsItAfterTheSetIsCopied) {
  std::optional<FirmwareSet> loaded;
  {
    Checked<FirmwareSet> read = FirmwareSet::LoadFolder(dir_);
    ASSERT_TRUE(read) << read.refusal().text;
    loaded = std::move(*read);
  }
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
  const Checked<FirmwareSet> loaded = FirmwareSet::LoadFolder(dir_ / "nowhere");
  ASSERT_FALSE(loaded);
  const std::string error = loaded.refusal().text;
  EXPECT_NE(error.find((dir_ / "nowhere" / "129.bin").string()), std::string::npos) << error;
}

// A refused release names the file at fault inside the folder it was given, and ends the
// command-line tool with the status of a refused release.
TEST_F(FirmwareFolder, RefusesAReleaseNamingTheFileInItsFolder) {
  const auto refusal_of = [](const fs::path& folder) {
    const Checked<LoadedRelease> loaded = LoadRelease(folder, {});
    EXPECT_FALSE(loaded);
    EXPECT_EQ(loaded.refusal().exit_status, kExitRefusedRelease);
    return loaded.refusal().text;
  };
  EXPECT_EQ(refusal_of(Path(129)), Path(129) + " is not a folder");
  EXPECT_EQ(refusal_of(dir_ / "nowhere"), (dir_ / "nowhere").string() + " is not a folder");

  const Checked<FirmwareSet> images = FirmwareSet::LoadFolder(dir_);
  ASSERT_TRUE(images) << images.refusal().text;
  std::ofstream(dir_ / kManifestFile, std::ios::binary)
      << MakeManifest(*images, "1.0", {0x57}).replace(0, 1, "[");
  EXPECT_EQ(refusal_of(dir_).rfind((dir_ / kManifestFile).string() + ": not JSON", 0), 0u);

  std::ofstream(dir_ / kManifestFile, std::ios::binary) << MakeManifest(*images, "1.0", {0x57});
  const Checked<LoadedRelease> consistent = LoadRelease(dir_, {});
  ASSERT_TRUE(consistent) << consistent.refusal().text;
  EXPECT_EQ(consistent->info.signature, ReleaseSignature::kUnsigned);
  WriteImage(136, MakePlaceholderImage(136, FirmwareImageSize(136)));
  EXPECT_EQ(refusal_of(dir_).rfind(Path(136) + ": SHA-256 ", 0), 0u);
}

// The programs take names as UTF-8; on Windows a folder that the ANSI code page cannot spell is
// still found, and named in the refusal as it was given.
TEST_F(FirmwareFolder, FindsAReleaseInAFolderNamedInUtf8) {
  const std::string name = "r\xc3\xa9lease-\xe3\x83\xaa\xe3\x83\xaa\xe3\x83\xbc\xe3\x82\xb9";
  const std::string folder_text = PathText(dir_) + "/" + name;
  // Made here from char8_t, which std::filesystem reads as UTF-8 on every system.
  const fs::path folder = dir_ / fs::path(std::u8string(name.begin(), name.end()));
  fs::create_directory(folder);
  for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
    fs::copy_file(Path(entry.resource_id), folder / (std::to_string(entry.resource_id) + ".bin"));
  }
  const Checked<LoadedRelease> loaded = LoadRelease(Utf8Path(folder_text), {});
  ASSERT_TRUE(loaded) << loaded.refusal().text;
  EXPECT_EQ(loaded->info.signature, ReleaseSignature::kNoManifest);

  fs::remove(folder / "133.bin");
  const Checked<LoadedRelease> missing = LoadRelease(Utf8Path(folder_text), {});
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.refusal().text.find(name), std::string::npos) << missing.refusal().text;
  EXPECT_NE(missing.refusal().text.find("133.bin"), std::string::npos) << missing.refusal().text;
}

#ifndef _WIN32
// Links and FIFOs as another user of a shared folder could plant them.
TEST_F(FirmwareFolder, TakesNoManifestOrSignatureThroughALinkOrAFifo) {
  const fs::path manifest = dir_ / kManifestFile;
  fs::create_symlink(dir_ / "nowhere.json", manifest);  // dangling: once read as "no manifest"
  const auto read = ReadSmallFile(manifest, 100);
  ASSERT_FALSE(read);
  EXPECT_NE(read.refusal().text.find("is a symbolic link"), std::string::npos);
  const auto through_link = LoadRelease(dir_, {});
  ASSERT_FALSE(through_link);
  EXPECT_NE(through_link.refusal().text.find(manifest.string() + " is a symbolic link"),
            std::string::npos)
      << through_link.refusal().text;
  fs::remove(manifest);

  std::ofstream(dir_ / "elsewhere.json") << "{}";
  fs::create_symlink(dir_ / "elsewhere.json", dir_ / kSignatureFile);
  std::ofstream(manifest) << "{}";
  const auto signature_link = LoadRelease(dir_, {});
  ASSERT_FALSE(signature_link);
  EXPECT_NE(signature_link.refusal().text.find(kSignatureFile + std::string(" is a symbolic link")),
            std::string::npos)
      << signature_link.refusal().text;
  fs::remove(dir_ / kSignatureFile);

  // A FIFO would block a reader that opened it to look.
  ASSERT_EQ(::mkfifo((dir_ / kSignatureFile).c_str(), 0600), 0);
  const auto fifo = ReadSmallFile(dir_ / kSignatureFile, 100);
  ASSERT_FALSE(fifo);
  EXPECT_NE(fifo.refusal().text.find("not a regular file"), std::string::npos);
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
  const Checked<FirmwareSet> through_link = FirmwareSet::LoadFolder(dir_);
  EXPECT_TRUE(through_link) << through_link.refusal().text;
}

// What a reader tells apart: the text, no such file (not a refusal: a release may lack its
// signature), and a refusal that names the file.
TEST_F(FirmwareFolder, ReadsASmallFileUpToItsLimitOnly) {
  const fs::path path = dir_ / "key";
  std::ofstream(path) << std::string(100, 'k');
  const auto whole = ReadSmallFile(path, 100);
  ASSERT_TRUE(whole) << whole.refusal().text;
  EXPECT_EQ(whole->value_or("none"), std::string(100, 'k'));
  const auto too_large = ReadSmallFile(path, 99);
  ASSERT_FALSE(too_large);
  EXPECT_EQ(too_large.refusal().text,
            path.string() + " is 100 bytes, more than the 99 it may have");
  EXPECT_EQ(too_large.refusal().exit_status, kExitRefusedRelease);
  const auto absent = ReadSmallFile(dir_ / "absent", 99);
  ASSERT_TRUE(absent) << absent.refusal().text;
  EXPECT_FALSE(absent->has_value());
  // A file the user names, such as a key, may be a link; one found in a folder may not.
  fs::create_symlink(path, dir_ / "linked");
  const auto followed = ReadSmallFile(dir_ / "linked", 100, /*follow_link=*/true);
  ASSERT_TRUE(followed) << followed.refusal().text;
  EXPECT_EQ(followed->value_or("none"), std::string(100, 'k'));
  EXPECT_FALSE(ReadSmallFile(dir_ / "linked", 100));
}

TEST_F(FirmwareFolder, WritesANewFileAndNeverThroughALink) {
  const fs::path target = dir_ / "someone-elses-file";
  std::ofstream(target) << "precious";
  const fs::path planted = dir_ / kManifestFile;
  fs::create_symlink(target, planted);
  std::string error;
  EXPECT_FALSE(WriteFileReplacing(planted.string(), "overwritten", &error));
  EXPECT_NE(error.find("is a symbolic link"), std::string::npos) << error;
  const auto kept = ReadSmallFile(target, 100);
  ASSERT_TRUE(kept && kept->has_value());
  EXPECT_EQ(**kept, "precious");
  EXPECT_TRUE(fs::is_symlink(planted));

  fs::remove(planted);
  std::ofstream(planted) << "old";
  ASSERT_TRUE(WriteFileReplacing(planted.string(), "new", &error)) << error;
  const auto replaced = ReadSmallFile(planted, 100);
  ASSERT_TRUE(replaced && replaced->has_value());
  EXPECT_EQ(**replaced, "new");
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 4u + 2u);  // the images, the target and the manifest: no file left behind
}
#endif

}  // namespace
}  // namespace fen
