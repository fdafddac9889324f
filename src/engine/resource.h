// The one list of resource IDs: dialog templates, icon, firmware images, controls, strings and
// the system menu's About command. Plain #defines, so that the resource compiler (windres) and
// C++ read the same file.
#ifndef FEN_ENGINE_RESOURCE_H
#define FEN_ENGINE_RESOURCE_H

// Dialog templates and the icon.
#define IDD_ABOUTBOX 100
#define IDD_FENUPDATOR_DIALOG 103
#define IDR_MAINFRAME 128

// The firmware images, resources of type "BIN".
#define IDR_BIN_129 129
#define IDR_BIN_133 133
#define IDR_BIN_136 136
#define IDR_BIN_137 137

// The system menu's About item.
#define IDM_ABOUTBOX 0x0010

// Controls. IDOK and IDCANCEL carry the values the platform's own headers give them.
#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDC_MIDI_IN_LIST 1000
#define IDC_MIDI_OUT_LIST 1001
#define IDC_PROGRESS 1002
#define IDC_STATUS_LINE 1003
#define IDC_RESCAN_DEVICE 1004
#define IDC_STEP_COUNTER 1006
#define IDC_ABOUT_TITLE 1003

// Strings.
#define IDS_ABOUTBOX 101
#define IDS_TIMEOUT_IDENTITY 102
#define IDS_TIMEOUT_WRITE 103
#define IDS_TIMEOUT_ERASE 104
#define IDS_ILLEGAL_DEVICE 105
#define IDS_USE_UPDATE_MODE 106
#define IDS_TRANSFER_ERROR 107
#define IDS_UPDATE_COMPLETED 108
#define IDS_IN_PROGRESS 109
#define IDS_CANT_OPEN_MIDI_IN 110
#define IDS_ERROR_CAPTION 111
#define IDS_CANT_OPEN_MIDI_OUT 113
#define IDS_ERASING_FLASH 114
#define IDS_DATA_TRANSMIT 115
#define IDS_PORTS_IN_USE 116
#define IDS_OTHER_HOST 117

#endif
