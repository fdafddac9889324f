// The report as one JSON object, written by hand: a flat set of fields and short lists.
#include "devsim/sim_report.h"

#include <cstdio>

namespace fen::devsim {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += "\"";
  return out;
}

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

namespace {

class JsonObject {
 public:
  void Field(const char* name, const std::string& raw) {
    out_ += first_ ? "{" : ",";
    first_ = false;
    out_ += JsonString(name) + ":" + raw;
  }
  void Number(const char* name, std::uint64_t v) { Field(name, std::to_string(v)); }
  void Bool(const char* name, bool v) { Field(name, v ? "true" : "false"); }
  void String(const char* name, const std::string& v) { Field(name, JsonString(v)); }
  std::string Close() { return first_ ? "{}" : out_ + "}"; }

 private:
  std::string out_;
  bool first_ = true;
};

}  // namespace

std::string Report::ToJson() const {
  JsonObject received;
  received.Number("total", messages_received);
  received.Number("identity_requests", identity_requests);
  received.Number("begin_updates", begin_updates);
  received.Number("erase_ranges", erase_ranges);
  received.Number("write_blocks", write_blocks);
  received.Number("finish_updates", finish_updates);
  received.Number("host_statuses", host_statuses);
  received.Number("host_identity_replies", host_identity_replies);
  received.Number("other_model", other_model);
  received.Number("other", other_messages);
  received.Number("malformed", malformed);
  received.Number("pending", messages_pending);

  std::string faults = "[";
  for (std::size_t i = 0; i < faults_played.size(); ++i) {
    faults += (i ? "," : "") + JsonString(faults_played[i]);
  }
  faults += "]";

  std::string requests_list = "[";
  for (std::size_t i = 0; i < requests.size(); ++i) {
    JsonObject r;
    r.String("request", requests[i].request);
    r.String("expected", requests[i].expected);
    r.String("outcome", requests[i].outcome);
    if (!requests[i].received.empty()) r.String("received", requests[i].received);
    requests_list += (i ? "," : "") + r.Close();
  }
  requests_list += "]";

  JsonObject req;
  req.Number("sent", requests.size());
  req.Number("right", static_cast<std::uint64_t>(requests_right));
  req.Number("wrong", static_cast<std::uint64_t>(requests_wrong));
  req.Number("unanswered", static_cast<std::uint64_t>(requests_unanswered));
  req.Number("unexpected_answers", static_cast<std::uint64_t>(unexpected_answers));
  req.Field("list", requests_list);

  JsonObject flash_json;
  flash_json.Bool("checked", flash.checked);
  if (flash.checked) {
    flash_json.Bool("holds_images", flash.holds_images);
    flash_json.Number("mismatched_blocks", flash.mismatched_blocks.size());
    flash_json.String("mismatched_ranges", BlockRanges(flash.mismatched_blocks));
    std::string missing = "[";
    for (std::size_t i = 0; i < flash.missing_images.size(); ++i) {
      missing += (i ? "," : "") + std::to_string(flash.missing_images[i]);
    }
    flash_json.Field("missing_images", missing + "]");
  }

  char model[8];
  std::snprintf(model, sizeof model, "0x%02X", static_cast<unsigned>(model_id & 0xFF));
  JsonObject top;
  top.String("model_id", model);
  top.Field("received", received.Close());
  top.Number("replies_sent", replies_sent);
  top.Number("ranges_erased", ranges_erased);
  top.Number("blocks_written", blocks_written);
  top.Number("crc_errors", crc_errors);
  top.Number("flash_errors", flash_errors);
  top.Number("rejected", rejected);
  top.Number("blocks_sent_again", blocks_sent_again);
  top.Bool("went_silent", went_silent);
  top.Number("faults_played_count", faults_played_count);
  top.Field("faults_played", faults);
  top.Field("requests", req.Close());
  top.Field("flash", flash_json.Close());
  return top.Close();
}

}  // namespace fen::devsim
