// What the simulated device saw and did during its life, and whether its flash holds the
// images; printable as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fen::devsim {

// One request the device sent to the host, and what came back.
struct RequestRecord {
  std::string request;   // "identity-request", "vendor-request 0x05"
  std::string expected;  // "Identity Reply, model 0x57", "Status 0", "nothing"
  // "right", "wrong", or "unanswered" while no answer has come; a request that expects
  // nothing is "right" from the start.
  std::string outcome;
  std::string received;  // what came, when it was wrong
};

struct FlashCheck {
  bool checked = false;
  bool holds_images = false;
  std::vector<int> mismatched_blocks;  // plan block numbers, ascending
  std::vector<int> missing_images;     // resource IDs the image set lacked or had wrong-sized
};

struct Report {
  int model_id = 0;

  // Messages received from the host, by kind.
  std::uint64_t messages_received = 0;
  std::uint64_t identity_requests = 0;
  std::uint64_t begin_updates = 0;
  std::uint64_t erase_ranges = 0;
  std::uint64_t write_blocks = 0;
  std::uint64_t finish_updates = 0;
  std::uint64_t host_statuses = 0;          // answers to the device's own requests
  std::uint64_t host_identity_replies = 0;  // likewise
  std::uint64_t other_model = 0;            // vendor messages for another model ID
  std::uint64_t other_messages = 0;         // anything else well-formed; ignored or refused
  std::uint64_t malformed = 0;
  // Given to the device but not yet taken up (it is busy, or was stopped first); not in the
  // counts above.
  std::uint64_t messages_pending = 0;

  // What the device did.
  std::uint64_t replies_sent = 0;
  std::uint64_t ranges_erased = 0;
  std::uint64_t blocks_written = 0;
  std::uint64_t crc_errors = 0;    // Write Blocks whose data did not match their CRC
  std::uint64_t flash_errors = 0;  // Write Blocks over flash that was not erased
  std::uint64_t rejected = 0;      // Erase Range or Write Block outside the flash, or unaligned
  std::uint64_t blocks_sent_again = 0;  // arrivals of a plan block after its first
  bool went_silent = false;

  std::uint64_t faults_played_count = 0;
  std::vector<std::string> faults_played;  // the first ones, "crc@5 on block 5"

  std::vector<RequestRecord> requests;
  int requests_right = 0;
  int requests_wrong = 0;
  int requests_unanswered = 0;
  int unexpected_answers = 0;  // Status or Identity Reply when no request awaited one

  FlashCheck flash;

  std::string ToJson() const;
};

// Block numbers as ranges: "0-127,130,134-1555".
std::string BlockRanges(const std::vector<int>& blocks);

// Where a report came from, for the file that the program writes.
struct ReportSource {
  std::string client;  // the MIDI client name the updater lists
  std::string api;
  std::string pace;
  std::string images;  // what the flash was compared with
};

// The report file: one JSON object with the source's fields and the report under "report".
std::string ReportDocument(const Report& report, const ReportSource& source);

}  // namespace fen::devsim
