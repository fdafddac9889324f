// Reading one firmware image file with the Windows calls.
#include <windows.h>

#include <algorithm>

#include "res/image_file.h"

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

}  // namespace fen
