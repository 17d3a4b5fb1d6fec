#include "access/ds1822.h"

#include <memory>

#include "access/families.h"

namespace qb::access {

std::unique_ptr<OneWireContainer> MakeDS1822Container() {
  return std::make_unique<DS1822Container>();
}

}  // namespace qb::access
