#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "access/masters/serial_link.h"
#include "sim/emulations/ds2480b_emulator.h"

namespace qb::sim {

// A serial link to a DS2480B emulated in the same process: what the master writes goes to the
// emulation, and its answers wait to be read. Both ends have a baud rate as a real line does:
// bytes sent while the host and the chip disagree on the rate are lost, so a master that changes
// the rate in the wrong order finds out here as it would on a wire.
//
// Faults can be injected into the answers (one byte dropped or garbled) to exercise the master's
// resynchronisation.
class EmulatedSerialLink : public access::SerialLink {
 public:
  explicit EmulatedSerialLink(std::shared_ptr<DS2480BEmulator> emulator,
                              std::string name = "emulated DS2480B");

  void Write(const uint8_t* data, size_t length) override;
  size_t Read(uint8_t* data, size_t length, std::chrono::milliseconds timeout) override;
  void SendBreak() override;
  void SetBaudRate(int baud) override;
  void DiscardInput() override;
  std::string Describe() const override { return name_; }

  // The `index`-th answer byte from now on (0: the next one) is lost.
  void DropAnswerByte(size_t index);
  // The `index`-th answer byte from now on arrives with the bits of `mask` flipped.
  void GarbleAnswerByte(size_t index, uint8_t mask);

  DS2480BEmulator& emulator() { return *emulator_; }
  int HostBaudRate() const { return host_baud_; }
  // Everything written and answered so far, for tests that check the conversation.
  const std::vector<uint8_t>& Written() const { return written_; }
  size_t Pending() const { return answers_.size(); }

 private:
  struct Fault {
    size_t index;  // counted in answer bytes since the link was made
    bool drop;
    uint8_t mask;
  };

  std::shared_ptr<DS2480BEmulator> emulator_;
  std::string name_;
  int host_baud_ = 9600;
  std::deque<uint8_t> answers_;
  std::vector<uint8_t> written_;
  std::vector<Fault> faults_;
  size_t answered_ = 0;
};

}  // namespace qb::sim
