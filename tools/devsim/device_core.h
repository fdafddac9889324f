// The simulated device's behaviour, one message at a time and without threads: its flash,
// its answers, the faults it plays and what it records. SimDevice runs it on a thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "devsim/fault.h"
#include "devsim/host_message.h"
#include "devsim/sim_report.h"
#include "devsim/sim_timing.h"
#include "protocol/messages.h"
#include "firmware/firmware.h"

namespace fen::devsim {

using Bytes = std::vector<std::uint8_t>;
// The image of a resource ID; an empty image when there is none.
using ImageLookup = std::function<FirmwareImage(int resource_id)>;

struct SimOptions {
  std::uint8_t model_id = 0x57;
  // The manufacturer ID of its Identity Reply: another maker's device when it is not the
  // family's.
  std::uint8_t manufacturer_id = kManufacturerId;
  // The device ID the device answers Identity Requests for (besides 0x7F, all devices).
  std::uint8_t device_id = 0x00;
  std::array<std::uint8_t, 4> software_revision = {0x31, 0x30, 0x30, 0x30};
  // What the flash holds before the first erase: the old firmware, so that a block written
  // over it without an erase fails.
  std::uint8_t initial_fill = 0x00;
  std::vector<Fault> faults;
  SimTiming timing;
};

class DeviceCore {
 public:
  // What one received message makes the device do, in this order: the message comes in over
  // the link, the device sends its own requests, works, then answers.
  struct Outcome {
    double arrive_ms = 0;
    std::vector<Bytes> requests;
    double work_ms = 0;  // erasing or programming, turnaround, the answer on the wire, lateness
    bool has_reply = false;
    Bytes reply;
  };

  explicit DeviceCore(SimOptions options);

  Outcome Handle(const std::uint8_t* data, std::size_t size);

  // The device's own requests to the host; each is recorded with the answer it expects.
  Bytes MakeIdentityRequest();
  // `command` from 0x01 to 0x7F: 0x01, 0x04 and 0x05 expect Status 0, 0x02 and 0x03 nothing,
  // the rest Status 1.
  Bytes MakeVendorRequest(std::uint8_t command);

  void AddFault(const Fault& fault);

  Report MakeReport() const;
  FlashCheck CheckFlash(const ImageLookup& images) const;
  const std::vector<std::uint8_t>& flash() const { return flash_; }
  std::uint8_t model_id() const { return options_.model_id; }
  std::uint64_t finish_updates_received() const { return report_.finish_updates; }
  const SimOptions& options() const { return options_; }

 private:
  struct FaultState {
    Fault fault;
    int hits = 0;
  };
  struct Pending {
    std::size_t record;
    bool host_had_accepted;
    std::uint8_t expected_status;
  };

  FaultState* TakeFault(FaultKind kind, int at);
  void Played(const FaultState& f, const std::string& where);
  void Answer(Outcome* out, std::uint8_t status, FaultKind late_kind, int at);
  void Count(const ParsedMessage& m);
  void HandleIdentityRequest(const ParsedMessage& m, Outcome* out);
  void HandleErase(const ParsedMessage& m, Outcome* out);
  void HandleWrite(const ParsedMessage& m, std::size_t size, Outcome* out);
  void TakeIdentityAnswer(const std::uint8_t* data, std::size_t size, const ParsedMessage& m);
  void TakeStatusAnswer(const std::uint8_t* data, std::size_t size, const ParsedMessage& m);
  std::uint8_t ProgramBlock(const ParsedMessage& m, Outcome* out);

  SimOptions options_;
  std::vector<std::uint8_t> flash_;
  std::vector<FaultState> faults_;
  std::vector<std::uint32_t> block_arrivals_;
  Bytes unpacked_;
  bool silent_ = false;
  bool host_accepted_ = false;  // a Begin Update for this model came, so the host took it
  Report report_;
  std::vector<RequestRecord> records_;
  std::deque<Pending> pending_identity_;
  std::deque<Pending> pending_status_;
};

}  // namespace fen::devsim
