// The record file: opened once, when it is checked before the run, and kept open for the lines
// of every run of the process, so that each goes to the file that was checked and not to
// whatever the name stands for later.
#include <map>
#include <memory>
#include <mutex>

#include "platform/output_file.h"
#include "run_events.h"

namespace fen {

namespace {

std::mutex g_records_mutex;
std::map<std::string, std::unique_ptr<AppendFile>> g_records;  // by the path as given

AppendFile* OpenRecord(const std::string& path, std::string* error) {
  std::unique_ptr<AppendFile>& file = g_records[path];
  if (file) return file.get();
  auto opened = std::make_unique<AppendFile>();
  std::string why;
  if (opened->Open(path, /*create=*/true, &why) != AppendFile::Opened::kOk) {
    g_records.erase(path);
    *error = "cannot write the record: " + why;
    return nullptr;
  }
  file = std::move(opened);
  return file.get();
}

}  // namespace

bool CheckRecordWritable(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(g_records_mutex);
  return OpenRecord(path, error) != nullptr;
}

bool AppendRecord(const std::string& path, const JsonLine& line, std::string* error) {
  std::lock_guard<std::mutex> lock(g_records_mutex);
  AppendFile* file = OpenRecord(path, error);
  if (file == nullptr) return false;
  std::string why;
  if (!file->Append(DumpJson(line) + RecordLineEnd(), /*sync=*/true, &why)) {
    *error = "cannot write the record: " + why;
    return false;
  }
  return true;
}

}  // namespace fen
