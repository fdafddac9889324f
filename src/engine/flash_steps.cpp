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

std::optional<UpdateResult> UpdateSession::RunFlashPlan() {
  int row_number = 0;
  for (const FlashStep& row : FlashStepPlan) {
    ++row_number;
    if (reply_slot_.other_host()) return UpdateResult::kOtherHost;
    current_row_ = row_number;
    ViewStepCounter(FormatStepCounter(row_number, kTotalSteps));
    if (!Aborted()) view_.FlashStepStarted(row_number, row.kind);
    const std::optional<UpdateResult> end =
        row.kind == FlashStepKind::kErase ? RunEraseStep(row.address, row.size)
                                          : RunWriteStep(row.address, row.size, row.resource_id);
    if (end) return end;
  }
  return std::nullopt;
}

std::optional<UpdateResult> UpdateSession::RunEraseStep(std::int32_t address, std::int32_t size) {
  SettleOwedReplies(timing_.write_wait_ms);
  ViewProgressRange(10);
  int tries = 0;
  for (;;) {
    reply_slot_.Expect();
    SendEraseRange(current_model_id_.load(), address, size);
    ViewProgressPos(1);
    ViewStatusLine(LoadString(IDS_ERASING_FLASH));
    if (!reply_slot_.Wait(timing_.erase_wait_ms)) return UpdateResult::kEraseTimeout;
    const std::int32_t status = reply_slot_.status();
    if (const auto end = EndingStatus(status)) return end;
    if (status == 0) {
      ViewProgressPos(10);
      return std::nullopt;
    }
    if (const auto end = RetryOrEnd(&tries, 0, status, UpdateResult::kEraseErrors)) return end;
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

std::optional<UpdateResult> UpdateSession::RunWriteStep(std::int32_t address, std::int32_t size,
                                                        std::int32_t resource_id) {
  const FirmwareImage image = firmware_.Find(resource_id);
  const std::int32_t image_length = size == 0 ? static_cast<std::int32_t>(image.size) : size;
  // A missing or short image would be read past its end; report it as a failed transfer.
  if (image.data == nullptr || image_length <= 0 ||
      static_cast<std::size_t>(image_length) > image.size) {
    return UpdateResult::kTransferError;
  }
  SettleOwedReplies(timing_.erase_wait_ms);
  spin_misses_ = 0;
  block_reply_latency_ = {};
  ViewProgressRange(image_length);
  std::int32_t offset = 0;
  int tries = 0;
  bool resend = false;
  for (;;) {
    const std::int32_t length =
        image_length - offset < kBlockLength ? image_length - offset : kBlockLength;
    if (reply_slot_.other_host()) return UpdateResult::kOtherHost;
    bool signalled = true;
    // A reply to an earlier try of this block may have come during the pause. A success means
    // the block is in flash: sending it again would only be refused by the device.
    const bool arrived = resend && reply_slot_.TryTake();
    if (const auto end = arrived ? EndingStatus(reply_slot_.status()) : std::nullopt) return end;
    if (!(arrived && reply_slot_.status() == 0)) {
      reply_slot_.Expect();
      const auto sent = SteadyClock::now();
      SendWriteBlock(current_model_id_.load(), image.data + offset, address + offset, length);
      counters_.blocks_sent.fetch_add(1);
      ViewStatusLine(FormatDataTransmit(offset, image_length));
      signalled = WaitBlockReply(sent, timing_.write_wait_ms);
    }
    resend = false;
    if (!signalled) {
      if (const auto end = RetryOrEnd(&tries, offset, -1, UpdateResult::kWriteTimeout)) {
        return end;
      }
      resend = true;
      continue;
    }
    const std::int32_t status = reply_slot_.status();
    if (const auto end = EndingStatus(status)) return end;
    if (status == 0) {
      counters_.blocks_acknowledged.fetch_add(1);
      tries = 0;
      offset += kBlockLength;
      ViewProgressPos(offset < image_length ? offset : image_length);
      // Replies still owed for earlier tries of this block are taken before the next block,
      // so none of them can pass for the next block's answer.
      if (!SettleOwedReplies(timing_.write_wait_ms)) {
        // The device went silent right after the block: what the next block would have met.
        return UpdateResult::kWriteTimeout;
      }
      if (offset >= image_length) return std::nullopt;
      continue;
    }
    if (status == kStatusCrcMismatch) {
      Log(kLogCrcError);
    } else if (status == kStatusFlashWriteFailed) {
      Log(kLogFlashWriteError);
    }
    if (const auto end = RetryOrEnd(&tries, offset, status, UpdateResult::kTransferError)) {
      return end;
    }
    resend = true;
  }
}

}  // namespace fen
