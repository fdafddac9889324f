// Instance lock: flock on "<folder>/<name>.lock". The kernel drops the lock with the last
// descriptor of the open file, so a copy that dies in any way frees its instance name.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/instance_lock.h"

namespace fen {

namespace {

// A folder that other users could write into would let them take or fake our locks.
bool IsPrivateFolderOfOurs(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool UsableRuntimeDir(const char* dir) {
  if (dir == nullptr || dir[0] != '/') return false;
  struct stat st {};
  return ::stat(dir, &st) == 0 && IsPrivateFolderOfOurs(st) && ::access(dir, W_OK | X_OK) == 0;
}

std::string FallbackFolder() { return "/tmp/fenupdator-" + std::to_string(::geteuid()); }

// The name may carry any bytes; the file name keeps a safe subset, and a hash of the whole name
// tells apart names that were changed or shortened to fit.
std::string LockFileName(const std::string& name) {
  constexpr std::size_t kMaxKept = 180;
  std::string file;
  bool altered = name.empty() || name.size() > kMaxKept;
  for (char c : name.substr(0, kMaxKept)) {
    const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == ' ' || c == '.' || c == '_' || c == '(' || c == ')' || c == '-';
    file += safe ? c : '_';
    altered = altered || !safe;
  }
  if (altered) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "-%016llx", static_cast<unsigned long long>(hash));
    file += suffix;
  }
  return file + ".lock";
}

// Opens the lock folder, creating the per-user fallback on first use, and checks through the
// open descriptor that it is still ours, so a folder swapped in meanwhile is not trusted.
int OpenLockFolder() {
  const std::string folder = InstanceLock::LockFolder();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return -1;
  struct stat st {};
  if (::fstat(dir, &st) != 0 || !IsPrivateFolderOfOurs(st)) {
    ::close(dir);
    return -1;
  }
  return dir;
}

}  // namespace

std::string InstanceLock::LockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return UsableRuntimeDir(runtime) ? std::string(runtime) : FallbackFolder();
}

std::unique_ptr<InstanceLock> InstanceLock::TryAcquire(const std::string& name) {
  const int dir = OpenLockFolder();
  if (dir < 0) return nullptr;
  // The lock file is never removed: unlinking it would let two copies lock two different files
  // of the same name.
  const int fd = ::openat(dir, LockFileName(name).c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  ::close(dir);
  if (fd < 0) return nullptr;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() { ::close(static_cast<int>(handle_)); }

}  // namespace fen
