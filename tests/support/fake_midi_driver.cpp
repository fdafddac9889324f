// The recording MIDI driver of the tests.
#include "support/fake_midi_driver.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace fen {

std::string FakeMidiDriver::Call::ToString() const {
  static const std::set<std::string> kNoArgument = {"Rescan", "midiInGetNumDevs",
                                                    "midiOutGetNumDevs"};
  if (kNoArgument.count(name) != 0) return name + "()";
  return name + "(" + std::to_string(arg) + ")";
}

FakeMidiDriver::FakeMidiDriver() = default;
FakeMidiDriver::~FakeMidiDriver() = default;

void FakeMidiDriver::SetInputNames(std::vector<std::string> names) {
  std::lock_guard<std::mutex> lock(mutex_);
  input_names_ = std::move(names);
}

void FakeMidiDriver::SetOutputNames(std::vector<std::string> names) {
  std::lock_guard<std::mutex> lock(mutex_);
  output_names_ = std::move(names);
}

std::vector<FakeMidiDriver::Call> FakeMidiDriver::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<std::string> FakeMidiDriver::CallNames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  for (const Call& call : calls_) names.push_back(call.name);
  return names;
}

std::vector<std::string> FakeMidiDriver::CallLog() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> log;
  for (const Call& call : calls_) log.push_back(call.ToString());
  return log;
}

int FakeMidiDriver::CountOf(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                        [&](const Call& call) { return call.name == name; }));
}

void FakeMidiDriver::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

void FakeMidiDriver::Fail(const std::string& name, MMRESULT code, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[name] = {code, times};
}

void FakeMidiDriver::ClearFailures() {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.clear();
}

// Caller holds mutex_.
MMRESULT FakeMidiDriver::Enter(const std::string& name, std::int64_t arg, const MIDIHDR* header,
                               std::uint64_t value) {
  Call call;
  call.name = name;
  call.arg = arg;
  call.header = header;
  call.value = value;
  auto it = failures_.find(name);
  if (it != failures_.end() && it->second.second != 0) {
    call.result = it->second.first;
    if (it->second.second > 0) --it->second.second;
  }
  calls_.push_back(call);
  return call.result;
}

// Caller holds mutex_.
void FakeMidiDriver::SetResult(MMRESULT result) { calls_.back().result = result; }

HMIDIIN FakeMidiDriver::PickInput(HMIDIIN handle) const {
  if (handle != 0) return inputs_.count(handle) != 0 ? handle : 0;
  return inputs_.empty() ? 0 : inputs_.rbegin()->first;
}

void FakeMidiDriver::Invoke(const Handover& hand, std::uint32_t msg, std::uintptr_t param1) {
  if (hand.callback != nullptr) hand.callback(hand.handle, msg, hand.instance, param1, 0);
}

// --- Input delivery ---------------------------------------------------------------------

bool FakeMidiDriver::DeliverShort(std::uint32_t packed, HMIDIIN handle) {
  Handover hand;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handle = PickInput(handle);
    if (handle == 0) return false;
    const Input& input = inputs_.at(handle);
    hand = {input.callback, handle, input.instance, nullptr};
  }
  Invoke(hand, MIM_DATA, packed);
  return true;
}

bool FakeMidiDriver::DeliverLong(const std::vector<std::uint8_t>& bytes, HMIDIIN handle) {
  Handover hand;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handle = PickInput(handle);
    if (handle == 0) return false;
    Input& input = inputs_.at(handle);
    if (input.lent.empty()) return false;
    MIDIHDR* header = input.lent.front();
    input.lent.pop_front();
    const std::size_t n = std::min<std::size_t>(bytes.size(), header->dwBufferLength);
    if (n != 0) std::memcpy(header->lpData, bytes.data(), n);
    header->dwBytesRecorded = static_cast<std::uint32_t>(n);
    header->dwFlags = (header->dwFlags.load() & ~MHDR_INQUEUE) | MHDR_DONE;
    hand = {input.callback, handle, input.instance, header};
  }
  Invoke(hand, MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(hand.header));
  return true;
}

bool FakeMidiDriver::ReturnBuffer(std::uint32_t recorded, bool done, HMIDIIN handle) {
  Handover hand;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handle = PickInput(handle);
    if (handle == 0) return false;
    Input& input = inputs_.at(handle);
    if (input.lent.empty()) return false;
    MIDIHDR* header = input.lent.front();
    input.lent.pop_front();
    header->dwBytesRecorded = recorded;
    std::uint32_t flags = header->dwFlags.load() & ~(MHDR_INQUEUE | MHDR_DONE);
    header->dwFlags = done ? (flags | MHDR_DONE) : flags;
    hand = {input.callback, handle, input.instance, header};
  }
  Invoke(hand, MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(hand.header));
  return true;
}

void FakeMidiDriver::SetPartialOnStop(std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  partial_on_stop_ = std::move(bytes);
}

int FakeMidiDriver::LentBuffers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& entry : inputs_) n += static_cast<int>(entry.second.lent.size());
  return n;
}

int FakeMidiDriver::PreparedInHeaders() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(prepared_in_.size());
}

int FakeMidiDriver::OpenInputs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(inputs_.size());
}

// --- Output control ---------------------------------------------------------------------

void FakeMidiDriver::SetHoldSends(bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  hold_sends_ = hold;
}

void FakeMidiDriver::CompleteSends() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : outputs_) {
      for (MIDIHDR* header : entry.second.queued) {
        header->dwFlags = (header->dwFlags.load() & ~MHDR_INQUEUE) | MHDR_DONE;
      }
      entry.second.queued.clear();
    }
  }
  cv_.notify_all();
}

bool FakeMidiDriver::WaitForQueuedSends(int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] {
    int n = 0;
    for (const auto& entry : outputs_) n += static_cast<int>(entry.second.queued.size());
    return n >= count;
  });
}

std::vector<std::vector<std::uint8_t>> FakeMidiDriver::SentLong() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_long_;
}

void FakeMidiDriver::ClearSent() {
  std::lock_guard<std::mutex> lock(mutex_);
  sent_long_.clear();
  sent_short_.clear();
}

std::vector<std::uint32_t> FakeMidiDriver::SentShort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_short_;
}

int FakeMidiDriver::PreparedOutHeaders() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(prepared_out_.size());
}

int FakeMidiDriver::OpenOutputs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(outputs_.size());
}

// --- The driver calls: input ------------------------------------------------------------

void FakeMidiDriver::Rescan() {
  std::lock_guard<std::mutex> lock(mutex_);
  Enter("Rescan", 0, nullptr, 0);
}

std::uint32_t FakeMidiDriver::midiInGetNumDevs() {
  std::lock_guard<std::mutex> lock(mutex_);
  Enter("midiInGetNumDevs", 0, nullptr, 0);
  return static_cast<std::uint32_t>(input_names_.size());
}

MMRESULT FakeMidiDriver::midiInGetDevCaps(std::uint32_t device, std::string* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiInGetDevCaps", static_cast<std::int32_t>(device), nullptr, 0);
  if (result != MMSYSERR_NOERROR) return result;
  if (device >= input_names_.size()) result = MMSYSERR_BADDEVICEID;
  if (result == MMSYSERR_NOERROR && name != nullptr) *name = input_names_[device];
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiInOpen(HMIDIIN* handle, std::int32_t device, MidiInProc callback,
                                    std::uintptr_t instance, std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiInOpen", device, nullptr, flags);
  if (result != MMSYSERR_NOERROR) return result;
  if (device < 0 || static_cast<std::size_t>(device) >= input_names_.size()) {
    result = MMSYSERR_BADDEVICEID;
  } else if (handle == nullptr) {
    result = MMSYSERR_INVALPARAM;
  } else {
    *handle = next_handle_++;
    inputs_[*handle] = Input{device, callback, instance, {}};
  }
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiInClose(HMIDIIN handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiInClose", static_cast<std::int64_t>(handle), nullptr, 0);
  if (result != MMSYSERR_NOERROR) return result;
  auto it = inputs_.find(handle);
  if (it == inputs_.end()) {
    result = MMSYSERR_INVALHANDLE;
  } else if (!it->second.lent.empty()) {
    result = MIDIERR_STILLPLAYING;
  } else {
    inputs_.erase(it);
  }
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiInPrepareHeader", static_cast<std::int64_t>(handle), header, size);
  if (result != MMSYSERR_NOERROR) return result;
  if (inputs_.count(handle) == 0) {
    result = MMSYSERR_INVALHANDLE;
  } else if (header == nullptr) {
    result = MMSYSERR_INVALPARAM;
  } else {
    prepared_in_.insert(header);
    header->dwFlags |= MHDR_PREPARED;
  }
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header,
                                               std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiInUnprepareHeader", static_cast<std::int64_t>(handle), header, size);
  if (result != MMSYSERR_NOERROR) return result;
  auto it = inputs_.find(handle);
  if (it == inputs_.end()) {
    result = MMSYSERR_INVALHANDLE;
  } else if (std::find(it->second.lent.begin(), it->second.lent.end(), header) !=
             it->second.lent.end()) {
    result = MIDIERR_STILLPLAYING;
  } else {
    prepared_in_.erase(header);
    if (header != nullptr) header->dwFlags &= ~MHDR_PREPARED;
  }
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiInAddBuffer", static_cast<std::int64_t>(handle), header, size);
  if (result != MMSYSERR_NOERROR) return result;
  auto it = inputs_.find(handle);
  if (it == inputs_.end()) {
    result = MMSYSERR_INVALHANDLE;
  } else if (prepared_in_.count(header) == 0) {
    result = MIDIERR_UNPREPARED;
  } else {
    header->dwFlags = (header->dwFlags.load() & ~MHDR_DONE) | MHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    it->second.lent.push_back(header);
  }
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiInStart(HMIDIIN handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiInStart", static_cast<std::int64_t>(handle), nullptr, 0);
  if (result == MMSYSERR_NOERROR && inputs_.count(handle) == 0) result = MMSYSERR_INVALHANDLE;
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiInStop(HMIDIIN handle) {
  Handover hand;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result = Enter("midiInStop", static_cast<std::int64_t>(handle), nullptr, 0);
    if (result != MMSYSERR_NOERROR) return result;
    auto it = inputs_.find(handle);
    if (it == inputs_.end()) {
      SetResult(MMSYSERR_INVALHANDLE);
      return MMSYSERR_INVALHANDLE;
    }
    if (partial_on_stop_.empty() || it->second.lent.empty()) return MMSYSERR_NOERROR;
    MIDIHDR* header = it->second.lent.front();
    it->second.lent.pop_front();
    const std::size_t n = std::min<std::size_t>(partial_on_stop_.size(), header->dwBufferLength);
    std::memcpy(header->lpData, partial_on_stop_.data(), n);
    partial_on_stop_.clear();
    header->dwBytesRecorded = static_cast<std::uint32_t>(n);
    header->dwFlags = (header->dwFlags.load() & ~MHDR_INQUEUE) | MHDR_DONE;
    hand = {it->second.callback, handle, it->second.instance, header};
  }
  Invoke(hand, MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(hand.header));
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiDriver::midiInReset(HMIDIIN handle) {
  std::vector<Handover> hands;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result = Enter("midiInReset", static_cast<std::int64_t>(handle), nullptr, 0);
    if (result != MMSYSERR_NOERROR) return result;
    auto it = inputs_.find(handle);
    if (it == inputs_.end()) {
      SetResult(MMSYSERR_INVALHANDLE);
      return MMSYSERR_INVALHANDLE;
    }
    for (MIDIHDR* header : it->second.lent) {
      header->dwBytesRecorded = 0;
      header->dwFlags = (header->dwFlags.load() & ~MHDR_INQUEUE) | MHDR_DONE;
      hands.push_back({it->second.callback, handle, it->second.instance, header});
    }
    it->second.lent.clear();
  }
  for (const Handover& hand : hands) {
    Invoke(hand, MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(hand.header));
  }
  return MMSYSERR_NOERROR;
}

// --- The driver calls: output -----------------------------------------------------------

std::uint32_t FakeMidiDriver::midiOutGetNumDevs() {
  std::lock_guard<std::mutex> lock(mutex_);
  Enter("midiOutGetNumDevs", 0, nullptr, 0);
  return static_cast<std::uint32_t>(output_names_.size());
}

MMRESULT FakeMidiDriver::midiOutGetDevCaps(std::uint32_t device, std::string* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiOutGetDevCaps", static_cast<std::int32_t>(device), nullptr, 0);
  if (result != MMSYSERR_NOERROR) return result;
  if (device >= output_names_.size()) result = MMSYSERR_BADDEVICEID;
  if (result == MMSYSERR_NOERROR && name != nullptr) *name = output_names_[device];
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiOutOpen(HMIDIOUT* handle, std::int32_t device,
                                     std::uintptr_t /*callback*/, std::uintptr_t /*instance*/,
                                     std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiOutOpen", device, nullptr, flags);
  if (result != MMSYSERR_NOERROR) return result;
  if (device < 0 || static_cast<std::size_t>(device) >= output_names_.size()) {
    result = MMSYSERR_BADDEVICEID;
  } else if (handle == nullptr) {
    result = MMSYSERR_INVALPARAM;
  } else {
    *handle = next_handle_++;
    outputs_[*handle] = Output{device, {}};
  }
  SetResult(result);
  return result;
}

// Closing forgets the handle's queued and prepared headers, as a driver that abandons a send
// in progress would, and wakes every sender waiting on the handle.
MMRESULT FakeMidiDriver::midiOutClose(HMIDIOUT handle) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result = Enter("midiOutClose", static_cast<std::int64_t>(handle), nullptr, 0);
    if (result != MMSYSERR_NOERROR) return result;
    auto it = outputs_.find(handle);
    if (it == outputs_.end()) {
      SetResult(MMSYSERR_INVALHANDLE);
      return MMSYSERR_INVALHANDLE;
    }
    outputs_.erase(it);
    for (auto p = prepared_out_.begin(); p != prepared_out_.end();) {
      p = p->second == handle ? prepared_out_.erase(p) : std::next(p);
    }
  }
  cv_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiDriver::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                              std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiOutPrepareHeader", static_cast<std::int64_t>(handle), header, size);
  if (result != MMSYSERR_NOERROR) return result;
  if (outputs_.count(handle) == 0) {
    result = MMSYSERR_INVALHANDLE;
  } else if (header == nullptr) {
    result = MMSYSERR_INVALPARAM;
  } else {
    prepared_out_[header] = handle;
    header->dwFlags |= MHDR_PREPARED;
  }
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result =
      Enter("midiOutUnprepareHeader", static_cast<std::int64_t>(handle), header, size);
  if (result != MMSYSERR_NOERROR) return result;
  auto it = outputs_.find(handle);
  if (it == outputs_.end()) {
    result = MMSYSERR_INVALHANDLE;
  } else if (std::find(it->second.queued.begin(), it->second.queued.end(), header) !=
             it->second.queued.end()) {
    result = MIDIERR_STILLPLAYING;
  } else {
    prepared_out_.erase(header);
    if (header != nullptr) header->dwFlags &= ~MHDR_PREPARED;
  }
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result = Enter("midiOutLongMsg", static_cast<std::int64_t>(handle), header, size);
    if (result != MMSYSERR_NOERROR) return result;
    auto it = outputs_.find(handle);
    if (it == outputs_.end()) {
      result = MMSYSERR_INVALHANDLE;
    } else if (header == nullptr || prepared_out_.count(header) == 0) {
      result = MIDIERR_UNPREPARED;
    } else {
      sent_long_.emplace_back(header->lpData, header->lpData + header->dwBufferLength);
      if (hold_sends_) {
        header->dwFlags = (header->dwFlags.load() & ~MHDR_DONE) | MHDR_INQUEUE;
        it->second.queued.push_back(header);
      } else {
        header->dwFlags |= MHDR_DONE;
      }
    }
    SetResult(result);
    if (result != MMSYSERR_NOERROR) return result;
  }
  cv_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiDriver::midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result = Enter("midiOutShortMsg", static_cast<std::int64_t>(handle), nullptr, message);
  if (result != MMSYSERR_NOERROR) return result;
  if (outputs_.count(handle) == 0) {
    result = MMSYSERR_INVALHANDLE;
  } else {
    sent_short_.push_back(message);
  }
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiOutReset(HMIDIOUT handle) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result = Enter("midiOutReset", static_cast<std::int64_t>(handle), nullptr, 0);
    if (result != MMSYSERR_NOERROR) return result;
    auto it = outputs_.find(handle);
    if (it == outputs_.end()) {
      SetResult(MMSYSERR_INVALHANDLE);
      return MMSYSERR_INVALHANDLE;
    }
    for (MIDIHDR* header : it->second.queued) {
      header->dwFlags = (header->dwFlags.load() & ~MHDR_INQUEUE) | MHDR_DONE;
    }
    it->second.queued.clear();
  }
  cv_.notify_all();
  return MMSYSERR_NOERROR;
}

bool FakeMidiDriver::midiOutWaitDone(HMIDIOUT handle, MIDIHDR* header, std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (Enter("midiOutWaitDone", static_cast<std::int64_t>(handle), header, timeout_ms) !=
      MMSYSERR_NOERROR) {
    return false;
  }
  const std::size_t index = calls_.size() - 1;
  const bool done = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return (header->dwFlags.load() & MHDR_DONE) != 0 || outputs_.count(handle) == 0;
  }) && (header->dwFlags.load() & MHDR_DONE) != 0;
  calls_[index].result = done ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
  return done;
}

}  // namespace fen
