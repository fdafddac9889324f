// The MIDI messages a receiver was handed, from any thread, for tests of the backends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/backend.h"

namespace fen::testing {

struct CollectedMessages {
  using Bytes = std::vector<std::uint8_t>;

  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Bytes> messages;

  MidiReceiver Receiver() {
    return [this](const std::uint8_t* data, std::size_t size) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        messages.emplace_back(data, data + size);
      }
      cv.notify_all();
    };
  }
  std::vector<Bytes> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
  }
  // What has come once `count` messages have, or after ten seconds.
  std::vector<Bytes> WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return messages.size() >= count; });
    return messages;
  }
  // Sizes only: a failure shows the shape of what arrived without pages of bytes.
  static std::string Sizes(const std::vector<Bytes>& messages) {
    std::string text;
    for (const Bytes& m : messages) text += std::to_string(m.size()) + " ";
    return text;
  }
};

}  // namespace fen::testing
