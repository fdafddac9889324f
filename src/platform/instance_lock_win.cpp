// Instance lock on Windows: a named mutex in the session's local namespace, created with
// initial ownership. A second creation of the name reports ERROR_ALREADY_EXISTS; the system
// closes the handle, and so frees the name, when the process ends in any way.
#include <windows.h>

#include "platform/instance_lock.h"

namespace fen {

std::unique_ptr<InstanceLock> InstanceLock::TryAcquire(const std::string& name,
                                                       std::string* problem) {
  HANDLE mutex = ::CreateMutexA(nullptr, TRUE, name.c_str());
  // Read at once: nothing in between may touch the thread's last error.
  const DWORD error = ::GetLastError();
  if (mutex == nullptr) {
    // ERROR_ACCESS_DENIED: another user's process holds the name.
    if (problem != nullptr && error != ERROR_ACCESS_DENIED) {
      *problem =
          "cannot create the named mutex \"" + name + "\" (error " + std::to_string(error) + ")";
    }
    return nullptr;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return nullptr;
  }
  return std::unique_ptr<InstanceLock>(new InstanceLock(reinterpret_cast<std::intptr_t>(mutex)));
}

std::string InstanceLock::LockFolderNotice() { return {}; }

InstanceLock::~InstanceLock() { ::CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

}  // namespace fen
