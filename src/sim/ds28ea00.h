#pragma once

#include "sim/ds18b20.h"
#include "sim/ds2413.h"

namespace qb::sim {

// The thermometer with sequence detection (family 42): the DS18B20's temperature side, two PIO
// lines (PIO Access Read F5h, PIO Access Write A5h, as the DS2413's), and chain mode (99h with a
// control byte and its complement, answered with AAh: ON 5Ah, DONE 96h, OFF 3Ch). The devices
// are wired along the cable in the order of the bus file: the first one's EN input is tied low,
// every further one's follows the DONE output of the family-42 device before it. In chain mode
// a device answers Conditional Read ROM only while it is enabled and not yet done.
class DS28EA00Model : public DS18B20Model {
 public:
  DS28EA00Model(const access::RomId& rom, const nlohmann::json& device, PioPair pio);

  enum class Chain { Off, On, Done };
  PioPair& pio() { return pio_; }
  Chain chain() const { return chain_; }
  // Takes the edited temperature and the edited levels at the PIO lines.
  bool FollowValues(SimDevice& edited) override;

 protected:
  void OnFunctionCommand(uint8_t command) override;
  void OnDataByte(uint8_t byte) override;
  void OnSendDone() override;
  void OnReset() override;
  bool AnswersConditionalReadRom() override;
  bool SupportsOverdrive() const override { return true; }

 private:
  enum class Step { None, Pio, ChainControl, ChainComplement };
  // Whether the EN input is low: the first device of the chain, or the one before is done.
  bool Enabled() const;

  PioPair pio_;
  Chain chain_ = Chain::Off;
  Step step_ = Step::None;
  uint8_t byte_ = 0;
};

}  // namespace qb::sim
