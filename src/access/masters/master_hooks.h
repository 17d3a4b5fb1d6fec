#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace qb::access {

// How a master waits while a device works (a simulated clock in tests), and where its one-time
// notes for the person running the program go.
using WaitHook = std::function<void(std::chrono::milliseconds)>;
using LogHook = std::function<void(const std::string&)>;

// Waits `duration` through `wait`, or sleeps the thread when none is set.
void WaitThrough(const WaitHook& wait, std::chrono::milliseconds duration);
// Hands `note` to `log`, or writes it to stderr when none is set.
void NoteThrough(const LogHook& log, const std::string& note);

}  // namespace qb::access
