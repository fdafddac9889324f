// The scriptable fake MIDI backend: lists, receivers and recorded sends under one lock.
#include "support/fake_midi_backend.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace fen {

struct FakeInput {
  std::string id;
  MidiReceiver receiver;
  bool closed = false;
  int calling = 0;
};

struct FakeMidiBackend::State {
  mutable std::mutex mutex;
  std::condition_variable cv;
  std::vector<MidiEndpoint> inputs;
  std::vector<MidiEndpoint> outputs;
  std::vector<std::shared_ptr<FakeInput>> open_inputs;
  int open_outputs = 0;
  std::map<std::string, std::vector<std::vector<std::uint8_t>>> sent;
  bool fail = false;
  bool hold = false;
  int held = 0;
  int sending = 0;

  bool Listed(const std::vector<MidiEndpoint>& list, const std::string& id) const {
    return std::any_of(list.begin(), list.end(), [&](const MidiEndpoint& e) { return e.id == id; });
  }
};

namespace {

class Input : public MidiInputConnection {
 public:
  Input(std::shared_ptr<FakeMidiBackend::State> state, std::shared_ptr<FakeInput> input)
      : state_(std::move(state)), input_(std::move(input)) {}
  ~Input() override {
    std::unique_lock<std::mutex> lock(state_->mutex);
    input_->closed = true;
    std::erase(state_->open_inputs, input_);
    state_->cv.wait(lock, [&] { return input_->calling == 0; });
  }

 private:
  std::shared_ptr<FakeMidiBackend::State> state_;
  std::shared_ptr<FakeInput> input_;
};

class Output : public MidiOutputConnection {
 public:
  Output(std::shared_ptr<FakeMidiBackend::State> state, std::string id)
      : state_(std::move(state)), id_(std::move(id)) {}
  ~Output() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    --state_->open_outputs;
  }

  bool Send(const std::uint8_t* data, std::size_t size) override {
    std::unique_lock<std::mutex> lock(state_->mutex);
    ++state_->sending;
    if (state_->hold) {
      ++state_->held;
      state_->cv.notify_all();
      state_->cv.wait(lock, [&] { return !state_->hold; });
      --state_->held;
    }
    const bool ok = !state_->fail && state_->Listed(state_->outputs, id_);
    if (ok) state_->sent[id_].emplace_back(data, data + size);
    --state_->sending;
    state_->cv.notify_all();
    return ok;
  }

 private:
  std::shared_ptr<FakeMidiBackend::State> state_;
  std::string id_;
};

std::string IdOf(const std::string& client, const std::string& port, std::string id) {
  return id.empty() ? client + ":" + port : id;
}

}  // namespace

FakeMidiBackend::FakeMidiBackend(std::string name)
    : name_(std::move(name)), state_(std::make_shared<State>()) {}

FakeMidiBackend::~FakeMidiBackend() { HoldSends(false); }

void FakeMidiBackend::AddInput(const std::string& client, const std::string& port, std::string id) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->inputs.push_back({IdOf(client, port, std::move(id)), client, port});
}

void FakeMidiBackend::AddOutput(const std::string& client, const std::string& port,
                                std::string id) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->outputs.push_back({IdOf(client, port, std::move(id)), client, port});
}

void FakeMidiBackend::RemovePort(const std::string& id) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto gone = [&](const MidiEndpoint& e) { return e.id == id; };
  std::erase_if(state_->inputs, gone);
  std::erase_if(state_->outputs, gone);
}

int FakeMidiBackend::Inject(const std::string& id, const std::vector<std::uint8_t>& bytes) {
  std::vector<std::shared_ptr<FakeInput>> targets;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->Listed(state_->inputs, id)) return 0;
    for (const auto& input : state_->open_inputs) {
      if (input->id == id && !input->closed) {
        ++input->calling;
        targets.push_back(input);
      }
    }
  }
  for (const auto& input : targets) input->receiver(bytes.data(), bytes.size());
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const auto& input : targets) --input->calling;
  state_->cv.notify_all();
  return static_cast<int>(targets.size());
}

std::vector<std::vector<std::uint8_t>> FakeMidiBackend::Sent(const std::string& id) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->sent.find(id);
  return it == state_->sent.end() ? std::vector<std::vector<std::uint8_t>>{} : it->second;
}

void FakeMidiBackend::SetSendsFail(bool fail) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->fail = fail;
}

void FakeMidiBackend::HoldSends(bool hold) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->hold = hold;
  state_->cv.notify_all();
}

int FakeMidiBackend::HeldSends() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->held;
}

bool FakeMidiBackend::WaitForHeldSends(int count) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->cv.wait_for(lock, std::chrono::seconds(10), [&] { return state_->held >= count; });
}

void FakeMidiBackend::WaitForIdle() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->cv.wait(lock, [&] { return state_->sending == 0; });
}

int FakeMidiBackend::OpenInputs() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return static_cast<int>(state_->open_inputs.size());
}

int FakeMidiBackend::OpenOutputs() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->open_outputs;
}

std::string FakeMidiBackend::Name() const { return name_; }

std::vector<MidiEndpoint> FakeMidiBackend::ListInputs() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->inputs;
}

std::vector<MidiEndpoint> FakeMidiBackend::ListOutputs() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->outputs;
}

std::unique_ptr<MidiInputConnection> FakeMidiBackend::OpenInput(const MidiEndpoint& endpoint,
                                                                MidiReceiver receiver) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (!state_->Listed(state_->inputs, endpoint.id)) return nullptr;
  auto input = std::make_shared<FakeInput>();
  input->id = endpoint.id;
  input->receiver = std::move(receiver);
  state_->open_inputs.push_back(input);
  return std::make_unique<Input>(state_, std::move(input));
}

std::unique_ptr<MidiOutputConnection> FakeMidiBackend::OpenOutput(const MidiEndpoint& endpoint) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (!state_->Listed(state_->outputs, endpoint.id)) return nullptr;
  ++state_->open_outputs;
  return std::make_unique<Output>(state_, endpoint.id);
}

}  // namespace fen
