#include "access/masters/ds2480b_master.h"

#include <algorithm>
#include <thread>

#include "access/adapter.h"

namespace qb::access {

namespace ds2480b {

namespace {
// Communication command layout: bit 7 and bit 0 set, the function in bits 6-5, the bit value (or
// accelerator on, or 12 V pulse) in bit 4, the speed in bits 3-2, the strong pull-up in bit 1.
constexpr uint8_t kCommunication = 0x81;
constexpr uint8_t kFunctionBit = 0x00;
constexpr uint8_t kFunctionSearch = 0x20;
constexpr uint8_t kFunctionReset = 0x40;
constexpr uint8_t kFunctionPulse = 0x60;
constexpr uint8_t kValueBit = 0x10;
constexpr uint8_t kPulseSpeed = 0x0C;
constexpr uint8_t kStrongPullupBit = 0x02;
}  // namespace

uint8_t SpeedBits(Speed speed) {
  switch (speed) {
    case Speed::Flex:
      return 0x04;
    case Speed::Overdrive:
    case Speed::Hyperdrive:
      return 0x08;
    case Speed::Regular:
      break;
  }
  return 0x00;
}

uint8_t ResetCommand(Speed speed) {
  return kCommunication | kFunctionReset | SpeedBits(speed);
}

uint8_t BitCommand(bool bit, Speed speed, bool strong_pullup) {
  return static_cast<uint8_t>(kCommunication | kFunctionBit | (bit ? kValueBit : 0) |
                              SpeedBits(speed) | (strong_pullup ? kStrongPullupBit : 0));
}

uint8_t SearchCommand(bool on, Speed speed) {
  return static_cast<uint8_t>(kCommunication | kFunctionSearch | (on ? kValueBit : 0) |
                              SpeedBits(speed));
}

uint8_t PulseCommand(bool program) {
  return static_cast<uint8_t>(kCommunication | kFunctionPulse | (program ? kValueBit : 0) |
                              kPulseSpeed);
}

uint8_t ConfigWrite(Param param, uint8_t value) {
  return static_cast<uint8_t>(static_cast<uint8_t>(param) << 4 | (value & 7) << 1 | 1);
}

uint8_t ConfigRead(Param param) {
  return static_cast<uint8_t>(static_cast<uint8_t>(param) << 1 | 1);
}

std::optional<ResetResult> ParseResetReply(uint8_t reply) {
  if ((reply & 0xE0) != 0xC0) return std::nullopt;
  if ((reply >> 2 & 7) != kChipId) return std::nullopt;
  switch (reply & 3) {
    case 0:
      return ResetResult::Short;
    case 1:
      return ResetResult::Presence;
    case 2:
      return ResetResult::Alarm;
    default:
      return ResetResult::NoPresence;
  }
}

std::optional<bool> ParseBitReply(uint8_t command, uint8_t reply) {
  if ((reply & 0xFC) != (command & 0xFC)) return std::nullopt;
  const uint8_t bits = reply & 3;
  if (bits == 3) return true;
  if (bits == 0) return false;
  return std::nullopt;  // the two copies of the bit disagree: not a reply to this command
}

std::optional<uint8_t> ParseConfigReply(uint8_t command, uint8_t reply) {
  if ((command & 0x81) != 0x01 || (reply & 0x81) != 0) return std::nullopt;
  if ((command & 0x70) == 0) {  // a read: the value code in bits 3-1
    if ((reply & 0xF0) != 0) return std::nullopt;
    return static_cast<uint8_t>(reply >> 1 & 7);
  }
  if (reply != (command & 0xFE)) return std::nullopt;
  return static_cast<uint8_t>(command >> 1 & 7);
}

bool PulseReplyValid(uint8_t reply) {
  return (reply & 0xE0) == 0xE0;
}

std::vector<uint8_t> EscapeData(const uint8_t* data, size_t length) {
  std::vector<uint8_t> out;
  out.reserve(length + 4);
  for (size_t i = 0; i < length; ++i) {
    out.push_back(data[i]);
    if (data[i] == kCommandMode) out.push_back(kCommandMode);
  }
  return out;
}

std::array<uint8_t, 16> EncodeSearchPath(const RomId& path) {
  std::array<uint8_t, 16> out{};
  for (int n = 0; n < 64; ++n) {
    if (path.bytes[static_cast<size_t>(n / 8)] >> (n % 8) & 1)
      out[static_cast<size_t>(n / 4)] |= static_cast<uint8_t>(1u << (2 * (n % 4) + 1));
  }
  return out;
}

SearchPassReply DecodeSearchReply(const std::array<uint8_t, 16>& reply) {
  SearchPassReply r;
  for (int n = 0; n < 64; ++n) {
    const uint8_t pair = reply[static_cast<size_t>(n / 4)] >> (2 * (n % 4)) & 3;
    if (pair & 1) r.discrepancies |= uint64_t{1} << n;
    if (pair & 2) r.rom.bytes[static_cast<size_t>(n / 8)] |= static_cast<uint8_t>(1u << (n % 8));
  }
  r.bus_error = (reply[15] & 0xC0) == 0xC0;
  return r;
}

std::optional<RomId> NextSearchPath(const SearchPassReply& pass) {
  for (int m = 63; m >= 0; --m) {
    const size_t byte = static_cast<size_t>(m / 8);
    const uint8_t mask = static_cast<uint8_t>(1u << (m % 8));
    if (!(pass.discrepancies >> m & 1) || (pass.rom.bytes[byte] & mask)) continue;
    RomId next = pass.rom;
    next.bytes[byte] |= mask;
    for (int i = m + 1; i < 64; ++i)
      next.bytes[static_cast<size_t>(i / 8)] &= static_cast<uint8_t>(~(1u << (i % 8)));
    return next;
  }
  return std::nullopt;
}

}  // namespace ds2480b

using namespace ds2480b;

namespace {
// Data bytes sent in one write: large enough to keep the line busy, small enough that a lost
// reply is noticed soon.
constexpr size_t kChunk = 64;
}  // namespace

DS2480BMaster::DS2480BMaster(std::unique_ptr<SerialLink> link)
    : DS2480BMaster(std::move(link), Options{}) {}

DS2480BMaster::DS2480BMaster(std::unique_ptr<SerialLink> link, Options options)
    : link_(std::move(link)), options_(std::move(options)) {
  port_ = link_ ? link_->Describe() : std::string("(no port)");
  if (!options_.wait)
    options_.wait = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
  if (options_.baud != 9600 && options_.baud != 115200)
    throw AccessError(
        ErrorCode::GeneralFailure, "DS2480B",
        "the DS2480B on " + port_ + " cannot run at " + std::to_string(options_.baud) + " baud");
}

std::string DS2480BMaster::Describe() const {
  return "DS2480B on " + port_;
}

void DS2480BMaster::Fail(const std::string& message) const {
  ThrowBusError("DS2480B", "DS2480B on " + port_ + ": " + message);
}

SerialLink& DS2480BMaster::Link() {
  if (!link_) Fail("the port was closed");
  return *link_;
}

void DS2480BMaster::Close() {
  link_.reset();
  need_init_ = true;
}

void DS2480BMaster::Open() {
  Resync("opening the port");
}

// --- Serial exchange -------------------------------------------------------------------------

void DS2480BMaster::ToCommandMode() {
  if (mode_ == Mode::Data) out_.push_back(kCommandMode);
  mode_ = Mode::Command;
}

void DS2480BMaster::ToDataMode() {
  if (chip_speed_ != speed_) {
    // Data mode time slots run at the speed of the last communication command; the accelerator
    // off command sets it without touching the bus.
    ToCommandMode();
    out_.push_back(SearchCommand(false, speed_));
    chip_speed_ = speed_;
  }
  if (mode_ == Mode::Command) out_.push_back(kDataMode);
  mode_ = Mode::Data;
}

std::vector<uint8_t> DS2480BMaster::Exchange(size_t count) {
  SerialLink& link = Link();
  std::vector<uint8_t> request;
  request.swap(out_);
  if (!request.empty()) link.Write(request.data(), request.size());
  std::vector<uint8_t> reply(count);
  if (count == 0) return reply;
  // At 9600 baud a byte takes about 1 ms on the line, at 115200 a tenth of that; resets and
  // slots on the bus are short beside it.
  const auto line = std::chrono::milliseconds(
      (request.size() + count) * 10 * 1000 / static_cast<size_t>(line_baud_) + 1);
  const size_t got = link.Read(reply.data(), count, options_.reply_timeout + line);
  if (got != count)
    throw ReplyError{"expected " + std::to_string(count) + " reply bytes, got " +
                     std::to_string(got)};
  return reply;
}

template <typename Op>
auto DS2480BMaster::Guarded(const char* what, bool restartable, Op&& op) -> decltype(op()) {
  if (need_init_) Resync("the adapter was not ready");
  try {
    return op();
  } catch (const ReplyError& e) {
    out_.clear();
    Resync(std::string(what) + ": " + e.what);
    if (!restartable) {
      throw TransactionInterrupted("DS2480B", "DS2480B on " + port_ + ": " + what +
                                                  " was interrupted (" + e.what +
                                                  "); the adapter was resynchronised");
    }
  } catch (const AccessError&) {
    // The link failed (the device vanished): start from a break next time.
    out_.clear();
    need_init_ = true;
    throw;
  }
  try {
    return op();
  } catch (const ReplyError& e) {
    out_.clear();
    need_init_ = true;
    Fail(std::string(what) + " failed again after resynchronising: " + e.what);
  } catch (const AccessError&) {
    out_.clear();
    need_init_ = true;
    throw;
  }
}

void DS2480BMaster::Resync(const std::string& cause) {
  need_init_ = true;
  ++resyncs_;
  try {
    Initialize();
  } catch (const ReplyError& e) {
    out_.clear();
    Fail("no DS2480B answers (" + cause + "; " + e.what + ")");
  }
  need_init_ = false;
}

void DS2480BMaster::Initialize() {
  SerialLink& link = Link();
  out_.clear();
  // Back to command mode and any strong pull-up ended, for a chip that sees no break (behind a
  // pseudo-terminal); a real chip is reset by the break that follows anyway.
  const uint8_t leave[] = {kCommandMode, kStopPulse};
  link.Write(leave, sizeof leave);
  link.SetBaudRate(9600);
  line_baud_ = 9600;
  // The break returns the chip to its power-up state: command mode, 9600 baud, regular speed,
  // waiting for the timing byte.
  link.SendBreak();
  options_.wait(std::chrono::milliseconds(2));
  link.DiscardInput();
  const uint8_t timing = kTimingByte;
  link.Write(&timing, 1);
  // A chip that saw no break takes the timing byte for a reset and answers it: wait for that
  // answer briefly so it is not read as the answer to the configuration.
  uint8_t late = 0;
  link.Read(&late, 1, std::chrono::milliseconds(20));
  link.DiscardInput();
  mode_ = Mode::Command;
  chip_speed_ = Speed::Regular;

  const uint8_t config[] = {ConfigWrite(Param::SlewRate, kSlewRate137),
                            ConfigWrite(Param::Write1Low, kWrite1Low10us),
                            ConfigWrite(Param::SampleOffset, kSampleOffset8us),
                            ConfigWrite(Param::StrongPullup, kPullupInfinite),
                            ConfigWrite(Param::ProgramPulse, kProgramPulse512us),
                            ConfigRead(Param::BaudRate)};
  out_.assign(std::begin(config), std::end(config));
  out_.push_back(ResetCommand(Speed::Regular));
  std::vector<uint8_t> reply = Exchange(std::size(config) + 1);
  if (ParseResetReply(reply[0])) {
    // The answer to the timing byte came late: the configuration's answers follow it.
    reply.erase(reply.begin());
    uint8_t last = 0;
    if (link.Read(&last, 1, options_.reply_timeout) != 1)
      throw ReplyError{"the configuration was not answered in full"};
    reply.push_back(last);
  }
  for (size_t i = 0; i < std::size(config); ++i) {
    const auto value = ParseConfigReply(config[i], reply[i]);
    // (The baud rate read back is not checked: a chip behind a pseudo-terminal never saw the
    // break and may still be at the rate it was left at.)
    if (!value)
      throw ReplyError{"configuration byte " + BytesToHexText(&config[i], 1) + " answered " +
                       BytesToHexText(&reply[i], 1)};
  }
  if (!ParseResetReply(reply.back()))
    throw ReplyError{"the reset reply " + BytesToHexText(&reply.back(), 1) +
                     " does not come from a DS2480B"};

  if (options_.baud == 115200) {
    // The chip answers the baud rate write at the new rate: the host ignores that byte, switches
    // and checks the rate by reading it back.
    const uint8_t set = ConfigWrite(Param::BaudRate, kBaud115200);
    link.Write(&set, 1);
    uint8_t ignored = 0;
    link.Read(&ignored, 1, std::chrono::milliseconds(20));
    link.SetBaudRate(115200);
    line_baud_ = 115200;
    link.DiscardInput();
    const uint8_t read = ConfigRead(Param::BaudRate);
    out_.push_back(read);
    uint8_t got = Exchange(1)[0];
    if (got == (set & 0xFE)) got = Exchange(1)[0];  // the echo of the write came late
    const auto value = ParseConfigReply(read, got);
    if (!value || *value != kBaud115200)
      throw ReplyError{"the baud rate read back as " + BytesToHexText(&got, 1)};
  }
}

// --- Bus operations ------------------------------------------------------------------------

ResetResult DS2480BMaster::Reset() {
  const ResetResult r = Guarded("a reset", true, [&] {
    ToCommandMode();
    const uint8_t command = ResetCommand(speed_);
    out_.push_back(command);
    chip_speed_ = speed_;
    const uint8_t reply = Exchange(1)[0];
    const auto result = ParseResetReply(reply);
    if (!result) throw ReplyError{"reset reply " + BytesToHexText(&reply, 1)};
    return *result;
  });
  CountReset();
  // A device signalling an alarm still answered the reset.
  return r == ResetResult::Alarm ? ResetResult::Presence : r;
}

bool DS2480BMaster::TouchBit(bool bit) {
  const bool r = Guarded("a time slot", false, [&] {
    ToCommandMode();
    const uint8_t command = BitCommand(bit, speed_);
    out_.push_back(command);
    chip_speed_ = speed_;
    const uint8_t reply = Exchange(1)[0];
    const auto value = ParseBitReply(command, reply);
    if (!value) throw ReplyError{"time slot reply " + BytesToHexText(&reply, 1)};
    return *value;
  });
  CountSlots(1);
  return r;
}

TripletResult DS2480BMaster::SearchTriplet(bool preferred_direction) {
  TripletResult t = Guarded("a search step", false, [&] {
    // The two read slots go out together; the direction depends on what they read.
    ToCommandMode();
    const uint8_t read = BitCommand(true, speed_);
    out_.push_back(read);
    out_.push_back(read);
    chip_speed_ = speed_;
    const std::vector<uint8_t> reply = Exchange(2);
    const auto id = ParseBitReply(read, reply[0]);
    const auto cmp = ParseBitReply(read, reply[1]);
    if (!id || !cmp) throw ReplyError{"search step reply " + BytesToHexText(reply.data(), 2)};
    TripletResult r;
    r.id_bit = *id;
    r.cmp_bit = *cmp;
    r.direction = r.id_bit != r.cmp_bit ? r.id_bit : preferred_direction;
    const uint8_t write = BitCommand(r.direction, speed_);
    out_.push_back(write);
    const uint8_t last = Exchange(1)[0];
    if (!ParseBitReply(write, last))
      throw ReplyError{"search step reply " + BytesToHexText(&last, 1)};
    return r;
  });
  CountSlots(3);
  return t;
}

void DS2480BMaster::DataBytes(uint8_t* data, size_t length) {
  ToDataMode();
  const std::vector<uint8_t> escaped = EscapeData(data, length);
  out_.insert(out_.end(), escaped.begin(), escaped.end());
  const std::vector<uint8_t> reply = Exchange(length);
  std::copy(reply.begin(), reply.end(), data);
}

uint8_t DS2480BMaster::TouchByte(uint8_t byte) {
  uint8_t b = byte;
  Block(&b, 1);
  return b;
}

void DS2480BMaster::Block(uint8_t* data, size_t length) {
  for (size_t done = 0; done < length;) {
    const size_t n = std::min(kChunk, length - done);
    // Each chunk's bytes are sent again on a retry, so work on a copy until the reply is in.
    Guarded("a block of bytes", false, [&] {
      std::vector<uint8_t> chunk(data + done, data + done + n);
      DataBytes(chunk.data(), n);
      std::copy(chunk.begin(), chunk.end(), data + done);
    });
    CountSlots(8 * n);
    done += n;
  }
}

uint8_t DS2480BMaster::TouchByteWithPower(uint8_t byte, std::chrono::milliseconds duration) {
  const uint8_t result = Guarded("a powered byte", false, [&] {
    // Eight single-bit commands, the last turning the strong pull-up on right after its slot;
    // the pull-up is configured to last until it is ended.
    ToCommandMode();
    uint8_t commands[8];
    for (int i = 0; i < 8; ++i) {
      commands[i] = BitCommand(byte >> i & 1, speed_, i == 7);
      out_.push_back(commands[i]);
    }
    chip_speed_ = speed_;
    const std::vector<uint8_t> reply = Exchange(8);
    uint8_t read = 0;
    for (int i = 0; i < 8; ++i) {
      const auto bit = ParseBitReply(commands[i], reply[static_cast<size_t>(i)]);
      if (!bit) {
        const uint8_t stop = kStopPulse;  // never leave the pull-up on
        Link().Write(&stop, 1);
        throw ReplyError{"powered byte reply " + BytesToHexText(reply.data(), 8)};
      }
      if (*bit) read |= static_cast<uint8_t>(1u << i);
    }
    options_.wait(duration);
    out_.push_back(kStopPulse);
    const uint8_t end = Exchange(1)[0];
    if (!PulseReplyValid(end)) throw ReplyError{"pull-up end reply " + BytesToHexText(&end, 1)};
    return read;
  });
  CountSlots(8);
  CountPower(duration);
  return result;
}

void DS2480BMaster::ProgramPulse() {
  Guarded("a program pulse", false, [&] {
    ToCommandMode();
    out_.push_back(PulseCommand(true));
    const uint8_t reply = Exchange(1)[0];
    if (!PulseReplyValid(reply))
      throw ReplyError{"program pulse reply " + BytesToHexText(&reply, 1)};
  });
  ++stats_.program_pulses;
}

void DS2480BMaster::Wait(std::chrono::milliseconds duration) {
  options_.wait(duration);
}

// --- Search accelerator --------------------------------------------------------------------

void DS2480BMaster::QueueAcceleratedPass(uint8_t search_command, const RomId& path) {
  ToDataMode();
  out_.push_back(search_command);
  if (search_command == kCommandMode) out_.push_back(kCommandMode);
  ToCommandMode();
  out_.push_back(SearchCommand(true, speed_));
  ToDataMode();
  const std::array<uint8_t, 16> encoded = EncodeSearchPath(path);
  const std::vector<uint8_t> escaped = EscapeData(encoded.data(), encoded.size());
  out_.insert(out_.end(), escaped.begin(), escaped.end());
  ToCommandMode();
  out_.push_back(SearchCommand(false, speed_));
}

namespace {
// The accelerator's 16 bytes in a reply that has `skip` other bytes before them (the search
// command's echo, and the reset's answer when it came along).
SearchPassReply DecodePass(const std::vector<uint8_t>& reply, size_t skip) {
  std::array<uint8_t, 16> bits{};
  std::copy(reply.begin() + static_cast<std::ptrdiff_t>(skip),
            reply.begin() + static_cast<std::ptrdiff_t>(skip + 16), bits.begin());
  return DecodeSearchReply(bits);
}
}  // namespace

std::optional<SearchPassReply> DS2480BMaster::SearchPass(uint8_t search_command,
                                                         const RomId& path) {
  if (Reset() == ResetResult::NoPresence) return std::nullopt;
  auto pass = Guarded("an accelerated search", false, [&] {
    QueueAcceleratedPass(search_command, path);
    return DecodePass(Exchange(1 + 16), 1);
  });
  CountSlots(8 + 64 * 3);
  return pass;
}

SearchPassResult DS2480BMaster::SearchRomPass(uint8_t command, const RomId& path) {
  // The reset and the pass in one exchange: when no device answers the reset, the pass that
  // followed it found nothing and is ignored. Begun by a reset, it may be run again whole.
  const std::vector<uint8_t> reply = Guarded("a search pass", true, [&] {
    ToCommandMode();
    out_.push_back(ResetCommand(speed_));
    chip_speed_ = speed_;
    QueueAcceleratedPass(command, path);
    std::vector<uint8_t> r = Exchange(1 + 1 + 16);
    if (!ParseResetReply(r[0])) throw ReplyError{"reset reply " + BytesToHexText(r.data(), 1)};
    return r;
  });
  CountReset();
  CountSlots(8 + 64 * 3);
  SearchPassResult r;
  const ResetResult reset = *ParseResetReply(reply[0]);
  r.reset = reset == ResetResult::Alarm ? ResetResult::Presence : reset;
  if (r.reset != ResetResult::Presence) return r;
  const SearchPassReply pass = DecodePass(reply, 2);
  // Once no device answers, the chip flags every later step and takes the 1 branch, so the last
  // step shows it; valid ROM ids never disagree in the last bit alone.
  r.lost = pass.bus_error;
  if (r.lost) return r;
  r.rom = pass.rom;
  r.conflicts = pass.discrepancies;
  return r;
}

ResetResult DS2480BMaster::ResetAndBlock(uint8_t* data, size_t length) {
  if (length > kChunk) return BusMaster::ResetAndBlock(data, length);
  // Sent whatever the reset finds: with no device listening the block only passes the time.
  std::vector<uint8_t> reply = Guarded("a reset and a block", true, [&] {
    ToCommandMode();
    out_.push_back(ResetCommand(speed_));
    chip_speed_ = speed_;
    ToDataMode();
    const std::vector<uint8_t> escaped = EscapeData(data, length);
    out_.insert(out_.end(), escaped.begin(), escaped.end());
    std::vector<uint8_t> r = Exchange(1 + length);
    if (!ParseResetReply(r[0])) throw ReplyError{"reset reply " + BytesToHexText(r.data(), 1)};
    return r;
  });
  CountReset();
  CountSlots(8 * length);
  const ResetResult reset = *ParseResetReply(reply[0]);
  if (reset == ResetResult::NoPresence || reset == ResetResult::Short) return reset;
  std::copy(reply.begin() + 1, reply.end(), data);
  return ResetResult::Presence;
}

std::vector<RomId> DS2480BMaster::SearchAll(bool alarm_only) {
  std::vector<RomId> found;
  std::optional<RomId> path = RomId{};
  int bad = 0;
  while (path) {
    const auto pass = SearchPass(alarm_only ? kAlarmSearch : kSearchRom, *path);
    if (!pass) break;
    if (pass->bus_error) break;  // nobody answered the search (no alarming device, or all left)
    if (!pass->rom.CrcValid()) {
      // Noise, or a device arriving or leaving mid-pass: run the same path again, a few times.
      if (++bad > 3) Fail("the accelerated search keeps reading ROM ids with a bad CRC");
      continue;
    }
    bad = 0;
    found.push_back(pass->rom);
    path = NextSearchPath(*pass);
  }
  return found;
}

}  // namespace qb::access
