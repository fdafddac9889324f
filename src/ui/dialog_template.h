// The layouts of the two windows as dialog templates: size and controls in dialog units, in
// template order (which is also the Tab order), with the original window styles.
#pragma once

#include <cstdint>
#include <span>

namespace fen {

enum class DialogItemKind { kPushButton, kStatic, kIcon, kComboBox, kProgress, kEdit };

// Style bits the widgets are built from.
inline constexpr std::uint32_t kStyleDefPushButton = 0x0001;  // BS_DEFPUSHBUTTON
inline constexpr std::uint32_t kStyleReadOnly = 0x0800;       // ES_READONLY
inline constexpr std::uint32_t kStyleTabStop = 0x00010000;    // WS_TABSTOP
inline constexpr std::uint32_t kStyleBorder = 0x00800000;     // WS_BORDER

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

// Control IDs.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDC_MIDI_IN_LIST = 1000;
inline constexpr int IDC_MIDI_OUT_LIST = 1001;
inline constexpr int IDC_PROGRESS = 1002;
inline constexpr int IDC_STATUS_LINE = 1003;
inline constexpr int IDC_RESCAN_DEVICE = 1004;
inline constexpr int IDC_STEP_COUNTER = 1006;
inline constexpr int IDC_ABOUT_TITLE = 1003;

inline constexpr DialogItem kMainDialogItems[] = {
    {IDOK, DialogItemKind::kPushButton, "Execute", 119, 138, 50, 16, 0x50010001},
    {IDCANCEL, DialogItemKind::kPushButton, "Exit", 182, 138, 50, 16, 0x50010000},
    {IDC_STATIC, DialogItemKind::kStatic, "MIDI IN", 7, 7, 225, 8, 0x50020000},
    {IDC_STATIC, DialogItemKind::kStatic, "MIDI OUT", 7, 37, 225, 8, 0x50020000},
    {IDC_MIDI_IN_LIST, DialogItemKind::kComboBox, "", 7, 15, 225, 115, 0x50210003},
    {IDC_MIDI_OUT_LIST, DialogItemKind::kComboBox, "", 7, 45, 225, 115, 0x50210003},
    {IDC_PROGRESS, DialogItemKind::kProgress, "", 7, 107, 225, 14, 0x50800000},
    {IDC_STATUS_LINE, DialogItemKind::kEdit, "", 12, 91, 220, 12, 0x50010880},
    {IDC_RESCAN_DEVICE, DialogItemKind::kPushButton, "Rescan Device", 145, 65, 87, 16, 0x50010000},
    {IDC_STEP_COUNTER, DialogItemKind::kEdit, "", 12, 78, 29, 12, 0x50010880},
};
// Template 103: the main dialog. Its caption is set from the instance number.
inline constexpr DialogTemplate kMainDialogTemplate = {239, 161, "", kMainDialogItems};

inline constexpr DialogItem kAboutDialogItems[] = {
    {IDC_STATIC, DialogItemKind::kIcon, "", 11, 17, 20, 20, 0x50000003},
    {IDOK, DialogItemKind::kPushButton, "OK", 178, 7, 50, 16, 0x50030001},
    {IDC_ABOUT_TITLE, DialogItemKind::kEdit, "", 39, 19, 134, 14, 0x50010800},
};
// Template 100: the About box.
inline constexpr DialogTemplate kAboutDialogTemplate = {235, 60, "About PL-33QV Updater",
                                                        kAboutDialogItems};

// Point size of the templates' font.
inline constexpr int kTemplateFontPointSize = 9;

}  // namespace fen
