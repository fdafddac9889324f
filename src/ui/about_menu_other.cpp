// Window systems whose window menu belongs to the window manager: no item can be added there.
#include "ui/about_menu.h"

namespace fen {

bool AppendAboutToSystemMenu(QWidget*, const QString&, std::function<void()>) { return false; }

}  // namespace fen
