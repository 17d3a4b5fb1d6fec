#pragma once

#include <string>

namespace qb {

// Text made safe to stand in HTML, in element content and in quoted attribute values alike:
// & < > " and ' become entities.
std::string EscapeHtml(const std::string& text);

}  // namespace qb
