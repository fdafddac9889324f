// `fenupdator-cli identify`: the probe's findings printed for people or as one JSON line.
#include "identify.h"

#include <cstdio>

#include "cli_view.h"
#include "json_line.h"
#include "terminal_text.h"

namespace fen {

int PrintIdentities(const IdentifyResult& result, bool json, int no_device_status) {
  int devices = 0;
  for (const IdentifiedPair& pair : result.pairs) devices += pair.of_family ? 1 : 0;
  const auto in_name = [&](int j) { return result.inputs[static_cast<std::size_t>(j)]; };
  const auto out_name = [&](int i) { return result.outputs[static_cast<std::size_t>(i)]; };
  if (json) {
    JsonLine found = JsonLine::array();
    JsonLine others = JsonLine::array();
    for (const IdentifiedPair& pair : result.pairs) {
      JsonLine entry{{"in_index", pair.in},
                     {"in", in_name(pair.in)},
                     {"out_index", pair.out},
                     {"out", out_name(pair.out)}};
      entry.update(CliView::IdentityJson(pair.identity));
      (pair.of_family ? found : others).push_back(entry);
    }
    JsonLine echoes = JsonLine::array();
    for (const PortEcho& echo : result.echoes) {
      echoes.push_back(JsonLine{{"out_index", echo.out},
                                {"out", out_name(echo.out)},
                                {"in_index", echo.in},
                                {"in", in_name(echo.in)}});
    }
    PrintJsonLine(stdout, JsonLine{{"devices", found}, {"others", others}, {"echoes", echoes}});
  } else {
    // Names from the MIDI system, shown with their control characters escaped.
    const auto in_text = [&](int j) { return TerminalText(in_name(j)); };
    const auto out_text = [&](int i) { return TerminalText(out_name(i)); };
    for (const IdentifiedPair& pair : result.pairs) {
      std::printf("%s %s: MIDI OUT \"%s\", MIDI IN \"%s\"\n  %s\n",
                  pair.of_family ? "Device" : "Not of the family:", in_text(pair.in).c_str(),
                  out_text(pair.out).c_str(), in_text(pair.in).c_str(),
                  CliView::IdentityText(pair.identity).c_str());
    }
    for (const PortEcho& echo : result.echoes) {
      std::printf(
          "Echo: MIDI IN \"%s\" hands back what MIDI OUT \"%s\" sends (a MIDI Through or a "
          "loop), not a device\n",
          in_text(echo.in).c_str(), out_text(echo.out).c_str());
    }
    if (devices == 0) {
      std::printf("No device of the family answered on %zu output port%s.\n", result.outputs.size(),
                  result.outputs.size() == 1 ? "" : "s");
    }
  }
  std::fflush(stdout);
  return devices > 0 ? 0 : no_device_status;
}

}  // namespace fen
