/* The layouts of dialog templates 103 (the main dialog) and 100 (the About box), in dialog
   units and template order (which is also the Tab order), with each control's window styles.
   Plain macros, so that the resource script (windres) and C++ both take them from here:
   FEN_..._CONTROLS(C) calls C(id, kind, text, resource text, class, x, y, cx, cy, style) per
   control; a combo box's cy is its height when dropped down. */
#ifndef FEN_DIALOG_DIALOG_LAYOUT_H
#define FEN_DIALOG_DIALOG_LAYOUT_H

#include "dialog/window_styles.h"
#include "engine/resource.h"

#define FEN_DIALOG_FONT_POINTS 9
#define FEN_DIALOG_FONT_FACE "MS UI Gothic"

/* The controls' styles. */
#define FEN_STYLE_DEFAULT_BUTTON (WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON)
#define FEN_STYLE_BUTTON (WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON)
#define FEN_STYLE_LABEL (WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT)
#define FEN_STYLE_PORT_LIST (WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST)
#define FEN_STYLE_PROGRESS (WS_CHILD | WS_VISIBLE | WS_BORDER)
#define FEN_STYLE_READ_ONLY_LINE (WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL)
#define FEN_STYLE_ICON (WS_CHILD | WS_VISIBLE | SS_ICON)
#define FEN_STYLE_ABOUT_OK (WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON)
#define FEN_STYLE_ABOUT_TITLE (WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY)

#define FEN_MAIN_DIALOG_CX 239
#define FEN_MAIN_DIALOG_CY 161
#define FEN_MAIN_DIALOG_STYLE \
  (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT)
#define FEN_MAIN_DIALOG_EXSTYLE WS_EX_APPWINDOW
#define FEN_MAIN_DIALOG_CAPTION ""
#define FEN_MAIN_DIALOG_CONTROLS(C)                                                               \
  C(IDOK, PushButton, "Execute", "Execute", "Button", 119, 138, 50, 16, FEN_STYLE_DEFAULT_BUTTON) \
  C(IDCANCEL, PushButton, "Exit", "Exit", "Button", 182, 138, 50, 16, FEN_STYLE_BUTTON)           \
  C(IDC_STATIC, Static, "MIDI IN", "MIDI IN", "Static", 7, 7, 225, 8, FEN_STYLE_LABEL)            \
  C(IDC_STATIC, Static, "MIDI OUT", "MIDI OUT", "Static", 7, 37, 225, 8, FEN_STYLE_LABEL)         \
  C(IDC_MIDI_IN_LIST, ComboBox, "", "", "ComboBox", 7, 15, 225, 115, FEN_STYLE_PORT_LIST)         \
  C(IDC_MIDI_OUT_LIST, ComboBox, "", "", "ComboBox", 7, 45, 225, 115, FEN_STYLE_PORT_LIST)        \
  C(IDC_PROGRESS, Progress, "", "", "msctls_progress32", 7, 107, 225, 14, FEN_STYLE_PROGRESS)     \
  C(IDC_STATUS_LINE, Edit, "", "", "Edit", 12, 91, 220, 12, FEN_STYLE_READ_ONLY_LINE)             \
  C(IDC_RESCAN_DEVICE, PushButton, "Rescan Device", "Rescan Device", "Button", 145, 65, 87, 16,   \
    FEN_STYLE_BUTTON)                                                                             \
  C(IDC_STEP_COUNTER, Edit, "", "", "Edit", 12, 78, 29, 12, FEN_STYLE_READ_ONLY_LINE)

#define FEN_ABOUT_DIALOG_CX 235
#define FEN_ABOUT_DIALOG_CY 60
#define FEN_ABOUT_DIALOG_STYLE (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT)
#define FEN_ABOUT_DIALOG_CAPTION "About PL-33QV Updater"
#define FEN_ABOUT_DIALOG_CONTROLS(C)                                               \
  C(IDC_STATIC, Icon, "", IDR_MAINFRAME, "Static", 11, 17, 20, 20, FEN_STYLE_ICON) \
  C(IDOK, PushButton, "OK", "OK", "Button", 178, 7, 50, 16, FEN_STYLE_ABOUT_OK)    \
  C(IDC_ABOUT_TITLE, Edit, "", "", "Edit", 39, 19, 134, 14, FEN_STYLE_ABOUT_TITLE)

#endif
