#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "access/masters/w1_netlink.h"
#include "sim/sim_bus.h"

namespace qb::sim {

// The kernel's side of the 1-Wire netlink protocol, with a simulated bus behind one bus master:
// it answers the packets a program sends to the connector as the kernel's w1 core does (see
// access/masters/w1_netlink.h): the list of masters; reset, read, write, touch, search and alarm
// search on the master, each command acknowledged with its status; read and touch data and the
// ROM ids a search found in replies of their own before that acknowledgement (ids spread over
// several messages when many); all replies to one request in one packet when the request asks
// for bundling. Replies keep the request's sequence number; data replies carry ack = seq + 1,
// acknowledgements the request's own ack.
//
// Faults: joining the multicast group refused (as without CAP_NET_ADMIN), and the master removed
// and added again (commands to a missing master answer ENODEV; each change is also an event for
// the group).
class W1KernelEmulator {
 public:
  explicit W1KernelEmulator(std::shared_ptr<SimBus> bus, uint32_t master_id = 1);

  // What joining the 1-Wire group answers: 0, or EPERM while refused.
  int Join() const;
  void RefuseJoin(bool refuse);

  // The master leaves or comes back; returns the event packet the kernel sends to the group.
  std::vector<uint8_t> RemoveMaster();
  std::vector<uint8_t> AddMaster();

  // The packets that answer one packet from a program (none for a packet not for the 1-Wire
  // connector, or one whose lengths do not add up).
  std::vector<std::vector<uint8_t>> Handle(const std::vector<uint8_t>& packet);

  // At most this many ROM ids in one search reply (the kernel fills a page).
  void SetIdsPerReply(size_t n) { ids_per_reply_ = n ? n : 1; }

  uint64_t PacketsIn() const { return packets_in_; }
  uint64_t PacketsOut() const { return packets_out_; }
  uint32_t MasterIdNumber() const { return master_id_; }
  SimBus& bus() { return master_.bus(); }

 private:
  void HandleMessage(const access::w1::ConnectorRecord& request,
                     const access::w1::MessageRecord& message,
                     std::vector<access::w1::ConnectorRecord>& replies);
  std::vector<access::RomId> Search(bool alarm_only);
  std::vector<uint8_t> MasterEvent(access::w1::MessageType type);

  mutable std::mutex mutex_;
  SimBusMaster master_;
  uint32_t master_id_;
  bool present_ = true;
  bool refuse_join_ = false;
  size_t ids_per_reply_ = 64;
  uint64_t packets_in_ = 0;
  uint64_t packets_out_ = 0;
};

}  // namespace qb::sim
