// Icon 128: the program's icon at 16, 32 and 48 pixels, from the embedded resources.
#pragma once

#include <QIcon>

namespace fen {

QIcon ProgramIcon();

}  // namespace fen
