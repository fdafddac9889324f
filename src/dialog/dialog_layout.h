/* The layouts of dialog templates 103 (the main dialog) and 100 (the About box), in dialog
   units and template order (which is also the Tab order), with each control's window styles.
   Plain macros, so that the resource script (windres) and C++ both take them from here:
   FEN_..._CONTROLS(C) calls C(id, kind, text, resource text, class, x, y, cx, cy, style) per
   control; a combo box's cy is its height when dropped down. */
#ifndef FEN_DIALOG_DIALOG_LAYOUT_H
#define FEN_DIALOG_DIALOG_LAYOUT_H

#include "engine/resource.h"

#define FEN_DIALOG_FONT_POINTS 9
#define FEN_DIALOG_FONT_FACE "MS UI Gothic"

#define FEN_MAIN_DIALOG_CX 239
#define FEN_MAIN_DIALOG_CY 161
#define FEN_MAIN_DIALOG_STYLE 0x90C800C0
#define FEN_MAIN_DIALOG_EXSTYLE 0x00040000
#define FEN_MAIN_DIALOG_CAPTION ""
#define FEN_MAIN_DIALOG_CONTROLS(C)                                                             \
  C(IDOK, PushButton, "Execute", "Execute", "Button", 119, 138, 50, 16, 0x50010001)             \
  C(IDCANCEL, PushButton, "Exit", "Exit", "Button", 182, 138, 50, 16, 0x50010000)               \
  C(IDC_STATIC, Static, "MIDI IN", "MIDI IN", "Static", 7, 7, 225, 8, 0x50020000)               \
  C(IDC_STATIC, Static, "MIDI OUT", "MIDI OUT", "Static", 7, 37, 225, 8, 0x50020000)            \
  C(IDC_MIDI_IN_LIST, ComboBox, "", "", "ComboBox", 7, 15, 225, 115, 0x50210003)                \
  C(IDC_MIDI_OUT_LIST, ComboBox, "", "", "ComboBox", 7, 45, 225, 115, 0x50210003)               \
  C(IDC_PROGRESS, Progress, "", "", "msctls_progress32", 7, 107, 225, 14, 0x50800000)           \
  C(IDC_STATUS_LINE, Edit, "", "", "Edit", 12, 91, 220, 12, 0x50010880)                         \
  C(IDC_RESCAN_DEVICE, PushButton, "Rescan Device", "Rescan Device", "Button", 145, 65, 87, 16, \
    0x50010000)                                                                                 \
  C(IDC_STEP_COUNTER, Edit, "", "", "Edit", 12, 78, 29, 12, 0x50010880)

#define FEN_ABOUT_DIALOG_CX 235
#define FEN_ABOUT_DIALOG_CY 60
#define FEN_ABOUT_DIALOG_STYLE 0x80C800C0
#define FEN_ABOUT_DIALOG_CAPTION "About PL-33QV Updater"
#define FEN_ABOUT_DIALOG_CONTROLS(C)                                           \
  C(IDC_STATIC, Icon, "", IDR_MAINFRAME, "Static", 11, 17, 20, 20, 0x50000003) \
  C(IDOK, PushButton, "OK", "OK", "Button", 178, 7, 50, 16, 0x50030001)        \
  C(IDC_ABOUT_TITLE, Edit, "", "", "Edit", 39, 19, 134, 14, 0x50010800)

#endif
