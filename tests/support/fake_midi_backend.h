// A scriptable byte-level MIDI backend for tests: ports added and removed on demand, messages
// injected by the test, sends recorded, failed or held on demand.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/backend.h"

namespace fen {

class FakeMidiBackend : public MidiBackend {
 public:
  explicit FakeMidiBackend(std::string name = "fake");
  ~FakeMidiBackend() override;

  // Ports as the backend lists them; `id` defaults to "client:port".
  void AddInput(const std::string& client, const std::string& port, std::string id = {});
  void AddOutput(const std::string& client, const std::string& port, std::string id = {});
  // The port vanishes: it leaves the list, open inputs on it receive no more, and sends to it
  // fail.
  void RemovePort(const std::string& id);

  // Hands `bytes` to the receiver of every input open on `id`, on the caller's thread as if
  // it were the backend's. Returns how many receivers got it.
  int Inject(const std::string& id, const std::vector<std::uint8_t>& bytes);

  // Every message sent to `id`, in order.
  std::vector<std::vector<std::uint8_t>> Sent(const std::string& id) const;
  void SetSendsFail(bool fail);
  // While held, Send blocks until released; HeldSends counts the sends waiting.
  void HoldSends(bool hold);
  int HeldSends() const;
  bool WaitForHeldSends(int count);  // false after a generous guard time
  // Blocks until no Send is in progress (so no abandoned thread outlives the test).
  void WaitForIdle();
  int OpenInputs() const;
  int OpenOutputs() const;

  std::string Name() const override;
  std::vector<MidiEndpoint> ListInputs() override;
  std::vector<MidiEndpoint> ListOutputs() override;
  std::unique_ptr<MidiInputConnection> OpenInput(const MidiEndpoint& endpoint,
                                                 MidiReceiver receiver) override;
  std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) override;

  struct State;

 private:
  std::string name_;
  std::shared_ptr<State> state_;
};

}  // namespace fen
