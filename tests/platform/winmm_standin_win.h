// A stand-in for WinMM that keeps the rules Windows keeps and Wine forgives: every callback
// comes from one system thread, MOM_DONE comes later than the send and on that thread, a
// WinMM call made from inside a callback fails the test, a System Exclusive message that
// finds no buffer lent is dropped (as Windows MIDI Services drops it), a malformed one comes
// back as MIM_LONGERROR, names are cut to 31 characters, and a port may be open in several
// clients at once (Windows MIDI Services shares ports by default).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/winmm/winmm_api_win.h"

namespace fen {

class WinMmStandIn {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // One at a time: Api() reaches this one.
  WinMmStandIn();
  ~WinMmStandIn();
  WinMmStandIn(const WinMmStandIn&) = delete;
  WinMmStandIn& operator=(const WinMmStandIn&) = delete;

  WinMmApi Api() const;

  void SetInputs(std::vector<std::wstring> names);
  void SetOutputs(std::vector<std::wstring> names);

  // A message from the device behind input `device`, delivered on the system thread to every
  // client that has it open and started: a System Exclusive message in the buffers lent, a
  // short one as MIM_DATA.
  void Arrive(UINT device, Bytes bytes);
  // A System Exclusive message cut off (`bytes` without its F7): MIM_LONGERROR in one buffer.
  void ArriveMalformed(UINT device, Bytes bytes);
  // Long messages stay queued until a reset takes them back.
  void StallSends(bool stall);

  // Waits until the system thread has nothing left to do.
  void Settle();

  std::vector<Bytes> Sent(UINT device);
  // Buffers lent by every client of input `device` together.
  int Lent(UINT device);
  // System Exclusive messages (or their rest) dropped for want of a buffer.
  int Dropped();
  // Closes refused because WinMM still held one of the client's headers.
  int RefusedCloses();
  std::vector<std::string> Calls();

  struct State;  // the stand-in's own, public for its helper functions

 private:
  std::unique_ptr<State> state_;
};

}  // namespace fen
