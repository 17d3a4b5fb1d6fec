#pragma once

// The commands of the device pages that change more than one control shows: which host devices
// represent a device, memory writes, and the clock rows read from a device.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access/memory_bank.h"

namespace qb::dialog {

// Stores "Show Device ID" for a device and creates or deletes the host device that shows its ROM
// id (the deletion is logged).
void ShowDeviceIdOnHost(const std::string& rom, bool show);

// After an output was chosen for a quad A/D channel: offers a host switch device for it when the
// channel has none, named as discovery names every switch channel.
void OfferOutputSwitch(const std::string& rom, int channel, bool on);

// Bytes typed as hexadecimal pairs separated by blanks ("01 02 FF"); nullopt, with the offending
// part in `bad`, when one is not a byte.
std::optional<access::Bytes> ParseHexBytes(const std::string& typed, std::string& bad);

// Writes bytes at the start of a page of a device's memory bank (the bank's start when it has no
// pages). Returns the error text, empty on success or when the device or bank is gone.
std::string WriteMemory(const std::string& rom, int bank_index, int page_index,
                        const access::Bytes& bytes);

// A date as the Time page shows it ("2026-12-07 17:05:09", or "01/01/70 00:00:00" before the
// first read) back to library milliseconds; nullopt for text that is no date.
std::optional<int64_t> LibraryMsOfText(const std::string& text);

// The four rows of the Time page read from a clock device: the clock, its alarm, the interval
// timer and its alarm, each with its tick box.
std::vector<std::pair<std::string, bool>> ReadClockRows(const std::string& rom);

}  // namespace qb::dialog
