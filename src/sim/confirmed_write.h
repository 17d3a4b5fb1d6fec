#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace qb::sim {

// The write exchange of the PIO switches (Channel-Access Write, PIO Access Write): the master
// sends an output byte and its complement; the device answers AAh and its status byte, then
// takes the next pair. A complement that does not match ends the exchange: the device then
// sends nothing until the next reset.
class ConfirmedWrite {
 public:
  // What the device does after a byte of the exchange.
  struct Answer {
    bool stop = false;          // stop listening until the next reset
    std::vector<uint8_t> send;  // bytes to send (none while the pair is incomplete)
  };
  // The next `count` pairs are answered with a wrong confirmation (55h) and not taken, as when
  // the output byte arrived corrupted.
  void FailConfirmations(int count) { failing_ = count; }
  // The write command arrived: the first output byte comes next.
  void Start() { have_output_ = false; }
  // One byte of the exchange. `take` switches the outputs and returns the status byte after it;
  // `status` gives the status byte of a write that was not taken.
  Answer Byte(uint8_t byte, const std::function<uint8_t(uint8_t outputs)>& take,
              const std::function<uint8_t()>& status);

 private:
  bool have_output_ = false;
  uint8_t outputs_ = 0;
  int failing_ = 0;
};

}  // namespace qb::sim
