// Port claims on Linux: one listening Unix socket per device key in the abstract namespace.
// The name is the system's, not a file's: no folder whose owner or mode another user could
// choose, no file left behind by a crash; the kernel frees it when the socket's last
// descriptor closes, also on SIGKILL. Binding a taken name fails at once with EADDRINUSE, for
// every user alike. Whoever is refused connects to the name and reads the holder's process ID
// from the kernel (SO_PEERCRED), which the holder cannot forge, and its name from /proc.
// The abstract namespace belongs to the network namespace: programs in different network
// namespaces (containers) do not see each other's claims.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/port_claim.h"

namespace fen {

struct PortClaim::Held {
  int fd = -1;
  ~Held() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

socklen_t AbstractAddress(const std::string& name, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  const std::size_t length = std::min(name.size(), sizeof address->sun_path - 1);
  std::memcpy(address->sun_path + 1, name.data(), length);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

void ReadHolder(const sockaddr_un& address, socklen_t length, ClaimHolder* holder) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
        credentials.pid > 0) {
      holder->pid = credentials.pid;
      std::ifstream comm("/proc/" + std::to_string(credentials.pid) + "/comm");
      std::string name;
      if (std::getline(comm, name)) holder->program = name;
    }
  }
  ::close(fd);
}

}  // namespace

std::unique_ptr<PortClaim> PortClaim::Take(const std::vector<std::string>& keys,
                                           ClaimHolder* holder) {
  std::unique_ptr<PortClaim> claim(new PortClaim());
  for (const std::string& key : Distinct(keys)) {
    sockaddr_un address{};
    const socklen_t length = AbstractAddress(SystemName(key), &address);
    auto held = std::make_unique<Held>();
    held->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (held->fd < 0) {
      *holder = ClaimHolder{key, std::string("no socket: ") + std::strerror(errno), 0};
      return nullptr;
    }
    if (::bind(held->fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      const int error = errno;
      *holder = ClaimHolder{key, "", 0};
      if (error == EADDRINUSE) {
        ReadHolder(address, length, holder);
      } else {
        holder->program = std::string("cannot claim: ") + std::strerror(error);
      }
      return nullptr;
    }
    // Listening lets a refused run ask the kernel who holds the name.
    ::listen(held->fd, 8);
    claim->held_.push_back(std::move(held));
  }
  return claim;
}

PortClaim::~PortClaim() = default;

long CurrentProcessId() { return static_cast<long>(::getpid()); }

}  // namespace fen
