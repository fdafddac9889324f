// The send path of the update session: the send buffer, SendSysEx and the builders bound to
// the output port. Building a message in the send buffer and sending it is one step under the
// send lock, so the dispatcher's answers never overwrite a block in flight.
#include "engine/update_session.h"

namespace fen {

int UpdateSession::SendLocked(const std::uint8_t* message, std::int32_t length) {
  if (length <= 0) return -1;
  MIDIHDR header;
  header.lpData = const_cast<std::uint8_t*>(message);
  header.dwBufferLength = static_cast<std::uint32_t>(length);
  header.dwFlags.store(0);
  if (!out_port_.SendLong(&header)) return -1;
  view_.MessageTraffic(true, message, static_cast<std::size_t>(length));
  return 0;
}

int UpdateSession::SendSysEx(const std::uint8_t* message, std::int32_t length) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  return SendLocked(message, length);
}

int UpdateSession::SendStatus(std::uint8_t status) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildStatus(send_buffer_.get(), current_model_id_.load(), status);
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendBeginUpdate() {
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildBeginUpdate(send_buffer_.get(), current_model_id_.load());
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendFinishUpdate() {
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildFinishUpdate(send_buffer_.get(), current_model_id_.load());
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendWriteBlock(std::uint8_t model_id, const std::uint8_t* data,
                                  std::int32_t address, std::int32_t length) {
  // The buffer holds the longest block the length field can carry; never pack past it.
  if (length < 0 || length > kMaxBlockLength) return -1;
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildWriteBlock(send_buffer_.get(), model_id, data, address, length);
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendEraseRange(std::uint8_t model_id, std::int32_t address, std::int32_t size) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildEraseRange(send_buffer_.get(), model_id, address, size);
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendIdentityRequest() {
  return SendSysEx(kIdentityRequestTemplate.data(),
                   static_cast<std::int32_t>(kIdentityRequestTemplate.size()));
}

int UpdateSession::SendIdentityReply() {
  std::lock_guard<std::mutex> lock(send_mutex_);
  return SendLocked(identity_reply_.data(), static_cast<std::int32_t>(identity_reply_.size()));
}

}  // namespace fen
