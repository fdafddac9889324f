// The command-line tool's JSON lines, which scripts read by their fields: names, order and
// shapes stay as they are, a device label comes first, and text that is not UTF-8 does not
// lose the line.
#include "cli_view.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace fen {
namespace {

std::string Written(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) text += buffer;
  return text;
}

TEST(CliViewJson, WritesEveryCallAsOneLineInItsOwnFieldOrder) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(err, nullptr);
  {
    CliView view(CliView::Mode::kJson, out, err, "USB Audio Device (2)");
    view.DisableControls();
    view.SetStepCounter("1/9");
    view.SetProgressRange(10);
    view.SetProgressPos(1);
    view.SetStatusLine("Erasing \"Flash\"\n");
    DeviceIdentity identity;
    identity.model_id = 0x61;
    identity.family = 0x61;
    identity.revision = {'1', '0', '0', '0'};
    identity.manufacturer = {0x52, 0, 0};
    view.DeviceIdentified(identity);
    view.ErrorBox(103);
    view.RestoreControls();
    view.EnableExecute(false);
    view.SetStatusLine(std::string("bad \xFF byte"));
  }
  const std::string device = R"j({"device":"USB Audio Device (2)",)j";
  EXPECT_EQ(Written(out),
            device +
                R"("call":"disable"})"
                "\n" +
                device +
                R"("call":"step","text":"1/9"})"
                "\n" +
                device +
                R"("call":"range","upper":10})"
                "\n" +
                device +
                R"("call":"position","value":1})"
                "\n" +
                device +
                R"("call":"status","text":"Erasing \"Flash\"\n"})"
                "\n" +
                device +
                R"("call":"identity","model":"0x61","family":"0x0061","member":"0x0000",)"
                R"("revision":"1000","revision_bytes":[49,48,48,48],"manufacturer":"0x52"})"
                "\n" +
                device +
                R"j("call":"error","id":103,"text":"Time out error(2)"})j"
                "\n" +
                device +
                R"("call":"restore"})"
                "\n" +
                device +
                R"("call":"execute","enabled":false})"
                "\n" +
                device + "\"call\":\"status\",\"text\":\"bad \xEF\xBF\xBD byte\"}\n");
  EXPECT_EQ(Written(err), "USB Audio Device (2): Error: Time out error(2)\n");
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
}  // namespace fen
