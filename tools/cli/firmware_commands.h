// The command-line tool's firmware releases: `firmware verify|inspect|manifest|sign`, and the
// release an update sends, verified before a port is opened.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>

#include "engine/update_result.h"
#include "firmware/firmware.h"
#include "firmware/release.h"
#include "json_line.h"

namespace fen {

struct FirmwareChoice {
  std::optional<FirmwareSet> folder;  // empty: the built-in images
  ReleaseInfo release;
  // With --json and a release folder: the "release" event that follows the plan (signature,
  // version, models, key and trusted comment); null otherwise.
  JsonLine event;
};

// Reads and verifies the release in `dir` for an update (the built-in images when `dir` is
// empty). A real port takes only a release whose signature verified, unless `allow_unsigned`
// (an unsigned manifest, or a folder without one); the simulated device takes any release that
// is consistent. 0, or kExitUsage after the reason was printed.
int ChooseUpdateFirmware(const std::string& dir, bool real_port, bool allow_unsigned, bool json,
                         FirmwareChoice* choice);

// The "firmware" subcommand and its own; Run() when it was given.
class FirmwareCommands {
 public:
  explicit FirmwareCommands(CLI::App& app);
  bool given() const { return command_->parsed(); }
  int Run() const;

 private:
  CLI::App* command_;
  CLI::App* verify_;
  CLI::App* inspect_;
  CLI::App* manifest_;
  CLI::App* sign_;
  std::string dir_;
  bool json_ = false;
  std::string version_;
  std::vector<std::string> models_;
  bool force_ = false;
  std::string secret_key_;
  std::string trusted_comment_;
  bool legacy_ = false;
  bool allow_unsigned_ = false;
};

// The --version lines about the built-in release and the trusted keys.
std::string BuiltinReleaseText();

}  // namespace fen
