// Opening and writing output files with the Windows calls. FILE_FLAG_OPEN_REPARSE_POINT opens a
// link (a symbolic link or a junction) itself instead of its target, so that it can be seen and
// refused; GetFileType tells a disk file from a pipe, a console or another device.
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "platform/output_file.h"
#include "platform/windows_text.h"

namespace fen {

namespace {

// A name that exists as a link or a folder is refused by what it is.
bool RefusedByAttributes(const std::string& path, std::string* error) {
  const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *error = path + " is a symbolic link: it is not written through";
    return true;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = path + " is a folder, not a regular file: it is not written to";
    return true;
  }
  return false;
}

// The opened handle's own checks: a disk file, no link, no folder, one name.
bool CheckOpened(HANDLE file, const std::string& path, std::string* error) {
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    *error = path + " is a device or a pipe, not a regular file: it is not written to";
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) {
    *error = "cannot examine " + path + ": " + SystemErrorText(::GetLastError());
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *error = path + " is a symbolic link: it is not written through";
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = path + " is a folder, not a regular file: it is not written to";
    return false;
  }
  if (info.nNumberOfLinks > 1) {
    *error = path + " has " + std::to_string(info.nNumberOfLinks) +
             " names (hard links): it is not appended to";
    return false;
  }
  return true;
}

}  // namespace

AppendFile::~AppendFile() { Close(); }

void AppendFile::Close() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

AppendFile::Opened AppendFile::Open(const std::string& path, bool create, std::string* error) {
  Close();
  path_ = path;
  if (RefusedByAttributes(path, error)) return Opened::kRefused;
  // FILE_APPEND_DATA alone makes every write land at the end. A dangling link is opened as the
  // link, so OPEN_ALWAYS never makes its target.
  HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              create ? OPEN_ALWAYS : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    if (!create && (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)) {
      return Opened::kMissing;
    }
    *error = "cannot open " + path + ": " + SystemErrorText(code);
    return Opened::kRefused;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  if (CheckOpened(file, path, error)) return Opened::kOk;
  Close();
  return Opened::kRefused;
}

bool AppendFile::Append(std::string_view bytes, bool sync, std::string* error) {
  if (handle_ == -1) {
    *error = "cannot write " + path_ + ": it is not open";
    return false;
  }
  const HANDLE file = reinterpret_cast<HANDLE>(handle_);
  DWORD written = 0;
  if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    *error = "cannot write " + path_ + ": " + SystemErrorText(::GetLastError());
    return false;
  }
  if (sync && !::FlushFileBuffers(file)) {
    *error = "cannot flush " + path_ + " to the disk: " + SystemErrorText(::GetLastError());
    return false;
  }
  return true;
}

namespace {

HANDLE CreateBeside(const std::string& path, std::string* temporary, std::string* error) {
  static std::atomic<unsigned> serial{0};
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    *temporary =
        path + ".new-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(serial++);
    // CREATE_NEW fails on any existing name, a link included, so nothing is written through one.
    file = ::CreateFileW(Utf8ToWide(*temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot create " + *temporary + ": " + SystemErrorText(::GetLastError());
  }
  return file;
}

}  // namespace

bool CheckReplaceable(const std::string& path, std::string* error) {
  if (RefusedByAttributes(path, error)) return false;
  std::string temporary;
  HANDLE file = CreateBeside(path, &temporary, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  ::DeleteFileW(Utf8ToWide(temporary).c_str());
  return true;
}

bool WriteFileReplacing(const std::string& path, std::string_view bytes, std::string* error) {
  if (RefusedByAttributes(path, error)) return false;
  std::string temporary;
  HANDLE file = CreateBeside(path, &temporary, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::size_t done = 0;
  bool written = true;
  while (done < bytes.size() && written) {
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    written = ::WriteFile(file, bytes.data() + done, ask, &n, nullptr) != 0 && n > 0;
    done += n;
  }
  const DWORD code = ::GetLastError();
  ::CloseHandle(file);
  if (!written) {
    *error = "cannot write " + temporary + ": " + SystemErrorText(code);
    ::DeleteFileW(Utf8ToWide(temporary).c_str());
    return false;
  }
  if (!::MoveFileExW(Utf8ToWide(temporary).c_str(), Utf8ToWide(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
    *error = "cannot write " + path + ": " + SystemErrorText(::GetLastError());
    ::DeleteFileW(Utf8ToWide(temporary).c_str());
    return false;
  }
  return true;
}

}  // namespace fen
