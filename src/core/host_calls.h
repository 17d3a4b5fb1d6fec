#pragma once

#include <exception>

#include "core/host_interface.h"

namespace qb {

// The host object; a call that needs it before any host was registered fails as a host call.
HostApplication& Host();

// Runs one statement of an operation whose failing statements are skipped (the plug-in's way of
// carrying on past a host or bus error where the operation says so).
template <typename F>
void Skip(F&& statement) {
  try {
    statement();
  } catch (const std::exception&) {
  }
}

}  // namespace qb
