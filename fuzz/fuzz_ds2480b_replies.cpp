// Feeds arbitrary bytes to the DS2480B master as the adapter's replies: the reply decoders must
// hold their invariants, and the master must answer every operation with a result or an
// AccessError, never a crash, a hang or a read past its buffers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "access/adapter.h"
#include "access/masters/ds2480b_master.h"

namespace {

using namespace qb::access;

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

// A serial link whose replies are the fuzz input, handed out in order until it runs dry.
class ScriptedLink : public SerialLink {
 public:
  ScriptedLink(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  void Write(const uint8_t*, size_t) override {}
  size_t Read(uint8_t* out, size_t length, std::chrono::milliseconds) override {
    const size_t n = std::min(length, size_ - pos_);
    if (n) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return n;
  }
  void SendBreak() override {}
  void SetBaudRate(int) override {}
  void DiscardInput() override {}
  std::string Describe() const override { return "fuzz"; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

void CheckDecoders(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    const uint8_t command = i + 1 < size ? data[i + 1] : 0x95;
    if (auto bit = ds2480b::ParseBitReply(command, b))
      FUZZ_CHECK((b & 0xFC) == (command & 0xFC) && ((b & 3) == 0 || (b & 3) == 3));
    if (auto r = ds2480b::ParseResetReply(b)) FUZZ_CHECK((b & 0xE0) == 0xC0);
    if (auto v = ds2480b::ParseConfigReply(command, b)) FUZZ_CHECK(*v < 8 && (b & 1) == 0);
  }
  const auto escaped = ds2480b::EscapeData(data, size);
  size_t e3 = 0;
  for (size_t i = 0; i < size; ++i) e3 += data[i] == ds2480b::kCommandMode;
  FUZZ_CHECK(escaped.size() == size + e3);

  if (size >= 16) {
    std::array<uint8_t, 16> reply;
    std::memcpy(reply.data(), data, 16);
    const auto pass = ds2480b::DecodeSearchReply(reply);
    // The directions taken, sent back as a path, sit in the same (odd) bits.
    const auto path = ds2480b::EncodeSearchPath(pass.rom);
    for (size_t i = 0; i < 16; ++i)
      FUZZ_CHECK((path[i] & 0x55) == 0 && path[i] == (reply[i] & 0xAA));
    if (const auto next = ds2480b::NextSearchPath(pass)) FUZZ_CHECK(*next != pass.rom);
  }
}

void RunMaster(const uint8_t* data, size_t size) {
  DS2480BMaster::Options options;
  options.wait = [](std::chrono::milliseconds) {};
  auto master =
      std::make_unique<DS2480BMaster>(std::make_unique<ScriptedLink>(data, size), options);
  DS2480BMaster& m = *master;
  DSPortAdapter adapter("DS9097U", "fuzz", std::move(master));
  auto attempt = [](auto&& op) {
    try {
      op();
    } catch (const AccessError&) {
    }
  };
  attempt([&] { m.Open(); });
  attempt([&] { m.Reset(); });
  attempt([&] { m.TouchBit(true); });
  attempt([&] {
    uint8_t block[70];
    std::memset(block, 0xE3, sizeof block);
    m.Block(block, sizeof block);
  });
  attempt([&] { m.SearchTriplet(false); });
  attempt([&] { m.TouchByteWithPower(0x44, std::chrono::milliseconds(750)); });
  attempt([&] { m.ProgramPulse(); });
  attempt([&] {
    m.SetSpeed(Speed::Overdrive);
    m.TouchByte(0x55);
  });
  attempt([&] { m.SearchAll(); });
  attempt([&] { adapter.findFirstDevice(); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckDecoders(data, size);
  RunMaster(data, size);
  return 0;
}
