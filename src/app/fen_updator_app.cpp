// Start-up: instance number, MIDI driver, main dialog.
#include "app/fen_updator_app.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <cstdio>

#include "app/instance_search.h"
#include "firmware/firmware.h"
#include "ui/fen_updator_dlg.h"
#include "ui/product_title.h"

namespace fen {

CFenUpdatorApp::CFenUpdatorApp(DriverFactory make_driver) : make_driver_(std::move(make_driver)) {}

CFenUpdatorApp::~CFenUpdatorApp() = default;

bool CFenUpdatorApp::InitInstance() {
  InstanceClaim claim = ClaimInstanceNumber();
  if (!claim.notice.empty()) std::fprintf(stderr, "fenupdator: %s\n", claim.notice.c_str());
  if (claim.number == 0) {
    const std::string text =
        claim.problem.empty() ? TooManyInstancesText() : InstanceLockProblemText(claim.problem);
    if (!claim.problem.empty()) std::fprintf(stderr, "fenupdator: %s\n", text.c_str());
    QMessageBox::warning(nullptr, QCoreApplication::applicationName(),
                         QString::fromStdString(text));
    return false;
  }
  instance_lock_ = std::move(claim.lock);
  instance_number_ = claim.number;

  // The driver is made before the dialog, whose ports use it, and outlives it.
  std::string midi_problem;
  SetDefaultMidiDriver(make_driver_(ProductTitleFor(instance_number_), &midi_problem));

  CFenUpdatorDlg::Options options;
  options.midi_problem = midi_problem;
  options.instance = instance_number_;
  options.placeholder_firmware = FirmwareSet::BuiltinIsPlaceholder();
  {
    CFenUpdatorDlg dialog(std::move(options));
    dialog.exec();
  }
  return false;
}

}  // namespace fen
