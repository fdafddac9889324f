// Inside the virtual MIDI bus: the peers, the program's inputs and the one delivery queue
// that the bus (virtual_midi_bus.cpp), its port listing (virtual_ports.cpp) and its
// connections (virtual_connections.cpp) share. Internal to platform/midi/virtual/.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/midi/virtual/virtual_midi_bus.h"

namespace fen {
namespace virtual_bus {

inline constexpr const char* kPeerOutPort = "out";
inline constexpr const char* kPeerInPort = "in";

struct PeerState {
  int id = 0;
  std::string client_name;
  MidiReceiver receiver;
  bool removed = false;

  std::string input_id() const { return std::to_string(id) + ":" + kPeerOutPort; }
  std::string output_id() const { return std::to_string(id) + ":" + kPeerInPort; }
};

// A program input open on a peer's output.
struct InputState {
  std::shared_ptr<PeerState> peer;
  MidiReceiver receiver;
  bool closed = false;
};

struct Delivery {
  std::shared_ptr<PeerState> to_peer;    // what the program sent, for the peer
  std::shared_ptr<InputState> to_input;  // what the peer sent, for one program input
  std::vector<std::uint8_t> bytes;
};

struct BusCore {
  std::mutex mutex;
  // The delivery thread waits on work_cv for something to deliver; Remove, a closing input and
  // Flush wait on cv for a delivery to end. Kept apart, a message delivered on the sending
  // thread does not wake the idle delivery thread for nothing.
  std::condition_variable cv;
  std::condition_variable work_cv;
  std::deque<Delivery> queue;
  std::uint64_t queued = 0;
  std::uint64_t delivered = 0;
  bool stopping = false;
  bool delivering = false;        // a receiver runs, on the bus thread or a sending thread
  std::thread::id inline_thread;  // the sending thread delivering, if any
  int next_peer_id = 1;
  std::map<int, std::shared_ptr<PeerState>> peers;  // in the order they were added
  std::vector<std::shared_ptr<InputState>> inputs;
  // What the delivery thread is calling right now, so that Remove and a closing input can
  // wait until it is done.
  const PeerState* delivering_peer = nullptr;
  const InputState* delivering_input = nullptr;
  std::thread::id thread_id;
  std::thread thread;

  bool OnBusThread() const { return std::this_thread::get_id() == thread_id; }
  // True inside a receiver: Remove and closing an input must not wait for themselves there.
  bool OnDeliveringThread() const {
    const auto self = std::this_thread::get_id();
    return self == thread_id || (delivering && self == inline_thread);
  }

  // Call with the lock held. Delivers on the calling thread when nothing is queued or being
  // delivered, so the order stays that of the queue; false when the message must be queued.
  bool DeliverNow(std::unique_lock<std::mutex>& lock, const std::shared_ptr<PeerState>& to_peer,
                  const std::shared_ptr<InputState>& to_input, const std::uint8_t* data,
                  std::size_t size) {
    if (delivering || !queue.empty()) return false;
    MidiReceiver peer_receiver;  // a copy: SetReceiver may replace it meanwhile
    const MidiReceiver* target = nullptr;
    if (to_peer) {
      if (!to_peer->removed && to_peer->receiver) {
        peer_receiver = to_peer->receiver;
        target = &peer_receiver;
      }
      delivering_peer = to_peer.get();
    } else if (!to_input->closed && !to_input->peer->removed) {
      target = &to_input->receiver;  // set once when the input opened
      delivering_peer = to_input->peer.get();
      delivering_input = to_input.get();
    }
    ++queued;
    if (target != nullptr) {
      delivering = true;
      inline_thread = std::this_thread::get_id();
      lock.unlock();
      try {
        (*target)(data, size);
      } catch (...) {
        // A receiver that throws loses its message, not the bus.
      }
      lock.lock();
      delivering = false;
      inline_thread = std::thread::id();
    }
    delivering_peer = nullptr;
    delivering_input = nullptr;
    ++delivered;
    // Messages queued meanwhile are the delivery thread's, in order.
    if (!queue.empty()) work_cv.notify_one();
    cv.notify_all();
    return true;
  }

  // Call with the mutex held.
  void Enqueue(Delivery delivery) {
    queue.push_back(std::move(delivery));
    ++queued;
    work_cv.notify_one();
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      work_cv.wait(lock, [&] { return stopping || (!queue.empty() && !delivering); });
      if (stopping) return;
      Delivery delivery = std::move(queue.front());
      queue.pop_front();
      MidiReceiver target;
      if (delivery.to_peer) {
        if (!delivery.to_peer->removed) target = delivery.to_peer->receiver;
        delivering_peer = delivery.to_peer.get();
      } else if (!delivery.to_input->closed && !delivery.to_input->peer->removed) {
        target = delivery.to_input->receiver;
        delivering_peer = delivery.to_input->peer.get();
        delivering_input = delivery.to_input.get();
      }
      if (target) {
        delivering = true;
        lock.unlock();
        try {
          target(delivery.bytes.data(), delivery.bytes.size());
        } catch (...) {
          // A receiver that throws loses its message, not the bus.
        }
        lock.lock();
        delivering = false;
      }
      delivering_peer = nullptr;
      delivering_input = nullptr;
      ++delivered;
      cv.notify_all();
    }
  }
};

}  // namespace virtual_bus

struct VirtualMidiBus::Impl : virtual_bus::BusCore {};

}  // namespace fen
