// The checks and messages of reading a release folder's files, the same on every platform;
// the opening and reading are ReadOnlyFile's.
#include "firmware/image_file.h"

#include "firmware/read_only_file.h"

namespace fen {

bool ReadImageFile(const std::string& path, std::size_t expected, std::vector<std::uint8_t>& out,
                   std::string& error) {
  ReadOnlyFile file;
  switch (file.Open(path, /*follow_link=*/true)) {
    case ReadOnlyFile::Opened::kOk:
      break;
    case ReadOnlyFile::Opened::kMissing:
      error = "missing firmware image " + path;
      return false;
    case ReadOnlyFile::Opened::kFailed:
      error = "cannot open " + path + ": " + file.Failure();
      return false;
    case ReadOnlyFile::Opened::kLink:
    case ReadOnlyFile::Opened::kNotRegular:
      error = path + " is not a regular file";
      return false;
  }
  if (file.Size() != expected) {
    error = SizeMismatch(path, file.Size(), expected);
    return false;
  }
  // One byte more than expected is asked for, to notice a file that grew after it was opened.
  out.resize(expected + 1);
  std::size_t got = 0;
  if (!file.ReadUpTo(out.data(), out.size(), &got)) {
    error = "cannot read " + path + ": " + file.Failure();
    return false;
  }
  if (got != expected) {
    error =
        path + " changed size while it was read; expected " + std::to_string(expected) + " bytes";
    return false;
  }
  out.resize(expected);
  return true;
}

int ReadSmallFile(const std::string& path, std::size_t limit, std::string* text, std::string* error,
                  bool follow_link) {
  ReadOnlyFile file;
  switch (file.Open(path, follow_link)) {
    case ReadOnlyFile::Opened::kOk:
      break;
    case ReadOnlyFile::Opened::kMissing:
      return 1;
    case ReadOnlyFile::Opened::kFailed:
      *error = "cannot open " + path + ": " + file.Failure();
      return -1;
    case ReadOnlyFile::Opened::kLink:
      *error = path + " is a symbolic link, not a file of its own";
      return -1;
    case ReadOnlyFile::Opened::kNotRegular:
      *error = path + " is not a regular file";
      return -1;
  }
  const auto too_large = [&](std::uintmax_t size) {
    *error = path + " is " + std::to_string(size) + " bytes, more than the " +
             std::to_string(limit) + " it may have";
    return -1;
  };
  if (file.Size() > limit) return too_large(file.Size());
  // One byte more than the limit is asked for, to notice a file that grew after it was opened.
  text->resize(limit + 1);
  std::size_t got = 0;
  if (!file.ReadUpTo(text->data(), text->size(), &got)) {
    *error = "cannot read " + path + ": " + file.Failure();
    return -1;
  }
  text->resize(got);
  if (got > limit) return too_large(got);
  return 0;
}

}  // namespace fen
