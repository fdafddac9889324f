// The stand-in for WinMM: clients and headers under one lock, and a system thread that runs
// every callback in the order the system queued them, some after a delay.
#include "winmm_standin_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>

namespace fen {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDoneDelay = std::chrono::milliseconds(3);

thread_local bool tls_in_callback = false;

struct Client {
  UINT device = 0;
  bool input = true;
  DWORD_PTR proc = 0;
  DWORD_PTR instance = 0;
  bool started = false;
  std::deque<::MIDIHDR*> lent;    // input buffers
  std::deque<::MIDIHDR*> queued;  // long sends not yet done
  int pending_callbacks = 0;
};

}  // namespace

struct WinMmStandIn::State {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::wstring> inputs, outputs;
  std::map<std::uintptr_t, Client> clients;
  std::uintptr_t next_handle = 0x100;
  std::map<UINT, std::vector<Bytes>> sent;
  std::vector<std::string> calls;
  bool stall = false;
  int dropped = 0;
  int refused_closes = 0;

  // The system thread's work, in the order of when it is due, then of queueing.
  std::multimap<Clock::time_point, std::function<void()>> tasks;
  bool running_task = false;
  bool quitting = false;
  std::thread thread;

  // Every call starts here: recorded, and a failure of the test when made from a callback.
  void Enter(const char* name) {
    if (tls_in_callback) ADD_FAILURE() << name << " called from inside a WinMM callback";
    std::lock_guard<std::mutex> lock(mutex);
    calls.emplace_back(name);
  }

  // With the lock held.
  void Post(std::function<void()> task, Clock::duration delay = {}) {
    tasks.emplace(Clock::now() + delay, std::move(task));
    cv.notify_all();
  }

  // Queues a callback to `handle`'s client; with the lock held. Runs without the lock.
  void PostCallback(std::uintptr_t handle, UINT msg, DWORD_PTR param1, DWORD_PTR param2,
                    Clock::duration delay = {}, std::function<void()> before = {}) {
    Client& client = clients.at(handle);
    ++client.pending_callbacks;
    const DWORD_PTR proc = client.proc;
    const DWORD_PTR instance = client.instance;
    const bool input = client.input;
    Post(
        [this, handle, proc, instance, input, msg, param1, param2, before] {
          if (before) before();
          tls_in_callback = true;
          if (input) {
            reinterpret_cast<void(CALLBACK*)(::HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>(
                proc)(reinterpret_cast<::HMIDIIN>(handle), msg, instance, param1, param2);
          } else {
            reinterpret_cast<void(CALLBACK*)(::HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>(
                proc)(reinterpret_cast<::HMIDIOUT>(handle), msg, instance, param1, param2);
          }
          tls_in_callback = false;
          std::lock_guard<std::mutex> lock(mutex);
          auto it = clients.find(handle);
          if (it != clients.end()) --it->second.pending_callbacks;
          cv.notify_all();
        },
        delay);
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      if (quitting && tasks.empty()) return;
      if (tasks.empty()) {
        cv.wait(lock);
        continue;
      }
      const auto due = tasks.begin()->first;
      if (Clock::now() < due) {
        cv.wait_until(lock, due);
        continue;
      }
      auto task = std::move(tasks.begin()->second);
      tasks.erase(tasks.begin());
      running_task = true;
      lock.unlock();
      task();
      lock.lock();
      running_task = false;
      cv.notify_all();
    }
  }

  Client* Find(std::uintptr_t handle, bool input) {
    auto it = clients.find(handle);
    return it == clients.end() || it->second.input != input ? nullptr : &it->second;
  }

  static void Returned(::MIDIHDR* header) {
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  }
};

namespace {

WinMmStandIn::State* the = nullptr;

std::uintptr_t Id(const void* handle) { return reinterpret_cast<std::uintptr_t>(handle); }

// The name as WinMM gives it: at most 31 characters and a terminating zero.
template <typename Caps>
MMRESULT GetCaps(const std::vector<std::wstring>& names, UINT_PTR device, Caps* caps, UINT size) {
  if (caps == nullptr || size != sizeof(Caps)) return MMSYSERR_INVALPARAM;
  if (device >= names.size()) return MMSYSERR_BADDEVICEID;
  *caps = Caps{};
  const std::size_t units = std::min<std::size_t>(names[device].size(), MAXPNAMELEN - 1);
  std::wmemcpy(caps->szPname, names[device].data(), units);
  return MMSYSERR_NOERROR;
}

template <typename Handle>
MMRESULT Open(Handle* handle, UINT device, DWORD_PTR proc, DWORD_PTR instance, DWORD flags,
              bool input) {
  std::lock_guard<std::mutex> lock(the->mutex);
  if (handle == nullptr || flags != CALLBACK_FUNCTION || proc == 0) return MMSYSERR_INVALPARAM;
  if (device >= (input ? the->inputs : the->outputs).size()) return MMSYSERR_BADDEVICEID;
  const std::uintptr_t id = the->next_handle++;
  Client& client = the->clients[id];
  client.device = device;
  client.input = input;
  client.proc = proc;
  client.instance = instance;
  *handle = reinterpret_cast<Handle>(id);
  the->PostCallback(id, input ? MIM_OPEN : MOM_OPEN, 0, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT Prepare(const void* handle, LPMIDIHDR header, UINT size, bool input) {
  std::lock_guard<std::mutex> lock(the->mutex);
  if (the->Find(Id(handle), input) == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || size != sizeof(::MIDIHDR) || header->lpData == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  header->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(const void* handle, LPMIDIHDR header, bool input) {
  std::lock_guard<std::mutex> lock(the->mutex);
  if (the->Find(Id(handle), input) == nullptr) return MMSYSERR_INVALHANDLE;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

// Closing waits, as Windows does, for the client's callbacks already queued: none comes after.
MMRESULT Close(const void* handle, bool input) {
  std::unique_lock<std::mutex> lock(the->mutex);
  Client* client = the->Find(Id(handle), input);
  if (client == nullptr) return MMSYSERR_INVALHANDLE;
  if (!client->lent.empty() || !client->queued.empty()) {
    ++the->refused_closes;
    return MIDIERR_STILLPLAYING;
  }
  the->PostCallback(Id(handle), input ? MIM_CLOSE : MOM_CLOSE, 0, 0);
  the->cv.wait(lock, [&] { return the->clients.at(Id(handle)).pending_callbacks == 0; });
  the->clients.erase(Id(handle));
  return MMSYSERR_NOERROR;
}

// Hands a message to one started input client's buffers; with the lock held.
void Fill(std::uintptr_t handle, Client& client, const WinMmStandIn::Bytes& bytes, UINT msg) {
  std::size_t pos = 0;
  do {
    if (client.lent.empty()) {
      ++the->dropped;
      return;
    }
    ::MIDIHDR* header = client.lent.front();
    client.lent.pop_front();
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - pos, header->dwBufferLength);
    std::memcpy(header->lpData, bytes.data() + pos, chunk);
    header->dwBytesRecorded = static_cast<DWORD>(chunk);
    WinMmStandIn::State::Returned(header);
    pos += chunk;
    // The callback runs once the thread gets to it; the buffer is the client's again already.
    the->PostCallback(handle, msg, reinterpret_cast<DWORD_PTR>(header), 0);
  } while (pos < bytes.size());
}

void Deliver(UINT device, const WinMmStandIn::Bytes& bytes, bool malformed) {
  std::lock_guard<std::mutex> lock(the->mutex);
  for (auto& [handle, client] : the->clients) {
    if (!client.input || client.device != device || !client.started) continue;
    if (malformed) {
      Fill(handle, client, bytes, MIM_LONGERROR);
    } else if (bytes.front() == 0xF0) {
      Fill(handle, client, bytes, MIM_LONGDATA);
    } else {
      DWORD packed = 0;
      for (std::size_t i = 0; i < bytes.size() && i < 3; ++i) packed |= DWORD{bytes[i]} << (8 * i);
      the->PostCallback(handle, MIM_DATA, packed, 0);
    }
  }
}

// A long send ends: the header is done at once, MOM_DONE comes a moment later.
void Finish(std::uintptr_t handle, Client& client, ::MIDIHDR* header) {
  std::erase(client.queued, header);
  WinMmStandIn::State::Returned(header);
  the->PostCallback(handle, MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0, kDoneDelay);
}

MMRESULT SetStarted(::HMIDIIN handle, bool started, const char* name) {
  the->Enter(name);
  std::lock_guard<std::mutex> lock(the->mutex);
  Client* client = the->Find(Id(handle), true);
  if (client == nullptr) return MMSYSERR_INVALHANDLE;
  client->started = started;
  return MMSYSERR_NOERROR;
}

WinMmApi StandInApi() {
  WinMmApi api{};
  api.midiInGetNumDevs = []() -> UINT {
    the->Enter("midiInGetNumDevs");
    std::lock_guard<std::mutex> lock(the->mutex);
    return static_cast<UINT>(the->inputs.size());
  };
  api.midiInGetDevCapsW = [](UINT_PTR device, LPMIDIINCAPSW caps, UINT size) -> MMRESULT {
    the->Enter("midiInGetDevCapsW");
    std::lock_guard<std::mutex> lock(the->mutex);
    return GetCaps(the->inputs, device, caps, size);
  };
  api.midiInOpen = [](LPHMIDIIN handle, UINT device, DWORD_PTR proc, DWORD_PTR instance,
                      DWORD flags) -> MMRESULT {
    the->Enter("midiInOpen");
    return Open(handle, device, proc, instance, flags, true);
  };
  api.midiInClose = [](::HMIDIIN handle) -> MMRESULT {
    the->Enter("midiInClose");
    return Close(handle, true);
  };
  api.midiInPrepareHeader = [](::HMIDIIN handle, LPMIDIHDR header, UINT size) -> MMRESULT {
    the->Enter("midiInPrepareHeader");
    return Prepare(handle, header, size, true);
  };
  api.midiInUnprepareHeader = [](::HMIDIIN handle, LPMIDIHDR header, UINT) -> MMRESULT {
    the->Enter("midiInUnprepareHeader");
    return Unprepare(handle, header, true);
  };
  api.midiInAddBuffer = [](::HMIDIIN handle, LPMIDIHDR header, UINT) -> MMRESULT {
    the->Enter("midiInAddBuffer");
    std::lock_guard<std::mutex> lock(the->mutex);
    Client* client = the->Find(Id(handle), true);
    if (client == nullptr) return MMSYSERR_INVALHANDLE;
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    client->lent.push_back(header);
    return MMSYSERR_NOERROR;
  };
  api.midiInStart = [](::HMIDIIN handle) { return SetStarted(handle, true, "midiInStart"); };
  api.midiInStop = [](::HMIDIIN handle) { return SetStarted(handle, false, "midiInStop"); };
  api.midiInReset = [](::HMIDIIN handle) -> MMRESULT {
    the->Enter("midiInReset");
    std::lock_guard<std::mutex> lock(the->mutex);
    Client* client = the->Find(Id(handle), true);
    if (client == nullptr) return MMSYSERR_INVALHANDLE;
    client->started = false;
    for (::MIDIHDR* header : client->lent) {
      header->dwBytesRecorded = 0;
      WinMmStandIn::State::Returned(header);
      the->PostCallback(Id(handle), MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), 0);
    }
    client->lent.clear();
    return MMSYSERR_NOERROR;
  };
  api.midiOutGetNumDevs = []() -> UINT {
    the->Enter("midiOutGetNumDevs");
    std::lock_guard<std::mutex> lock(the->mutex);
    return static_cast<UINT>(the->outputs.size());
  };
  api.midiOutGetDevCapsW = [](UINT_PTR device, LPMIDIOUTCAPSW caps, UINT size) -> MMRESULT {
    the->Enter("midiOutGetDevCapsW");
    std::lock_guard<std::mutex> lock(the->mutex);
    return GetCaps(the->outputs, device, caps, size);
  };
  api.midiOutOpen = [](LPHMIDIOUT handle, UINT device, DWORD_PTR proc, DWORD_PTR instance,
                       DWORD flags) -> MMRESULT {
    the->Enter("midiOutOpen");
    return Open(handle, device, proc, instance, flags, false);
  };
  api.midiOutClose = [](::HMIDIOUT handle) -> MMRESULT {
    the->Enter("midiOutClose");
    return Close(handle, false);
  };
  api.midiOutPrepareHeader = [](::HMIDIOUT handle, LPMIDIHDR header, UINT size) -> MMRESULT {
    the->Enter("midiOutPrepareHeader");
    return Prepare(handle, header, size, false);
  };
  api.midiOutUnprepareHeader = [](::HMIDIOUT handle, LPMIDIHDR header, UINT) -> MMRESULT {
    the->Enter("midiOutUnprepareHeader");
    return Unprepare(handle, header, false);
  };
  api.midiOutLongMsg = [](::HMIDIOUT handle, LPMIDIHDR header, UINT size) -> MMRESULT {
    the->Enter("midiOutLongMsg");
    std::lock_guard<std::mutex> lock(the->mutex);
    Client* client = the->Find(Id(handle), false);
    if (client == nullptr) return MMSYSERR_INVALHANDLE;
    if (size != sizeof(::MIDIHDR)) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(header->lpData);
    the->sent[client->device].emplace_back(bytes, bytes + header->dwBufferLength);
    client->queued.push_back(header);
    if (!the->stall) {
      const std::uintptr_t id = Id(handle);
      the->Post([id, header] {
        std::lock_guard<std::mutex> lock(the->mutex);
        Client* client = the->Find(id, false);
        if (client != nullptr && std::count(client->queued.begin(), client->queued.end(), header)) {
          Finish(id, *client, header);
        }
      });
    }
    return MMSYSERR_NOERROR;
  };
  api.midiOutShortMsg = [](::HMIDIOUT handle, DWORD message) -> MMRESULT {
    the->Enter("midiOutShortMsg");
    std::lock_guard<std::mutex> lock(the->mutex);
    Client* client = the->Find(Id(handle), false);
    if (client == nullptr) return MMSYSERR_INVALHANDLE;
    WinMmStandIn::Bytes bytes;
    for (int i = 0; i < 3; ++i) bytes.push_back(static_cast<std::uint8_t>(message >> (8 * i)));
    the->sent[client->device].push_back(bytes);
    return MMSYSERR_NOERROR;
  };
  api.midiOutReset = [](::HMIDIOUT handle) -> MMRESULT {
    the->Enter("midiOutReset");
    std::lock_guard<std::mutex> lock(the->mutex);
    Client* client = the->Find(Id(handle), false);
    if (client == nullptr) return MMSYSERR_INVALHANDLE;
    while (!client->queued.empty()) Finish(Id(handle), *client, client->queued.front());
    return MMSYSERR_NOERROR;
  };
  return api;
}

}  // namespace

WinMmStandIn::WinMmStandIn() : state_(std::make_unique<State>()) {
  the = state_.get();
  state_->thread = std::thread([this] { state_->Run(); });
}

WinMmStandIn::~WinMmStandIn() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->quitting = true;
  }
  state_->cv.notify_all();
  state_->thread.join();
  EXPECT_TRUE(state_->clients.empty()) << state_->clients.size() << " handle(s) left open";
  the = nullptr;
}

WinMmApi WinMmStandIn::Api() const { return StandInApi(); }

void WinMmStandIn::SetInputs(std::vector<std::wstring> names) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->inputs = std::move(names);
}

void WinMmStandIn::SetOutputs(std::vector<std::wstring> names) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->outputs = std::move(names);
}

void WinMmStandIn::Arrive(UINT device, Bytes bytes) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->Post([device, bytes = std::move(bytes)] { Deliver(device, bytes, false); });
}

void WinMmStandIn::ArriveMalformed(UINT device, Bytes bytes) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->Post([device, bytes = std::move(bytes)] { Deliver(device, bytes, true); });
}

void WinMmStandIn::StallSends(bool stall) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->stall = stall;
}

void WinMmStandIn::Settle() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->cv.wait(lock, [&] { return state_->tasks.empty() && !state_->running_task; });
}

std::vector<WinMmStandIn::Bytes> WinMmStandIn::Sent(UINT device) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->sent[device];
}

int WinMmStandIn::Lent(UINT device) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  int lent = 0;
  for (const auto& [handle, client] : state_->clients) {
    if (client.input && client.device == device) lent += static_cast<int>(client.lent.size());
  }
  return lent;
}

int WinMmStandIn::Dropped() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->dropped;
}

int WinMmStandIn::RefusedCloses() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->refused_closes;
}

std::vector<std::string> WinMmStandIn::Calls() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->calls;
}

}  // namespace fen
