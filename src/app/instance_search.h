// The instance search of start-up: the first free instance number from 1 to 20, held by an
// instance lock named after the product title of that number.
#pragma once

#include <memory>
#include <string>

#include "engine/port_selection.h"
#include "platform/instance_lock.h"

namespace fen {

struct InstanceClaim {
  int number = 0;  // 0: every number is taken, or `problem` says why none could be tried
  std::unique_ptr<InstanceLock> lock;
  std::string problem;  // the locks cannot be made at all (their folder, its owner)
  std::string notice;   // the usual folder of the locks was passed over, and why
};

// Tries 1, 2, ... max in order; a lock held by another copy skips its number, a lock that
// cannot be made at all ends the search with `problem`. The returned lock must be kept for
// the life of the process.
InstanceClaim ClaimInstanceNumber(int max = kMaxInstances);

// "It is forbidden to launch more than 20 instance of this application."
std::string TooManyInstancesText(int max = kMaxInstances);

// What start-up shows when no instance lock can be made: "Cannot take an instance number: ...".
std::string InstanceLockProblemText(const std::string& problem);

}  // namespace fen
