// Instance lock seam: a system-wide exclusive object per name, taken atomically, held until
// the process ends however it ends. On Windows a named mutex (instance_lock_win.cpp), elsewhere
// flock on a lock file in the user's runtime folder (instance_lock_posix.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace fen {

class InstanceLock {
 public:
  // Takes the lock of `name`, or returns null when another process holds it or it cannot be
  // made. The lock is held while the object lives and released by the OS at process end.
  static std::unique_ptr<InstanceLock> TryAcquire(const std::string& name);
  // Folder that holds the lock files (XDG_RUNTIME_DIR, else a per-user folder in /tmp). POSIX
  // only: Windows keeps named mutexes in its own namespace.
  static std::string LockFolder();
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  // A file descriptor, or a HANDLE on Windows.
  explicit InstanceLock(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_;
};

}  // namespace fen
