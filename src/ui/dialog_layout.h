// Builds a window's controls from its dialog template: dialog units become pixels through the
// font's average character width and height, rounded as Windows rounds dialog units.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <QWidget>

#include "ui/dialog_template.h"

class QDialog;

namespace fen {

// Horizontal base unit: the average width of "A".."Z" "a".."z"; vertical: the character height.
struct DialogBaseUnits {
  int cx = 0;
  int cy = 0;
};

// a * b / c rounded to the nearest integer, halves away from zero (the platform's MulDiv).
int MulDivRound(int a, int b, int c);

// Maps a rectangle in dialog units to pixels: x = du * cx / 4, y = du * cy / 8, with the right
// and bottom edges mapped on their own, as the platform maps dialog rectangles.
QRect MapDialogRect(int x, int y, int cx, int cy, DialogBaseUnits units);

// Base units of a font: cx = (width of the 52 letters / 26 + 1) / 2, cy = ascent + descent.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// The font the templates ask for is not on this system: the application's font family at the
// template's point size stands in for it.
QFont TemplateFont();

// Sets the window's font, fixed client size and flags, then creates its controls in template
// order (the widgets' focus chain is therefore the template's Tab order). Each control is named
// after its ID ("1000", "1", "-1" for statics). Returns the base units used.
DialogBaseUnits BuildDialog(QDialog* dialog, const DialogTemplate& dialog_template);

// The widget of a control ID, or null.
template <typename T>
T* DialogItemOf(QWidget* dialog, int id) {
  return dialog->findChild<T*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

}  // namespace fen
