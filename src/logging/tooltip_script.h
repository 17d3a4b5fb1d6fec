#pragma once

#include <string>

namespace qb {

// The point tip of the chart images: a hidden element placed `left` pixels from the page's left
// edge and the page script that the image map's areas call to show a point's time and value.
std::string TooltipScript(const std::string& left);

}  // namespace qb
