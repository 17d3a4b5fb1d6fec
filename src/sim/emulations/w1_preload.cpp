// Preloaded into a program (LD_PRELOAD) so that its netlink connector sockets reach an emulated
// kernel instead of the real one: socket(AF_NETLINK, ..., NETLINK_CONNECTOR) opens a Unix
// sequenced-packet connection to the emulation named in QB_W1_EMULATION, and the calls a netlink
// program makes on it (bind, setsockopt, getsockname, sendto, sendmsg, recvfrom, recvmsg, close)
// behave as on a netlink socket. The group join asks the emulation, which may refuse it (EPERM).
// Without QB_W1_EMULATION, or for any other socket, every call goes to the C library unchanged.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sim/emulations/w1_socket_protocol.h"

#ifndef SOL_NETLINK
#define SOL_NETLINK 270
#endif

namespace {

constexpr int kMaxFd = 4096;
std::atomic<bool> emulated[kMaxFd];

bool Ours(int fd) {
  return fd >= 0 && fd < kMaxFd && emulated[fd].load();
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void FillKernelAddress(void* address, socklen_t* length) {
  if (!address || !length) return;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;  // port id 0: the kernel
  std::memcpy(address, &kernel, *length < sizeof kernel ? *length : sizeof kernel);
  *length = sizeof kernel;
}

}  // namespace

extern "C" {

int socket(int domain, int type, int protocol) {
  static auto real = Next<int (*)(int, int, int)>("socket");
  const char* path = std::getenv(qb::sim::kW1SocketEnv);
  if (domain != AF_NETLINK || protocol != NETLINK_CONNECTOR || !path || !*path)
    return real(domain, type, protocol);
  const int fd = real(AF_UNIX, SOCK_SEQPACKET | (type & SOCK_CLOEXEC), 0);
  if (fd < 0) return fd;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  static auto real_connect = Next<int (*)(int, const sockaddr*, socklen_t)>("connect");
  if (real_connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      fd >= kMaxFd) {
    ::close(fd);
    errno = EPROTONOSUPPORT;  // as a kernel without the connector
    return -1;
  }
  if (type & SOCK_NONBLOCK) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  emulated[fd] = true;
  return fd;
}

int bind(int fd, const sockaddr* address, socklen_t length) {
  static auto real = Next<int (*)(int, const sockaddr*, socklen_t)>("bind");
  if (!Ours(fd)) return real(fd, address, length);
  if (!address || length < sizeof(sockaddr_nl) || address->sa_family != AF_NETLINK) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
  static auto real = Next<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
  if (!Ours(fd)) return real(fd, level, name, value, length);
  if (level != SOL_NETLINK || name != NETLINK_ADD_MEMBERSHIP) return 0;
  if (!value || length < sizeof(uint32_t)) {
    errno = EINVAL;
    return -1;
  }
  uint8_t message[qb::sim::kJoinMessageSize];
  std::memcpy(message, qb::sim::kJoinMagic, sizeof qb::sim::kJoinMagic);
  std::memcpy(message + sizeof qb::sim::kJoinMagic, value, 4);
  static auto real_send = Next<ssize_t (*)(int, const void*, size_t, int)>("send");
  static auto real_recv = Next<ssize_t (*)(int, void*, size_t, int)>("recv");
  if (real_send(fd, message, sizeof message, MSG_NOSIGNAL) != sizeof message ||
      real_recv(fd, message, sizeof message, 0) != sizeof message) {
    errno = EIO;
    return -1;
  }
  int32_t error;
  std::memcpy(&error, message + sizeof qb::sim::kJoinMagic, 4);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

int getsockname(int fd, sockaddr* address, socklen_t* length) {
  static auto real = Next<int (*)(int, sockaddr*, socklen_t*)>("getsockname");
  if (!Ours(fd)) return real(fd, address, length);
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  self.nl_pid = static_cast<uint32_t>(getpid());
  if (address && length) {
    std::memcpy(address, &self, *length < sizeof self ? *length : sizeof self);
    *length = sizeof self;
  }
  return 0;
}

ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* address,
               socklen_t length) {
  static auto real =
      Next<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
  if (!Ours(fd)) return real(fd, data, size, flags, address, length);
  return real(fd, data, size, flags | MSG_NOSIGNAL, nullptr, 0);
}

ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  static auto real = Next<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
  if (!Ours(fd)) return real(fd, message, flags);
  msghdr copy = *message;
  copy.msg_name = nullptr;
  copy.msg_namelen = 0;
  return real(fd, &copy, flags | MSG_NOSIGNAL);
}

ssize_t recvfrom(int fd, void* data, size_t size, int flags, sockaddr* address, socklen_t* length) {
  static auto real = Next<ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*)>("recvfrom");
  if (!Ours(fd)) return real(fd, data, size, flags, address, length);
  const ssize_t n = real(fd, data, size, flags, nullptr, nullptr);
  if (n >= 0) FillKernelAddress(address, length);
  return n;
}

ssize_t recvmsg(int fd, msghdr* message, int flags) {
  static auto real = Next<ssize_t (*)(int, msghdr*, int)>("recvmsg");
  if (!Ours(fd)) return real(fd, message, flags);
  void* name = message->msg_name;
  socklen_t name_length = message->msg_namelen;
  message->msg_name = nullptr;
  message->msg_namelen = 0;
  const ssize_t n = real(fd, message, flags);
  message->msg_name = name;
  message->msg_namelen = name_length;
  if (n >= 0) FillKernelAddress(name, &message->msg_namelen);
  return n;
}

int close(int fd) {
  static auto real = Next<int (*)(int)>("close");
  if (Ours(fd)) emulated[fd] = false;
  return real(fd);
}

}  // extern "C"
