#pragma once

#include <functional>
#include <string>

namespace qb {

// The charts page: one chart of the logged readings of the ticked devices over the typed time
// range, with point tips, and the lowest, highest and average value of each. Its form submits
// with GET to its own link, so a refresh repeats the same chart.
std::string ChartsPage(const std::string& lnk);

// The chart of the charts page `lnk` (query pairs already parsed), prepared now and returned as
// work for any thread: it reads the database on its own connection and draws. The next
// ChartsPage(lnk) after it is done builds the page around that chart instead of drawing one.
std::function<void()> ChartsGroundwork(const std::string& lnk);

}  // namespace qb
