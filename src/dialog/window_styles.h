/* The window styles that the dialog templates name, by their Windows names. The resource script
   and the Windows build take them from the Windows headers; elsewhere they are given here with
   the Windows headers' values, so that the layout reads the same names everywhere. */
#ifndef FEN_DIALOG_WINDOW_STYLES_H
#define FEN_DIALOG_WINDOW_STYLES_H

#if defined(_WIN32) || defined(RC_INVOKED)
#include <windows.h>
#else
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_EX_APPWINDOW 0x00040000L
#define DS_MODALFRAME 0x80L
#define DS_SETFONT 0x40L
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define SS_LEFT 0x00000000L
#define SS_ICON 0x00000003L
#define CBS_DROPDOWNLIST 0x0003L
#define ES_AUTOHSCROLL 0x0080L
#define ES_READONLY 0x0800L
#endif

#endif
