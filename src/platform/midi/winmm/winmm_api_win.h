// The WinMM calls the WinMM backend makes, as a table, so that tests can stand in for the
// system. Include this rather than <windows.h> beside the driver's header: the driver's own
// names (MIDIHDR, HMIDIIN, ...) live in namespace fen, Windows' at global scope, and
// mmsystem.h's A/W macros for the device-caps calls would rename the driver's members.
#pragma once

// clang-format off
#include "platform/midi/midi_driver.h"
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <cstddef>
#include <memory>
#include <string>

#include "platform/midi/winmm/winmm_backend.h"

#undef midiInGetDevCaps
#undef midiOutGetDevCaps

namespace fen {

struct WinMmApi {
  UINT(WINAPI* midiInGetNumDevs)();
  MMRESULT(WINAPI* midiInGetDevCapsW)(UINT_PTR, LPMIDIINCAPSW, UINT);
  MMRESULT(WINAPI* midiInOpen)(LPHMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD);
  MMRESULT(WINAPI* midiInClose)(::HMIDIIN);
  MMRESULT(WINAPI* midiInPrepareHeader)(::HMIDIIN, LPMIDIHDR, UINT);
  MMRESULT(WINAPI* midiInUnprepareHeader)(::HMIDIIN, LPMIDIHDR, UINT);
  MMRESULT(WINAPI* midiInAddBuffer)(::HMIDIIN, LPMIDIHDR, UINT);
  MMRESULT(WINAPI* midiInStart)(::HMIDIIN);
  MMRESULT(WINAPI* midiInStop)(::HMIDIIN);
  MMRESULT(WINAPI* midiInReset)(::HMIDIIN);
  UINT(WINAPI* midiOutGetNumDevs)();
  MMRESULT(WINAPI* midiOutGetDevCapsW)(UINT_PTR, LPMIDIOUTCAPSW, UINT);
  MMRESULT(WINAPI* midiOutOpen)(LPHMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD);
  MMRESULT(WINAPI* midiOutClose)(::HMIDIOUT);
  MMRESULT(WINAPI* midiOutPrepareHeader)(::HMIDIOUT, LPMIDIHDR, UINT);
  MMRESULT(WINAPI* midiOutUnprepareHeader)(::HMIDIOUT, LPMIDIHDR, UINT);
  MMRESULT(WINAPI* midiOutLongMsg)(::HMIDIOUT, LPMIDIHDR, UINT);
  MMRESULT(WINAPI* midiOutShortMsg)(::HMIDIOUT, DWORD);
  MMRESULT(WINAPI* midiOutReset)(::HMIDIOUT);
};

// The system's own.
WinMmApi SystemWinMmApi();

// A product name as WinMM reports it (UTF-16, at most `max_units` code units, zero-terminated
// or not) in UTF-8.
std::string WideNameToUtf8(const wchar_t* name, std::size_t max_units);

std::shared_ptr<MidiBackend> MakeWinMmBackend(const WinMmApi& api, WinMmOptions options);

}  // namespace fen
