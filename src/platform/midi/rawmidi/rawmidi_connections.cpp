// Rawmidi ports: an input read on its own thread and framed into whole messages, and an
// output that writes whole messages and waits until the kernel has passed them on. A device
// that goes away (ENODEV) ends the input's thread and fails every later send.
#include "platform/midi/rawmidi/rawmidi_connections.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/midi/midi_byte_framer.h"

namespace fen::rawmidi {
namespace {

std::string OpenError(const std::string& id, int code) {
  if (code == -EBUSY) return id + " is in use by another program";
  return id + ": " + snd_strerror(code);
}

// Opened without blocking, so that a subdevice in use fails at once instead of waiting for
// the other program to let go; the kernel keeps a subdevice to one opener unless asked to
// share (SND_RAWMIDI_APPEND), which is the exclusive use a run needs.
snd_rawmidi_t* Open(const std::string& id, bool input, std::string* error) {
  snd_rawmidi_t* handle = nullptr;
  const int code = input ? snd_rawmidi_open(&handle, nullptr, id.c_str(), SND_RAWMIDI_NONBLOCK)
                         : snd_rawmidi_open(nullptr, &handle, id.c_str(), SND_RAWMIDI_NONBLOCK);
  if (code < 0) {
    if (error) *error = OpenError(id, code);
    return nullptr;
  }
  return handle;
}

std::vector<pollfd> Descriptors(snd_rawmidi_t* handle) {
  const int count = snd_rawmidi_poll_descriptors_count(handle);
  std::vector<pollfd> fds(count > 0 ? static_cast<std::size_t>(count) : 0);
  if (!fds.empty()) {
    const int filled = snd_rawmidi_poll_descriptors(handle, fds.data(), count);
    fds.resize(filled > 0 ? static_cast<std::size_t>(filled) : 0);
  }
  return fds;
}

class RawInput : public MidiInputConnection {
 public:
  RawInput(snd_rawmidi_t* handle, int wake, MidiReceiver receiver)
      : handle_(handle), wake_(wake), framer_(std::move(receiver)) {
    // Started last: everything it reads is in place. The first read comes at once, which
    // some drivers (USB MIDI, the gadget's f_midi) need before they pass any input on.
    thread_ = std::thread([this] { Run(); });
  }

  ~RawInput() override {
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of a counter overflow, never reached here.
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
    thread_.join();
    snd_rawmidi_close(handle_);
    close(wake_);
  }

 private:
  void Run() {
    std::vector<pollfd> fds = Descriptors(handle_);
    const std::size_t device_fds = fds.size();
    fds.push_back(pollfd{wake_, POLLIN, 0});
    std::uint8_t buffer[4096];
    for (;;) {
      // Drain whatever is there before sleeping again.
      const ssize_t got = snd_rawmidi_read(handle_, buffer, sizeof buffer);
      if (got > 0) {
        framer_.Feed(buffer, static_cast<std::size_t>(got));
        continue;
      }
      if (got < 0 && got != -EAGAIN && got != -EINTR) return;  // ENODEV and the like: gone
      for (pollfd& fd : fds) fd.revents = 0;
      if (poll(fds.data(), static_cast<nfds_t>(fds.size()), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds.back().revents != 0) return;  // closing
      unsigned short revents = 0;
      if (snd_rawmidi_poll_descriptors_revents(handle_, fds.data(),
                                               static_cast<unsigned>(device_fds), &revents) < 0 ||
          (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return;
      }
    }
  }

  snd_rawmidi_t* handle_;
  int wake_;
  MidiByteFramer framer_;
  std::thread thread_;  // last: starts after what it reads
};

class RawOutput : public MidiOutputConnection {
 public:
  RawOutput(snd_rawmidi_t* handle, std::size_t buffer_size, std::chrono::milliseconds bound)
      : handle_(handle), buffer_size_(buffer_size), bound_(bound), fds_(Descriptors(handle)) {}
  ~RawOutput() override { snd_rawmidi_close(handle_); }

  bool Send(const std::uint8_t* data, std::size_t size) override {
    if (data == nullptr || size == 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_) return false;
    const auto give_up = std::chrono::steady_clock::now() + bound_;
    std::size_t sent = 0;
    // The kernel takes bytes only into an empty buffer (see OpenOutputSubdevice), so each
    // round writes what fits and waits until the driver has taken it; the last wait is the
    // one that says the whole message has left.
    for (;;) {
      if (!WaitEmpty(give_up)) return Fail();
      if (sent == size) return true;
      const ssize_t wrote = snd_rawmidi_write(handle_, data + sent, size - sent);
      if (wrote > 0) {
        sent += static_cast<std::size_t>(wrote);
      } else if (wrote != -EAGAIN && wrote != -EINTR) {
        return Fail();
      }
    }
  }

 private:
  // Waits until the kernel's buffer is empty, which poll reports as writable (or nearly: see
  // Empty) once the buffer's low mark is all but its whole size. snd_rawmidi_drain would say the
  // same, but on drivers without a drain of their own (the gadget's f_midi) it sleeps 50 ms every
  // time.
  bool WaitEmpty(std::chrono::steady_clock::time_point give_up) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          give_up - std::chrono::steady_clock::now());
      for (pollfd& fd : fds_) fd.revents = 0;
      const int ready = poll(fds_.data(), static_cast<nfds_t>(fds_.size()),
                             left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (ready == 0) return false;  // the device takes nothing: past the bound
      unsigned short revents = 0;
      if (snd_rawmidi_poll_descriptors_revents(handle_, fds_.data(),
                                               static_cast<unsigned>(fds_.size()), &revents) < 0 ||
          (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return false;
      }
      if ((revents & POLLOUT) != 0 && Empty()) return true;
      if ((revents & POLLOUT) != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

  // Writable leaves up to one byte in the buffer (alsa-lib keeps the low mark below the
  // buffer's size); the driver takes that one within microseconds.
  bool Empty() {
    snd_rawmidi_status_t* status = nullptr;
    if (snd_rawmidi_status_malloc(&status) < 0) return true;
    const bool empty = snd_rawmidi_status(handle_, status) < 0 ||
                       snd_rawmidi_status_get_avail(status) >= buffer_size_;
    snd_rawmidi_status_free(status);
    return empty;
  }

  bool Fail() {
    gone_ = true;
    return false;
  }

  std::mutex mutex_;
  snd_rawmidi_t* handle_;
  std::size_t buffer_size_;
  std::chrono::milliseconds bound_;
  std::vector<pollfd> fds_;
  bool gone_ = false;
};

}  // namespace

std::unique_ptr<MidiInputConnection> OpenInputSubdevice(const std::string& id,
                                                        MidiReceiver receiver, std::string* error) {
  if (!receiver) return nullptr;
  const int wake = eventfd(0, EFD_CLOEXEC);
  if (wake < 0) {
    if (error) *error = std::string("eventfd: ") + std::strerror(errno);
    return nullptr;
  }
  snd_rawmidi_t* handle = Open(id, /*input=*/true, error);
  if (handle == nullptr) {
    close(wake);
    return nullptr;
  }
  try {
    return std::make_unique<RawInput>(handle, wake, std::move(receiver));
  } catch (...) {
    snd_rawmidi_close(handle);
    close(wake);
    if (error) *error = id + ": cannot start its reading thread";
    return nullptr;
  }
}

std::unique_ptr<MidiOutputConnection> OpenOutputSubdevice(const std::string& id,
                                                          std::chrono::milliseconds bound,
                                                          std::string* error) {
  snd_rawmidi_t* handle = Open(id, /*input=*/false, error);
  if (handle == nullptr) return nullptr;
  // Writable means (all but) empty: a send can then tell when the kernel has passed it on.
  snd_rawmidi_params_t* params = nullptr;
  if (snd_rawmidi_params_malloc(&params) < 0) {
    snd_rawmidi_close(handle);
    if (error) *error = id + ": out of memory";
    return nullptr;
  }
  int code = snd_rawmidi_params_current(handle, params);
  const std::size_t buffer_size = code >= 0 ? snd_rawmidi_params_get_buffer_size(params) : 0;
  if (code >= 0 && buffer_size > 1) {
    code = snd_rawmidi_params_set_avail_min(handle, params, buffer_size - 1);
  }
  if (code >= 0) code = snd_rawmidi_params(handle, params);
  snd_rawmidi_params_free(params);
  if (code < 0) {
    snd_rawmidi_close(handle);
    if (error) *error = OpenError(id, code);
    return nullptr;
  }
  try {
    return std::make_unique<RawOutput>(handle, buffer_size, bound);
  } catch (...) {
    snd_rawmidi_close(handle);
    if (error) *error = id + ": out of memory";
    return nullptr;
  }
}

}  // namespace fen::rawmidi
