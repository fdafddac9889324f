// The tap on the device's side of the virtual bus, and the slow-link backend wrapper.
#include "soak/soak_link.h"

#include <chrono>
#include <condition_variable>

#include "devsim/update_plan.h"

namespace fen::soak {

SoakLink::SoakLink(VirtualMidiBus& bus, devsim::SimOptions options, std::vector<NoiseBurst> noise,
                   const std::string& client_name)
    : peer_(bus.AddPeer(client_name)),
      model_id_(options.model_id),
      noise_(std::move(noise)),
      fired_(noise_.size(), false) {
  std::shared_ptr<VirtualMidiBus::Peer> peer = peer_;
  device_ = std::make_unique<devsim::SimDevice>(
      std::move(options),
      [peer](const std::uint8_t* data, std::size_t size) { peer->Send(data, size); });
  peer_->SetReceiver(
      [this](const std::uint8_t* data, std::size_t size) { OnHostMessage(data, size); });
}

SoakLink::~SoakLink() {
  StopFlood();
  peer_->Remove();
  device_.reset();
}

void SoakLink::SetDrop(std::function<bool(const devsim::ParsedMessage&)> drop) {
  std::lock_guard<std::mutex> lock(drop_mutex_);
  drop_ = std::move(drop);
}

bool SoakLink::Fires(const NoiseTrigger& trigger, const devsim::ParsedMessage& m) const {
  using Kind = devsim::HostMessageKind;
  switch (trigger.on) {
    case NoiseTrigger::On::kIdentityRequest:
      return m.kind == Kind::kIdentityRequest;
    case NoiseTrigger::On::kBeginUpdate:
      return m.kind == Kind::kBeginUpdate;
    case NoiseTrigger::On::kFinishUpdate:
      return m.kind == Kind::kFinishUpdate;
    case NoiseTrigger::On::kEraseStep:
      return m.kind == Kind::kEraseRange && m.length_ok &&
             devsim::EraseStepOf(m.address, m.size) == trigger.at;
    case NoiseTrigger::On::kBlock:
      return m.kind == Kind::kWriteBlock && devsim::BlockNumberOf(m.address) == trigger.at;
  }
  return false;
}

void SoakLink::OnHostMessage(const std::uint8_t* data, std::size_t size) {
  const devsim::ParsedMessage m = devsim::ParseHostMessage(data, size);
  // Junk goes out before the device has seen the message, so it reaches the program while
  // the program waits for the answer.
  for (std::size_t i = 0; i < noise_.size(); ++i) {
    if (fired_[i] || !Fires(noise_[i].trigger, m)) continue;
    fired_[i] = true;
    for (const Bytes& junk : noise_[i].messages) {
      peer_->Send(junk.data(), junk.size());
      junk_sent_.fetch_add(1);
    }
  }
  {
    std::lock_guard<std::mutex> lock(drop_mutex_);
    if (drop_ && drop_(m)) return;
  }
  device_->OnHostMessage(data, size);
}

void SoakLink::StartFlood(std::uint64_t seed) {
  if (flooding_.exchange(true)) return;
  flood_ = std::thread([this, seed] {
    JunkSource junk(seed, model_id_);
    while (flooding_.load()) {
      // In bursts, so that the bus's queue stays bounded while the program drains it.
      for (int i = 0; i < 64 && flooding_.load(); ++i) {
        const Bytes message = junk.Next();
        if (peer_->Send(message.data(), message.size())) junk_sent_.fetch_add(1);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
}

void SoakLink::StopFlood() {
  flooding_.store(false);
  if (flood_.joinable()) flood_.join();
}

void SoakLink::Vanish() { peer_->Remove(); }

// ---------------------------------------------------------------------------------------

struct SlowLinkBackend::State {
  std::mutex mutex;
  std::condition_variable cv;
  bool held = false;
  bool shutdown = false;
  std::atomic<int> in_progress{0};
  std::atomic<int> delay_ms{0};
};

class SlowLinkBackend::Output : public MidiOutputConnection {
 public:
  Output(std::unique_ptr<MidiOutputConnection> inner, std::shared_ptr<State> state)
      : inner_(std::move(inner)), state_(std::move(state)) {}

  bool Send(const std::uint8_t* data, std::size_t size) override {
    state_->in_progress.fetch_add(1);
    {
      std::unique_lock<std::mutex> lock(state_->mutex);
      state_->cv.notify_all();
      const auto until =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(state_->delay_ms.load());
      state_->cv.wait_until(lock, until, [this] { return state_->shutdown; });
      state_->cv.wait(lock, [this] { return !state_->held || state_->shutdown; });
    }
    const bool ok = inner_->Send(data, size);
    state_->in_progress.fetch_sub(1);
    return ok;
  }

 private:
  std::unique_ptr<MidiOutputConnection> inner_;
  // Shared, so that a send the driver abandoned still has it after the backend is gone.
  std::shared_ptr<State> state_;
};

SlowLinkBackend::SlowLinkBackend(std::shared_ptr<MidiBackend> inner)
    : ForwardingMidiBackend(std::move(inner)), state_(std::make_shared<State>()) {}

void SlowLinkBackend::set_send_delay_ms(int ms) { state_->delay_ms.store(ms); }

int SlowLinkBackend::sends_in_progress() const { return state_->in_progress.load(); }

SlowLinkBackend::~SlowLinkBackend() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->shutdown = true;
  state_->cv.notify_all();
}

void SlowLinkBackend::Hold() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->held = true;
}

void SlowLinkBackend::Release() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->held = false;
  state_->cv.notify_all();
}

bool SlowLinkBackend::WaitForSendInProgress(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return state_->in_progress.load() > 0; });
}

std::unique_ptr<MidiOutputConnection> SlowLinkBackend::OpenOutput(const MidiEndpoint& endpoint) {
  auto opened = inner().OpenOutput(endpoint);
  if (!opened) return nullptr;
  return std::make_unique<Output>(std::move(opened), state_);
}

}  // namespace fen::soak
