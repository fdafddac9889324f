// Closing the window at any moment of a run: inside a send, in a pause, with an error box open,
// in the wait after Begin Update, while the device floods the input, or anywhere at random.
// Each close must end the worker quickly, and the window must hear nothing after it has gone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "devsim/host_message.h"
#include "engine/update_session.h"
#include "platform/midi/midi_driver.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "platform/steady_clock.h"
#include "soak/soak_link.h"
#include "soak/soak_view.h"

namespace fen::soak {
namespace {

using devsim::Fault;
using devsim::FaultKind;

enum class Moment {
  kAnywhere,       // a random delay after Execute
  kInsideSend,     // the worker's send held by a slow link
  kInPause,        // the pause after Begin Update, or before a block is sent again
  kErrorBox,       // the box of a failed run still open
  kAfterBegin,     // Begin Update never answered
  kFlood,          // the device floods the input with junk
  kBeforeExecute,  // the window closed before any run
};
constexpr int kMoments = 7;

const char* MomentName(Moment m) {
  static const char* const kNames[] = {"anywhere",    "inside a send", "in a pause",    "error box",
                                       "after begin", "flood",         "before execute"};
  return kNames[static_cast<int>(m)];
}

struct TeardownResult {
  double teardown_ms = 0;
  int calls_after_gone = 0;
  bool worker_running_after = false;
};

// One run closed at a moment of the given kind; `rng` chooses where exactly.
TeardownResult RunAndClose(Moment moment, std::mt19937& rng) {
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  UpdateTiming timing = UpdateTiming::Shrunk();
  devsim::SimOptions options;
  options.timing = devsim::SimTiming::Instant();
  // A block within the first image, so that runs reach it quickly.
  const int block = pick(0, 127);
  switch (moment) {
    case Moment::kInPause:
      timing.begin_pause_ms = 200;
      timing.retry_pause_ms = 200;
      options.faults.push_back({FaultKind::kCrc, block, 0, 0, 1});
      break;
    case Moment::kErrorBox:
      options.faults.push_back(pick(0, 1) == 0 ? Fault{FaultKind::kCrc, block, 0, 0, 7}
                                               : Fault{FaultKind::kNotUpdateMode, -1, 0, 0, 0});
      break;
    default:
      break;
  }

  auto bus = std::make_shared<VirtualMidiBus>();
  auto slow = std::make_shared<SlowLinkBackend>(bus);
  SoakLink link(*bus, options);
  if (moment == Moment::kAfterBegin) {
    link.SetDrop([](const devsim::ParsedMessage& m) {
      return m.kind == devsim::HostMessageKind::kBeginUpdate;
    });
  }
  SoakView view;
  view.set_hold_error_boxes(true);
  // The driver's own bounds: a send the MIDI system never finishes is abandoned when the port
  // closes, after its close wait.
  MidiDriver driver(std::vector<std::shared_ptr<MidiBackend>>{slow});
  auto session = std::make_unique<UpdateSession>(view, UpdateServices{.driver = &driver}, timing);
  session->Initialise();

  if (moment != Moment::kBeforeExecute) {
    if (moment == Moment::kFlood) link.StartFlood(static_cast<std::uint64_t>(pick(1, 1 << 30)));
    EXPECT_EQ(session->Execute(0, 0), UpdateSession::ExecuteOutcome::kStarted);
    switch (moment) {
      case Moment::kAnywhere:
      case Moment::kFlood:
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 250)));
        break;
      case Moment::kInsideSend:
        // Somewhere in the run, the link stops taking messages; the worker or the dispatcher
        // is then inside a send when the window closes.
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 150)));
        slow->Hold();
        EXPECT_TRUE(slow->WaitForSendInProgress(5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 20)));
        break;
      case Moment::kInPause:
        // The status line is cleared right before the pause after Begin Update; the block's
        // CRC error comes right before a pause too.
        if (pick(0, 1) == 0) {
          EXPECT_TRUE(view.WaitForPrefix("status ", 5000));
        } else {
          EXPECT_TRUE(view.WaitForPrefix("status Data transmit", 5000));
          link.device().WaitIdleFor(std::chrono::milliseconds(5000));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 150)));
        break;
      case Moment::kErrorBox: {
        const auto until = SteadyClock::now() + std::chrono::seconds(10);
        while (!view.error_box_open() && SteadyClock::now() < until) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(view.error_box_open());
        break;
      }
      case Moment::kAfterBegin:
        EXPECT_TRUE(view.WaitForPrefix("status Erasing Flash memory.", 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 50)));
        break;
      default:
        break;
    }
  }

  // The window closes: its calls return at once from now on, then the session is torn down.
  const auto start = SteadyClock::now();
  view.Close();
  session->Teardown();
  TeardownResult result;
  result.teardown_ms =
      std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
  view.Gone();
  result.worker_running_after = session->WorkerRunning();
  session.reset();
  // Whatever the worker or the dispatcher might still do would show up now.
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  result.calls_after_gone = view.calls_after_gone();
  slow->Release();
  link.StopFlood();
  return result;
}

// The window closes while the worker is on its way into a wait, after the close has already
// woken every wait: the wait must not take the close's signal for an earlier reply's and drop it.
TEST(TeardownAtAnyMoment, AWindowClosedJustBeforeAWaitStartsDoesNotWaitOutTheTimeOut) {
  class ClosingView : public SoakView {
   public:
    void SetStepCounter(const std::string& text) override {
      SoakView::SetStepCounter(text);
      if (text != "0/9" || session == nullptr) return;
      closer = std::thread([this] {
        const auto start = SteadyClock::now();
        session->Teardown();
        teardown_ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
        closed.store(true);
      });
      // The close runs up to its join while the worker is still here, before its first wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    UpdateSession* session = nullptr;
    std::thread closer;
    std::atomic<bool> closed{false};
    double teardown_ms = 0;
  };

  auto bus = std::make_shared<VirtualMidiBus>();
  devsim::SimOptions options;
  SoakLink link(*bus, options);
  MidiDriver driver(std::vector<std::shared_ptr<MidiBackend>>{bus});
  ClosingView view;
  UpdateTiming timing = UpdateTiming::Shrunk();
  timing.identity_wait_ms = 10000;
  UpdateSession session(view, UpdateServices{.driver = &driver}, timing);
  session.Initialise();
  view.session = &session;
  ASSERT_EQ(session.Execute(0, 0), UpdateSession::ExecuteOutcome::kStarted);
  const auto until = SteadyClock::now() + std::chrono::seconds(20);
  while (!view.closed.load() && SteadyClock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(view.closed.load());
  view.closer.join();
  EXPECT_LT(view.teardown_ms, 1000.0) << "the worker waited out the identity wait";
  EXPECT_FALSE(session.WorkerRunning());
}

// 210 closes in three parts of 70, so that the suite can run them side by side; each part goes
// through every kind of moment ten times.
class TeardownAtAnyMomentPart : public ::testing::TestWithParam<int> {};

TEST_P(TeardownAtAnyMomentPart, SeventyClosesEndQuicklyAndTouchNothingAfterwards) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  double longest = 0;
  int runs = 0;
  for (int i = 0; i < 70; ++i) {
    const auto moment = static_cast<Moment>(i % kMoments);
    SCOPED_TRACE(std::string("run ") + std::to_string(i) + ", " + MomentName(moment));
    const TeardownResult r = RunAndClose(moment, rng);
    EXPECT_LT(r.teardown_ms, 1000.0) << "the close hung";
    EXPECT_EQ(r.calls_after_gone, 0);
    EXPECT_FALSE(r.worker_running_after);
    longest = std::max(longest, r.teardown_ms);
    ++runs;
  }
  RecordProperty("runs", runs);
  RecordProperty("longest_teardown_ms", static_cast<int>(longest));
  std::printf("%d closes, longest teardown %.1f ms\n", runs, longest);
}

INSTANTIATE_TEST_SUITE_P(ThreeParts, TeardownAtAnyMomentPart, ::testing::Values(1, 2, 3));

}  // namespace
}  // namespace fen::soak
