#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qb::access::w1 {

// The Linux kernel's 1-Wire netlink protocol (Documentation/w1/w1-netlink.rst in the kernel
// sources). Debian's kernel headers do not ship its header, so the records are laid out here,
// byte for byte, in host byte order as the kernel sends them:
//
//   struct nlmsghdr      16 bytes  len u32, type u16 (NLMSG_DONE), flags u16, seq u32, pid u32
//   struct cn_msg        20 bytes  id.idx u32 (3), id.val u32 (1), seq u32, ack u32, len u16,
//                                  flags u16; len counts the bytes after this header
//   struct w1_netlink_msg 12 bytes type u8, status u8, len u16, id[8] (a slave's ROM id, or the
//                                  master's id as u32 followed by a reserved u32)
//   struct w1_netlink_cmd  4 bytes cmd u8, res u8, len u16, then len data bytes
//
// One connector message carries one or more w1 messages, each with zero or more commands. Every
// command is acknowledged with a copy of the request whose command carries no data (its len 0)
// and whose w1 message status holds a positive errno, 0 for success. Read and touch answer their
// data in a reply of their own, before that acknowledgement; a search answers the ROM ids found
// (len = 8 * N), spread over as many messages as needed.

inline constexpr uint32_t kConnectorIdx = 3;                // CN_W1_IDX in linux/connector.h
inline constexpr uint32_t kConnectorVal = 1;                // CN_W1_VAL
inline constexpr uint32_t kMulticastGroup = kConnectorIdx;  // the group events go to
inline constexpr uint16_t kNlmsgDone = 3;                   // NLMSG_DONE: the connector's type
inline constexpr uint16_t kBundle = 1;  // cn_msg flag W1_CN_BUNDLE: replies in fewer packets

inline constexpr size_t kNetlinkHeaderSize = 16;
inline constexpr size_t kConnectorHeaderSize = 20;
inline constexpr size_t kMessageHeaderSize = 12;
inline constexpr size_t kCommandHeaderSize = 4;

enum class MessageType : uint8_t {
  SlaveAdd = 0,
  SlaveRemove = 1,
  MasterAdd = 2,
  MasterRemove = 3,
  MasterCommand = 4,
  SlaveCommand = 5,
  ListMasters = 6,
};

enum class Command : uint8_t {
  Read = 0,
  Write = 1,
  Search = 2,
  AlarmSearch = 3,
  Touch = 4,
  Reset = 5,
  SlaveAdd = 6,
  SlaveRemove = 7,
  ListSlaves = 8,
};

struct CommandRecord {
  Command cmd = Command::Reset;
  std::vector<uint8_t> data;  // its len is data.size()
};

struct MessageRecord {
  MessageType type = MessageType::MasterCommand;
  uint8_t status = 0;  // a positive errno in replies, 0 for success
  uint8_t id[8] = {};  // the slave's ROM id, or the master id in the first four bytes
  // Commands, for master and slave commands; for other types the message's data is `payload`.
  std::vector<CommandRecord> commands;
  std::vector<uint8_t> payload;

  uint32_t MasterId() const;
  void SetMasterId(uint32_t master);
  // A message whose type carries commands (master and slave commands).
  bool CarriesCommands() const {
    return type == MessageType::MasterCommand || type == MessageType::SlaveCommand;
  }
};

struct ConnectorRecord {
  uint32_t idx = kConnectorIdx;
  uint32_t val = kConnectorVal;
  uint32_t seq = 0;
  uint32_t ack = 0;
  uint16_t flags = 0;
  std::vector<MessageRecord> messages;
};

// One netlink message holding `records`, the connector messages one after the other (one, or a
// bundled reply's several), as sent from port id `port`.
std::vector<uint8_t> EncodePacket(const std::vector<ConnectorRecord>& records, uint32_t port = 0);
std::vector<uint8_t> EncodePacket(const ConnectorRecord& record, uint32_t port = 0);

// The connector messages in a netlink packet. A bundled netlink message may hold several
// connector messages one after the other. Nullopt, with `error` saying why, when any length
// disagrees with the bytes there: such a packet is dropped whole.
std::optional<std::vector<ConnectorRecord>> DecodePacket(const uint8_t* data, size_t size,
                                                         std::string* error = nullptr);
inline std::optional<std::vector<ConnectorRecord>> DecodePacket(const std::vector<uint8_t>& bytes,
                                                                std::string* error = nullptr) {
  return DecodePacket(bytes.data(), bytes.size(), error);
}

// The sysfs name of a master ("w1_bus_master1").
std::string MasterName(uint32_t id);

}  // namespace qb::access::w1
