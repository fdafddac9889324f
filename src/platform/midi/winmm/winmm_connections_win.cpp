// The WinMM backend's ports. Nothing runs inside WinMM's callbacks but a copy into a queue and a
// wake-up: Microsoft forbids multimedia calls there, so buffers are lent again, pieces joined
// and messages handed on by a thread of the port's own, and sends learn of MOM_DONE by a
// wake-up. A header WinMM still holds is never freed: one it does not hand back is abandoned.
#include "platform/midi/winmm/winmm_connections_win.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/midi/midi_byte_framer.h"

namespace fen::winmm {
namespace {

constexpr UINT kHeaderSize = sizeof(::MIDIHDR);
// Several buffers lent at once: Windows MIDI Services drops a System Exclusive message that
// finds none, and one buffer is away between its return and the next lending.
constexpr std::size_t kReceiveBuffers = 8;
constexpr std::size_t kReceiveBufferSize = 4096;
// A System Exclusive message longer than this is dropped rather than joined further.
constexpr std::size_t kLongestMessage = 1 << 20;

// Waits, in short steps up to `limit`, for WinMM to let go of a header so that it can be
// unprepared. False when WinMM still holds it.
template <typename Handle, typename Unprepare>
bool UnprepareWithin(Handle handle, ::MIDIHDR* header, Unprepare unprepare,
                     std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const MMRESULT result = unprepare(handle, header, kHeaderSize);
    if (result == MMSYSERR_NOERROR) return true;
    if (result != MIDIERR_STILLPLAYING || std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// What the system may still reach after the port is gone: kept alive for good when WinMM
// does not let go of it.
template <typename Core>
void Abandon(std::unique_ptr<Core> core) {
  static std::mutex mutex;
  static auto* kept = new std::vector<std::unique_ptr<Core>>;
  std::lock_guard<std::mutex> lock(mutex);
  kept->push_back(std::move(core));
}

// ---- Input ---------------------------------------------------------------------------------

// One callback's worth, copied out of it.
struct Piece {
  UINT msg = 0;
  DWORD_PTR packed = 0;  // MIM_DATA
  std::vector<std::uint8_t> bytes;
  ::MIDIHDR* header = nullptr;  // MIM_LONGDATA, MIM_LONGERROR: the buffer to lend again
};

struct InCore {
  WinMmApi api{};  // a copy: a port may outlive the backend and the driver (an abandoned send)
  WinMmOptions options;
  ::HMIDIIN system = nullptr;
  MidiReceiver receiver;
  std::array<::MIDIHDR, kReceiveBuffers> headers{};
  std::array<std::array<char, kReceiveBufferSize>, kReceiveBuffers> buffers{};

  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Piece> pieces;
  bool stopping = false;

  std::vector<std::uint8_t> joined;  // the System Exclusive message being joined
  bool joining = false;
};

void CALLBACK InProc(::HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
  if (msg != MIM_DATA && msg != MIM_LONGDATA && msg != MIM_LONGERROR) return;
  auto* core = reinterpret_cast<InCore*>(instance);
  Piece piece;
  piece.msg = msg;
  if (msg == MIM_DATA) {
    piece.packed = param1;
  } else {
    piece.header = reinterpret_cast<::MIDIHDR*>(param1);
    const auto* data = reinterpret_cast<const std::uint8_t*>(piece.header->lpData);
    const DWORD size = std::min(piece.header->dwBytesRecorded, piece.header->dwBufferLength);
    piece.bytes.assign(data, data + size);
  }
  {
    std::lock_guard<std::mutex> lock(core->mutex);
    core->pieces.push_back(std::move(piece));
  }
  core->cv.notify_one();
}

void Deliver(InCore& core, const std::uint8_t* data, std::size_t size) {
  try {
    core.receiver(data, size);
  } catch (...) {
    // A receiver that throws must not take the port's thread down with it.
  }
}

// A buffer's worth of a System Exclusive message: joined until its F7. A piece that starts
// with F0 starts a new message, dropping one left unfinished.
void Join(InCore& core, const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return;  // handed back unused
  if (bytes.front() == 0xF0) {
    core.joined.clear();
    core.joining = true;
  }
  if (!core.joining) return;
  if (core.joined.size() + bytes.size() > kLongestMessage) {
    core.joined.clear();
    core.joining = false;
    return;
  }
  core.joined.insert(core.joined.end(), bytes.begin(), bytes.end());
  if (core.joined.back() == 0xF7) {
    Deliver(core, core.joined.data(), core.joined.size());
    core.joined.clear();
    core.joining = false;
  }
}

void Handle(InCore& core, const Piece& piece) {
  switch (piece.msg) {
    case MIM_DATA: {
      const auto status = static_cast<std::uint8_t>(piece.packed & 0xFF);
      const std::size_t length = std::max<std::size_t>(1, ShortMessageLength(status));
      std::uint8_t bytes[3] = {};
      for (std::size_t i = 0; i < length && i < 3; ++i) {
        bytes[i] = static_cast<std::uint8_t>(piece.packed >> (8 * i));
      }
      Deliver(core, bytes, std::min<std::size_t>(length, 3));
      break;
    }
    case MIM_LONGDATA:
      Join(core, piece.bytes);
      break;
    default:  // MIM_LONGERROR: the message was malformed or cut; none of it is delivered
      core.joined.clear();
      core.joining = false;
      break;
  }
}

void InLoop(InCore& core) {
  std::unique_lock<std::mutex> lock(core.mutex);
  for (;;) {
    core.cv.wait(lock, [&] { return core.stopping || !core.pieces.empty(); });
    if (core.stopping) return;
    Piece piece = std::move(core.pieces.front());
    core.pieces.pop_front();
    lock.unlock();
    // Lent again first, so that a message right behind this one finds it.
    if (piece.header != nullptr) {
      core.api.midiInAddBuffer(core.system, piece.header, kHeaderSize);
    }
    Handle(core, piece);
    lock.lock();
  }
}

class WinMmInput : public MidiInputConnection {
 public:
  WinMmInput(std::unique_ptr<InCore> core) : core_(std::move(core)) {
    thread_ = std::thread([core = core_.get()] { InLoop(*core); });
  }

  ~WinMmInput() override {
    {
      std::lock_guard<std::mutex> lock(core_->mutex);
      core_->stopping = true;
    }
    core_->cv.notify_all();
    thread_.join();
    const WinMmApi& api = core_->api;
    api.midiInStop(core_->system);
    api.midiInReset(core_->system);
    bool all_back = true;
    for (::MIDIHDR& header : core_->headers) {
      all_back &= UnprepareWithin(core_->system, &header, api.midiInUnprepareHeader,
                                  core_->options.return_wait);
    }
    if (!all_back || api.midiInClose(core_->system) != MMSYSERR_NOERROR) {
      Abandon(std::move(core_));
    }
  }

 private:
  std::unique_ptr<InCore> core_;
  std::thread thread_;
};

// ---- Output --------------------------------------------------------------------------------

struct OutCore {
  WinMmApi api{};  // a copy: a port may outlive the backend and the driver (an abandoned send)
  ::HMIDIOUT system = nullptr;

  std::mutex mutex;
  std::condition_variable cv;
  // MOM_DONE notices so far. WinMM gives one for each long message it took, also for one a
  // reset took back, so a send is over once the count reaches its number.
  std::uint64_t dones = 0;
};

void CALLBACK OutProc(::HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  if (msg != MOM_DONE) return;
  auto* core = reinterpret_cast<OutCore*>(instance);
  {
    std::lock_guard<std::mutex> lock(core->mutex);
    ++core->dones;
  }
  core->cv.notify_all();
}

// A long message's header and its copy of the bytes, together so that both can be abandoned.
struct LongSend {
  ::MIDIHDR header{};
  std::vector<char> bytes;
};

class WinMmOutput : public MidiOutputConnection {
 public:
  WinMmOutput(std::unique_ptr<OutCore> core, const WinMmOptions& options)
      : core_(std::move(core)), options_(options) {}

  // Sends run one at a time (the driver's sender thread), and the destructor runs after the
  // last has returned: no header is with WinMM by the time midiOutClose is called, unless one
  // was abandoned.
  ~WinMmOutput() override {
    const WinMmApi& api = core_->api;
    api.midiOutReset(core_->system);
    const bool closed = api.midiOutClose(core_->system) == MMSYSERR_NOERROR;
    if (abandoned_ || !closed) Abandon(std::move(core_));
  }

  bool Send(const std::uint8_t* data, std::size_t size) override {
    if (data == nullptr || size == 0 || abandoned_) return false;
    if (data[0] != 0xF0) {
      if (size > 3) return false;
      DWORD packed = 0;
      for (std::size_t i = 0; i < size; ++i) packed |= DWORD{data[i]} << (8 * i);
      return core_->api.midiOutShortMsg(core_->system, packed) == MMSYSERR_NOERROR;
    }
    return SendLong(data, size);
  }

 private:
  bool SendLong(const std::uint8_t* data, std::size_t size) {
    const WinMmApi& api = core_->api;
    // One header for every send: the port's only one, never with WinMM when a send starts.
    if (!send_) send_ = std::make_unique<LongSend>();
    send_->bytes.assign(data, data + size);
    ::MIDIHDR* header = &send_->header;
    *header = ::MIDIHDR{};
    header->lpData = send_->bytes.data();
    header->dwBufferLength = static_cast<DWORD>(size);
    header->dwBytesRecorded = static_cast<DWORD>(size);
    if (api.midiOutPrepareHeader(core_->system, header, kHeaderSize) != MMSYSERR_NOERROR) {
      return false;
    }
    if (api.midiOutLongMsg(core_->system, header, kHeaderSize) != MMSYSERR_NOERROR) {
      api.midiOutUnprepareHeader(core_->system, header, kHeaderSize);
      return false;
    }
    ++longs_;
    const bool sent = WaitDone(options_.send_limit);
    if (!sent) {
      // Stalled: taken back, and the send fails even if the reset finds it just finished.
      api.midiOutReset(core_->system);
      WaitDone(options_.return_wait);
    }
    if (!UnprepareWithin(core_->system, header, api.midiOutUnprepareHeader, options_.return_wait)) {
      // WinMM still holds it: it stays allocated, and the port sends no more.
      abandoned_ = true;
      Abandon(std::move(send_));
      return false;
    }
    return sent;
  }

  bool WaitDone(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(core_->mutex);
    return core_->cv.wait_for(lock, limit, [&] { return core_->dones >= longs_; });
  }

  std::unique_ptr<OutCore> core_;
  WinMmOptions options_;
  std::unique_ptr<LongSend> send_;
  std::uint64_t longs_ = 0;  // long messages WinMM took
  bool abandoned_ = false;
};

}  // namespace

std::unique_ptr<MidiInputConnection> OpenInputDevice(const WinMmApi& api, UINT device,
                                                     MidiReceiver receiver,
                                                     const WinMmOptions& options) {
  auto core = std::make_unique<InCore>();
  core->api = api;
  core->options = options;
  core->receiver = std::move(receiver);
  if (api.midiInOpen(&core->system, device, reinterpret_cast<DWORD_PTR>(&InProc),
                     reinterpret_cast<DWORD_PTR>(core.get()),
                     CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
    return nullptr;
  }
  bool ok = true;
  std::size_t prepared = 0;
  for (std::size_t i = 0; ok && i < kReceiveBuffers; ++i) {
    ::MIDIHDR& header = core->headers[i];
    header.lpData = core->buffers[i].data();
    header.dwBufferLength = static_cast<DWORD>(kReceiveBufferSize);
    ok = api.midiInPrepareHeader(core->system, &header, kHeaderSize) == MMSYSERR_NOERROR;
    if (ok) ++prepared;
    ok = ok && api.midiInAddBuffer(core->system, &header, kHeaderSize) == MMSYSERR_NOERROR;
  }
  ok = ok && api.midiInStart(core->system) == MMSYSERR_NOERROR;
  if (!ok) {
    api.midiInReset(core->system);
    bool all_back = true;
    for (std::size_t i = 0; i < prepared; ++i) {
      all_back &= UnprepareWithin(core->system, &core->headers[i], api.midiInUnprepareHeader,
                                  options.return_wait);
    }
    if (!all_back || api.midiInClose(core->system) != MMSYSERR_NOERROR) Abandon(std::move(core));
    return nullptr;
  }
  return std::make_unique<WinMmInput>(std::move(core));
}

std::unique_ptr<MidiOutputConnection> OpenOutputDevice(const WinMmApi& api, UINT device,
                                                       const WinMmOptions& options) {
  auto core = std::make_unique<OutCore>();
  core->api = api;
  if (api.midiOutOpen(&core->system, device, reinterpret_cast<DWORD_PTR>(&OutProc),
                      reinterpret_cast<DWORD_PTR>(core.get()),
                      CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
    return nullptr;
  }
  return std::make_unique<WinMmOutput>(std::move(core), options);
}

}  // namespace fen::winmm
