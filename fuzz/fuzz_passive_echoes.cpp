// Feeds arbitrary bytes to the passive serial master as the adapter's echoes: the echo decoders
// must hold their invariants, and the master must answer every operation with a result or an
// AccessError, never a crash, a hang or a read past its buffers.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "access/adapter.h"
#include "access/errors.h"
#include "access/masters/passive_serial_master.h"

namespace {

using namespace qb::access;

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

// A serial link whose echoes are the fuzz input, handed out in order until it runs dry.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The decoders: every echo decodes to a result, and a byte's eight slots decode to the bits
  // each slot read.
  for (size_t i = 0; i < size; ++i) {
    const ResetResult r = passive::DecodeResetEcho(data[i]);
    FUZZ_CHECK(r == ResetResult::NoPresence || r == ResetResult::Presence ||
               r == ResetResult::Short);
  }
  if (size >= 8) {
    const uint8_t byte = passive::DecodeByteSlots(data);
    for (int i = 0; i < 8; ++i) FUZZ_CHECK(((byte >> i) & 1) == (data[i] & 1));
  }

  // The master and a search on top of it, fed the input as echoes.
  PassiveSerialMaster::Options options;
  options.wait = [](std::chrono::milliseconds) {};
  options.log = [](const std::string&) {};
  options.reply_timeout = std::chrono::milliseconds(0);
  auto master =
      std::make_unique<PassiveSerialMaster>(std::make_unique<ScriptedLink>(data, size), options);
  DSPortAdapter adapter("DS9097E", "fuzz", std::move(master));
  try {
    for (bool more = adapter.findFirstDevice(); more; more = adapter.findNextDevice()) {
      FUZZ_CHECK(adapter.getAddress().CrcValid());
    }
  } catch (const AccessError&) {
  }
  try {
    uint8_t block[12] = {0x55, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBE, 0xFF, 0xFF};
    adapter.Master().Block(block, sizeof block);
    adapter.Master().TouchByteWithPower(0x44, std::chrono::milliseconds(750));
  } catch (const AccessError&) {
  }
  return 0;
}
