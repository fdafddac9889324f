// Failures outside a run, on standard error and in the event stream.
#include "failure.h"

#include <atomic>
#include <cstdio>

#include "json_line.h"
#include "terminal_text.h"

namespace fen {

namespace {
std::atomic<bool> g_json{false};
}  // namespace

void ReportFailuresAsJson(bool json) { g_json = json; }
bool FailuresAsJson() { return g_json; }

void PrintErrorEvent(int exit_status, const std::string& text, const std::string& advice,
                     const std::string& label) {
  JsonLine line = JsonLine::object();
  if (!label.empty()) line["label"] = label;
  line["event"] = "error";
  line["exit"] = exit_status;
  line["text"] = text;
  if (!advice.empty()) line["advice"] = advice;
  PrintJsonLine(stdout, line);
}

int ReportFailure(int exit_status, const std::string& text, const std::string& advice) {
  std::fprintf(stderr, "fenupdator-cli: %s\n", TerminalText(text).c_str());
  if (!advice.empty()) std::fprintf(stderr, "%s\n", TerminalText(advice).c_str());
  std::fflush(stderr);
  if (g_json) PrintErrorEvent(exit_status, text, advice);
  return exit_status;
}

}  // namespace fen
