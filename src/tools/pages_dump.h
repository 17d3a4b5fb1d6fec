#pragma once

#include <ostream>

#include "access/container.h"

namespace qb {

// Writes every memory bank of the device: one description line per bank (kind, size, start,
// features, pages), then one line per page with its number, its bytes in hexadecimal and, where
// the bank has them, the page's extra bytes. A page that fails to read is shown with the error
// and the dump goes on.
void DumpPages(access::OneWireContainer& container, std::ostream& out);

}  // namespace qb
