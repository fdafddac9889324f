// The lines of `update -v`: each message's kind and size, each retry's cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fen {

// "Write Block", "Status 0x08 (crc mismatch)", "Identity Reply", "other (0x43)": what a System
// Exclusive message of the update protocol is, from its bytes.
std::string MessageKindText(const std::uint8_t* data, std::size_t size);

// "> Write Block, 1034 bytes" for a message sent, "< Status 0x00 (ok), 8 bytes" for one received.
std::string TrafficLine(bool sent, const std::uint8_t* data, std::size_t size);

// Why a request went again: "crc mismatch", "flash write failed", "no answer", "status N".
std::string RetryReason(std::int32_t status);

// "retry: step 3, block 5 at offset 10240, attempt 1 failed: crc mismatch"; an erase step has
// no block.
std::string RetryLine(int row, std::int32_t offset, bool writing, int attempt, std::int32_t status);

}  // namespace fen
