// Instance lock: flock on "<folder>/<name>.lock". The kernel drops the lock with the last
// descriptor of the open file, so a copy that dies in any way frees its instance name.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

std::string TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && tmp[0] == '/' ? std::string(tmp) : std::string("/tmp");
}

std::string TempFallbackFolder() {
  return TempFolder() + "/fenupdator-" + std::to_string(::geteuid());
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

// Used when someone else holds the folder in the temporary folder: nobody else can make
// folders in a user's home.
std::string HomeFallbackFolder() {
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/.cache/fenupdator-locks";
}

std::string OwnerName(uid_t uid) {
  std::vector<char> buffer(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_name != nullptr) {
    return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
  }
  return "uid " + std::to_string(uid);
}

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

// Why `folder` cannot hold our locks, or "" when it can (or does not exist yet).
std::string TempFolderProblem(const std::string& folder) {
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return {};
  if (S_ISLNK(st.st_mode)) return folder + " is a symbolic link owned by " + OwnerName(st.st_uid);
  if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
  if (st.st_uid != ::geteuid()) return folder + " belongs to " + OwnerName(st.st_uid);
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return folder + " can be written by other users (mode " + mode + ")";
  }
  return {};
}

// Opens `folder`, creating it (and, with `make_parent`, its parent) private on first use, and
// checks through the open descriptor that it is ours and private, so that a folder swapped in
// meanwhile is not trusted. Returns -1 with `problem` set otherwise.
int OpenPrivateFolder(const std::string& folder, bool make_parent, std::string* problem) {
  if (make_parent) {
    const std::string parent = folder.substr(0, folder.rfind('/'));
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
      *problem = "cannot make " + parent + ": " + std::strerror(errno);
      return -1;
    }
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *problem = "cannot make " + folder + ": " + std::strerror(errno);
    return -1;
  }
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) {
    *problem = "cannot open " + folder + ": " + std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(dir, &st) != 0 || !IsPrivateFolderOfOurs(st)) {
    ::close(dir);
    *problem = folder + " is not a private folder of this user";
    return -1;
  }
  return dir;
}

struct FolderChoice {
  std::string folder;
  std::string notice;  // why the folder in the temporary folder was passed over
};

FolderChoice ChooseFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (UsableRuntimeDir(runtime)) return {runtime, {}};
  const std::string temp = TempFallbackFolder();
  const std::string problem = TempFolderProblem(temp);
  if (problem.empty()) return {temp, {}};
  const std::string home = HomeFallbackFolder();
  if (home.empty()) return {temp, problem + "; this user has no home folder to keep locks in"};
  return {home, problem + "; instance locks are kept in " + home + " instead"};
}

}  // namespace

std::string InstanceLock::LockFolder() { return ChooseFolder().folder; }

std::string InstanceLock::LockFolderNotice() { return ChooseFolder().notice; }

std::unique_ptr<InstanceLock> InstanceLock::TryAcquire(const std::string& name,
                                                       std::string* problem) {
  std::string ignored;
  std::string& why = problem != nullptr ? *problem : ignored;
  const FolderChoice choice = ChooseFolder();
  const bool in_home = choice.folder == HomeFallbackFolder() && !choice.notice.empty();
  int dir = OpenPrivateFolder(choice.folder, in_home, &why);
  if (dir < 0 && !in_home && choice.folder == TempFallbackFolder()) {
    // Someone made the temporary folder between the look and the open.
    const std::string home = HomeFallbackFolder();
    if (!home.empty()) {
      const std::string first = why;
      dir = OpenPrivateFolder(home, true, &why);
      if (dir < 0) why = first + "; " + why;
    }
  }
  if (dir < 0) return nullptr;
  // The lock file is never removed: unlinking it would let two copies lock two different files
  // of the same name.
  const int fd = ::openat(dir, LockFileName(name).c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  const int open_error = errno;
  ::close(dir);
  if (fd < 0) {
    why = "cannot make the lock file in " + choice.folder + ": " + std::strerror(open_error);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() { ::close(static_cast<int>(handle_)); }

}  // namespace fen
