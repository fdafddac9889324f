// The layouts of the two windows (dialog/dialog_layout.h) as tables for the Qt widgets.
#pragma once

#include <cstdint>
#include <span>

#include "dialog/dialog_layout.h"

namespace fen {

enum class DialogItemKind { kPushButton, kStatic, kIcon, kComboBox, kProgress, kEdit };

// Style bits the widgets are built from.
inline constexpr std::uint32_t kStyleDefPushButton = BS_DEFPUSHBUTTON;
inline constexpr std::uint32_t kStyleReadOnly = ES_READONLY;
inline constexpr std::uint32_t kStyleTabStop = WS_TABSTOP;
inline constexpr std::uint32_t kStyleBorder = WS_BORDER;

struct DialogItem {
  int id;  // -1 for statics
  DialogItemKind kind;
  const char* text;
  int x, y, cx, cy;  // dialog units; a combo box's cy is its height when dropped down
  std::uint32_t style;
};

struct DialogTemplate {
  int cx, cy;  // client size in dialog units
  const char* caption;
  std::span<const DialogItem> items;
};

#define FEN_DIALOG_ITEM(id, kind, text, resource_text, window_class, x, y, cx, cy, style) \
  {id, DialogItemKind::k##kind, text, x, y, cx, cy, style},
inline constexpr DialogItem kMainDialogItems[] = {FEN_MAIN_DIALOG_CONTROLS(FEN_DIALOG_ITEM)};
// Template 103: the main dialog. Its caption is set from the instance number.
inline constexpr DialogTemplate kMainDialogTemplate = {FEN_MAIN_DIALOG_CX, FEN_MAIN_DIALOG_CY,
                                                       FEN_MAIN_DIALOG_CAPTION, kMainDialogItems};

inline constexpr DialogItem kAboutDialogItems[] = {FEN_ABOUT_DIALOG_CONTROLS(FEN_DIALOG_ITEM)};
#undef FEN_DIALOG_ITEM
// Template 100: the About box.
inline constexpr DialogTemplate kAboutDialogTemplate = {
    FEN_ABOUT_DIALOG_CX, FEN_ABOUT_DIALOG_CY, FEN_ABOUT_DIALOG_CAPTION, kAboutDialogItems};

// Point size of the templates' font.
inline constexpr int kTemplateFontPointSize = FEN_DIALOG_FONT_POINTS;

}  // namespace fen
