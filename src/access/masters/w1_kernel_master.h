#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access/bus_master.h"
#include "access/masters/w1_channel.h"
#include "access/masters/w1_netlink.h"

namespace qb::access {

class OneWireAccessProvider;

// Which kernel master a port names: "W1" (or nothing) the first one the kernel lists, a number
// the master with that id, "w1_bus_master2" the master of that sysfs name. Nullopt for "W1";
// an error message in `error` for text that names none of these.
std::optional<uint32_t> ParseW1Port(const std::string& port, std::string* error);

// The device the search would follow along `path` among the ROM ids a whole search found: the
// pass result a bit-by-bit search pass would have seen, computed from the list.
SearchPassResult SearchPassAmong(const std::vector<RomId>& found, const RomId& path);

// A bus master the Linux kernel runs (w1-gpio, ds2482, ds2490, ...), driven through the kernel's
// 1-Wire netlink protocol. Every operation is one request (bundled replies: one packet back); a
// reset and the block after it go out together.
//
// The kernel's protocol works in bytes: a read slot on its own costs a byte of read slots (the
// extra slots read 1s and change nothing), a single write-0 slot is refused, and a search runs
// whole in the kernel; its passes are answered from the list it returned. The kernel gives no
// strong pull-up through this protocol: that is noted once.
//
// A master that goes away (driver unloaded, adapter unplugged) fails each call with a
// GeneralFailure naming it; every later call looks for it again, so it is used as soon as the
// kernel lists it once more.
class W1KernelMaster : public BusMaster {
 public:
  using ChannelFactory = std::function<std::unique_ptr<W1Channel>()>;
  struct Options {
    std::chrono::milliseconds reply_timeout{3000};
    std::function<void(std::chrono::milliseconds)> wait;
    std::function<void(const std::string&)> log;  // one-time notes; stderr when not set
  };

  W1KernelMaster(ChannelFactory channel, std::string port);
  W1KernelMaster(ChannelFactory channel, std::string port, Options options);

  // Opens the channel and finds the master the port names. GeneralFailure saying what the kernel
  // has when it is not there (or CAP_NET_ADMIN is missing).
  void Open();
  // The ids of the masters the kernel runs now.
  std::vector<uint32_t> ListMasters();

  ResetResult Reset() override;
  bool TouchBit(bool bit) override;
  uint8_t TouchByte(uint8_t byte) override;
  void Block(uint8_t* data, size_t length) override;
  TripletResult SearchTriplet(bool preferred_direction) override;
  SearchPassResult SearchRomPass(uint8_t command, const RomId& path) override;
  ResetResult ResetAndBlock(uint8_t* data, size_t length) override;
  uint8_t TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) override;
  void Wait(std::chrono::milliseconds duration) override;
  bool CanDeliverPower() const override { return false; }
  void Close() override;
  std::string Describe() const override;

  // Every device on the bus (or every alarming one), in one search by the kernel.
  std::vector<RomId> SearchAll(bool alarm_only);

  uint32_t MasterId() const { return master_; }
  uint64_t PacketsSent() const { return sent_; }
  uint64_t PacketsReceived() const { return received_; }

 private:
  struct Outcome {
    std::vector<uint8_t> status;             // per command
    std::vector<std::vector<uint8_t>> data;  // read and touch data, per command
    std::vector<RomId> found;                // ids a search returned
  };
  // Sends the commands to the master in one message and collects the acknowledgements.
  Outcome Run(std::vector<w1::CommandRecord> commands);
  void Resolve();
  W1Channel& Channel();
  // The connector records that answer `seq`, as they come; false at the deadline.
  bool Await(uint32_t seq, const std::function<bool(const w1::ConnectorRecord&)>& take);
  [[noreturn]] void Fail(const std::string& message);

  ChannelFactory factory_;
  std::unique_ptr<W1Channel> channel_;
  std::string port_;
  std::optional<uint32_t> wanted_;  // nullopt: the first master
  Options options_;
  uint32_t master_ = 0;
  bool resolved_ = false;
  bool pullup_noted_ = false;
  uint32_t seq_ = 0;
  uint64_t sent_ = 0;
  uint64_t received_ = 0;
  // The last whole search, for the passes that continue it.
  std::vector<RomId> search_found_;
  uint8_t search_command_ = 0;
  std::optional<RomId> next_path_;
};

// The masters the kernel runs now, as port texts ("w1_bus_master1"), asked through `channel` (the
// connector socket when not given) within `timeout`: for finding adapters. Empty, with the reason
// in `note`, when they cannot be listed (no connector, CAP_NET_ADMIN missing, no answer); empty
// with no note when the kernel runs none.
std::vector<std::string> FindKernelMasters(std::chrono::milliseconds timeout, std::string* note,
                                           W1KernelMaster::ChannelFactory channel = {});

// Registers "W1", the kernel's 1-Wire masters over netlink (port: see ParseW1Port). Notes go to
// `log` (stderr when not set).
void RegisterKernelAdapters(OneWireAccessProvider& provider,
                            std::function<void(const std::string&)> log = {});

}  // namespace qb::access
