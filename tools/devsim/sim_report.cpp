// The report as one JSON object, written with nlohmann-json; fields stay in the order below,
// which the scripts that read the report match on.
#include "devsim/sim_report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace fen::devsim {

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& value) {
  // A client name that is not UTF-8 is replaced rather than failing the report.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json ReportJson(const Report& r) {
  Json received = {
      {"total", r.messages_received},     {"identity_requests", r.identity_requests},
      {"begin_updates", r.begin_updates}, {"erase_ranges", r.erase_ranges},
      {"write_blocks", r.write_blocks},   {"finish_updates", r.finish_updates},
      {"host_statuses", r.host_statuses}, {"host_identity_replies", r.host_identity_replies},
      {"other_model", r.other_model},     {"other", r.other_messages},
      {"malformed", r.malformed},         {"pending", r.messages_pending},
  };

  Json requests_list = Json::array();
  for (const RequestRecord& record : r.requests) {
    Json entry = {
        {"request", record.request},
        {"expected", record.expected},
        {"outcome", record.outcome},
    };
    if (!record.received.empty()) entry["received"] = record.received;
    requests_list.push_back(std::move(entry));
  }
  const Json requests = {
      {"sent", r.requests.size()},
      {"right", r.requests_right},
      {"wrong", r.requests_wrong},
      {"unanswered", r.requests_unanswered},
      {"unexpected_answers", r.unexpected_answers},
      {"list", std::move(requests_list)},
  };

  Json flash = {{"checked", r.flash.checked}};
  if (r.flash.checked) {
    flash["holds_images"] = r.flash.holds_images;
    flash["mismatched_blocks"] = r.flash.mismatched_blocks.size();
    flash["mismatched_ranges"] = BlockRanges(r.flash.mismatched_blocks);
    flash["missing_images"] = r.flash.missing_images;
  }

  char model[8];
  std::snprintf(model, sizeof model, "0x%02X", static_cast<unsigned>(r.model_id & 0xFF));
  return {
      {"model_id", model},
      {"received", std::move(received)},
      {"replies_sent", r.replies_sent},
      {"ranges_erased", r.ranges_erased},
      {"blocks_written", r.blocks_written},
      {"crc_errors", r.crc_errors},
      {"flash_errors", r.flash_errors},
      {"rejected", r.rejected},
      {"blocks_sent_again", r.blocks_sent_again},
      {"went_silent", r.went_silent},
      {"faults_played_count", r.faults_played_count},
      {"faults_played", r.faults_played},
      {"requests", requests},
      {"flash", std::move(flash)},
  };
}

}  // namespace

std::string BlockRanges(const std::vector<int>& blocks) {
  std::string out;
  std::size_t i = 0;
  while (i < blocks.size()) {
    std::size_t j = i;
    while (j + 1 < blocks.size() && blocks[j + 1] == blocks[j] + 1) ++j;
    if (!out.empty()) out += ",";
    out += std::to_string(blocks[i]);
    if (j > i) out += "-" + std::to_string(blocks[j]);
    i = j + 1;
  }
  return out;
}

std::string Report::ToJson() const { return Dump(ReportJson(*this)); }

std::string ReportDocument(const Report& report, const ReportSource& source) {
  return Dump(Json{
      {"program", "fen-devsim"},
      {"client", source.client},
      {"api", source.api},
      {"pace", source.pace},
      {"images", source.images},
      {"report", ReportJson(report)},
  });
}

}  // namespace fen::devsim
