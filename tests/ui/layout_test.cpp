// The windows as their templates give them: controls, kinds, texts, roles, Tab order, sizes
// from dialog units, titles, the About item and the About box.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "engine/string_table.h"
#include "ui/about_dlg.h"
#include "ui/dialog_layout.h"
#include "ui/dialog_template.h"
#include "ui_test_support.h"

namespace fen {
namespace {

using uitest::Rig;

TEST(DialogUnits, ConvertEdgesWithTheFontsBaseUnitsRoundingHalvesUp) {
  EXPECT_EQ(MulDivRound(239, 6, 4), 359);   // 358.5
  EXPECT_EQ(MulDivRound(161, 13, 8), 262);  // 261.625
  EXPECT_EQ(MulDivRound(7, 6, 4), 11);      // 10.5
  EXPECT_EQ(MulDivRound(-7, 6, 4), -11);
  EXPECT_EQ(MulDivRound(5, 1, 0), -1);

  // Edges are mapped, not widths: Execute at (119, 138, 50, 16) with base units 6 x 12.
  const QRect execute = MapDialogRect(119, 138, 50, 16, {6, 12});
  EXPECT_EQ(execute, QRect(179, 207, 254 - 179, 231 - 207));
  EXPECT_EQ(MapDialogRect(0, 0, 239, 161, {6, 12}).size(), QSize(359, 242));
}

TEST(MainDialogLayout, HasEveryControlOfTheTemplateWithItsKindTextAndRole) {
  Rig rig;
  CFenUpdatorDlg& dialog = rig.MakeDialog();

  auto* execute = DialogItemOf<QPushButton>(&dialog, IDOK);
  auto* exit = DialogItemOf<QPushButton>(&dialog, IDCANCEL);
  auto* rescan = DialogItemOf<QPushButton>(&dialog, IDC_RESCAN_DEVICE);
  auto* in_list = DialogItemOf<QComboBox>(&dialog, IDC_MIDI_IN_LIST);
  auto* out_list = DialogItemOf<QComboBox>(&dialog, IDC_MIDI_OUT_LIST);
  auto* progress = DialogItemOf<QProgressBar>(&dialog, IDC_PROGRESS);
  auto* status_line = DialogItemOf<QLineEdit>(&dialog, IDC_STATUS_LINE);
  auto* step_counter = DialogItemOf<QLineEdit>(&dialog, IDC_STEP_COUNTER);
  ASSERT_TRUE(execute && exit && rescan && in_list && out_list && progress && status_line &&
              step_counter);
  const auto statics = dialog.findChildren<QLabel*>("-1", Qt::FindDirectChildrenOnly);
  ASSERT_EQ(statics.size(), 2);
  EXPECT_EQ(statics[0]->text(), "MIDI IN");
  EXPECT_EQ(statics[1]->text(), "MIDI OUT");

  EXPECT_EQ(execute->text(), "Execute");
  EXPECT_TRUE(execute->isDefault());
  EXPECT_EQ(exit->text(), "Exit");
  EXPECT_FALSE(exit->isDefault());
  EXPECT_EQ(rescan->text(), "Rescan Device");
  EXPECT_FALSE(in_list->isEditable());
  EXPECT_FALSE(out_list->isEditable());
  EXPECT_EQ(progress->minimum(), 0);
  EXPECT_EQ(progress->maximum(), 100);
  EXPECT_EQ(progress->value(), 0);
  for (QLineEdit* edit : {status_line, step_counter}) {
    EXPECT_TRUE(edit->isReadOnly());
    EXPECT_FALSE(edit->hasFrame());
    EXPECT_TRUE(edit->focusPolicy() & Qt::TabFocus) << "can be focused and its text selected";
  }
  EXPECT_EQ(progress->focusPolicy(), Qt::NoFocus);
}

TEST(MainDialogLayout, IsSizedAndPlacedFromDialogUnitsOfItsFont) {
  Rig rig;
  CFenUpdatorDlg& dialog = rig.MakeDialog();
  const DialogBaseUnits units = BaseUnitsOf(dialog.font());
  ASSERT_GT(units.cx, 0);
  ASSERT_GT(units.cy, 0);
  EXPECT_EQ(dialog.font().pointSize(), 9);
  EXPECT_EQ(dialog.size(), MapDialogRect(0, 0, 239, 161, units).size());
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize()) << "fixed size";

  for (const DialogItem& item : kMainDialogItems) {
    if (item.id == IDC_STATIC) continue;
    QWidget* widget = DialogItemOf<QWidget>(&dialog, item.id);
    ASSERT_NE(widget, nullptr) << item.id;
    const QRect expected = MapDialogRect(item.x, item.y, item.cx, item.cy, units);
    EXPECT_EQ(widget->pos(), expected.topLeft()) << item.id;
    EXPECT_EQ(widget->width(), expected.width()) << item.id;
    if (item.kind != DialogItemKind::kComboBox) {
      EXPECT_EQ(widget->height(), expected.height()) << item.id;
    } else {
      EXPECT_LT(widget->height(), expected.height()) << "closed, the list is one line high";
    }
    EXPECT_TRUE(dialog.rect().contains(widget->geometry())) << item.id;
  }
}

TEST(MainDialogLayout, TabsThroughTheControlsInTemplateOrderAndStartsOnExecute) {
  Rig rig;
  CFenUpdatorDlg& dialog = rig.MakeDialog();
  QApplication::setActiveWindow(&dialog);
  ASSERT_TRUE(uitest::WaitFor([&] { return dialog.focusWidget() != nullptr; }, 5000));
  EXPECT_EQ(dialog.focusWidget()->objectName(), "1");

  QStringList order;
  QWidget* widget = DialogItemOf<QWidget>(&dialog, IDOK);
  for (int i = 0; i < 8; ++i) {
    order << widget->objectName();
    do {
      widget = widget->nextInFocusChain();
    } while (!(widget->focusPolicy() & Qt::TabFocus));
  }
  EXPECT_EQ(order, QStringList({"1", "2", "1000", "1001", "1003", "1004", "1006", "1"}));
}

TEST(MainDialogTitle, CarriesTheInstanceNumberFromTwoOn) {
  Rig rig;
  EXPECT_EQ(rig.MakeDialog(1).windowTitle(), "TARN PL-33QV v2.00 Updater");
  EXPECT_EQ(rig.MakeDialog(7).windowTitle(), "TARN PL-33QV v2.00 Updater (7)");
  EXPECT_EQ(rig.MakeDialog(20).windowTitle(), "TARN PL-33QV v2.00 Updater (20)");
  EXPECT_FALSE(rig.dialog().windowIcon().isNull());
}

// Runs `inspect` on the About box once it is open, then closes it with its OK button.
void WithAboutBox(CFenUpdatorDlg& dialog, const std::function<void(QDialog*)>& inspect) {
  bool seen = false;
  QTimer::singleShot(0, &dialog, [&] {
    auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(about, nullptr);
    seen = true;
    inspect(about);
    DialogItemOf<QPushButton>(about, IDOK)->click();
  });
  ASSERT_NE(dialog.about_action(), nullptr);
  dialog.about_action()->trigger();
  EXPECT_TRUE(seen);
}

TEST(AboutItem, IsInTheWindowsContextMenuWithTheTextOfString101) {
  Rig rig;
  CFenUpdatorDlg& dialog = rig.MakeDialog();
  ASSERT_NE(dialog.about_action(), nullptr);
  EXPECT_EQ(dialog.about_action()->text().toStdString(), LoadString(IDS_ABOUTBOX));
  EXPECT_EQ(dialog.contextMenuPolicy(), Qt::ActionsContextMenu);
  EXPECT_TRUE(dialog.actions().contains(dialog.about_action()));

  // From the keyboard (Menu key, Shift+F10) on the focused "Execute": the request goes up to
  // the window, whose menu offers the item.
  QAction* offered = nullptr;
  QTimer::singleShot(0, &dialog, [&] {
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      if (!menu->actions().isEmpty()) offered = menu->actions().front();
      menu->close();
    }
  });
  QWidget* execute = DialogItemOf<QWidget>(&dialog, IDOK);
  QContextMenuEvent request(QContextMenuEvent::Keyboard, execute->rect().center(),
                            execute->mapToGlobal(execute->rect().center()));
  QApplication::sendEvent(execute, &request);
  EXPECT_EQ(offered, dialog.about_action());
}

TEST(AboutBox, ShowsTheProductTitleAndIconEvenInALaterInstance) {
  Rig rig;
  CFenUpdatorDlg& dialog = rig.MakeDialog(2);
  WithAboutBox(dialog, [](QDialog* about) {
    EXPECT_EQ(about->windowTitle(), "About PL-33QV Updater");
    auto* title = DialogItemOf<QLineEdit>(about, IDC_ABOUT_TITLE);
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), "TARN PL-33QV v2.00 Updater");
    EXPECT_TRUE(title->isReadOnly());
    EXPECT_FALSE(title->hasFrame());
    auto* icon = about->findChild<QLabel*>("-1");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    auto* ok = DialogItemOf<QPushButton>(about, IDOK);
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(about->focusWidget(), ok);
    EXPECT_EQ(about->findChild<QLabel*>("placeholderNote"), nullptr);
    EXPECT_EQ(about->size(), MapDialogRect(0, 0, 235, 60, BaseUnitsOf(about->font())).size());
  });
}

TEST(AboutBox, SaysSoWhenTheImagesArePlaceholders) {
  Rig rig;
  CFenUpdatorDlg& dialog = rig.MakeDialog(1, UpdateTiming::Shrunk(), true);
  WithAboutBox(dialog, [](QDialog* about) {
    auto* note = about->findChild<QLabel*>("placeholderNote");
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->text().contains("placeholder"));
    EXPECT_TRUE(about->rect().contains(note->geometry()));
  });
}

}  // namespace
}  // namespace fen
