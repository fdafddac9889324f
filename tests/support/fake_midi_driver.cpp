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

void FakeMidiDriver::HandBack(const Handover& hand) {
  Invoke(hand, MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(hand.header));
}

void FakeMidiDriver::MarkDone(MIDIHDR* header) {
  header->dwFlags = (header->dwFlags.load() & ~MHDR_INQUEUE) | MHDR_DONE;
}

void FakeMidiDriver::FillDone(MIDIHDR* header, const std::vector<std::uint8_t>& bytes) {
  const std::size_t n = std::min<std::size_t>(bytes.size(), header->dwBufferLength);
  if (n != 0) std::memcpy(header->lpData, bytes.data(), n);
  header->dwBytesRecorded = static_cast<std::uint32_t>(n);
  MarkDone(header);
}

// Caller holds mutex_.
bool FakeMidiDriver::TakeLent(HMIDIIN handle, Handover* hand) {
  handle = PickInput(handle);
  if (handle == 0) return false;
  Input& input = inputs_.at(handle);
  if (input.lent.empty()) return false;
  *hand = {input.callback, handle, input.instance, input.lent.front()};
  input.lent.pop_front();
  return true;
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
    if (!TakeLent(handle, &hand)) return false;
    FillDone(hand.header, bytes);
  }
  HandBack(hand);
  return true;
}

bool FakeMidiDriver::ReturnBuffer(std::uint32_t recorded, bool done, HMIDIIN handle) {
  Handover hand;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!TakeLent(handle, &hand)) return false;
    hand.header->dwBytesRecorded = recorded;
    std::uint32_t flags = hand.header->dwFlags.load() & ~(MHDR_INQUEUE | MHDR_DONE);
    hand.header->dwFlags = done ? (flags | MHDR_DONE) : flags;
  }
  HandBack(hand);
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
      for (MIDIHDR* header : entry.second.queued) MarkDone(header);
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

// --- The calls' shared checks, input and output alike (caller holds mutex_) ---------------
// Each records the call and returns an injected failure untouched, else sets the call's result.

MMRESULT FakeMidiDriver::DevCaps(const char* call, const std::vector<std::string>& names,
                                 std::uint32_t device, std::string* name) {
  MMRESULT result = Enter(call, static_cast<std::int32_t>(device), nullptr, 0);
  if (result != MMSYSERR_NOERROR) return result;
  if (device >= names.size()) result = MMSYSERR_BADDEVICEID;
  if (result == MMSYSERR_NOERROR && name != nullptr) *name = names[device];
  SetResult(result);
  return result;
}

// On success `*handle` is the next handle; the caller records what it opened.
MMRESULT FakeMidiDriver::OpenHandle(const char* call, std::size_t devices, std::uintptr_t* handle,
                                    std::int32_t device, std::uint32_t flags) {
  MMRESULT result = Enter(call, device, nullptr, flags);
  if (result != MMSYSERR_NOERROR) return result;
  if (device < 0 || static_cast<std::size_t>(device) >= devices) {
    result = MMSYSERR_BADDEVICEID;
  } else if (handle == nullptr) {
    result = MMSYSERR_INVALPARAM;
  } else {
    *handle = next_handle_++;
  }
  SetResult(result);
  return result;
}

// The handle's entry in `open`, or null when the call failed (injected, or the handle is not
// open: then its result is MMSYSERR_INVALHANDLE).
template <typename Entry>
Entry* FakeMidiDriver::EnterOn(const char* call, std::map<std::uintptr_t, Entry>& open,
                               std::uintptr_t handle, MMRESULT* result, const MIDIHDR* header,
                               std::uint64_t value) {
  *result = Enter(call, static_cast<std::int64_t>(handle), header, value);
  if (*result != MMSYSERR_NOERROR) return nullptr;
  auto it = open.find(handle);
  if (it == open.end()) {
    *result = MMSYSERR_INVALHANDLE;
    SetResult(*result);
    return nullptr;
  }
  return &it->second;
}

// Records the header as prepared on the handle when the handle is open.
template <typename Entry>
MMRESULT FakeMidiDriver::PrepareHeader(const char* call, std::map<std::uintptr_t, Entry>& open,
                                       Prepared& prepared, std::uintptr_t handle, MIDIHDR* header,
                                       std::uint32_t size) {
  MMRESULT result;
  if (EnterOn(call, open, handle, &result, header, size) == nullptr) return result;
  if (header == nullptr) {
    result = MMSYSERR_INVALPARAM;
  } else {
    prepared[header] = handle;
    header->dwFlags |= MHDR_PREPARED;
  }
  SetResult(result);
  return result;
}

// Refused while the header is among the handle's `pending` (lent or queued) ones.
template <typename Entry>
MMRESULT FakeMidiDriver::UnprepareHeader(const char* call, std::map<std::uintptr_t, Entry>& open,
                                         std::deque<MIDIHDR*> Entry::*pending, Prepared& prepared,
                                         std::uintptr_t handle, MIDIHDR* header,
                                         std::uint32_t size) {
  MMRESULT result;
  const Entry* entry = EnterOn(call, open, handle, &result, header, size);
  if (entry == nullptr) return result;
  const std::deque<MIDIHDR*>& headers = entry->*pending;
  if (std::find(headers.begin(), headers.end(), header) != headers.end()) {
    result = MIDIERR_STILLPLAYING;
  } else {
    prepared.erase(header);
    if (header != nullptr) header->dwFlags &= ~MHDR_PREPARED;
  }
  SetResult(result);
  return result;
}

// As EnterOn; null too when the header is not prepared (MIDIERR_UNPREPARED).
template <typename Entry>
Entry* FakeMidiDriver::EnterPrepared(const char* call, std::map<std::uintptr_t, Entry>& open,
                                     const Prepared& prepared, std::uintptr_t handle,
                                     MIDIHDR* header, std::uint32_t size, MMRESULT* result) {
  Entry* entry = EnterOn(call, open, handle, result, header, size);
  if (entry == nullptr) return nullptr;
  if (header == nullptr || prepared.count(header) == 0) {
    *result = MIDIERR_UNPREPARED;
    SetResult(*result);
    return nullptr;
  }
  return entry;
}

void FakeMidiDriver::Queue(MIDIHDR* header, std::deque<MIDIHDR*>* queue) {
  header->dwFlags = (header->dwFlags.load() & ~MHDR_DONE) | MHDR_INQUEUE;
  queue->push_back(header);
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
  return DevCaps("midiInGetDevCaps", input_names_, device, name);
}

MMRESULT FakeMidiDriver::midiInOpen(HMIDIIN* handle, std::int32_t device, MidiInProc callback,
                                    std::uintptr_t instance, std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  const MMRESULT result = OpenHandle("midiInOpen", input_names_.size(), handle, device, flags);
  if (result == MMSYSERR_NOERROR) inputs_[*handle] = Input{device, callback, instance, {}};
  return result;
}

MMRESULT FakeMidiDriver::midiInClose(HMIDIIN handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result;
  Input* input = EnterOn("midiInClose", inputs_, handle, &result);
  if (input == nullptr) return result;
  if (!input->lent.empty()) {
    result = MIDIERR_STILLPLAYING;
  } else {
    inputs_.erase(handle);
  }
  SetResult(result);
  return result;
}

MMRESULT FakeMidiDriver::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  return PrepareHeader("midiInPrepareHeader", inputs_, prepared_in_, handle, header, size);
}

MMRESULT FakeMidiDriver::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header,
                                               std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  return UnprepareHeader("midiInUnprepareHeader", inputs_, &Input::lent, prepared_in_, handle,
                         header, size);
}

MMRESULT FakeMidiDriver::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result;
  Input* input =
      EnterPrepared("midiInAddBuffer", inputs_, prepared_in_, handle, header, size, &result);
  if (input == nullptr) return result;
  Queue(header, &input->lent);
  header->dwBytesRecorded = 0;
  return result;
}

MMRESULT FakeMidiDriver::midiInStart(HMIDIIN handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result;
  EnterOn("midiInStart", inputs_, handle, &result);
  return result;
}

MMRESULT FakeMidiDriver::midiInStop(HMIDIIN handle) {
  Handover hand;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result;
    if (EnterOn("midiInStop", inputs_, handle, &result) == nullptr) return result;
    if (partial_on_stop_.empty() || !TakeLent(handle, &hand)) return MMSYSERR_NOERROR;
    FillDone(hand.header, partial_on_stop_);
    partial_on_stop_.clear();
  }
  HandBack(hand);
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiDriver::midiInReset(HMIDIIN handle) {
  std::vector<Handover> hands;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result;
    Input* input = EnterOn("midiInReset", inputs_, handle, &result);
    if (input == nullptr) return result;
    for (MIDIHDR* header : input->lent) {
      header->dwBytesRecorded = 0;
      MarkDone(header);
      hands.push_back({input->callback, handle, input->instance, header});
    }
    input->lent.clear();
  }
  for (const Handover& hand : hands) HandBack(hand);
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
  return DevCaps("midiOutGetDevCaps", output_names_, device, name);
}

MMRESULT FakeMidiDriver::midiOutOpen(HMIDIOUT* handle, std::int32_t device,
                                     std::uintptr_t /*callback*/, std::uintptr_t /*instance*/,
                                     std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  const MMRESULT result = OpenHandle("midiOutOpen", output_names_.size(), handle, device, flags);
  if (result == MMSYSERR_NOERROR) outputs_[*handle] = Output{device, {}};
  return result;
}

// Closing forgets the handle's queued and prepared headers, as a driver that abandons a send
// in progress would, and wakes every sender waiting on the handle.
MMRESULT FakeMidiDriver::midiOutClose(HMIDIOUT handle) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result;
    if (EnterOn("midiOutClose", outputs_, handle, &result) == nullptr) return result;
    outputs_.erase(handle);
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
  return PrepareHeader("midiOutPrepareHeader", outputs_, prepared_out_, handle, header, size);
}

MMRESULT FakeMidiDriver::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  return UnprepareHeader("midiOutUnprepareHeader", outputs_, &Output::queued, prepared_out_, handle,
                         header, size);
}

MMRESULT FakeMidiDriver::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result;
    Output* output =
        EnterPrepared("midiOutLongMsg", outputs_, prepared_out_, handle, header, size, &result);
    if (output == nullptr) return result;
    sent_long_.emplace_back(header->lpData, header->lpData + header->dwBufferLength);
    if (hold_sends_) {
      Queue(header, &output->queued);
    } else {
      header->dwFlags |= MHDR_DONE;
    }
  }
  cv_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT FakeMidiDriver::midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) {
  std::lock_guard<std::mutex> lock(mutex_);
  MMRESULT result;
  if (EnterOn("midiOutShortMsg", outputs_, handle, &result, nullptr, message) == nullptr) {
    return result;
  }
  sent_short_.push_back(message);
  return result;
}

MMRESULT FakeMidiDriver::midiOutReset(HMIDIOUT handle) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    MMRESULT result;
    Output* output = EnterOn("midiOutReset", outputs_, handle, &result);
    if (output == nullptr) return result;
    for (MIDIHDR* header : output->queued) MarkDone(header);
    output->queued.clear();
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
