#pragma once

#include "access/masters/w1_channel.h"

namespace qb::access {

// The kernel's connector socket (AF_NETLINK, NETLINK_CONNECTOR), bound and joined to the 1-Wire
// group. Joining needs CAP_NET_ADMIN: without it the constructor raises a GeneralFailure that
// says how to grant it. A kernel without the connector raises one that says which modules to
// load.
class W1NetlinkSocket : public W1Channel {
 public:
  W1NetlinkSocket();
  ~W1NetlinkSocket() override;
  W1NetlinkSocket(const W1NetlinkSocket&) = delete;
  W1NetlinkSocket& operator=(const W1NetlinkSocket&) = delete;

  void Send(const std::vector<uint8_t>& packet) override;
  std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds timeout) override;

 private:
  int fd_ = -1;
};

}  // namespace qb::access
