#include "access/masters/w1_netlink_socket.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "access/errors.h"
#include "access/masters/w1_netlink.h"

#ifndef SOL_NETLINK
#define SOL_NETLINK 270
#endif

namespace qb::access {

namespace {

constexpr const char* kSource = "W1";

[[noreturn]] void Refused(const std::string& message) {
  throw AccessError(ErrorCode::GeneralFailure, kSource, message);
}

}  // namespace

W1NetlinkSocket::W1NetlinkSocket() {
  fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
  if (fd_ < 0) {
    const int e = errno;
    if (e == EPROTONOSUPPORT || e == EAFNOSUPPORT)
      Refused(
          "this kernel has no netlink connector, so its 1-Wire masters cannot be reached (load "
          "the modules: modprobe cn; modprobe wire)");
    Refused(std::string("cannot open the kernel's netlink connector socket: ") + std::strerror(e));
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_pid = 0;  // the kernel assigns the port id
  address.nl_groups = 0;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int e = errno;
    ::close(fd_);
    fd_ = -1;
    Refused(std::string("cannot bind the kernel's netlink connector socket: ") + std::strerror(e));
  }
  const int group = static_cast<int>(w1::kMulticastGroup);
  if (::setsockopt(fd_, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
    const int e = errno;
    ::close(fd_);
    fd_ = -1;
    if (e == EPERM || e == EACCES)
      Refused(
          "the kernel refused the 1-Wire netlink group: talking to the kernel's 1-Wire masters "
          "needs the CAP_NET_ADMIN capability. Run as root, grant it to the program (sudo setcap "
          "cap_net_admin+ep PROGRAM), or run the service with AmbientCapabilities=CAP_NET_ADMIN "
          "(the packaged unit does when the adapter is W1)");
    Refused(std::string("cannot join the kernel's 1-Wire netlink group: ") + std::strerror(e));
  }
}

W1NetlinkSocket::~W1NetlinkSocket() {
  if (fd_ >= 0) ::close(fd_);
}

void W1NetlinkSocket::Send(const std::vector<uint8_t>& packet) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;  // port id 0: the kernel
  for (;;) {
    const ssize_t n = ::sendto(fd_, packet.data(), packet.size(), 0,
                               reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    if (n == static_cast<ssize_t>(packet.size())) return;
    if (n < 0 && errno == EINTR) continue;
    Refused(std::string("cannot send to the kernel's 1-Wire netlink: ") +
            (n < 0 ? std::strerror(errno) : "short send"));
  }
}

std::optional<std::vector<uint8_t>> W1NetlinkSocket::Receive(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  for (;;) {
    const int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (r == 0) return std::nullopt;
    if (r < 0) {
      if (errno == EINTR) continue;
      Refused(std::string("waiting for the kernel's 1-Wire netlink failed: ") +
              std::strerror(errno));
    }
    std::vector<uint8_t> buffer(65536);
    sockaddr_nl from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      // ENOBUFS: the socket overflowed with events; what was lost is asked again by timeout.
      if (errno == ENOBUFS) continue;
      Refused(std::string("cannot read from the kernel's 1-Wire netlink: ") + std::strerror(errno));
    }
    if (from.nl_pid != 0) continue;  // only the kernel speaks on this protocol
    buffer.resize(static_cast<size_t>(n));
    return buffer;
  }
}

}  // namespace qb::access
