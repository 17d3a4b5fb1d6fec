#include "access/families.h"

namespace qb::access {

std::unique_ptr<OneWireContainer> CreateContainer(uint8_t family) {
  switch (family) {
    case 0x01:
      return MakeDS1990AContainer();
    case 0x04:
      return MakeDS1994Container();
    case 0x21:
      return MakeDS1921Container();
    case 0x30:
      return MakeDS2760Container();
    case 0x05:
      return MakeDS2405Container();
    case 0x10:
      return MakeDS18S20Container();
    case 0x12:
      return MakeDS2406Container();
    case 0x1D:
      return MakeDS2423Container();
    case 0x1F:
      return MakeDS2409Container();
    case 0x20:
      return MakeDS2450Container();
    case 0x22:
      return MakeDS1822Container();
    case 0x26:
      return MakeDS2438Container();
    case 0x28:
      return MakeDS18B20Container();
    case 0x2C:
      return MakeDS2890Container();
    case 0x3A:
      return MakeDS2413Container();
    case 0x29:
      return MakeDS2408Container();
    case 0x42:
      return MakeDS28EA00Container();
    default:
      return std::make_unique<OneWireContainer>(family);
  }
}

}  // namespace qb::access
