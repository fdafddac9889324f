// The driver's per-handle threads: delivery into lent input buffers, and the output's sender.
#include "platform/midi/driver_ports.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/midi/midi_byte_framer.h"

namespace fen::driver_ports {

std::size_t PackedLength(std::uint8_t status) {
  return std::max<std::size_t>(1, ShortMessageLength(status));
}

void MarkReturned(MIDIHDR* header) {
  header->dwFlags.fetch_and(~MHDR_INQUEUE);
  header->dwFlags.fetch_or(MHDR_DONE);
}

void Invoke(InState& state, std::uint32_t msg, std::uintptr_t param1, std::uintptr_t param2) {
  if (state.callback == nullptr) return;
  try {
    state.callback(state.handle, msg, state.instance, param1, param2);
  } catch (...) {
    // A callback that throws must not take the delivery thread down with it.
  }
}

namespace {

void DeliverSysEx(InState& state, const std::uint8_t* data, std::size_t size,
                  std::uintptr_t stamp) {
  std::size_t pos = 0;
  while (pos < size) {
    MIDIHDR* header = nullptr;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      // With no buffer lent the rest of the message is dropped, as WinMM drops input that finds
      // no buffer.
      if (!state.started || state.lent.empty()) return;
      header = state.lent.front();
      state.lent.pop_front();
    }
    const std::size_t chunk = std::min<std::size_t>(size - pos, header->dwBufferLength);
    std::memcpy(header->lpData, data + pos, chunk);
    header->dwBytesRecorded = static_cast<std::uint32_t>(chunk);
    MarkReturned(header);
    pos += chunk;
    Invoke(state, MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(header), stamp);
  }
}

}  // namespace

void Deliver(InState& state, const std::uint8_t* data, std::size_t size,
             SteadyClock::time_point when) {
  std::uintptr_t stamp = 0;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.started || when < state.start_time) return;
    stamp = static_cast<std::uintptr_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(when - state.start_time).count());
  }
  std::size_t pos = 0;
  while (pos < size) {
    const std::uint8_t status = data[pos];
    if (status == 0xF0) {
      DeliverSysEx(state, data + pos, size - pos, stamp);
      return;
    }
    if (status < 0x80 || status == 0xF7) {  // stray data or a lone end of SysEx
      ++pos;
      continue;
    }
    const std::size_t length = std::min(PackedLength(status), size - pos);
    std::uint32_t packed = 0;
    for (std::size_t i = 0; i < length; ++i) packed |= std::uint32_t{data[pos + i]} << (8 * i);
    pos += length;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      if (!state.started) return;
    }
    Invoke(state, MIM_DATA, packed, stamp);
  }
}

void DeliveryLoop(const std::shared_ptr<InState>& state) {
  Inbox& inbox = *state->inbox;
  for (;;) {
    Arrival arrival;
    {
      std::unique_lock<std::mutex> lock(inbox.mutex);
      inbox.cv.wait(lock, [&] { return inbox.closing || !inbox.arrivals.empty(); });
      if (inbox.closing) return;
      arrival = std::move(inbox.arrivals.front());
      inbox.arrivals.pop_front();
    }
    CallbackGate gate(*state);
    Deliver(*state, arrival.bytes.data(), arrival.bytes.size(), arrival.when);
  }
}

// ---- Output ------------------------------------------------------------------------------

void SenderLoop(const std::shared_ptr<OutShared>& shared) {
  std::unique_lock<std::mutex> lock(shared->mutex);
  for (;;) {
    shared->cv.wait(lock, [&] { return shared->closing || !shared->queue.empty(); });
    if (shared->closing) break;
    OutJob job = std::move(shared->queue.front());
    shared->queue.pop_front();
    shared->current_header = job.header;
    lock.unlock();
    bool ok = false;
    try {
      ok = shared->connection->Send(job.bytes.data(), job.bytes.size());
    } catch (...) {
      ok = false;
    }
    lock.lock();
    // A failed send still finishes the header: the message is lost, as with a device that
    // vanished, and the caller's wait for the reply catches it.
    if (shared->current_header != nullptr) MarkReturned(shared->current_header);
    shared->current_header = nullptr;
    if (job.result) {
      job.result->finished = true;
      job.result->ok = ok;
    }
    shared->cv.notify_all();
  }
  lock.unlock();
  shared->connection.reset();
  lock.lock();
  shared->exited = true;
  shared->cv.notify_all();
}

void TakeBackHeaders(OutShared& shared, bool mark_done) {
  auto take_back = [mark_done](MIDIHDR* header) {
    if (header == nullptr) return;
    header->dwFlags.fetch_and(~MHDR_INQUEUE);
    if (mark_done) header->dwFlags.fetch_or(MHDR_DONE);
  };
  for (OutJob& job : shared.queue) {
    take_back(job.header);
    if (job.result) job.result->finished = true;
  }
  shared.queue.clear();
  take_back(shared.current_header);
  shared.current_header = nullptr;
  shared.cv.notify_all();
}

}  // namespace fen::driver_ports
