// Reading and writing the files of a release folder with the Windows calls.
#include <windows.h>

#include <algorithm>
#include <atomic>

#include "firmware/image_file.h"

namespace fen {

namespace {

std::string SystemMessage(DWORD code) {
  char text[256] = {};
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

}  // namespace

bool ReadImageFile(const std::string& path, std::size_t expected, std::vector<std::uint8_t>& out,
                   std::string& error) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      error = path + " is not a regular file";
    } else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      error = "missing firmware image " + path;
    } else {
      error = "cannot open " + path + ": " + SystemMessage(code);
    }
    return false;
  }
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size)) {
    ::CloseHandle(file);
    error = path + " is not a regular file";
    return false;
  }
  if (static_cast<std::uintmax_t>(size.QuadPart) != expected) {
    ::CloseHandle(file);
    error = SizeMismatch(path, static_cast<std::uintmax_t>(size.QuadPart), expected);
    return false;
  }
  // One byte more than expected is asked for, to notice a file that grew meanwhile.
  out.resize(expected + 1);
  std::size_t got = 0;
  while (got < out.size()) {
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(out.size() - got, 1u << 20));
    if (!::ReadFile(file, out.data() + got, ask, &n, nullptr)) {
      error = "cannot read " + path + ": " + SystemMessage(::GetLastError());
      ::CloseHandle(file);
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  ::CloseHandle(file);
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
  // Unless it is to be followed, the link itself is opened, not what it points to, and refused.
  HANDLE file = ::CreateFileA(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | (follow_link ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return 1;
    *error = "cannot open " + path + ": " + SystemMessage(code);
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ::CloseHandle(file);
    *error = path + " is not a regular file";
    return -1;
  }
  if (!follow_link && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ::CloseHandle(file);
    *error = path + " is a symbolic link, not a file of its own";
    return -1;
  }
  const std::uintmax_t size =
      (static_cast<std::uintmax_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const auto too_large = [&](std::uintmax_t bytes) {
    *error = path + " is " + std::to_string(bytes) + " bytes, more than the " +
             std::to_string(limit) + " it may have";
    return -1;
  };
  if (size > limit) {
    ::CloseHandle(file);
    return too_large(size);
  }
  // One byte more than the limit is asked for, to notice a file that grew meanwhile.
  text->resize(limit + 1);
  std::size_t got = 0;
  while (got < text->size()) {
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(text->size() - got, 1u << 20));
    if (!::ReadFile(file, text->data() + got, ask, &n, nullptr)) {
      *error = "cannot read " + path + ": " + SystemMessage(::GetLastError());
      ::CloseHandle(file);
      return -1;
    }
    if (n == 0) break;
    got += n;
  }
  ::CloseHandle(file);
  text->resize(got);
  if (got > limit) return too_large(got);
  return 0;
}

bool WriteFileReplacing(const std::string& path, std::string_view bytes, std::string* error) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *error = path + " is a symbolic link: it is not written through; remove it first";
    return false;
  }
  static std::atomic<unsigned> serial{0};
  std::string temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary =
        path + ".new-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(serial++);
    file = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot create " + temporary + ": " + SystemMessage(::GetLastError());
    return false;
  }
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
    *error = "cannot write " + temporary + ": " + SystemMessage(code);
    ::DeleteFileA(temporary.c_str());
    return false;
  }
  if (!::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = "cannot write " + path + ": " + SystemMessage(::GetLastError());
    ::DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace fen
