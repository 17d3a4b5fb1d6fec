#include "platform/log_throttle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qb {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

TEST(LogThrottle, AFloodWritesItsFirstLinesThenOneCountPerInterval) {
  SimulatedClock clock;
  std::vector<std::string> lines;
  LogThrottle throttle(
      clock, [&](const std::string& c, const std::string& t) { lines.push_back(c + "|" + t); }, 60s,
      2);
  for (int i = 1; i <= 1000; ++i) throttle.Write("bad", "MQTT", "bad " + std::to_string(i));
  throttle.Write("other", "DB", "another kind is counted apart");
  EXPECT_THAT(lines, ElementsAre("MQTT|bad 1", "MQTT|bad 2", "DB|another kind is counted apart"));
  EXPECT_EQ(throttle.HeldBack("bad"), 998u);

  // The flood stops: the count is written once the interval is over, and only then.
  clock.Advance(59s);
  throttle.Flush();
  EXPECT_EQ(lines.size(), 3u);
  clock.Advance(1s);
  throttle.Flush();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], "MQTT|998 more like this in 60 s were not written; the last: bad 1000");
  throttle.Flush();
  EXPECT_EQ(lines.size(), 4u);

  // A flood that goes on: the count comes with the first line of the next interval.
  for (int i = 0; i < 5; ++i) throttle.Write("bad", "MQTT", "again");
  clock.Advance(61s);
  throttle.Write("bad", "MQTT", "later");
  EXPECT_THAT(
      std::vector<std::string>(lines.begin() + 4, lines.end()),
      ElementsAre("MQTT|again", "MQTT|again",
                  "MQTT|3 more like this in 61 s were not written; the last: again", "MQTT|later"));
}

}  // namespace
}  // namespace qb
