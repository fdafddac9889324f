// Icon 128 from the images embedded in the program.
#include "ui/program_icon.h"

namespace fen {

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 48}) {
    icon.addFile(QStringLiteral(":/icons/fenupdator-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace fen
