// The record file on Windows: FILE_APPEND_DATA, one WriteFile per line, FlushFileBuffers;
// local time from localtime_s and the time zone's bias.
#include <windows.h>

#include <string>

#include "run_events.h"

namespace fen {

std::tm LocalTime(std::time_t t, long* utc_offset_seconds) {
  std::tm local{};
  localtime_s(&local, &t);
  std::tm utc{};
  gmtime_s(&utc, &t);
  utc.tm_isdst = local.tm_isdst;
  *utc_offset_seconds = static_cast<long>(std::difftime(std::mktime(&local), std::mktime(&utc)));
  return local;
}

namespace {

HANDLE OpenRecord(const std::string& path, std::string* error) {
  const int wide_length = ::MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(wide_length > 0 ? wide_length : 1), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), wide_length);
  HANDLE file = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error =
        "cannot write the record " + path + " (error " + std::to_string(::GetLastError()) + ")";
  }
  return file;
}

}  // namespace

bool CheckRecordWritable(const std::string& path, std::string* error) {
  HANDLE file = OpenRecord(path, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  return true;
}

bool AppendRecord(const std::string& path, const JsonLine& line, std::string* error) {
  HANDLE file = OpenRecord(path, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::string text = DumpJson(line) + "\r\n";
  DWORD written = 0;
  const bool wrote =
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
      written == text.size();
  const bool flushed = ::FlushFileBuffers(file) != 0;
  ::CloseHandle(file);
  if (!wrote || !flushed) {
    *error =
        "cannot write the record " + path + " (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  return true;
}

}  // namespace fen
