// CAboutDlg: the About box on template 100, with the program icon and the product title.
#pragma once

#include <QDialog>

class QLineEdit;

namespace fen {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  // `placeholder_firmware`: the build carries generated images, and the box says so.
  explicit CAboutDlg(bool placeholder_firmware, QWidget* parent = nullptr);

 private:
  QLineEdit* title_edit_ = nullptr;  // control 1003
};

// The note the About box and the first "Execute" show in a build with placeholder images.
QString PlaceholderFirmwareNote();

}  // namespace fen
