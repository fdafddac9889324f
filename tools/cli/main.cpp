// fenupdator-cli: the headless updater. Lists the MIDI ports, or updates one device (or every
// device at once) through the same update session as the desktop program, against real ports
// or built-in simulated devices. This file reads the command line; the commands have files of
// their own.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "engine/string_table.h"
#include "failure.h"
#include "firmware/firmware.h"
#include "firmware_commands.h"
#include "package_version.h"
#include "suggest.h"
#include "terminal_text.h"
#include "update_command.h"

namespace {

using namespace fen;

// Exit statuses (engine/update_result.h) are documented in the README.

std::string VersionText() {
  std::string text =
      std::string(kProductTitle) + " (command-line updater), version " + kPackageVersion;
  if (FirmwareSet::BuiltinIsPlaceholder()) {
    text += "\nDemo build: the built-in firmware images are placeholders, not a firmware release.";
  }
  return text + BuiltinReleaseText();
}

// After a refused command line: for each option that the command does not have, the nearest
// one it has ("--jsn": "did you mean --json?").
void SuggestOptions(const CLI::App& app, int argc, char** argv) {
  const CLI::App* command = &app;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.rfind("--", 0) != 0) {
      for (const CLI::App* sub : command->get_subcommands({})) {
        if (sub->get_name() == word) command = sub;
      }
      continue;
    }
    const std::string name = word.substr(2, word.find('=') - 2);
    if (name.empty()) continue;
    std::vector<std::string> names;
    bool known = false;
    for (const CLI::Option* option : command->get_options()) {
      for (const std::string& long_name : option->get_lnames()) {
        known = known || long_name == name;
        if (!option->get_group().empty()) names.push_back(long_name);
      }
    }
    if (known) continue;
    if (const std::string nearest = NearestWord(name, names); !nearest.empty()) {
      std::fprintf(stderr, "fenupdator-cli: no option --%s; did you mean --%s?\n",
                   TerminalText(name).c_str(), nearest.c_str());
    }
  }
}

}  // namespace

int main(int argc, char** native_argv) {
  // Names and paths are UTF-8 throughout; on Windows argv would hold them in the ANSI code page.
  std::vector<std::string> arguments = fen::Utf8Arguments(argc, native_argv);
  std::vector<char*> argv_utf8;
  for (std::string& argument : arguments) argv_utf8.push_back(argument.data());
  argv_utf8.push_back(nullptr);
  char** argv = argv_utf8.data();

  CLI::App app{"Updates the firmware of the device over MIDI."};
  app.set_version_flag("--version", VersionText());
  app.require_subcommand(1);

  std::string list_api = "auto";
  bool list_json = false;
  int list_instance = 1;
  auto* list = app.add_subcommand("list", "List the MIDI input and output ports");
  list->add_option("--api", list_api, "MIDI system")
      ->check(CLI::IsMember({"auto", "alsa", "jack", "rawmidi"}));
  list->add_option("--instance", list_instance, "Mark the ports pre-selected for this instance")
      ->check(CLI::Range(1, 20));
  list->add_flag("--json", list_json, "One JSON object");

  UpdateArgs args;
  auto* update = app.add_subcommand("update", "Update the device's firmware");
  update->add_option("--api", args.api, "MIDI system")
      ->check(CLI::IsMember({"auto", "alsa", "jack", "rawmidi"}));
  update->add_option("--in", args.in, "MIDI IN port: index or name as `list` shows it");
  update->add_option("--out", args.out, "MIDI OUT port: index or name as `list` shows it");
  update
      ->add_option("--instance", args.instance,
                   "Pre-select the ports named for this instance number")
      ->check(CLI::Range(1, 20));
  update->add_option("--firmware", args.firmware,
                     "Release folder: 129.bin, 133.bin, 136.bin, 137.bin and its signed manifest");
  update->add_flag("--allow-unsigned", args.allow_unsigned,
                   "Send an unverified release to a real port: one whose manifest is not signed, "
                   "or a folder without a manifest");
  update->add_flag("--json", args.json,
                   "JSON events, one a line: the plan, each step, progress, the identity, each "
                   "retry, each error, the result");
  update
      ->add_flag("--json-calls", args.json_calls,
                 "With --json: one line per call the run makes on its window instead")
      ->needs(update->get_option("--json"));
  update->add_option("--label", args.unit,
                     "The unit's label for the record and the result (a serial number or "
                     "barcode)");
  update->add_option("--record", args.record,
                     "Append one JSON line per device to FILE when its run ends (never "
                     "truncated; flushed to the disk)");
  auto* quiet = update->add_flag("-q,--quiet", args.quiet,
                                 "Print only errors and the result (the JSON lines are the same)");
  update
      ->add_flag("-v,--verbose", args.verbose,
                 "Also print each message's kind and size and each retry's cause")
      ->excludes(quiet);
  update->add_flag("--simulate", args.simulate, "Update the built-in simulated device");
  update->add_option("--fault", args.faults, "Simulated device fault (repeatable), e.g. crc@5x3");
  update->add_option("--pace", args.pace, "Simulated device speed")
      ->check(CLI::IsMember({"usb", "din", "instant"}));
  update->add_option("--model", args.model, "Simulated device model ID");
  update->add_option("--timeouts", args.timeouts, "Time-outs: original, or short for tests")
      ->check(CLI::IsMember({"original", "short"}));
  bool instant = false;
  update->add_flag("--instant", instant, "Simulated device answers at once (--pace instant)");
  auto* all = update->add_flag(
      "--all", args.all,
      "Update every device at once: each pair of ports named like the device, numbered "
      "siblings included (\"USB Audio Device (2)\", ...)");
  all->excludes(update->get_option("--in"))
      ->excludes(update->get_option("--out"))
      ->excludes(update->get_option("--instance"));
  update
      ->add_option("--simulate-devices", args.simulated_devices,
                   "Attach this many simulated devices (implies --simulate)")
      ->check(CLI::Range(1, 20));
  // For measurements of the dispatch: "tick" leaves every reply to wait for the next 1 ms tick.
  update->add_option("--dispatch", args.dispatch, "Reply dispatch: early, or tick alone")
      ->check(CLI::IsMember({"early", "tick"}))
      ->group("");

  FirmwareCommands firmware(app);

  UpdateArgs identify_args;
  auto* identify = app.add_subcommand(
      "identify",
      "Send one Identity Request out of each MIDI port and list the devices that answer");
  identify->add_option("--api", identify_args.api, "MIDI system")
      ->check(CLI::IsMember({"auto", "alsa", "jack", "rawmidi"}));
  identify->add_flag("--json", identify_args.json, "One JSON object");
  identify->add_option("--wait", identify_args.identify_wait_ms, "Wait for answers per port, ms")
      ->check(CLI::Range(10, 10000));
  identify->add_flag("--simulate", identify_args.simulate, "Ask the built-in simulated device");
  identify->add_option("--model", identify_args.model, "Simulated device model ID");
  identify
      ->add_option("--simulate-devices", identify_args.simulated_devices,
                   "Attach this many simulated devices (implies --simulate)")
      ->check(CLI::Range(1, 20));
  // For the tests: simulated devices under names that do not tell, and a port that echoes.
  for (auto [sub, target] : {std::pair{update, &args}, std::pair{identify, &identify_args}}) {
    sub->add_option("--simulate-name", target->simulated_name, "Simulated devices' client name")
        ->group("");
    sub->add_flag("--simulate-echo", target->simulate_echo, "Add a port that echoes")->group("");
  }

  // A word that names no command would otherwise be reported as a missing one.
  if (argc > 1 && argv[1][0] != '-') {
    const std::string word = argv[1];
    std::vector<std::string> commands;
    for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
    if (std::find(commands.begin(), commands.end(), word) == commands.end()) {
      const std::string nearest = NearestWord(word, commands);
      std::fprintf(stderr,
                   "fenupdator-cli: no command \"%s\"%s; the commands are list, update, identify "
                   "and firmware (see --help)\n",
                   TerminalText(word).c_str(),
                   nearest.empty() ? "" : (" (did you mean \"" + nearest + "\"?)").c_str());
      return kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    if (code != 0) SuggestOptions(app, argc, argv);
    return code == 0 ? 0 : kExitUsage;
  }
  if (instant) args.pace = "instant";
  if (args.simulated_devices > 0) args.simulate = true;
  if (*update && !args.simulate) {
    // Options of the simulated device mean nothing to a real one: say so rather than ignore them.
    for (const char* name : {"--pace", "--model", "--instant", "--fault"}) {
      if (update->count(name) > 0) {
        std::fprintf(stderr,
                     "fenupdator-cli: %s sets up the simulated device; add --simulate, or leave it "
                     "out for a real device\n",
                     name);
        return kExitUsage;
      }
    }
    if (args.timeouts == "short") {
      std::fprintf(stderr,
                   "fenupdator-cli: --timeouts short: the device gets %u ms instead of %u ms "
                   "for each block's answer, a time-out for tests; a real device may need the "
                   "original time-outs\n",
                   static_cast<unsigned>(UpdateTiming::Shrunk().write_wait_ms),
                   static_cast<unsigned>(UpdateTiming{}.write_wait_ms));
    }
  }
  if (*identify && !identify_args.simulate && identify->count("--model") > 0) {
    std::fprintf(stderr,
                 "fenupdator-cli: --model sets up the simulated device; add --simulate, or leave "
                 "it out for a real device\n");
    return kExitUsage;
  }

  if (firmware.given()) return firmware.Run();
  if (*identify) {
    if (identify_args.simulated_devices > 0) identify_args.simulate = true;
    identify_args.pace = "instant";
    return RunIdentify(identify_args);
  }
  if (*list) return RunList(list_api, list_json, list_instance);
  ReportFailuresAsJson(args.json && !args.json_calls);
  KeepRunningWithoutOutput();
  return args.all ? RunUpdateAll(args) : RunUpdate(args);
}
