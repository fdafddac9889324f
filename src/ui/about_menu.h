// Where the About item goes: the window's system menu where the window system lets a program
// extend it (Windows), otherwise nowhere here, and the caller offers it in a context menu.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace fen {

// Appends a separator and the item `text` (command ID 0x10) to the system menu of `window`;
// `on_about` runs when the item is chosen. False when there is no system menu to extend.
bool AppendAboutToSystemMenu(QWidget* window, const QString& text, std::function<void()> on_about);

}  // namespace fen
