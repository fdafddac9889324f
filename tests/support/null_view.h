// A view that shows nothing, for runs whose outcome a test reads elsewhere (the driver's
// traffic, the session's state).
#pragma once

#include <cstdint>
#include <string>

#include "engine/update_view.h"

namespace fen::testing {

class NullView : public UpdateView {
 public:
  void SetStatusLine(const std::string&) override {}
  void SetStepCounter(const std::string&) override {}
  void SetProgressRange(std::int32_t) override {}
  void SetProgressPos(std::int32_t) override {}
  void ErrorBox(int) override {}
  void RestoreControls() override {}
  void EnableExecute(bool) override {}
  void DisableControls() override {}
};

}  // namespace fen::testing
