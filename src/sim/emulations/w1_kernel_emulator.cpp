#include "sim/emulations/w1_kernel_emulator.h"

#include <cerrno>

#include "access/adapter.h"

namespace qb::sim {

namespace w1 = access::w1;

namespace {

constexpr size_t kMaxDevices = 256;

w1::ConnectorRecord ReplyHeader(const w1::ConnectorRecord& request, uint32_t ack) {
  w1::ConnectorRecord r;
  r.seq = request.seq;
  r.ack = ack;
  r.flags = request.flags;
  return r;
}

// An acknowledgement: the request's message and command, without data, with the status.
w1::ConnectorRecord Status(const w1::ConnectorRecord& request, const w1::MessageRecord& message,
                           const w1::CommandRecord* command, int error) {
  w1::ConnectorRecord r = ReplyHeader(request, request.ack);
  w1::MessageRecord m;
  m.type = message.type;
  m.status = static_cast<uint8_t>(error);
  std::copy(std::begin(message.id), std::end(message.id), m.id);
  if (command) m.commands.push_back({command->cmd, {}});
  r.messages.push_back(m);
  return r;
}

w1::ConnectorRecord Data(const w1::ConnectorRecord& request, const w1::MessageRecord& message,
                         w1::Command cmd, std::vector<uint8_t> data) {
  w1::ConnectorRecord r = ReplyHeader(request, request.seq + 1);
  w1::MessageRecord m;
  m.type = message.type;
  std::copy(std::begin(message.id), std::end(message.id), m.id);
  m.commands.push_back({cmd, std::move(data)});
  r.messages.push_back(m);
  return r;
}

}  // namespace

W1KernelEmulator::W1KernelEmulator(std::shared_ptr<SimBus> bus, uint32_t master_id)
    : master_(std::move(bus), "emulated kernel 1-Wire master"), master_id_(master_id) {}

int W1KernelEmulator::Join() const {
  std::lock_guard lock(mutex_);
  return refuse_join_ ? EPERM : 0;
}

void W1KernelEmulator::RefuseJoin(bool refuse) {
  std::lock_guard lock(mutex_);
  refuse_join_ = refuse;
}

std::vector<uint8_t> W1KernelEmulator::MasterEvent(w1::MessageType type) {
  w1::ConnectorRecord r;
  r.seq = 0;  // the kernel numbers its events per master; they answer no request
  w1::MessageRecord m;
  m.type = type;
  m.SetMasterId(master_id_);
  r.messages.push_back(m);
  ++packets_out_;
  return w1::EncodePacket(r);
}

std::vector<uint8_t> W1KernelEmulator::RemoveMaster() {
  std::lock_guard lock(mutex_);
  present_ = false;
  return MasterEvent(w1::MessageType::MasterRemove);
}

std::vector<uint8_t> W1KernelEmulator::AddMaster() {
  std::lock_guard lock(mutex_);
  present_ = true;
  return MasterEvent(w1::MessageType::MasterAdd);
}

std::vector<access::RomId> W1KernelEmulator::Search(bool alarm_only) {
  // The kernel's search: passes as in application note 187 until no branch is left.
  std::vector<access::RomId> found;
  access::RomId path;
  const uint8_t command = alarm_only ? access::kAlarmSearch : access::kSearchRom;
  while (found.size() < kMaxDevices) {
    const access::SearchPassResult pass = master_.SearchRomPass(command, path);
    if (pass.reset != access::ResetResult::Presence || pass.lost) break;
    found.push_back(pass.rom);
    int last_zero = -1;
    for (int bit = 63; bit >= 0; --bit) {
      const bool one = (pass.rom.bytes[static_cast<size_t>(bit / 8)] >> (bit % 8)) & 1;
      if ((pass.conflicts >> bit & 1) && !one) {
        last_zero = bit;
        break;
      }
    }
    if (last_zero < 0) break;
    access::RomId next;
    for (int bit = 0; bit <= last_zero; ++bit) {
      const bool one =
          bit == last_zero || ((pass.rom.bytes[static_cast<size_t>(bit / 8)] >> (bit % 8)) & 1);
      if (one) next.bytes[static_cast<size_t>(bit / 8)] |= static_cast<uint8_t>(1u << (bit % 8));
    }
    path = next;
  }
  return found;
}

void W1KernelEmulator::HandleMessage(const w1::ConnectorRecord& request,
                                     const w1::MessageRecord& message,
                                     std::vector<w1::ConnectorRecord>& replies) {
  if (message.type == w1::MessageType::ListMasters) {
    w1::ConnectorRecord r = ReplyHeader(request, request.seq + 1);
    w1::MessageRecord m;
    m.type = w1::MessageType::ListMasters;
    if (present_) {
      const auto* id = reinterpret_cast<const uint8_t*>(&master_id_);
      m.payload.assign(id, id + 4);
    }
    r.messages.push_back(m);
    replies.push_back(r);
    return;
  }
  if (message.type != w1::MessageType::MasterCommand) {
    // Slave commands (the kernel's reset and Match ROM before each command) are not emulated.
    replies.push_back(Status(request, message, nullptr, EOPNOTSUPP));
    return;
  }
  if (!present_ || message.MasterId() != master_id_) {
    replies.push_back(Status(request, message, nullptr, ENODEV));
    return;
  }
  for (const auto& c : message.commands) {
    int error = 0;
    switch (c.cmd) {
      case w1::Command::Reset:
        error = master_.Reset() == access::ResetResult::Presence ? 0 : ENODEV;
        break;
      case w1::Command::Write: {
        std::vector<uint8_t> bytes = c.data;
        master_.Block(bytes.data(), bytes.size());
        break;
      }
      case w1::Command::Read:
      case w1::Command::Touch: {
        std::vector<uint8_t> bytes = c.data;
        if (c.cmd == w1::Command::Read) std::fill(bytes.begin(), bytes.end(), 0xFF);
        master_.Block(bytes.data(), bytes.size());
        replies.push_back(Data(request, message, c.cmd, std::move(bytes)));
        break;
      }
      case w1::Command::Search:
      case w1::Command::AlarmSearch: {
        const auto found = Search(c.cmd == w1::Command::AlarmSearch);
        for (size_t at = 0; at < found.size(); at += ids_per_reply_) {
          std::vector<uint8_t> ids;
          for (size_t i = at; i < found.size() && i < at + ids_per_reply_; ++i)
            ids.insert(ids.end(), found[i].bytes.begin(), found[i].bytes.end());
          replies.push_back(Data(request, message, c.cmd, std::move(ids)));
        }
        break;
      }
      default:
        error = EINVAL;
        break;
    }
    replies.push_back(Status(request, message, &c, error));
  }
}

std::vector<std::vector<uint8_t>> W1KernelEmulator::Handle(const std::vector<uint8_t>& packet) {
  std::lock_guard lock(mutex_);
  ++packets_in_;
  std::vector<std::vector<uint8_t>> out;
  const auto records = w1::DecodePacket(packet);
  if (!records) return out;
  for (const auto& request : *records) {
    if (request.idx != w1::kConnectorIdx || request.val != w1::kConnectorVal) continue;
    std::vector<w1::ConnectorRecord> replies;
    for (const auto& message : request.messages) HandleMessage(request, message, replies);
    if (replies.empty()) continue;
    if (request.flags & w1::kBundle) {
      out.push_back(w1::EncodePacket(replies));
    } else {
      for (const auto& r : replies) out.push_back(w1::EncodePacket(r));
    }
  }
  packets_out_ += out.size();
  return out;
}

}  // namespace qb::sim
