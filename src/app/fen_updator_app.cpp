// Start-up: instance number, MIDI driver, main dialog.
#include "app/fen_updator_app.h"

#include <QCoreApplication>
#include <QMessageBox>

#include "app/instance_search.h"
#include "res/firmware.h"
#include "ui/fen_updator_dlg.h"
#include "ui/product_title.h"

namespace fen {

CFenUpdatorApp::CFenUpdatorApp(DriverFactory make_driver) : make_driver_(std::move(make_driver)) {}

CFenUpdatorApp::~CFenUpdatorApp() = default;

bool CFenUpdatorApp::InitInstance() {
  InstanceClaim claim = ClaimInstanceNumber();
  if (claim.number == 0) {
    QMessageBox::warning(nullptr, QCoreApplication::applicationName(),
                         QString::fromStdString(TooManyInstancesText()));
    return false;
  }
  instance_lock_ = std::move(claim.lock);
  instance_number_ = claim.number;

  // The driver is made before the dialog, whose ports use it, and outlives it.
  SetDefaultMidiDriver(make_driver_(ProductTitleFor(instance_number_)));

  CFenUpdatorDlg::Options options;
  options.instance = instance_number_;
  options.placeholder_firmware = FirmwareSet::BuiltinIsPlaceholder();
  {
    CFenUpdatorDlg dialog(std::move(options));
    dialog.exec();
  }
  return false;
}

}  // namespace fen
