// The MIDI driver: the multimedia-style calls the port classes make, written once over any
// set of byte-level backends. Lent headers, done flags and callback events behave as the
// port classes expect of WinMM, whose calls these are.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/backend.h"

namespace fen {

using MMRESULT = std::uint32_t;
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
inline constexpr MMRESULT MIDIERR_NODEVICE = 68;

inline constexpr std::uint32_t MHDR_DONE = 0x1;
inline constexpr std::uint32_t MHDR_PREPARED = 0x2;
inline constexpr std::uint32_t MHDR_INQUEUE = 0x4;

inline constexpr std::uint32_t MIM_OPEN = 0x3C1;
inline constexpr std::uint32_t MIM_CLOSE = 0x3C2;
inline constexpr std::uint32_t MIM_DATA = 0x3C3;
inline constexpr std::uint32_t MIM_LONGDATA = 0x3C4;
inline constexpr std::uint32_t MIM_ERROR = 0x3C5;
inline constexpr std::uint32_t MIM_LONGERROR = 0x3C6;
inline constexpr std::uint32_t MIM_MOREDATA = 0x3CC;
inline constexpr std::uint32_t CALLBACK_FUNCTION = 0x30000;

// Longest product name a device reports, in characters (not bytes: names are UTF-8).
inline constexpr int kMaxPnameChars = 31;

// A lent or sent buffer. The flags are read and written across threads, hence atomic.
struct MIDIHDR {
  std::uint8_t* lpData = nullptr;
  std::uint32_t dwBufferLength = 0;
  std::uint32_t dwBytesRecorded = 0;
  std::uintptr_t dwUser = 0;
  std::atomic<std::uint32_t> dwFlags{0};
};

// Whether a header can carry a message: the drivers refuse any other to prepare, lend or send.
inline bool HeaderHasBuffer(const MIDIHDR* header) {
  return header != nullptr && header->lpData != nullptr && header->dwBufferLength != 0;
}

// Opaque handles; 0 is the null handle. A closed handle is never reused.
using HMIDIIN = std::uintptr_t;
using HMIDIOUT = std::uintptr_t;

// Input callback: handle, event (MIM_*), the instance value given to midiInOpen, and two
// parameters (MIM_DATA: packed short message, time stamp; MIM_LONGDATA: the MIDIHDR*).
using MidiInProc = void (*)(HMIDIIN handle, std::uint32_t msg, std::uintptr_t instance,
                            std::uintptr_t param1, std::uintptr_t param2);

// Bounds on the waits inside the driver; tests shrink them.
struct MidiDriverTimings {
  // How long midiOutClose waits for a send in progress before abandoning it. Closing the
  // window closes the port, and must not keep the window for a second or more.
  std::chrono::milliseconds close_wait{500};
  // How long midiOutShortMsg waits for the backend to take the message.
  std::chrono::milliseconds short_msg_wait{1000};
};

class MidiDriver {
 public:
  explicit MidiDriver(std::vector<std::shared_ptr<MidiBackend>> backends);
  MidiDriver(std::vector<std::shared_ptr<MidiBackend>> backends, MidiDriverTimings timings);
  virtual ~MidiDriver();
  MidiDriver(const MidiDriver&) = delete;
  MidiDriver& operator=(const MidiDriver&) = delete;

  // Re-reads the port lists of every backend. Device indices refer to the lists of the last
  // rescan (the constructor does the first), so a list position stays a device index until
  // the next rescan.
  virtual void Rescan();

  // Input devices.
  virtual std::uint32_t midiInGetNumDevs();
  // The display name of the device (UTF-8, at most kMaxPnameChars characters).
  virtual MMRESULT midiInGetDevCaps(std::uint32_t device, std::string* name);
  virtual MMRESULT midiInOpen(HMIDIIN* handle, std::int32_t device, MidiInProc callback,
                              std::uintptr_t instance, std::uint32_t flags);
  virtual MMRESULT midiInClose(HMIDIIN handle);
  virtual MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size);
  virtual MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size);
  virtual MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size);
  virtual MMRESULT midiInStart(HMIDIIN handle);
  virtual MMRESULT midiInStop(HMIDIIN handle);
  virtual MMRESULT midiInReset(HMIDIIN handle);

  // Output devices.
  virtual std::uint32_t midiOutGetNumDevs();
  virtual MMRESULT midiOutGetDevCaps(std::uint32_t device, std::string* name);
  virtual MMRESULT midiOutOpen(HMIDIOUT* handle, std::int32_t device, std::uintptr_t callback,
                               std::uintptr_t instance, std::uint32_t flags);
  virtual MMRESULT midiOutClose(HMIDIOUT handle);
  virtual MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size);
  virtual MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size);
  virtual MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size);
  virtual MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message);
  // Marks every header queued on the handle done and forgets it, so that after a wait that
  // timed out the caller can unprepare and reuse its header. Messages not yet handed to the
  // backend are dropped; one the backend is still taking is finished without its header.
  virtual MMRESULT midiOutReset(HMIDIOUT handle);
  // Not a WinMM call: blocks until the header's done flag is set or timeout_ms passes, so
  // that a send does not poll with 1 ms sleeps. True when done.
  virtual bool midiOutWaitDone(HMIDIOUT handle, MIDIHDR* header, std::uint32_t timeout_ms);

  // Not WinMM calls: what identifies the device behind a port to every program on the machine
  // (MidiBackend::DeviceKey), for the port claim; empty for a device index out of range.
  virtual std::string midiInGetDeviceKey(std::uint32_t device);
  virtual std::string midiOutGetDeviceKey(std::uint32_t device);

 protected:
  // For fakes that replace every call.
  MidiDriver();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The driver the port classes use when none is given: set once by the program's start-up
// (or by a test) before any port is made.
MidiDriver& DefaultMidiDriver();
void SetDefaultMidiDriver(std::shared_ptr<MidiDriver> driver);

}  // namespace fen
