// Runs a test in a folder of its own that holds an empty TEST_LOG.txt, for suites that check the
// diagnostic log's lines; the folder is the working directory while the object lives.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace fen::testing {

class LogFolder {
 public:
  // `prefix` names the suite in the folder's name, e.g. "fen-engine".
  explicit LogFolder(const std::string& prefix) {
    dir_ = std::filesystem::temp_directory_path() /
           (prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    std::ofstream(dir_ / "TEST_LOG.txt").close();
  }
  ~LogFolder() {
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  LogFolder(const LogFolder&) = delete;
  LogFolder& operator=(const LogFolder&) = delete;

  // The log texts written, without their time stamps.
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    std::ifstream in(dir_ / "TEST_LOG.txt");
    for (std::string line; std::getline(in, line);) out.push_back(line.substr(24));
    return out;
  }
  // As Texts, and empties the log.
  std::vector<std::string> TakeTexts() {
    std::vector<std::string> out = Texts();
    std::ofstream(dir_ / "TEST_LOG.txt", std::ios::trunc).close();
    return out;
  }

 private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
  std::filesystem::path old_;
};

}  // namespace fen::testing
