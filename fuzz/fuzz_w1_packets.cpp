// Feeds arbitrary bytes as netlink packets: to the decoder (a packet it accepts encodes back to
// the same records), to the emulated kernel as a program's request, and to the kernel master as
// the kernel's replies. None may crash, hang or read past its buffers; the master answers every
// operation with a result or an AccessError.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>

#include "access/errors.h"
#include "access/masters/w1_kernel_master.h"
#include "access/masters/w1_netlink.h"
#include "platform/clock.h"
#include "sim/emulations/w1_kernel_emulator.h"
#include "sim/models.h"

namespace {

using namespace qb;

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

// A channel whose every reply is the fuzz input, cut into packets at its first bytes' lengths.
class ScriptedChannel : public access::W1Channel {
 public:
  ScriptedChannel(const uint8_t* data, size_t size) {
    size_t at = 0;
    while (at < size) {
      const size_t n = std::min<size_t>(size - at, 1 + data[at] % 96);
      packets_.emplace_back(data + at, data + at + n);
      at += n;
    }
  }
  void Send(const std::vector<uint8_t>&) override {}
  std::optional<std::vector<uint8_t>> Receive(std::chrono::milliseconds) override {
    if (packets_.empty()) return std::nullopt;
    auto p = std::move(packets_.front());
    packets_.pop_front();
    return p;
  }

 private:
  std::deque<std::vector<uint8_t>> packets_;
};

bool SameRecords(const std::vector<access::w1::ConnectorRecord>& a,
                 const std::vector<access::w1::ConnectorRecord>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].seq != b[i].seq || a[i].ack != b[i].ack || a[i].flags != b[i].flags ||
        a[i].messages.size() != b[i].messages.size())
      return false;
    for (size_t m = 0; m < a[i].messages.size(); ++m) {
      const auto& x = a[i].messages[m];
      const auto& y = b[i].messages[m];
      if (x.type != y.type || x.status != y.status || x.payload != y.payload ||
          x.commands.size() != y.commands.size())
        return false;
      for (size_t c = 0; c < x.commands.size(); ++c)
        if (x.commands[c].cmd != y.commands[c].cmd || x.commands[c].data != y.commands[c].data)
          return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The decoder: what it accepts survives a round trip through the encoder (netlink messages
  // with one connector record each, as sent).
  if (auto records = access::w1::DecodePacket(data, size)) {
    for (const auto& r : *records) {
      auto again = access::w1::DecodePacket(access::w1::EncodePacket(r));
      FUZZ_CHECK(again && SameRecords(*again, {r}));
    }
  }

  // The emulated kernel takes the bytes as a program's request.
  SimulatedClock clock;
  auto bus = std::make_shared<sim::SimBus>(clock);
  bus->Add(sim::MakeDS18B20Model(access::RomId::Make(0x28, 1), {{"temperature", 20}}));
  sim::W1KernelEmulator kernel(bus);
  for (const auto& reply : kernel.Handle(std::vector<uint8_t>(data, data + size)))
    FUZZ_CHECK(access::w1::DecodePacket(reply).has_value());

  // The master takes them as the kernel's replies.
  access::W1KernelMaster::Options options;
  options.reply_timeout = std::chrono::milliseconds(1);
  options.wait = [](std::chrono::milliseconds) {};
  options.log = [](const std::string&) {};
  access::W1KernelMaster master(
      [data, size] { return std::make_unique<ScriptedChannel>(data, size); }, "W1", options);
  try {
    master.Open();
    master.Reset();
    uint8_t block[9] = {0x55, 1, 2, 3, 4, 5, 6, 7, 8};
    master.ResetAndBlock(block, sizeof block);
    master.TouchBit(true);
    master.SearchAll(false);
  } catch (const access::AccessError&) {
  }
  return 0;
}
