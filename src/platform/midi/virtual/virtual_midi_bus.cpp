// The in-process virtual MIDI bus: one queue and one delivery thread carry every message, in
// the order sent, between the program's ports and the peers. A message sent while the bus is
// idle is delivered at once on the sending thread, which saves a thread hand-over per message.
#include "platform/midi/virtual/virtual_midi_bus.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/midi/virtual/virtual_bus_core.h"
#include "platform/port_claim.h"

namespace fen {
namespace {

using namespace virtual_bus;

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

}  // namespace

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

std::string VirtualMidiBus::DeviceKey(const MidiEndpoint& endpoint) const {
  char bus[32];
  std::snprintf(bus, sizeof bus, "%p", static_cast<const void*>(impl_.get()));
  return "virtual:" + std::to_string(CurrentProcessId()) + ":" + bus + ":" + endpoint.client_id;
}

bool VirtualMidiBus::InProcess() const { return true; }

}  // namespace fen
