// The diagnostic log's file tests: a fresh working directory per test, a fixed clock.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "log/diagnostic_log.h"

namespace fen {

namespace fs = std::filesystem;

inline SystemTime At(int year, int month, int day, int hour, int minute, int second) {
  return SystemTime{year, month, day, hour, minute, second};
}

inline Clock FixedClock(SystemTime time) {
  return [time] { return time; };
}

// In text mode: the lines read back end in "\n" where the system stores "\r\n" too.
inline std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Each test runs in a fresh temporary folder as the working directory and restores the old one.
class DiagnosticLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("fen_log_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    std::error_code ignored;
    fs::permissions(dir_ / DiagnosticLog::kFileName, fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }
  void CreateEmptyLog() { std::ofstream(dir_ / DiagnosticLog::kFileName); }

  DiagnosticLog log_{FixedClock(At(2014, 3, 9, 1, 2, 3))};
  fs::path old_cwd_;
  fs::path dir_;
};

}  // namespace fen
