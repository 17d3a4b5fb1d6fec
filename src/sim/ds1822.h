#pragma once

#include "sim/ds18b20.h"

namespace qb::sim {

// A DS1822 (family 22): the DS18B20's scratchpad, configuration, timing and alarm rule.
class DS1822Model : public DS18B20Model {
 public:
  using DS18B20Model::DS18B20Model;
};

}  // namespace qb::sim
