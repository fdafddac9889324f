// The About box: template 100, icon 128, and the product title in a read-only edit.
#include "ui/about_dlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "dialog/dialog_model.h"
#include "engine/string_table.h"
#include "firmware/release.h"
#include "ui/dialog_layout.h"
#include "ui/program_icon.h"

namespace fen {

QString PlaceholderFirmwareNote() { return QString::fromUtf8(kPlaceholderFirmwareNote); }

CAboutDlg::CAboutDlg(bool placeholder_firmware, QWidget* parent) : QDialog(parent) {
  const DialogBaseUnits units = BuildDialog(this, kAboutDialogTemplate);
  setWindowIcon(ProgramIcon());

  auto* icon = findChild<QLabel*>(QString::number(IDC_STATIC), Qt::FindDirectChildrenOnly);
  // An icon control takes the size of the icon it shows.
  const QPixmap pixmap = ProgramIcon().pixmap(32, 32);
  icon->setPixmap(pixmap);
  icon->resize(pixmap.size() / pixmap.devicePixelRatio());

  auto* ok = DialogItemOf<QPushButton>(this, IDOK);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  title_edit_ = DialogItemOf<QLineEdit>(this, IDC_ABOUT_TITLE);
  title_edit_->setText(QString::fromUtf8(kProductTitle));

  if (placeholder_firmware) {
    // Below the title, in the part of the box that the template leaves empty.
    auto* note = new QLabel(PlaceholderFirmwareNote(), this);
    note->setObjectName(QStringLiteral("placeholderNote"));
    note->setWordWrap(true);
    note->setGeometry(MapDialogRect(39, 36, 189, 20, units));
  } else if (const ReleaseInfo& release = BuiltinRelease(); !release.version.empty()) {
    // The release the built-in images came from, as verified when the program was built.
    auto* note = new QLabel(QString::fromStdString("Firmware release " + release.version + ", " +
                                                   SignatureText(release)),
                            this);
    note->setObjectName(QStringLiteral("releaseNote"));
    note->setWordWrap(true);
    note->setGeometry(MapDialogRect(39, 36, 189, 20, units));
  }
  ok->setFocus();
}

}  // namespace fen
