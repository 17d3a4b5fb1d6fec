#include "logging/chart_labels.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>

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

namespace qb {
namespace {

// The labels of `x`, worked out in a child process that is killed when it takes longer than a
// few seconds: a labelling that never ends fails this test instead of hanging the run. Each
// label comes back as its position and text on a line of their own.
std::optional<std::vector<std::pair<double, std::string>>> LabelsWithin(
    const std::vector<double>& x, std::chrono::seconds limit) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string out;
    for (const auto& [position, text] : ChartTimeLabels(x).labels) {
      char number[64];
      std::snprintf(number, sizeof number, "%.17g", position);
      out += std::string(number) + "\n" + text + "\n";
    }
    for (size_t done = 0; done < out.size();) {
      const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) _exit(2);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool ended = false;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<size_t>(n));
        continue;
      }
      ended = true;  // the child closed its end: done
      break;
    }
  }
  close(fds[0]);
  if (!ended) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  std::vector<std::pair<double, std::string>> labels;
  std::istringstream in(text);
  std::string position, label;
  while (std::getline(in, position) && std::getline(in, label))
    labels.emplace_back(std::stod(position), label);
  return labels;
}

TEST(ChartTimeLabels, OneToTwelveReadingsAtAnySpacingGetFewLabelsEachOnAReading) {
  for (double minutes : {1.0, 60.0, 1440.0}) {
    for (size_t count = 1; count <= 12; ++count) {
      SCOPED_TRACE(std::to_string(count) + " readings " + std::to_string(minutes) + " min apart");
      const auto x = Readings(count, minutes);
      const auto labels = LabelsWithin(x, std::chrono::seconds(5));
      if (!labels) {
        ADD_FAILURE() << "the labels were not worked out within 5 seconds";
        continue;
      }
      if (labels->empty()) {
        ADD_FAILURE() << "no label";
        continue;
      }
      EXPECT_LE(labels->size(), count);
      for (const auto& [position, text] : *labels) {
        EXPECT_NE(std::find(x.begin(), x.end(), position), x.end()) << text << " on no reading";
      }
      EXPECT_EQ(labels->front().first, x.front());
      if (count < 5) {
        // Up to four readings: times at the first and the second reading, whatever the span.
        EXPECT_EQ(labels->size(), std::min<size_t>(count, 2));
        EXPECT_EQ(labels->front().second, TimeLabel(x.front()));
        if (count > 1 && labels->size() > 1) {
          EXPECT_EQ(labels->back(), std::make_pair(x[1], TimeLabel(x[1])));
        }
      }
    }
  }
}

}  // namespace
}  // namespace qb
