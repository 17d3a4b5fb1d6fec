#pragma once

#include <functional>
#include <string>

namespace qb::access {

class OneWireAccessProvider;

// Registers the USB adapters "DS2490" and "DS1490" (the DS9490R and DS1490 with a DS2490
// bridge). Their port is "USB" (the first one plugged in), "USB2" and on (the n-th), or
// "USB:BUS:ADDRESS". Opening one fails with a GeneralFailure saying what is missing: no adapter,
// no permission (with the udev rule that grants it), or a chip that does not answer. Notes such
// as a detached kernel driver go to `log` (stderr when not set).
void RegisterUsbAdapters(OneWireAccessProvider& provider,
                         std::function<void(const std::string&)> log = {});

}  // namespace qb::access
