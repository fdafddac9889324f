// The instance search over the instance-lock seam.
#include "app/instance_search.h"

#include <cstdio>

#include "ui/product_title.h"

namespace fen {

InstanceClaim ClaimInstanceNumber(int max) {
  for (int n = 1; n <= max; ++n) {
    std::unique_ptr<InstanceLock> lock = InstanceLock::TryAcquire(ProductTitleFor(n));
    if (lock) return {n, std::move(lock)};
  }
  return {};
}

std::string TooManyInstancesText(int max) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer,
                "It is forbidden to launch more than %d instance of this application.", max);
  return buffer;
}

}  // namespace fen
