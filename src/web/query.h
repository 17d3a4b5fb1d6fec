#pragma once

#include <string>

namespace qb {

// Splits a page link ("1-Wire?PAGE=1&From=...") or posted form text into decoded pairs and keeps
// them in Web().QueryPairs. The list has one entry per "=" in the text; entries the split did not
// reach stay empty. Encoded "&" and "=" (%26, %3D) stay inside their value.
void ParseQuery(const std::string& text);

// Form decoding: "+" is a blank, "%hh" the byte hh (a malformed escape leaves the "%" and drops
// the two characters after it), and everything up to a "?" after the escapes is dropped, which
// turns "1-Wire?PAGE" into "PAGE".
std::string URLDecode(const std::string& text);

// The value of the first pair whose name equals `name` without regard to case; empty if none.
std::string GetQueryValue(const std::string& name);

}  // namespace qb
