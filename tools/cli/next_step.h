// What a user does next after a run ended in an error: one line after the error's text, the
// same advice that the README's and the manual page's Troubleshooting give.
#pragma once

#include <string>

#include "engine/update_result.h"

namespace fen {

// The advice after a run that ended in `result`; empty for a completed or aborted run.
std::string NextStepHint(UpdateResult result);

}  // namespace fen
