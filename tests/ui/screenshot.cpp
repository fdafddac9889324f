// Grabs the main window during or after a run against the simulated device, for the
// documentation. docs/main-window.png is made with the DejaVu fonts (fonts-dejavu-core) by
//   xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" fen_ui_screenshot docs/main-window.png running
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <cstdio>
#include <cstring>

#include "ui/dialog_layout.h"
#include "ui/dialog_template.h"
#include "ui_test_support.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: fen_ui_screenshot OUT.png [running|completed]\n");
    return 2;
  }
  const bool running = argc > 2 && std::strcmp(argv[2], "running") == 0;
  fen::uitest::Rig rig;
  rig.AddPeer("MIDI Through Port-0");
  rig.AddDevice({}, running ? fen::devsim::SimTiming::Usb() : fen::devsim::SimTiming::Instant());
  // A device at USB speed erases and writes as slowly as the real one: the time-outs stay as shipped.
  fen::CFenUpdatorDlg& dialog =
      rig.MakeDialog(1, running ? fen::UpdateTiming{} : fen::UpdateTiming::Shrunk(), false);
  fen::DialogItemOf<QPushButton>(&dialog, IDOK)->click();
  auto* step = fen::DialogItemOf<QLineEdit>(&dialog, IDC_STEP_COUNTER);
  auto* progress = fen::DialogItemOf<QProgressBar>(&dialog, IDC_PROGRESS);
  const bool reached = running ? fen::uitest::WaitFor([&] {
    return step->text() == "7/9" && progress->value() > progress->maximum() * 2 / 5;
  })
                               : rig.WaitRunEnded();
  if (!reached) {
    std::fprintf(stderr, "the run did not get there\n");
    return 1;
  }
  const QPixmap picture = dialog.grab();
  if (!picture.save(QString::fromLocal8Bit(argv[1]))) return 1;
  std::printf("%s: %dx%d, font %s %dpt, base units %dx%d\n", argv[1], picture.width(),
              picture.height(), qPrintable(QFontInfo(dialog.font()).family()),
              dialog.font().pointSize(), fen::BaseUnitsOf(dialog.font()).cx,
              fen::BaseUnitsOf(dialog.font()).cy);
  return 0;
}
