// The simulated device plugged into the virtual bus, seen from the program's side of it.
#include "devsim/virtual_bus_device.h"

#include <gtest/gtest.h>

#include "devsim_test_util.h"

namespace fen::devsim {
namespace {

using namespace fen::devsim::testing;

const MidiEndpoint* Find(const std::vector<MidiEndpoint>& list, const std::string& client) {
  for (const MidiEndpoint& e : list) {
    if (e.client == client) return &e;
  }
  return nullptr;
}

// The program's side: both ports of one device open, what comes back recorded.
class HostPorts {
 public:
  HostPorts(VirtualMidiBus& bus, const std::string& client) {
    const std::vector<MidiEndpoint> outs = bus.ListOutputs();
    const std::vector<MidiEndpoint> ins = bus.ListInputs();
    if (const MidiEndpoint* out = Find(outs, client)) out_ = bus.OpenOutput(*out);
    if (const MidiEndpoint* in = Find(ins, client)) in_ = bus.OpenInput(*in, received_.Sender());
  }
  bool open() const { return out_ && in_; }
  bool Send(const Bytes& m) { return out_->Send(m.data(), m.size()); }
  std::vector<Bytes> Take() { return received_.Take(); }

 private:
  Recorder received_;
  std::unique_ptr<MidiOutputConnection> out_;
  std::unique_ptr<MidiInputConnection> in_;
};

TEST(VirtualBusDevice, AppearsUnderItsClientNameAndAnswersThroughTheBus) {
  VirtualMidiBus bus;
  SimOptions options;
  options.model_id = 0x61;
  VirtualBusDevice first(bus);
  VirtualBusDevice second(bus, options, "Other Device");
  HostPorts host(bus, "USB Audio Device");
  ASSERT_TRUE(host.open());
  HostPorts other(bus, "Other Device");
  ASSERT_TRUE(other.open());

  EXPECT_TRUE(host.Send(IdentityRequestMessage()));
  EXPECT_TRUE(other.Send(IdentityRequestMessage()));
  first.WaitIdle();
  second.WaitIdle();
  const std::vector<Bytes> a = host.Take();
  const std::vector<Bytes> b = other.Take();
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a[0][6], 0x57);
  EXPECT_EQ(b[0][6], 0x61);
}

TEST(VirtualBusDevice, AVanishedDeviceLeavesTheListsAndHearsNothingMore) {
  VirtualMidiBus bus;
  VirtualBusDevice device(bus);
  HostPorts host(bus, kDefaultClientName);
  ASSERT_TRUE(host.open());
  device.Vanish();
  EXPECT_EQ(Find(bus.ListOutputs(), kDefaultClientName), nullptr);
  EXPECT_EQ(Find(bus.ListInputs(), kDefaultClientName), nullptr);
  host.Send(IdentityRequestMessage());
  bus.Flush();
  device.WaitIdle();
  EXPECT_TRUE(host.Take().empty());
  EXPECT_EQ(device.device().GetReport().messages_received, 0u);
}

TEST(VirtualBusDevice, AWholeUpdateWithTheBuiltInImagesLeavesTheFlashHoldingThem) {
  const FirmwareSet& images = FirmwareSet::Builtin();
  VirtualMidiBus bus;
  VirtualBusDevice device(bus);
  HostPorts host(bus, kDefaultClientName);
  ASSERT_TRUE(host.open());
  EXPECT_FALSE(device.device().FlashHoldsImages(images));
  for (const Bytes& m : WholeUpdate(0x57, LookupIn(images))) host.Send(m);
  device.WaitIdle();
  EXPECT_EQ(host.Take().size(), 1u + 1 + 5 + 1908 + 1);
  const Report report = device.device().GetReport(images);
  EXPECT_TRUE(report.flash.holds_images) << BlockRanges(report.flash.mismatched_blocks);
  EXPECT_TRUE(device.device().FlashHoldsImages(images));
}

}  // namespace
}  // namespace fen::devsim
