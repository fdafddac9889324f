// The in-process virtual MIDI bus: one queue and one delivery thread carry every message, in
// the order sent, between the program's ports and the peers. A message sent while the bus is
// idle is delivered at once on the sending thread, which saves a thread hand-over per message.
#include "platform/midi/virtual/virtual_midi_bus.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace fen {
namespace {

constexpr const char* kPeerOutPort = "out";
constexpr const char* kPeerInPort = "in";

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

class PeerHandle : public VirtualMidiBus::Peer {
 public:
  PeerHandle(std::shared_ptr<BusCore> impl, std::shared_ptr<PeerState> state)
      : impl_(std::move(impl)), state_(std::move(state)) {}
  // A peer whose last handle goes away leaves the bus, as a client that quits.
  ~PeerHandle() override { Remove(); }

  const std::string& client_name() const override { return state_->client_name; }

  void SetReceiver(MidiReceiver receiver) override {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    state_->receiver = std::move(receiver);
  }

  bool Send(const std::uint8_t* data, std::size_t size) override {
    if (data == nullptr || size == 0) return false;
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (state_->removed || impl_->stopping) return false;
    // A copy: the list may change while a delivery runs without the lock.
    std::vector<std::shared_ptr<InputState>> targets;
    for (const auto& input : impl_->inputs) {
      if (input->peer == state_ && !input->closed) targets.push_back(input);
    }
    for (const auto& input : targets) {
      if (!impl_->DeliverNow(lock, nullptr, input, data, size)) {
        impl_->Enqueue({nullptr, input, std::vector<std::uint8_t>(data, data + size)});
      }
    }
    return true;
  }

  void Remove() override {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (!state_->removed) {
      state_->removed = true;
      impl_->peers.erase(state_->id);
    }
    if (impl_->OnDeliveringThread()) return;  // the call in progress is the caller itself
    impl_->cv.wait(lock, [&] { return impl_->delivering_peer != state_.get(); });
  }

 private:
  std::shared_ptr<BusCore> impl_;
  std::shared_ptr<PeerState> state_;
};

class VirtualInput : public MidiInputConnection {
 public:
  VirtualInput(std::shared_ptr<BusCore> impl, std::shared_ptr<InputState> state)
      : impl_(std::move(impl)), state_(std::move(state)) {}
  ~VirtualInput() override {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    state_->closed = true;
    std::erase(impl_->inputs, state_);
    if (impl_->OnDeliveringThread()) return;
    impl_->cv.wait(lock, [&] { return impl_->delivering_input != state_.get(); });
  }

 private:
  std::shared_ptr<BusCore> impl_;
  std::shared_ptr<InputState> state_;
};

class VirtualOutput : public MidiOutputConnection {
 public:
  VirtualOutput(std::shared_ptr<BusCore> impl, std::shared_ptr<PeerState> peer)
      : impl_(std::move(impl)), peer_(std::move(peer)) {}

  bool Send(const std::uint8_t* data, std::size_t size) override {
    if (data == nullptr || size == 0) return false;
    try {
      std::unique_lock<std::mutex> lock(impl_->mutex);
      if (peer_->removed || impl_->stopping) return false;
      if (!impl_->DeliverNow(lock, peer_, nullptr, data, size)) {
        impl_->Enqueue({peer_, nullptr, std::vector<std::uint8_t>(data, data + size)});
      }
      return true;
    } catch (...) {
      return false;
    }
  }

 private:
  std::shared_ptr<BusCore> impl_;
  std::shared_ptr<PeerState> peer_;
};

}  // namespace

struct VirtualMidiBus::Impl : BusCore {};

VirtualMidiBus::VirtualMidiBus() : impl_(std::make_shared<Impl>()) {
  // The thread shares ownership: a destructor running on it (a peer's receiver dropping the
  // last reference) must not free what the thread returns to.
  std::shared_ptr<BusCore> core = impl_;
  impl_->thread = std::thread([core] { core->Run(); });
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->thread_id = impl_->thread.get_id();
}

VirtualMidiBus::~VirtualMidiBus() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
    impl_->queue.clear();
  }
  impl_->work_cv.notify_all();
  impl_->cv.notify_all();
  if (impl_->OnBusThread()) {
    impl_->thread.detach();
  } else {
    impl_->thread.join();
  }
}

std::shared_ptr<VirtualMidiBus::Peer> VirtualMidiBus::AddPeer(const std::string& client_name) {
  auto state = std::make_shared<PeerState>();
  state->client_name = client_name;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    state->id = impl_->next_peer_id++;
    impl_->peers[state->id] = state;
  }
  return std::make_shared<PeerHandle>(impl_, state);
}

void VirtualMidiBus::Flush() {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  if (impl_->OnDeliveringThread()) return;
  const std::uint64_t target = impl_->queued;
  impl_->cv.wait(lock, [&] { return impl_->stopping || impl_->delivered >= target; });
}

std::string VirtualMidiBus::Name() const { return "virtual"; }

bool VirtualMidiBus::InProcess() const { return true; }

std::vector<MidiEndpoint> VirtualMidiBus::ListInputs() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<MidiEndpoint> list;
  for (const auto& [id, peer] : impl_->peers) {
    list.push_back({peer->input_id(), peer->client_name, kPeerOutPort, std::to_string(id)});
  }
  return list;
}

std::vector<MidiEndpoint> VirtualMidiBus::ListOutputs() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<MidiEndpoint> list;
  for (const auto& [id, peer] : impl_->peers) {
    list.push_back({peer->output_id(), peer->client_name, kPeerInPort, std::to_string(id)});
  }
  return list;
}

std::unique_ptr<MidiInputConnection> VirtualMidiBus::OpenInput(const MidiEndpoint& endpoint,
                                                               MidiReceiver receiver) {
  try {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->stopping) return nullptr;
    for (const auto& [id, peer] : impl_->peers) {
      if (peer->input_id() != endpoint.id) continue;
      auto state = std::make_shared<InputState>();
      state->peer = peer;
      state->receiver = std::move(receiver);
      impl_->inputs.push_back(state);
      return std::make_unique<VirtualInput>(impl_, std::move(state));
    }
  } catch (...) {
    // Out of memory: the port cannot be opened.
  }
  return nullptr;
}

std::unique_ptr<MidiOutputConnection> VirtualMidiBus::OpenOutput(const MidiEndpoint& endpoint) {
  try {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->stopping) return nullptr;
    for (const auto& [id, peer] : impl_->peers) {
      if (peer->output_id() == endpoint.id) return std::make_unique<VirtualOutput>(impl_, peer);
    }
  } catch (...) {
    // Out of memory: the port cannot be opened.
  }
  return nullptr;
}

}  // namespace fen
