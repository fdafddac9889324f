// The virtual bus's connections: a program input on a peer's output, and a program output
// whose sends the bus delivers to the peer.
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/midi/virtual/virtual_bus_core.h"

namespace fen {
namespace {

using namespace virtual_bus;

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
