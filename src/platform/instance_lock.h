// Instance lock seam: a system-wide exclusive object per name, taken atomically, held until
// the process ends however it ends. Here: flock on a lock file in the user's runtime folder.
#pragma once

#include <memory>
#include <string>

namespace fen {

class InstanceLock {
 public:
  // Takes the lock of `name`, or returns null when another process holds it or it cannot be
  // made. The lock is held while the object lives and released by the OS at process end.
  static std::unique_ptr<InstanceLock> TryAcquire(const std::string& name);
  // Folder that holds the lock files (XDG_RUNTIME_DIR, else a per-user folder in /tmp).
  static std::string LockFolder();
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  explicit InstanceLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace fen
