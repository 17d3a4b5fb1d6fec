#pragma once

#include <memory>
#include <nlohmann/json.hpp>

#include "access/rom.h"
#include "sim/sim_device.h"

namespace qb::sim {

// Makes the model of one device of a bus file from its JSON object (the values of its family;
// "rom", "present" and "faults" are read by the bus file loader). Throws std::invalid_argument
// with a message naming the device when a value is missing or wrong.
using ModelMaker = std::unique_ptr<SimDevice> (*)(const access::RomId& rom,
                                                  const nlohmann::json& device);

std::unique_ptr<SimDevice> MakeDS18S20Model(const access::RomId& rom,
                                            const nlohmann::json& device);  // 10
std::unique_ptr<SimDevice> MakeDS1822Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 22
std::unique_ptr<SimDevice> MakeDS18B20Model(const access::RomId& rom,
                                            const nlohmann::json& device);  // 28
std::unique_ptr<SimDevice> MakeDS2438Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 26
std::unique_ptr<SimDevice> MakeDS2450Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 20
std::unique_ptr<SimDevice> MakeDS2405Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 05
std::unique_ptr<SimDevice> MakeDS2406Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 12
std::unique_ptr<SimDevice> MakeDS2409Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 1F
std::unique_ptr<SimDevice> MakeDS2423Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 1D
std::unique_ptr<SimDevice> MakeDS2890Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 2C
std::unique_ptr<SimDevice> MakeDS1994Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 04
std::unique_ptr<SimDevice> MakeDS1921Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 21
std::unique_ptr<SimDevice> MakeDS2760Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 30
std::unique_ptr<SimDevice> MakeDS2413Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 3A
std::unique_ptr<SimDevice> MakeDS2408Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 29
std::unique_ptr<SimDevice> MakeDS28EA00Model(const access::RomId& rom,
                                             const nlohmann::json& device);  // 42

// Memory families (memory_families.cpp).
std::unique_ptr<SimDevice> MakeDS1991Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 02
std::unique_ptr<SimDevice> MakeDS1993Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 06
std::unique_ptr<SimDevice> MakeDS1992Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 08
std::unique_ptr<SimDevice> MakeDS1982Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 09
std::unique_ptr<SimDevice> MakeDS1995Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 0A
std::unique_ptr<SimDevice> MakeDS1985Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 0B
std::unique_ptr<SimDevice> MakeDS1996Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 0C
std::unique_ptr<SimDevice> MakeDS1986Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 0F
std::unique_ptr<SimDevice> MakeDS1983Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 13
std::unique_ptr<SimDevice> MakeDS1971Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 14
std::unique_ptr<SimDevice> MakeDS1963SModel(const access::RomId& rom,
                                            const nlohmann::json& device);  // 18
std::unique_ptr<SimDevice> MakeDS1963LModel(const access::RomId& rom,
                                            const nlohmann::json& device);  // 1A
std::unique_ptr<SimDevice> MakeDS1973Model(const access::RomId& rom,
                                           const nlohmann::json& device);  // 23
std::unique_ptr<SimDevice> MakeDS1961SModel(const access::RomId& rom,
                                            const nlohmann::json& device);  // 33

}  // namespace qb::sim
