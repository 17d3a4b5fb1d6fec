#pragma once

#include <cstdint>
#include <memory>

#include "access/container.h"

namespace qb::access {

// The containers of the families the library speaks to, one maker per family (each defined in
// its family's file).
std::unique_ptr<OneWireContainer> MakeDS18S20Container();  // 10
std::unique_ptr<OneWireContainer> MakeDS1822Container();   // 22
std::unique_ptr<OneWireContainer> MakeDS18B20Container();  // 28
std::unique_ptr<OneWireContainer> MakeDS2438Container();   // 26
std::unique_ptr<OneWireContainer> MakeDS2450Container();   // 20
std::unique_ptr<OneWireContainer> MakeDS2405Container();   // 05
std::unique_ptr<OneWireContainer> MakeDS2406Container();   // 12
std::unique_ptr<OneWireContainer> MakeDS2409Container();   // 1F
std::unique_ptr<OneWireContainer> MakeDS2423Container();   // 1D
std::unique_ptr<OneWireContainer> MakeDS2890Container();   // 2C
std::unique_ptr<OneWireContainer> MakeDS1990AContainer();  // 01
std::unique_ptr<OneWireContainer> MakeDS1994Container();   // 04
std::unique_ptr<OneWireContainer> MakeDS1921Container();   // 21
std::unique_ptr<OneWireContainer> MakeDS2760Container();   // 30

// Switches with PIO access, and the thermometer with chain mode.
std::unique_ptr<OneWireContainer> MakeDS2413Container();    // 3A
std::unique_ptr<OneWireContainer> MakeDS2408Container();    // 29
std::unique_ptr<OneWireContainer> MakeDS28EA00Container();  // 42

// A container for any family: the family's own, or the generic one (name, presence, alarm).
std::unique_ptr<OneWireContainer> CreateContainer(uint8_t family);

}  // namespace qb::access
