// The simulated device driven as the updater drives it: a whole update, the flash's rules,
// its answers to every kind of message, and the faults it plays on request.
#include "devsim/sim_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "devsim_test_util.h"
#include "platform/steady_clock.h"

namespace fen::devsim {
namespace {

using namespace fen::devsim::testing;

SimOptions WithFaults(const std::string& faults) {
  SimOptions options;
  std::string error;
  EXPECT_TRUE(ParseFaults(faults, &options.faults, &error)) << error;
  return options;
}

// A device with the range of step 5 (blocks 128 to 133) erased and nothing answered yet.
class PreparedDevice {
 public:
  explicit PreparedDevice(SimOptions options = {})
      : device_(std::move(options), recorder_.Sender()) {
    Give(device_, EraseStep(4));
    device_.WaitIdle();
    recorder_.Take();
  }
  std::vector<int> Send(std::initializer_list<int> blocks) {
    for (int b : blocks) Give(device_, BlockMessage(b));
    device_.WaitIdle();
    return Statuses(recorder_.Take());
  }
  SimDevice& device() { return device_; }
  Recorder& recorder() { return recorder_; }
  bool Holds(int block) {
    const PlanRow* row = nullptr;
    std::uint32_t offset = 0;
    BlockLocation(block, &row, &offset);
    const Bytes& image = TestImages().at(row->resource_id);
    return device_.ReadFlash(row->address + offset, kPlanBlockLength) ==
           Bytes(image.begin() + offset, image.begin() + offset + kPlanBlockLength);
  }

 private:
  Recorder recorder_;
  SimDevice device_;
};

TEST(SimDeviceUpdate, AWholeUpdateLeavesEveryWriteRangeHoldingItsImage) {
  Recorder recorder;
  SimDevice device(SimOptions{}, recorder.Sender());
  EXPECT_FALSE(device.FlashHoldsImages(TestLookup()));
  for (const Bytes& m : WholeUpdate()) Give(device, m);
  device.WaitIdle();

  const std::vector<Bytes> sent = recorder.Take();
  ASSERT_EQ(sent.size(), 1u + 1 + 5 + 1908 + 1);
  EXPECT_EQ(sent[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x57, 0x00, 0x00, 0x00, 0x31, 0x30,
                            0x30, 0x30, 0xF7}));
  for (std::size_t i = 1; i < sent.size(); ++i) {
    ASSERT_EQ(sent[i], (Bytes{0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7})) << "message " << i;
  }
  const Report report = device.GetReport(TestLookup());
  EXPECT_TRUE(report.flash.holds_images);
  EXPECT_TRUE(report.flash.mismatched_blocks.empty());
  EXPECT_EQ(report.write_blocks, 1908u);
  EXPECT_EQ(report.blocks_written, 1908u);
  EXPECT_EQ(report.ranges_erased, 5u);
  EXPECT_EQ(report.blocks_sent_again, 0u);
  EXPECT_EQ(report.finish_updates, 1u);
  EXPECT_TRUE(device.WaitForFinishUpdate(std::chrono::milliseconds(0)));
  EXPECT_NE(report.ToJson().find("\"holds_images\":true"), std::string::npos);
}

TEST(SimDeviceUpdate, TheFlashCheckNamesTheBlocksThatDifferAndMissingImages) {
  PreparedDevice d;
  d.Send({128, 129, 130, 131, 132, 133});
  FlashCheck check = d.device().CheckFlash(TestLookup());
  EXPECT_FALSE(check.holds_images);
  EXPECT_EQ(BlockRanges(check.mismatched_blocks), "0-127,134-1907");

  const ImageLookup without_137 = [](int id) {
    return id == 137 ? FirmwareImage{} : TestLookup()(id);
  };
  check = d.device().CheckFlash(without_137);
  EXPECT_EQ(check.missing_images, std::vector<int>{137});
}

TEST(SimDeviceFlash, ABlockWhoseCrcDoesNotMatchIsAnswered8AndNotWritten) {
  PreparedDevice d;
  Bytes corrupt = BlockMessage(128);
  corrupt[500] ^= 0x01;
  Give(d.device(), corrupt);
  d.device().WaitIdle();
  EXPECT_EQ(Statuses(d.recorder().Take()), std::vector<int>{8});
  EXPECT_EQ(d.device().ReadFlash(0x3FD000, kPlanBlockLength), Bytes(kPlanBlockLength, 0xFF));
  EXPECT_EQ(d.Send({128}), std::vector<int>{0});
  EXPECT_TRUE(d.Holds(128));
  EXPECT_EQ(d.device().GetReport().crc_errors, 1u);
}

TEST(SimDeviceFlash, ABlockThatLostBytesOnTheWayIsAnswered8) {
  PreparedDevice d;
  Bytes cut = BlockMessage(128);
  cut.erase(cut.begin() + 300, cut.begin() + 310);
  Give(d.device(), cut);
  d.device().WaitIdle();
  EXPECT_EQ(Statuses(d.recorder().Take()), std::vector<int>{8});
}

TEST(SimDeviceFlash, ABlockOverFlashThatWasNotErasedIsAnswered3AndNotWritten) {
  Recorder recorder;
  SimDevice device(SimOptions{}, recorder.Sender());
  Give(device, BlockMessage(0));
  device.WaitIdle();
  EXPECT_EQ(Statuses(recorder.Take()), std::vector<int>{3});
  EXPECT_EQ(device.ReadFlash(0, kPlanBlockLength), Bytes(kPlanBlockLength, 0x00));
  EXPECT_EQ(device.GetReport().flash_errors, 1u);
}

TEST(SimDeviceFlash, ABlockSentAgainOverItselfIsAcceptedButNotOverOtherData) {
  PreparedDevice d;
  EXPECT_EQ(d.Send({128, 128}), (std::vector<int>{0, 0}));
  const Bytes& image = TestImages().at(133);
  Bytes other(image.begin() + 2048, image.begin() + 4096);  // block 129's bytes
  Give(d.device(), WriteMessage(other.data(), 0x3FD000, kBlockLength));
  d.device().WaitIdle();
  EXPECT_EQ(Statuses(d.recorder().Take()), std::vector<int>{3});
  EXPECT_TRUE(d.Holds(128));
  EXPECT_EQ(d.device().GetReport().blocks_sent_again, 2u) << "both later arrivals at its address";
}

TEST(SimDeviceFlash, RangesOutsideTheFlashOrOffSectorsAreRefusedWith1AndChangeNothing) {
  Recorder recorder;
  SimDevice device(SimOptions{}, recorder.Sender());
  Give(device, EraseMessage(0x3FF000, 0x2000));  // past the end
  Give(device, EraseMessage(0x000800, 0x1000));  // off a sector boundary
  Give(device, EraseMessage(0x001000, 0));
  const std::uint8_t data[16] = {};
  Give(device, WriteMessage(data, 0x3FFFF8, 16));  // runs past the end
  Give(device, EraseMessage(0x001000, 0x1000));
  device.WaitIdle();
  EXPECT_EQ(Statuses(recorder.Take()), (std::vector<int>{1, 1, 1, 1, 0}));
  EXPECT_EQ(device.ReadFlash(0x3FF000, 0x1000), Bytes(0x1000, 0x00));
  EXPECT_EQ(device.ReadFlash(0x000000, 0x1000), Bytes(0x1000, 0x00));
  EXPECT_EQ(device.ReadFlash(0x001000, 0x1000), Bytes(0x1000, 0xFF));
  EXPECT_EQ(device.GetReport().rejected, 4u);
}

TEST(SimDeviceMessages, AnswersIdentityWithItsModelAndOnlyForItsDeviceIdOrAll) {
  Recorder recorder;
  SimOptions options;
  options.model_id = 0x61;
  SimDevice device(options, recorder.Sender());
  Give(device, IdentityRequestMessage(0x00));
  Give(device, IdentityRequestMessage(0x7F));
  Give(device, IdentityRequestMessage(0x10));
  device.WaitIdle();
  const std::vector<Bytes> sent = recorder.Take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x61, 0x00, 0x00, 0x00, 0x31, 0x30,
                            0x30, 0x30, 0xF7}));
  EXPECT_EQ(sent[1], sent[0]);
}

TEST(SimDeviceMessages, AnswersItsOwnModelAndIgnoresOthersAndJunk) {
  Recorder recorder;
  SimDevice device(SimOptions{}, recorder.Sender());
  Give(device, VendorMessage(kCmdBeginUpdate, 0x61));
  Give(device, EraseStep(4, 0x61));
  Give(device, BlockMessage(128, 0x61));
  Give(device, Bytes{0xF0, 0x41, 0x00, 0x57, 0x01, 0xF7});
  Give(device, Bytes{0x90, 0x40, 0x7F});
  Give(device, Bytes{0xF0, 0x52, 0x00, 0x57, 0x01});
  Give(device, VendorMessage(kCmdBeginUpdate));
  Give(device, VendorMessage(0x03));
  Give(device, VendorMessage(kCmdFinishUpdate));
  device.WaitIdle();
  EXPECT_EQ(Statuses(recorder.Take()), (std::vector<int>{0, 1, 0}));
  const Report r = device.GetReport();
  EXPECT_EQ(r.other_model, 3u);
  EXPECT_EQ(r.malformed, 1u);
  EXPECT_EQ(r.other_messages, 3u);
  EXPECT_EQ(r.ranges_erased, 0u);
}

TEST(SimDeviceMessages, RandomAndTruncatedInputIsCountedNotFatal) {
  Recorder recorder;
  SimDevice device(SimOptions{}, recorder.Sender());
  std::mt19937 rng(7);
  const Bytes block = BlockMessage(0);
  for (int i = 0; i < 300; ++i) {
    const std::size_t n = rng() % block.size();
    Bytes m(block.begin(), block.begin() + n);
    if (rng() % 2) m.push_back(0xF7);
    for (int k = 0; k < 3 && !m.empty(); ++k)
      m[rng() % m.size()] = static_cast<std::uint8_t>(rng());
    Give(device, m);
  }
  Give(device, IdentityRequestMessage());
  device.WaitIdle();
  const std::vector<Bytes> sent = recorder.Take();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().size(), 15u) << "the device still answers after the junk";
  EXPECT_EQ(device.GetReport().messages_received, 301u);
}

TEST(SimDeviceFaults, BlockErrorsHitTheirBlockForTheirCountAndWriteNothing) {
  PreparedDevice d(WithFaults("crc@129x2 flash@130 status@131=42 crc@132 flash@132"));
  EXPECT_EQ(d.Send({128, 129}), (std::vector<int>{0, 8}));
  EXPECT_FALSE(d.Holds(129));
  EXPECT_EQ(d.Send({129, 129}), (std::vector<int>{8, 0}));
  EXPECT_EQ(d.Send({130, 130, 131, 131}), (std::vector<int>{3, 0, 42, 0}));
  EXPECT_EQ(d.Send({132, 132, 132, 133}), (std::vector<int>{8, 3, 0, 0}))
      << "two faults on one block play one after the other";
  for (int b = 128; b <= 133; ++b) EXPECT_TRUE(d.Holds(b)) << b;
  const Report r = d.device().GetReport();
  EXPECT_EQ(r.faults_played_count, 6u);
  EXPECT_EQ(r.faults_played.front(), "crc@129x2 on block 129 (hit 1)");
  EXPECT_EQ(r.crc_errors, 0u) << "played faults are not real CRC errors";
}

TEST(SimDeviceFaults, ACountOfZeroHitsEveryArrival) {
  PreparedDevice d(WithFaults("flash@128x0"));
  EXPECT_EQ(d.Send({128, 128, 128, 128, 128, 128, 128, 129}),
            (std::vector<int>{3, 3, 3, 3, 3, 3, 3, 0}));
}

TEST(SimDeviceFaults, NoReplyDropsTheBlockUnwritten) {
  PreparedDevice d(WithFaults("noreply@128x2"));
  EXPECT_EQ(d.Send({128, 128}), std::vector<int>{});
  EXPECT_FALSE(d.Holds(128));
  EXPECT_EQ(d.Send({128}), std::vector<int>{0});
  EXPECT_TRUE(d.Holds(128));
}

TEST(SimDeviceFaults, ALateReplyStillComesBeforeTheAnswerToTheNextMessage) {
  PreparedDevice d(WithFaults("late@128:40 crc@129"));
  EXPECT_EQ(d.Send({128, 129}), (std::vector<int>{0, 8}));
  EXPECT_TRUE(d.Holds(128)) << "a late block is written all the same";
}

TEST(SimDeviceFaults, SilentFromABlockOnAnswersNothingAgain) {
  PreparedDevice d(WithFaults("silent@130"));
  EXPECT_EQ(d.Send({128, 129, 130, 131}), (std::vector<int>{0, 0}));
  Give(d.device(), IdentityRequestMessage());
  Give(d.device(), VendorMessage(kCmdFinishUpdate));
  d.device().WaitIdle();
  EXPECT_TRUE(d.recorder().Take().empty());
  EXPECT_FALSE(d.Holds(130));
  EXPECT_TRUE(d.device().GetReport().went_silent);
}

TEST(SimDeviceFaults, SilentWithoutABlockIsADeviceThatNeverAnswers) {
  Recorder recorder;
  SimDevice device(WithFaults("silent"), recorder.Sender());
  Give(device, IdentityRequestMessage());
  device.WaitIdle();
  EXPECT_TRUE(recorder.Take().empty());
}

TEST(SimDeviceFaults, IdentityAndSessionFaultsPlayInTurnThenStop) {
  Recorder recorder;
  SimDevice device(WithFaults("model=0x33x1 identity-status=3x1 identity-noreplyx1 "
                              "not-update-modex1 begin-status=5x1 no-finish-replyx1 "
                              "finish-status=9x1"),
                   recorder.Sender());
  for (int i = 0; i < 4; ++i) Give(device, IdentityRequestMessage());
  for (int i = 0; i < 3; ++i) Give(device, VendorMessage(kCmdBeginUpdate));
  for (int i = 0; i < 3; ++i) Give(device, VendorMessage(kCmdFinishUpdate));
  device.WaitIdle();
  const std::vector<Bytes> sent = recorder.Take();
  ASSERT_EQ(sent.size(), 3u + 3 + 2);
  EXPECT_EQ(Statuses({sent[0]}), std::vector<int>{3}) << "the first request went unanswered";
  EXPECT_EQ(sent[1][6], 0x33);
  EXPECT_EQ(sent[2][6], 0x57);
  EXPECT_EQ(Statuses({sent.begin() + 3, sent.end()}), (std::vector<int>{11, 5, 0, 9, 0}));
}

TEST(SimDeviceFaults, EraseFaultsHitTheirStepAndLeaveTheFlashAsItWas) {
  Recorder recorder;
  SimDevice device(WithFaults("erase-status@4=5x2 erase-noreply@1 erase-late@2:30"),
                   recorder.Sender());
  Give(device, EraseStep(4));
  Give(device, EraseStep(4));
  device.WaitIdle();
  EXPECT_EQ(device.ReadFlash(0x3FD000, 0x3000), Bytes(0x3000, 0x00));
  for (int step : {1, 2, 4, 1}) Give(device, EraseStep(step));
  device.WaitIdle();
  EXPECT_EQ(Statuses(recorder.Take()), (std::vector<int>{5, 5, 0, 0, 0}));
  EXPECT_EQ(device.ReadFlash(0x3FD000, 0x3000), Bytes(0x3000, 0xFF));
  EXPECT_EQ(device.GetReport().ranges_erased, 3u);
}

TEST(SimDeviceFaults, RequestsAimedAtABlockGoOutBeforeItsAnswer) {
  PreparedDevice d(WithFaults("identity-request@128 vendor-request@129=0x05"));
  Give(d.device(), BlockMessage(128));
  Give(d.device(), BlockMessage(129));
  d.device().WaitIdle();
  const std::vector<Bytes> sent = d.recorder().Take();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], IdentityRequestMessage());
  EXPECT_EQ(Statuses({sent[1]}), std::vector<int>{0});
  EXPECT_EQ(sent[2], VendorMessage(0x05));
  EXPECT_EQ(Statuses({sent[3]}), std::vector<int>{0});
  const Report r = d.device().GetReport();
  ASSERT_EQ(r.requests.size(), 2u);
  EXPECT_EQ(r.requests_unanswered, 2);
}

TEST(SimDeviceRequests, JudgesTheHostsAnswersAsTheProtocolWantsThem) {
  Recorder recorder;
  SimDevice device(SimOptions{}, recorder.Sender());
  // Before the host has taken the device, its Identity Reply names model 0x00.
  device.SendIdentityRequest();
  Give(device, IdentityReplyMessage(0x00));
  Give(device, VendorMessage(kCmdBeginUpdate));
  // From then on it must name the device's model.
  device.SendIdentityRequest();
  Give(device, IdentityReplyMessage(0x00));
  device.SendIdentityRequest();
  Give(device, IdentityReplyMessage(0x57));
  device.SendVendorRequest(0x01);
  Give(device, StatusMessage(0));
  device.SendVendorRequest(0x04);
  Give(device, StatusMessage(1));
  device.SendVendorRequest(0x06);
  Give(device, StatusMessage(1));
  device.SendVendorRequest(0x03);
  device.SendVendorRequest(0x05);
  Give(device, StatusMessage(0, 0x61));  // for another model: not an answer
  Give(device, StatusMessage(0));
  Give(device, StatusMessage(0));  // nobody asked
  device.WaitIdle();

  const std::vector<Bytes> sent = recorder.Take();
  EXPECT_EQ(sent[0], IdentityRequestMessage());
  const Report r = device.GetReport();
  ASSERT_EQ(r.requests.size(), 8u);
  std::vector<std::string> outcomes;
  for (const RequestRecord& rec : r.requests) outcomes.push_back(rec.outcome);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"right", "wrong", "right", "right", "wrong",
                                                "right", "right", "right"}));
  EXPECT_EQ(r.requests[1].received, "F0 7E 00 06 02 52 00 00 00 00 31 30 30 30 F7");
  EXPECT_EQ(r.requests[5].expected, "Status 1");
  EXPECT_EQ(r.requests[6].expected, "nothing");
  EXPECT_EQ(r.requests_right, 6);
  EXPECT_EQ(r.requests_wrong, 2);
  EXPECT_EQ(r.unexpected_answers, 1);
  EXPECT_EQ(r.other_model, 1u);
}

TEST(SimDeviceTiming, UsbPaceMakesAWholeUpdateTakeSecondsAndDinStaysInsideTheBlockWait) {
  SimOptions usb;
  usb.timing = SimTiming::Usb();
  DeviceCore core(usb);
  double total_ms = 0;
  for (const Bytes& m : WholeUpdate()) {
    const DeviceCore::Outcome out = core.Handle(m.data(), m.size());
    EXPECT_TRUE(out.has_reply);
    total_ms += out.arrive_ms + out.work_ms;
  }
  EXPECT_GT(total_ms, 5000);
  EXPECT_LT(total_ms, 20000);

  SimOptions din;
  din.timing = SimTiming::Din();
  DeviceCore slow(din);
  const Bytes erase = EraseStep(2);
  slow.Handle(erase.data(), erase.size());
  const Bytes block = BlockMessage(0);
  const DeviceCore::Outcome out = slow.Handle(block.data(), block.size());
  EXPECT_GT(out.arrive_ms, 700);
  EXPECT_LT(out.arrive_ms + out.work_ms, 1000) << "the updater waits 1000 ms for a block";
  EXPECT_EQ(SimTiming::Instant().WireMs(2359), 0);
}

// The device polls the last moments before each modelled time, or all of it, taking turns
// with the other devices of the process; one that gets no turn must answer late, never early.
class SimDeviceTimingPolls : public ::testing::TestWithParam<bool> {};

TEST_P(SimDeviceTimingPolls, ExactTimesAreNeverEarlyWhileSeveralDevicesPollAtOnce) {
  SimOptions usb;
  usb.timing = SimTiming::Usb();
  usb.timing.poll_throughout = GetParam();
  DeviceCore model(usb);
  const Bytes erase = EraseStep(4);
  model.Handle(erase.data(), erase.size());
  const Bytes block = BlockMessage(128);
  const DeviceCore::Outcome out = model.Handle(block.data(), block.size());
  const auto modelled = std::chrono::duration<double, std::milli>(out.arrive_ms + out.work_ms);

  constexpr int kDevices = 4;
  std::vector<std::thread> hosts;
  std::mutex mutex;
  std::vector<double> early_us;
  for (int d = 0; d < kDevices; ++d) {
    hosts.emplace_back([&] {
      Recorder recorder;
      SimDevice device(usb, recorder.Sender());
      Give(device, erase);
      device.WaitIdle();
      recorder.Take();
      for (int b = 128; b < 134; ++b) {
        const Bytes message = BlockMessage(b);
        const auto handed = SteadyClock::now();
        Give(device, message);
        device.WaitIdle();
        const auto taken = SteadyClock::now() - handed;
        ASSERT_EQ(Statuses(recorder.Take()), std::vector<int>{0});
        if (taken < modelled) {
          std::lock_guard<std::mutex> lock(mutex);
          early_us.push_back(std::chrono::duration<double, std::micro>(modelled - taken).count());
        }
      }
    });
  }
  for (std::thread& t : hosts) t.join();
  EXPECT_TRUE(early_us.empty()) << early_us.size() << " answers came early, the first by "
                                << early_us.front() << " us";
}

TEST_P(SimDeviceTimingPolls, DestructionDuringALongModelledDelayIsPrompt) {
  Recorder recorder;
  SimOptions options = WithFaults("erase-late@4:600000");
  options.timing.poll_throughout = GetParam();
  auto device = std::make_unique<SimDevice>(options, recorder.Sender());
  Give(*device, EraseStep(4));
  Give(*device, EraseStep(4));
  // Nothing to wait for but the device taking the first message; then it sleeps ten minutes.
  while (device->GetReport().erase_ranges == 0) std::this_thread::yield();
  EXPECT_EQ(device->GetReport().messages_pending, 1u);
  device.reset();
  EXPECT_TRUE(recorder.Take().empty());
}

INSTANTIATE_TEST_SUITE_P(SleepingOrPolling, SimDeviceTimingPolls, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "PollingThroughout" : "PollingTheLastMoments";
                         });

}  // namespace
}  // namespace fen::devsim
