// What a user does next after a run ended in an error box: one line after the error's text,
// the same advice that the README's and the manual page's Troubleshooting give.
#pragma once

#include <string>

namespace fen {

// The advice for the error box of `string_id`; empty for an ID that ends no run.
std::string NextStepHint(int string_id);

}  // namespace fen
