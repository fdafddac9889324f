// Controls from dialog templates, in pixels derived from the font as Windows derives them.
#include "ui/dialog_layout.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>

namespace fen {

int MulDivRound(int a, int b, int c) {
  if (c == 0) return -1;
  const long long product = static_cast<long long>(a) * b;
  const long long half = (c > 0 ? c : -c) / 2;
  const bool negative = (product < 0) != (c < 0);
  const long long magnitude = ((product < 0 ? -product : product) + half) / (c > 0 ? c : -c);
  return static_cast<int>(negative ? -magnitude : magnitude);
}

QRect MapDialogRect(int x, int y, int cx, int cy, DialogBaseUnits units) {
  const int left = MulDivRound(x, units.cx, 4);
  const int right = MulDivRound(x + cx, units.cx, 4);
  const int top = MulDivRound(y, units.cy, 8);
  const int bottom = MulDivRound(y + cy, units.cy, 8);
  return QRect(left, top, right - left, bottom - top);
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(width / 26 + 1) / 2, metrics.ascent() + metrics.descent()};
}

QFont TemplateFont() {
  QFont font = QApplication::font();
  font.setPointSize(kTemplateFontPointSize);
  font.setBold(false);
  font.setItalic(false);
  return font;
}

namespace {

QWidget* CreateItem(QDialog* dialog, const DialogItem& item, DialogBaseUnits units) {
  const QString text = QString::fromUtf8(item.text);
  QRect rect = MapDialogRect(item.x, item.y, item.cx, item.cy, units);
  QWidget* widget = nullptr;
  switch (item.kind) {
    case DialogItemKind::kPushButton: {
      auto* button = new QPushButton(text, dialog);
      button->setDefault((item.style & kStyleDefPushButton) != 0);
      widget = button;
      break;
    }
    case DialogItemKind::kStatic: {
      auto* label = new QLabel(text, dialog);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      widget = label;
      break;
    }
    case DialogItemKind::kIcon: {
      auto* label = new QLabel(dialog);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      widget = label;
      break;
    }
    case DialogItemKind::kComboBox: {
      auto* combo = new QComboBox(dialog);
      combo->setEditable(false);
      // The template's height is the list dropped down; closed, the box is as high as its font
      // makes it, and the drop-down shows as many items as fit the template's height.
      const int closed = combo->sizeHint().height();
      const int item_height = QFontMetrics(dialog->font()).height() + 2;
      combo->setMaxVisibleItems(qMax(1, (rect.height() - closed) / qMax(1, item_height)));
      rect.setHeight(closed);
      widget = combo;
      break;
    }
    case DialogItemKind::kProgress: {
      auto* progress = new QProgressBar(dialog);
      progress->setTextVisible(false);
      progress->setRange(0, 100);
      progress->setValue(0);
      widget = progress;
      break;
    }
    case DialogItemKind::kEdit: {
      auto* edit = new QLineEdit(text, dialog);
      edit->setReadOnly((item.style & kStyleReadOnly) != 0);
      edit->setFrame((item.style & kStyleBorder) != 0);
      if (edit->isReadOnly()) {
        // A read-only edit has the window's background, as read-only edits have on Windows.
        QPalette palette = edit->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Window));
        edit->setPalette(palette);
      }
      widget = edit;
      break;
    }
  }
  widget->setObjectName(QString::number(item.id));
  widget->setFocusPolicy((item.style & kStyleTabStop) != 0 ? Qt::StrongFocus : Qt::NoFocus);
  widget->setGeometry(rect);
  return widget;
}

}  // namespace

DialogBaseUnits BuildDialog(QDialog* dialog, const DialogTemplate& dialog_template) {
  dialog->setFont(TemplateFont());
  const DialogBaseUnits units = BaseUnitsOf(dialog->font());
  const QRect client = MapDialogRect(0, 0, dialog_template.cx, dialog_template.cy, units);
  dialog->setFixedSize(client.size());
  dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  dialog->setWindowTitle(QString::fromUtf8(dialog_template.caption));
  QWidget* previous = nullptr;
  for (const DialogItem& item : dialog_template.items) {
    QWidget* widget = CreateItem(dialog, item, units);
    if (widget->focusPolicy() != Qt::NoFocus) {
      if (previous != nullptr) QWidget::setTabOrder(previous, widget);
      previous = widget;
    }
  }
  return units;
}

}  // namespace fen
