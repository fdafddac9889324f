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
  // made; in the second case `problem`, when given, says why. The lock is held while the object
  // lives and released by the OS at process end.
  static std::unique_ptr<InstanceLock> TryAcquire(const std::string& name,
                                                  std::string* problem = nullptr);
  // Folder that holds the lock files: XDG_RUNTIME_DIR, else a per-user folder in the temporary
  // folder, else, when someone else made that one, a private folder in the user's home. POSIX
  // only: Windows keeps named mutexes in its own namespace.
  static std::string LockFolder();
  // Why the per-user folder in the temporary folder was passed over, naming it and its owner;
  // empty when it was not (always on Windows).
  static std::string LockFolderNotice();
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  // A file descriptor, or a HANDLE on Windows.
  explicit InstanceLock(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_;
};

}  // namespace fen
