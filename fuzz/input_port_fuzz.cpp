// Fuzz target: arbitrary traffic on the input port while a run waits for its replies. The
// input is a list of driver events: buffer returns of any length and content (a long message
// comes split over several), buffers handed back with any recorded count and done flag, short
// messages, and dispatcher ticks; the worker meanwhile moves through the run as replies come.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/update_session.h"
#include "engine/update_view.h"
#include "support/fake_midi_driver.h"
#include "support/fake_timer_service.h"
#include "support/null_view.h"

namespace {

// One session with a run under way; the timer ticks only when the input says so, on this
// thread, so the dispatcher sees exactly the traffic given.
struct Harness {
  Harness() {
    driver.SetInputNames({"USB Audio Device"});
    driver.SetOutputNames({"USB Audio Device"});
    fen::UpdateTiming timing;  // the shipped waits: the run waits while the input is fed
    timing.begin_pause_ms = 5;
    timing.retry_pause_ms = 1;
    session = std::make_unique<fen::UpdateSession>(
        view, fen::UpdateServices{.driver = &driver, .timer = &timers}, timing);
    session->Initialise();
    session->Execute(0, 0);
  }
  ~Harness() { session->Teardown(); }

  fen::FakeMidiDriver driver;
  fen::FakeTimerService timers;
  fen::testing::NullView view;
  std::unique_ptr<fen::UpdateSession> session;
};

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint32_t Word() {
    std::uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w |= std::uint32_t{Byte()} << (8 * i);
    return w;
  }
  std::vector<std::uint8_t> Take(std::size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::unique_ptr<Harness> h;
  static unsigned inputs = 0;
  // A fresh session now and then, which also tears one down in the middle of a run.
  if (!h || ++inputs % 20000 == 0) h = std::make_unique<Harness>();
  // A port whose buffer was handed back empty or not done hears nothing more until it is
  // opened again, as "Execute" does.
  if (h->driver.LentBuffers() == 0) {
    h->session->in_port().Close();
    h->session->in_port().Open();
  }

  Reader in(data, size);
  while (!in.empty()) {
    const std::uint8_t op = in.Byte();
    switch (op & 7) {
      case 0:
      case 1: {  // a buffer return holding these bytes, at most the buffer's length
        const std::size_t n = std::size_t{in.Byte()} | std::size_t{in.Byte()} << 8;
        h->driver.DeliverLong(in.Take(n));
        break;
      }
      case 2: {  // a full buffer, as the parts of a message longer than it come: a head from
                 // the input and a body of a repeated pattern
        const std::size_t n = (std::size_t{in.Byte()} | std::size_t{in.Byte()} << 8) % 8193;
        std::vector<std::uint8_t> bytes = in.Take(in.Byte() % 16);
        const std::uint8_t a = in.Byte();
        const std::uint8_t b = in.Byte();
        while (bytes.size() < n) bytes.push_back(bytes.size() % 2 ? a : b);
        bytes.resize(n);
        h->driver.DeliverLong(bytes);
        break;
      }
      case 3: {  // the buffer handed back as it is, with any count and done flag
        const std::uint32_t recorded = in.Word();
        h->driver.ReturnBuffer(recorded, (in.Byte() & 1) != 0);
        break;
      }
      case 4:
        h->driver.DeliverShort(in.Word());
        break;
      case 5:
        h->session->DispatchReplies();
        break;
      case 6:
        h->timers.TickNow();
        break;
      default: {  // a message of the protocol's own shape with some bytes from the input
        const std::uint8_t kind = in.Byte();
        const std::uint8_t a = in.Byte();
        const std::uint8_t b = in.Byte();
        if (kind & 1) {
          h->driver.DeliverLong(
              {0xF0, 0x52, 0x00, static_cast<std::uint8_t>(kind & 2 ? 0x57 : 0x61), a, b, 0xF7});
        } else {
          h->driver.DeliverLong({0xF0, 0x7E, a, 0x06, static_cast<std::uint8_t>(kind >> 6), 0x52, b,
                                 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7});
        }
        break;
      }
    }
    // A run that has ended is started again, so that the traffic meets every wait.
    if (!h->session->WorkerRunning() && !h->session->busy()) h->session->Execute(0, 0);
  }
  h->session->DispatchReplies();
  // The fakes record every call and message: forget them, or memory grows with the run.
  h->driver.ClearCalls();
  h->driver.ClearSent();
  h->timers.ClearCalls();
  return 0;
}
