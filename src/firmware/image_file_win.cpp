// Reading and writing the files of a release folder with the Windows calls.
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "firmware/image_file.h"
#include "firmware/read_only_file.h"
#include "platform/windows_text.h"

namespace fen {

// The wide form of the UTF-8 text, as the W calls take it; an invalid sequence becomes U+FFFD
// rather than an exception.
std::filesystem::path Utf8Path(std::string_view text) { return Utf8ToWide(text); }

std::string PathText(const std::filesystem::path& path) { return WideToUtf8(path.native()); }

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

// Unless it is to be followed, a link itself is opened, not what it points to.
ReadOnlyFile::Opened ReadOnlyFile::Open(const std::filesystem::path& path, bool follow_link) {
  const std::wstring& wide = path.native();
  HANDLE file = ::CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Opened::kNotRegular;
    }
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Opened::kMissing;
    failure_ = SystemErrorText(code);
    return Opened::kFailed;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Opened::kNotRegular;
  }
  if (!follow_link && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return Opened::kLink;
  }
  size_ = (static_cast<std::uintmax_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return Opened::kOk;
}

bool ReadOnlyFile::ReadUpTo(void* data, std::size_t want, std::size_t* got) {
  auto* bytes = static_cast<char*>(data);
  *got = 0;
  while (*got < want) {
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(want - *got, 1u << 20));
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), bytes + *got, ask, &n, nullptr)) {
      failure_ = SystemErrorText(::GetLastError());
      return false;
    }
    if (n == 0) break;
    *got += n;
  }
  return true;
}

}  // namespace fen
