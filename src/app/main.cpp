// The desktop program: Qt's application object, the MIDI driver over the system's MIDI, start-up.
#include <QApplication>
#include <csignal>
#include <cstdio>
#include <string>

#include "app/fen_updator_app.h"
#include "engine/string_table.h"
#include "firmware/firmware.h"
#include "firmware/release.h"
#include "package_version.h"
#include "platform/midi/rtmidi/rtmidi_backend.h"

namespace {

// --version and --help are answered on the terminal without opening the window.
bool AnswerOnTheTerminal(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--version" || arg == "-v") {
      std::printf("%s (desktop program), version %s\n", fen::kProductTitle, fen::kPackageVersion);
      if (fen::FirmwareSet::BuiltinIsPlaceholder()) {
        std::printf(
            "Demo build: the built-in firmware images are placeholders, not a firmware release.\n");
      } else if (const fen::ReleaseInfo& release = fen::BuiltinRelease();
                 !release.version.empty()) {
        std::printf("Firmware release %s\n", release.version.c_str());
      }
      return true;
    }
    if (arg == "--help" || arg == "-h") {
      std::printf(
          "Usage: fenupdator [Qt options]\n"
          "Opens the updater's window: pick the device's MIDI ports and press \"Execute\".\n"
          "The program takes no options of its own besides --help and --version; Qt's options\n"
          "(-platform, -style, ...) are passed on to Qt. For scripts, use fenupdator-cli.\n");
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // A run is ended by closing the window, never by the terminal it was started from going
  // away (SIGHUP) or by a closed standard output (SIGPIPE): either would leave the flash
  // half-written.
  std::signal(SIGHUP, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  if (AnswerOnTheTerminal(argc, argv)) return 0;
  // Qt takes its own platform arguments; the program reads nothing else from the command line.
  QApplication application(argc, argv);
  fen::CFenUpdatorApp app([](const std::string& client, std::string* problem) {
    std::string error;
    auto backends = fen::MakeRtMidiBackends("auto", client, &error);
    if (backends.empty()) {
      // The window still opens, with empty lists and the reason in its status line; the
      // terminal gets it too.
      *problem = "No MIDI system is available" + (error.empty() ? "" : ": " + error) + ".";
      std::fprintf(stderr, "fenupdator: %s\n", problem->c_str());
    }
    return std::make_shared<fen::MidiDriver>(std::move(backends));
  });
  app.InitInstance();
  return 0;
}
