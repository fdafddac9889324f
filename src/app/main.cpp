// The desktop program: Qt's application object, the MIDI driver over the system's MIDI, start-up.
#include <QApplication>
#include <cstdio>

#include "app/fen_updator_app.h"
#include "platform/midi/rtmidi/rtmidi_backend.h"

int main(int argc, char** argv) {
  // Qt takes its own platform arguments; the program reads nothing else from the command line.
  QApplication application(argc, argv);
  fen::CFenUpdatorApp app([](const std::string& client) {
    std::string error;
    auto backends = fen::MakeRtMidiBackends("auto", client, &error);
    if (backends.empty() && !error.empty()) {
      // The window still opens, with empty lists; say why on the terminal.
      std::fprintf(stderr, "fenupdator: no MIDI system: %s\n", error.c_str());
    }
    return std::make_shared<fen::MidiDriver>(std::move(backends));
  });
  app.InitInstance();
  return 0;
}
