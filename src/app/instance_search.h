// The instance search of start-up: the first free instance number from 1 to 20, held by an
// instance lock named after the product title of that number.
#pragma once

#include <memory>
#include <string>

#include "platform/instance_lock.h"

namespace fen {

inline constexpr int kMaxInstances = 20;

struct InstanceClaim {
  int number = 0;  // 0: every number is taken
  std::unique_ptr<InstanceLock> lock;
};

// Tries 1, 2, ... max in order; a lock that cannot be taken for any reason skips its number.
// The returned lock must be kept for the life of the process.
InstanceClaim ClaimInstanceNumber(int max = kMaxInstances);

// "It is forbidden to launch more than 20 instance of this application."
std::string TooManyInstancesText(int max = kMaxInstances);

}  // namespace fen
