// The flash steps: FlashStepPlan, RunFlashPlan, and the erase and block-transfer loops with
// their retries and time-outs (worker thread).
#include <optional>

#include "engine/session_texts.h"
#include "engine/string_table.h"
#include "engine/update_session.h"
#include "firmware/firmware.h"

namespace fen {

namespace {

// Each image is written over the range erased just before it, of exactly its size.
constexpr std::int32_t RangeOf(int resource_id) {
  return static_cast<std::int32_t>(FirmwareImageSize(resource_id));
}

}  // namespace

const std::array<FlashStep, 9> FlashStepPlan = {{
    {FlashStepKind::kErase, 0x0EF000, 0x001000, 0},
    {FlashStepKind::kErase, 0x000000, RangeOf(136), 0},
    {FlashStepKind::kWrite, 0x000000, RangeOf(136), 136},
    {FlashStepKind::kErase, 0x3FD000, RangeOf(133), 0},
    {FlashStepKind::kWrite, 0x3FD000, RangeOf(133), 133},
    {FlashStepKind::kErase, 0x0F0000, RangeOf(137), 0},
    {FlashStepKind::kWrite, 0x0F0000, RangeOf(137), 137},
    {FlashStepKind::kErase, 0x040000, RangeOf(129), 0},
    {FlashStepKind::kWrite, 0x040000, RangeOf(129), 129},
}};

int UpdateSession::RunFlashPlan() {
  int row_number = 0;
  for (const FlashStep& row : FlashStepPlan) {
    ++row_number;
    if (other_host_.load()) return EndRun(UpdateResult::kOtherHost);
    current_row_ = row_number;
    ViewStepCounter(FormatStepCounter(row_number, kTotalSteps));
    if (!Aborted()) view_.FlashStepStarted(row_number, row.kind);
    int result = 0;
    if (row.kind == FlashStepKind::kErase) {
      result = RunEraseStep(row.address, row.size);
    } else if (row.kind == FlashStepKind::kWrite) {
      result = RunWriteStep(row.address, row.size, row.resource_id);
    }
    if (result == -1) return -1;
  }
  return 0;
}

int UpdateSession::RunEraseStep(std::int32_t address, std::int32_t size) {
  SettleOwedReplies(timing_.write_wait_ms);
  ViewProgressRange(10);
  int tries = 0;
  for (;;) {
    ExpectReply();
    SendEraseRange(current_model_id_.load(), address, size);
    ViewProgressPos(1);
    ViewStatusLine(LoadString(IDS_ERASING_FLASH));
    if (!WaitReply(timing_.erase_wait_ms)) return EndRun(UpdateResult::kEraseTimeout);
    const std::int32_t status = status_code_.load();
    if (const auto end = EndingStatus(status)) return EndRun(*end);
    if (status == 0) {
      ViewProgressPos(10);
      return 0;
    }
    if (const auto end = RetryOrEnd(&tries, 0, status, UpdateResult::kEraseErrors)) {
      return EndRun(*end);
    }
  }
}

std::optional<UpdateResult> UpdateSession::RetryOrEnd(int* tries, std::int32_t offset,
                                                      std::int32_t status, UpdateResult exhausted) {
  if (*tries >= kMaxTries - 1) return exhausted;
  ++*tries;
  if (!Aborted()) view_.Retrying(current_row_, offset, *tries, status);
  if (!Pause(timing_.retry_pause_ms)) return UpdateResult::kAborted;
  return std::nullopt;
}

int UpdateSession::RunWriteStep(std::int32_t address, std::int32_t size, std::int32_t resource_id) {
  const FirmwareImage image = firmware_.Find(resource_id);
  current_image_ = image.data;
  current_image_length_ = size == 0 ? static_cast<std::int32_t>(image.size) : size;
  // A missing or short image would be read past its end; report it as a failed transfer.
  if (image.data == nullptr || current_image_length_ <= 0 ||
      static_cast<std::size_t>(current_image_length_) > image.size) {
    return EndRun(UpdateResult::kTransferError);
  }
  SettleOwedReplies(timing_.erase_wait_ms);
  spin_misses_ = 0;
  block_reply_latency_ = {};
  ViewProgressRange(current_image_length_);
  std::int32_t offset = 0;
  int tries = 0;
  bool resend = false;
  for (;;) {
    const std::int32_t length = current_image_length_ - offset < kBlockLength
                                    ? current_image_length_ - offset
                                    : kBlockLength;
    if (other_host_.load()) return EndRun(UpdateResult::kOtherHost);
    bool signalled = true;
    // A reply to an earlier try of this block may have come during the pause. A success means
    // the block is in flash: sending it again would only be refused by the device.
    const bool arrived = resend && TakeArrivedReply();
    if (const auto end = arrived ? EndingStatus(status_code_.load()) : std::nullopt) {
      return EndRun(*end);
    }
    if (!(arrived && status_code_.load() == 0)) {
      ExpectReply();
      const auto sent = SteadyClock::now();
      SendWriteBlock(current_model_id_.load(), current_image_ + offset, address + offset, length);
      counters_.blocks_sent.fetch_add(1);
      ViewStatusLine(FormatDataTransmit(offset, current_image_length_));
      signalled = WaitBlockReply(sent, timing_.write_wait_ms);
    }
    resend = false;
    if (!signalled) {
      if (const auto end = RetryOrEnd(&tries, offset, -1, UpdateResult::kWriteTimeout)) {
        return EndRun(*end);
      }
      resend = true;
      continue;
    }
    const std::int32_t status = status_code_.load();
    if (const auto end = EndingStatus(status)) return EndRun(*end);
    if (status == 0) {
      counters_.blocks_acknowledged.fetch_add(1);
      tries = 0;
      offset += kBlockLength;
      ViewProgressPos(offset < current_image_length_ ? offset : current_image_length_);
      // Replies still owed for earlier tries of this block are taken before the next block,
      // so none of them can pass for the next block's answer.
      if (!SettleOwedReplies(timing_.write_wait_ms)) {
        // The device went silent right after the block: what the next block would have met.
        return EndRun(UpdateResult::kWriteTimeout);
      }
      if (offset >= current_image_length_) return 0;
      continue;
    }
    if (status == kStatusCrcMismatch) {
      Log(kLogCrcError);
    } else if (status == kStatusFlashWriteFailed) {
      Log(kLogFlashWriteError);
    }
    if (const auto end = RetryOrEnd(&tries, offset, status, UpdateResult::kTransferError)) {
      return EndRun(*end);
    }
    resend = true;
  }
}

}  // namespace fen
