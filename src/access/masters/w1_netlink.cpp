#include "access/masters/w1_netlink.h"

#include <cstring>

namespace qb::access::w1 {

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  uint8_t b[2];
  std::memcpy(b, &v, 2);
  out.insert(out.end(), b, b + 2);
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  std::memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
}

uint16_t Get16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

size_t Align4(size_t n) {
  return (n + 3) & ~static_cast<size_t>(3);
}

void EncodeMessage(std::vector<uint8_t>& out, const MessageRecord& m) {
  size_t len = 0;
  if (m.CarriesCommands()) {
    for (const auto& c : m.commands) len += kCommandHeaderSize + c.data.size();
  } else {
    len = m.payload.size();
  }
  out.push_back(static_cast<uint8_t>(m.type));
  out.push_back(m.status);
  Put16(out, static_cast<uint16_t>(len));
  out.insert(out.end(), m.id, m.id + 8);
  if (!m.CarriesCommands()) {
    out.insert(out.end(), m.payload.begin(), m.payload.end());
    return;
  }
  for (const auto& c : m.commands) {
    out.push_back(static_cast<uint8_t>(c.cmd));
    out.push_back(0);
    Put16(out, static_cast<uint16_t>(c.data.size()));
    out.insert(out.end(), c.data.begin(), c.data.end());
  }
}

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

bool DecodeMessages(const uint8_t* p, size_t size, ConnectorRecord& record, std::string* error) {
  size_t at = 0;
  while (at < size) {
    if (size - at < kMessageHeaderSize) return Fail(error, "a 1-Wire message header is cut short");
    MessageRecord m;
    m.type = static_cast<MessageType>(p[at]);
    m.status = p[at + 1];
    const size_t len = Get16(p + at + 2);
    std::memcpy(m.id, p + at + 4, 8);
    at += kMessageHeaderSize;
    if (len > size - at) return Fail(error, "a 1-Wire message's length runs past its packet");
    if (m.CarriesCommands()) {
      size_t c_at = at;
      while (c_at < at + len) {
        if (at + len - c_at < kCommandHeaderSize)
          return Fail(error, "a 1-Wire command header is cut short");
        CommandRecord c;
        c.cmd = static_cast<Command>(p[c_at]);
        const size_t c_len = Get16(p + c_at + 2);
        c_at += kCommandHeaderSize;
        if (c_len > at + len - c_at)
          return Fail(error, "a 1-Wire command's length runs past its message");
        c.data.assign(p + c_at, p + c_at + c_len);
        c_at += c_len;
        m.commands.push_back(std::move(c));
      }
    } else {
      m.payload.assign(p + at, p + at + len);
    }
    at += len;
    record.messages.push_back(std::move(m));
  }
  return true;
}

}  // namespace

uint32_t MessageRecord::MasterId() const {
  return Get32(id);
}

void MessageRecord::SetMasterId(uint32_t master) {
  std::memset(id, 0, sizeof id);
  std::memcpy(id, &master, 4);
}

std::vector<uint8_t> EncodePacket(const std::vector<ConnectorRecord>& records, uint32_t port) {
  std::vector<uint8_t> out(kNetlinkHeaderSize, 0);
  for (const auto& r : records) {
    std::vector<uint8_t> body;
    for (const auto& m : r.messages) EncodeMessage(body, m);
    Put32(out, r.idx);
    Put32(out, r.val);
    Put32(out, r.seq);
    Put32(out, r.ack);
    Put16(out, static_cast<uint16_t>(body.size()));
    Put16(out, r.flags);
    out.insert(out.end(), body.begin(), body.end());
  }
  const uint32_t total = static_cast<uint32_t>(out.size());
  const uint16_t type = kNlmsgDone;
  const uint16_t flags = 0;
  const uint32_t seq = records.empty() ? 0 : records.front().seq;
  std::memcpy(&out[0], &total, 4);
  std::memcpy(&out[4], &type, 2);
  std::memcpy(&out[6], &flags, 2);
  std::memcpy(&out[8], &seq, 4);
  std::memcpy(&out[12], &port, 4);
  out.resize(Align4(out.size()), 0);
  return out;
}

std::vector<uint8_t> EncodePacket(const ConnectorRecord& record, uint32_t port) {
  return EncodePacket(std::vector<ConnectorRecord>{record}, port);
}

std::optional<std::vector<ConnectorRecord>> DecodePacket(const uint8_t* data, size_t size,
                                                         std::string* error) {
  std::vector<ConnectorRecord> records;
  size_t at = 0;
  while (at + kNetlinkHeaderSize <= size) {
    const size_t nl_len = Get32(data + at);
    if (nl_len < kNetlinkHeaderSize || nl_len > size - at) {
      Fail(error, "a netlink header's length disagrees with the packet");
      return std::nullopt;
    }
    const uint8_t* p = data + at + kNetlinkHeaderSize;
    const size_t body = nl_len - kNetlinkHeaderSize;
    size_t c_at = 0;
    while (c_at < body) {
      if (body - c_at < kConnectorHeaderSize) {
        Fail(error, "a connector header is cut short");
        return std::nullopt;
      }
      ConnectorRecord r;
      r.idx = Get32(p + c_at);
      r.val = Get32(p + c_at + 4);
      r.seq = Get32(p + c_at + 8);
      r.ack = Get32(p + c_at + 12);
      const size_t len = Get16(p + c_at + 16);
      r.flags = Get16(p + c_at + 18);
      c_at += kConnectorHeaderSize;
      if (len > body - c_at) {
        Fail(error, "a connector message's length runs past its packet");
        return std::nullopt;
      }
      if (!DecodeMessages(p + c_at, len, r, error)) return std::nullopt;
      c_at += len;
      records.push_back(std::move(r));
    }
    at += Align4(nl_len);
  }
  return records;
}

std::string MasterName(uint32_t id) {
  return "w1_bus_master" + std::to_string(id);
}

}  // namespace qb::access::w1
