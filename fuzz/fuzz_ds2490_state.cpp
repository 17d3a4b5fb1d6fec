// Feeds arbitrary bytes to the DS2490 master as the chip's state packets and bulk data: the state
// decoder must hold its invariants, and the master must answer every operation with a result or
// an AccessError, never a crash, a hang or a read past its buffers.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "access/adapter.h"
#include "access/errors.h"
#include "access/masters/ds2490_master.h"

namespace {

using namespace qb::access;

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

// USB pipes whose answers are the fuzz input: each read takes a length byte, then that many
// bytes (as many as are left), until the input runs dry.
class ScriptedUsb : public UsbLink {
 public:
  ScriptedUsb(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  void Control(uint8_t, uint16_t, uint16_t) override {}
  void BulkWrite(const uint8_t*, size_t) override {}
  size_t BulkRead(uint8_t* out, size_t length, std::chrono::milliseconds) override {
    return Take(out, length);
  }
  size_t InterruptRead(uint8_t* out, size_t length, std::chrono::milliseconds) override {
    return Take(out, length);
  }
  std::string Describe() const override { return "fuzz"; }

 private:
  size_t Take(uint8_t* out, size_t length) {
    if (pos_ >= size_) return 0;
    const size_t want = std::min<size_t>(data_[pos_++], length);
    const size_t n = std::min(want, size_ - pos_);
    if (n) std::memcpy(out, data_ + pos_, n);
    pos_ += n;
    return n;
  }
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The decoder: a packet shorter than the state is refused; the result bytes are those after
  // it, at most 16.
  const auto state = ds2490::ParseState(data, size);
  FUZZ_CHECK(state.has_value() == (size >= ds2490::kStatePacketSize));
  if (state) {
    FUZZ_CHECK(state->results.size() ==
               std::min(size - ds2490::kStatePacketSize, ds2490::kMaxResults));
    const ResetResult r = ds2490::ResetFromResults(state->results);
    FUZZ_CHECK(r == ResetResult::NoPresence || r == ResetResult::Presence ||
               r == ResetResult::Alarm || r == ResetResult::Short);
  }

  // The master and a search on top of it, fed the input as the chip's answers.
  DS2490Master::Options options;
  options.wait = [](std::chrono::milliseconds) {};
  options.reply_timeout = std::chrono::milliseconds(0);
  auto master = std::make_unique<DS2490Master>(std::make_unique<ScriptedUsb>(data, size), options);
  DSPortAdapter adapter("DS2490", "fuzz", std::move(master));
  try {
    int found = 0;
    for (bool more = adapter.findFirstDevice(); more && found < 200;
         more = adapter.findNextDevice(), ++found) {
      FUZZ_CHECK(adapter.getAddress().CrcValid());
    }
  } catch (const AccessError&) {
  }
  try {
    uint8_t block[12] = {0x55, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBE, 0xFF, 0xFF};
    adapter.Master().ResetAndBlock(block, sizeof block);
    adapter.Master().Block(block, sizeof block);
    adapter.Master().TouchByteWithPower(0x44, std::chrono::milliseconds(750));
    adapter.Master().TouchBit(true);
  } catch (const AccessError&) {
  }
  return 0;
}
