#pragma once

#include "access/ds18b20.h"

namespace qb::access {

// Family 22: DS1822, the lower-accuracy sibling of the DS18B20 with the same scratchpad,
// configuration byte and conversion times.
class DS1822Container : public DS18B20Container {
 public:
  DS1822Container() : DS18B20Container(0x22) {}
};

}  // namespace qb::access
