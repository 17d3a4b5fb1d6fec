#pragma once

#include <string>

namespace qb {

// The charts page: one chart of the logged readings of the ticked devices over the typed time
// range, with point tips, and the lowest, highest and average value of each. Its form submits
// with GET to its own link, so a refresh repeats the same chart.
std::string ChartsPage(const std::string& lnk);

}  // namespace qb
