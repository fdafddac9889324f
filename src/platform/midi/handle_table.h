// The drivers' tables of open handles: a map from handle to the port's state, under a lock.
#pragma once

#include <map>
#include <memory>
#include <mutex>

namespace fen {

// The state of an open handle, or null when the handle is not (or no longer) open.
template <typename Handle, typename State>
std::shared_ptr<State> FindHandle(std::mutex& mutex,
                                  const std::map<Handle, std::shared_ptr<State>>& table,
                                  Handle handle) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = table.find(handle);
  return it == table.end() ? nullptr : it->second;
}

}  // namespace fen
