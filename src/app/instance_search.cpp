// The instance search over the instance-lock seam.
#include "app/instance_search.h"

#include <cstdio>

#include "ui/product_title.h"

namespace fen {

InstanceClaim ClaimInstanceNumber(int max) {
  InstanceClaim claim;
  claim.notice = InstanceLock::LockFolderNotice();
  for (int n = 1; n <= max; ++n) {
    std::string problem;
    std::unique_ptr<InstanceLock> lock = InstanceLock::TryAcquire(ProductTitleFor(n), &problem);
    if (lock) {
      claim.number = n;
      claim.lock = std::move(lock);
      return claim;
    }
    if (!problem.empty()) {
      claim.problem = std::move(problem);
      return claim;
    }
  }
  return claim;
}

std::string TooManyInstancesText(int max) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer,
                "It is forbidden to launch more than %d instance of this application.", max);
  return buffer;
}

std::string InstanceLockProblemText(const std::string& problem) {
  return "Cannot take an instance number: " + problem + ".";
}

}  // namespace fen
