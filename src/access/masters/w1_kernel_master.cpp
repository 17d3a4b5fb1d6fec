#include "access/masters/w1_kernel_master.h"

#include <cerrno>
#include <cstring>

#include "access/adapter.h"
#include "access/errors.h"
#include "access/masters/master_hooks.h"
#include "access/masters/w1_netlink_socket.h"
#include "access/provider.h"

namespace qb::access {

namespace {

constexpr const char* kType = "W1";
// A read or touch larger than this goes out in pieces, well inside a netlink page.
constexpr size_t kMaxChunk = 512;

bool Digits(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool Bit(const RomId& rom, int bit) {
  return (rom.bytes[static_cast<size_t>(bit / 8)] >> (bit % 8)) & 1;
}

void SetBit(RomId& rom, int bit) {
  rom.bytes[static_cast<size_t>(bit / 8)] |= static_cast<uint8_t>(1u << (bit % 8));
}

// The path the search's next pass takes after `pass`: as the adapter's search builds it.
std::optional<RomId> NextPath(const SearchPassResult& pass) {
  int last_zero = -1;
  for (int bit = 63; bit >= 0; --bit) {
    if ((pass.conflicts >> bit & 1) && !Bit(pass.rom, bit)) {
      last_zero = bit;
      break;
    }
  }
  if (last_zero < 0) return std::nullopt;
  RomId next;
  for (int bit = 0; bit < last_zero; ++bit)
    if (Bit(pass.rom, bit)) SetBit(next, bit);
  SetBit(next, last_zero);
  return next;
}

std::string MastersText(const std::vector<uint32_t>& ids) {
  if (ids.empty()) return "none";
  std::string out;
  for (uint32_t id : ids) out += (out.empty() ? "" : ", ") + w1::MasterName(id);
  return out;
}

}  // namespace

std::optional<uint32_t> ParseW1Port(const std::string& port, std::string* error) {
  if (port.empty() || port == "W1" || port == "w1") return std::nullopt;
  std::string number = port;
  const std::string prefix = "w1_bus_master";
  if (number.rfind(prefix, 0) == 0) number = number.substr(prefix.size());
  if (Digits(number)) return static_cast<uint32_t>(std::stoul(number));
  if (error)
    *error = "\"" + port +
             "\" names no kernel 1-Wire master: give W1 (the first), the master's number (1) or "
             "its name in /sys/bus/w1/devices (w1_bus_master1)";
  return std::nullopt;
}

SearchPassResult SearchPassAmong(const std::vector<RomId>& found, const RomId& path) {
  SearchPassResult r;
  if (found.empty()) return r;
  r.reset = ResetResult::Presence;
  std::vector<const RomId*> still;
  for (const RomId& rom : found) still.push_back(&rom);
  for (int bit = 0; bit < 64; ++bit) {
    bool ones = false, zeros = false;
    for (const RomId* rom : still) (Bit(*rom, bit) ? ones : zeros) = true;
    bool take;
    if (ones && zeros) {
      r.conflicts |= uint64_t{1} << bit;
      take = Bit(path, bit);
    } else {
      take = ones;
    }
    if (take) SetBit(r.rom, bit);
    std::vector<const RomId*> next;
    for (const RomId* rom : still)
      if (Bit(*rom, bit) == take) next.push_back(rom);
    still.swap(next);
  }
  return r;
}

W1KernelMaster::W1KernelMaster(ChannelFactory channel, std::string port)
    : W1KernelMaster(std::move(channel), std::move(port), Options{}) {}

W1KernelMaster::W1KernelMaster(ChannelFactory channel, std::string port, Options options)
    : factory_(std::move(channel)), port_(std::move(port)), options_(std::move(options)) {
  std::string error;
  wanted_ = ParseW1Port(port_, &error);
  if (!error.empty()) throw AccessError(ErrorCode::GeneralFailure, kType, error);
}

void W1KernelMaster::Fail(const std::string& message) {
  ThrowBusError(kType, message);
}

W1Channel& W1KernelMaster::Channel() {
  if (!channel_) channel_ = factory_();
  return *channel_;
}

void W1KernelMaster::Open() {
  Resolve();
}

std::string W1KernelMaster::Describe() const {
  if (resolved_) return "kernel 1-Wire master " + w1::MasterName(master_);
  return wanted_ ? "kernel 1-Wire master " + w1::MasterName(*wanted_)
                 : std::string("the first kernel 1-Wire master");
}

bool W1KernelMaster::Await(uint32_t seq,
                           const std::function<bool(const w1::ConnectorRecord&)>& take) {
  const auto deadline = std::chrono::steady_clock::now() + options_.reply_timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    auto packet = Channel().Receive(left);
    if (!packet) return false;
    ++received_;
    auto records = w1::DecodePacket(*packet);
    if (!records) continue;  // not a packet of this protocol: dropped
    for (const auto& record : *records) {
      // Events (masters and slaves coming and going) and late replies to earlier requests carry
      // other sequence numbers.
      if (record.idx != w1::kConnectorIdx || record.val != w1::kConnectorVal || record.seq != seq)
        continue;
      if (take(record)) return true;
    }
  }
}

std::vector<uint32_t> W1KernelMaster::ListMasters() {
  const uint32_t seq = ++seq_;
  w1::ConnectorRecord request;
  request.seq = seq;
  w1::MessageRecord message;
  message.type = w1::MessageType::ListMasters;
  request.messages.push_back(message);
  Channel().Send(w1::EncodePacket(request));
  ++sent_;
  std::vector<uint32_t> ids;
  const bool answered = Await(seq, [&](const w1::ConnectorRecord& record) {
    for (const auto& m : record.messages) {
      if (m.type != w1::MessageType::ListMasters) continue;
      for (size_t i = 0; i + 4 <= m.payload.size(); i += 4) {
        uint32_t id;
        std::memcpy(&id, &m.payload[i], 4);
        ids.push_back(id);
      }
      return true;
    }
    return false;
  });
  if (!answered)
    Fail(
        "the kernel did not answer the list of its 1-Wire masters (is the wire module loaded? "
        "modprobe wire)");
  return ids;
}

void W1KernelMaster::Resolve() {
  const std::vector<uint32_t> ids = ListMasters();
  if (wanted_) {
    for (uint32_t id : ids) {
      if (id == *wanted_) {
        master_ = id;
        resolved_ = true;
        return;
      }
    }
    Fail("the kernel runs no 1-Wire master " + w1::MasterName(*wanted_) +
         " (its masters now: " + MastersText(ids) + ")");
  }
  if (ids.empty())
    Fail(
        "the kernel runs no 1-Wire master (load its driver: dtoverlay=w1-gpio on a Raspberry "
        "Pi, or modprobe ds2482 / ds2490)");
  master_ = ids.front();
  resolved_ = true;
}

W1KernelMaster::Outcome W1KernelMaster::Run(std::vector<w1::CommandRecord> commands) {
  if (!resolved_) Resolve();
  const uint32_t seq = ++seq_;
  w1::ConnectorRecord request;
  request.seq = seq;
  request.flags = w1::kBundle;
  w1::MessageRecord message;
  message.type = w1::MessageType::MasterCommand;
  message.SetMasterId(master_);
  message.commands = commands;
  request.messages.push_back(message);
  Channel().Send(w1::EncodePacket(request));
  ++sent_;

  Outcome out;
  out.data.resize(commands.size());
  size_t acked = 0;
  bool gone = false;
  uint8_t message_error = 0;
  const auto done = [&] {
    if (acked == commands.size()) return true;
    // The last command's data stands for its acknowledgement when that comes on its own.
    const auto& last = commands.back();
    return acked + 1 == commands.size() &&
           (last.cmd == w1::Command::Read || last.cmd == w1::Command::Touch) &&
           out.data.back().size() == last.data.size();
  };
  const bool answered = Await(seq, [&](const w1::ConnectorRecord& record) {
    for (const auto& m : record.messages) {
      if (m.type != w1::MessageType::MasterCommand || m.MasterId() != master_) continue;
      if (m.commands.empty()) {
        // The message itself failed: no such master (ENODEV), or the request was refused.
        if (m.status == ENODEV) gone = true;
        message_error = m.status ? m.status : static_cast<uint8_t>(EINVAL);
        return true;
      }
      for (const auto& c : m.commands) {
        if (acked >= commands.size() || c.cmd != commands[acked].cmd) continue;
        if (c.data.empty()) {
          out.status.push_back(m.status);
          ++acked;
        } else if (c.cmd == w1::Command::Search || c.cmd == w1::Command::AlarmSearch) {
          for (size_t i = 0; i + 8 <= c.data.size(); i += 8) {
            RomId rom;
            std::memcpy(rom.bytes.data(), &c.data[i], 8);
            out.found.push_back(rom);
          }
        } else {
          out.data[acked] = c.data;
        }
      }
    }
    return done();
  });
  if (gone) {
    resolved_ = false;
    Fail("the kernel's 1-Wire master " + w1::MasterName(master_) +
         " is gone (its driver unloaded or its adapter unplugged); it is used again as soon as "
         "the kernel lists it");
  }
  if (message_error)
    Fail("the kernel refused a request to " + w1::MasterName(master_) + ": " +
         std::strerror(message_error));
  if (!answered) {
    resolved_ = false;
    Fail("the kernel's 1-Wire master " + w1::MasterName(master_) + " did not answer within " +
         std::to_string(options_.reply_timeout.count()) + " ms");
  }
  out.status.resize(commands.size(), 0);
  for (size_t i = 0; i < commands.size(); ++i) {
    const auto cmd = commands[i].cmd;
    if (cmd == w1::Command::Reset) continue;  // its status is the presence pulse
    if (out.status[i] != 0)
      Fail("the kernel's 1-Wire master " + w1::MasterName(master_) +
           " failed a bus operation: " + std::strerror(out.status[i]));
    if ((cmd == w1::Command::Read || cmd == w1::Command::Touch) &&
        out.data[i].size() != commands[i].data.size())
      Fail("the kernel's 1-Wire master " + w1::MasterName(master_) + " answered " +
           std::to_string(out.data[i].size()) + " of " + std::to_string(commands[i].data.size()) +
           " bytes");
  }
  return out;
}

ResetResult W1KernelMaster::Reset() {
  const Outcome out = Run({{w1::Command::Reset, {}}});
  CountReset();
  return out.status[0] == 0 ? ResetResult::Presence : ResetResult::NoPresence;
}

bool W1KernelMaster::TouchBit(bool bit) {
  if (!bit)
    ThrowNotSupported(Describe(),
                      "A single write-0 time slot (the kernel's 1-Wire netlink works in bytes)");
  // A byte of read slots: the first is the one asked for, the others read 1s and change nothing.
  const Outcome out = Run({{w1::Command::Read, {0xFF}}});
  CountSlots(8);
  return out.data[0][0] & 1;
}

uint8_t W1KernelMaster::TouchByte(uint8_t byte) {
  Block(&byte, 1);
  return byte;
}

void W1KernelMaster::Block(uint8_t* data, size_t length) {
  for (size_t at = 0; at < length; at += kMaxChunk) {
    const size_t n = std::min(kMaxChunk, length - at);
    const Outcome out = Run({{w1::Command::Touch, std::vector<uint8_t>(data + at, data + at + n)}});
    std::memcpy(data + at, out.data[0].data(), n);
    CountSlots(8 * n);
  }
}

ResetResult W1KernelMaster::ResetAndBlock(uint8_t* data, size_t length) {
  if (length == 0 || length > kMaxChunk) return BusMaster::ResetAndBlock(data, length);
  const Outcome out = Run(
      {{w1::Command::Reset, {}}, {w1::Command::Touch, std::vector<uint8_t>(data, data + length)}});
  CountReset();
  CountSlots(8 * length);
  if (out.status[0] != 0) return ResetResult::NoPresence;
  std::memcpy(data, out.data[1].data(), length);
  return ResetResult::Presence;
}

TripletResult W1KernelMaster::SearchTriplet(bool) {
  ThrowNotSupported(Describe(),
                    "A search step on its own (the kernel runs the whole search itself)");
}

std::vector<RomId> W1KernelMaster::SearchAll(bool alarm_only) {
  const Outcome out = Run({{alarm_only ? w1::Command::AlarmSearch : w1::Command::Search, {}}});
  // Each device found cost the kernel a reset and 64 search steps of three slots.
  const uint64_t passes = out.found.empty() ? 1 : out.found.size();
  for (uint64_t i = 0; i < passes; ++i) CountReset();
  CountSlots(out.found.size() * (8 + 64 * 3));
  return out.found;
}

SearchPassResult W1KernelMaster::SearchRomPass(uint8_t command, const RomId& path) {
  // A pass that continues the last search is answered from its list; any other starts a search.
  if (!(command == search_command_ && next_path_ && path == *next_path_)) {
    search_found_ = SearchAll(command == kAlarmSearch);
    search_command_ = command;
  }
  const SearchPassResult pass = SearchPassAmong(search_found_, path);
  next_path_ = NextPath(pass);
  return pass;
}

uint8_t W1KernelMaster::TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) {
  const uint8_t result = TouchByte(byte);
  if (!pullup_noted_) {
    pullup_noted_ = true;
    const std::string note =
        "the kernel's 1-Wire master " + w1::MasterName(master_) +
        " gives no strong pull-up through netlink: a parasite-powered device on it may not "
        "finish a temperature conversion or an EEPROM copy (wire it for external power, or use "
        "a stronger pull-up resistor)";
    NoteThrough(options_.log, note);
  }
  Wait(duration);
  return result;
}

void W1KernelMaster::Wait(std::chrono::milliseconds duration) {
  WaitThrough(options_.wait, duration);
}

void W1KernelMaster::Close() {
  channel_.reset();
  resolved_ = false;
}

std::vector<std::string> FindKernelMasters(std::chrono::milliseconds timeout, std::string* note,
                                           W1KernelMaster::ChannelFactory channel) {
  if (!channel) channel = [] { return std::make_unique<W1NetlinkSocket>(); };
  W1KernelMaster::Options options;
  options.reply_timeout = timeout;
  std::vector<std::string> ports;
  try {
    W1KernelMaster master(std::move(channel), "W1", options);
    for (uint32_t id : master.ListMasters()) ports.push_back(w1::MasterName(id));
  } catch (const AccessError& e) {
    if (note) *note = e.what();
  }
  return ports;
}

void RegisterKernelAdapters(OneWireAccessProvider& provider,
                            std::function<void(const std::string&)> log) {
  provider.RegisterAdapterType("W1", [log](const std::string& port) -> std::unique_ptr<BusMaster> {
    W1KernelMaster::Options options;
    options.log = log;
    auto master = std::make_unique<W1KernelMaster>(
        [] { return std::make_unique<W1NetlinkSocket>(); }, port, options);
    master->Open();
    return master;
  });
}

}  // namespace qb::access
