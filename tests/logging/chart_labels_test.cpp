#include "logging/chart_labels.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logging/chart_dates.h"
#include "platform/chart_canvas.h"

namespace qb {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

// Readings every `minutes` minutes from 7 December 2026, 08:00.
std::vector<double> Readings(size_t count, double minutes) {
  std::vector<double> x;
  for (size_t i = 0; i < count; ++i)
    x.push_back(DayNumber(2026, 12, 7, 8, 0, 0) + i * minutes / 1440);
  return x;
}

TEST(ChartTimeLabels, FewReadingsGetTimeLabelsAtTheFirstAndSecondOnly) {
  EXPECT_TRUE(ChartTimeLabels({}).labels.empty());
  const auto one = Readings(1, 60);
  EXPECT_THAT(ChartTimeLabels(one).labels, ElementsAre(Pair(one[0], "08:00")));
  const auto three = Readings(3, 60);
  EXPECT_THAT(ChartTimeLabels(three).labels,
              ElementsAre(Pair(three[0], "08:00"), Pair(three[1], "09:00")));
}

TEST(ChartTimeLabels, TheSpanChoosesTimesDatesOrBoth) {
  // 30 hours, 31 readings: date-time labels at the first, middle and last.
  const auto hours30 = Readings(31, 60);
  const TimeLabels both = ChartTimeLabels(hours30);
  EXPECT_EQ(both.form, "2");
  EXPECT_THAT(both.labels, ElementsAre(Pair(hours30[0], "07/12/2026 08:00"),
                                       Pair(hours30[15], "07/12/2026 23:00"),
                                       Pair(hours30[30], "08/12/2026 14:00")));
  // 7 readings within a day: n = 6, every second point.
  const TimeLabels times = ChartTimeLabels(Readings(7, 5));
  EXPECT_EQ(times.form, "<1");
  ASSERT_EQ(times.labels.size(), 4u);
  EXPECT_EQ(times.labels[3].second, "08:30");
  // A week of 9 readings: n = 8, a date at every second.
  const TimeLabels dates = ChartTimeLabels(Readings(9, 1260));
  EXPECT_EQ(dates.form, ">2");
  ASSERT_EQ(dates.labels.size(), 5u);
  EXPECT_EQ(dates.labels[1].second, "09/12/2026");
}

}  // namespace
}  // namespace qb

namespace qb {
namespace {

TEST(ChartDates, TheRangeFormsPeopleTypeAndNothingElse) {
  using namespace std::chrono;
  const DbTime expected = sys_days{2026y / December / 6} + hours(16) + minutes(5);
  // The tests run with TZ=UTC.
  for (const char* text : {"06 Dec 2026 16:05", "Dec 06 2026 16:05:00", "2026-12-06 16:05",
                           "2026-12-06T16:05", "06/12/2026 16:05", " 6 december 2026 16:05 "}) {
    EXPECT_EQ(ParseChartDate(text), expected) << text;
  }
  EXPECT_EQ(ParseChartDate("06 Dec 2026"), sys_days{2026y / December / 6});
  EXPECT_EQ(ChartFormDate(expected), "06 Dec 2026 16:05");
  for (const char* text : {"", "yesterday", "31 Feb 2026", "2026-13-01", "06 Dec 2026 25:00",
                           "06 Dec 2026 16:05 and more", "06 Foo 2026", "-5 Dec 2026"}) {
    EXPECT_EQ(ParseChartDate(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace qb
