// A day of readings every second (86,400 points) drawn as the device page's chart and written as
// JPEG, against gnuplot's pngcairo terminal drawing the same data at the same size: the time of
// each (gnuplot's whole run, as one would use it; ours the drawing, encoding and writing of one
// chart in a process already running) as a ratio, and the peak memory of a process doing each.
//
//   chart_bench [--short]
//
// --short draws once each: the run the test suite makes. Needs gnuplot (gnuplot-nox).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/chart_canvas.h"

namespace {

using namespace qb;
using Seconds = std::chrono::duration<double>;

constexpr int kWidth = 590;
constexpr int kHeight = 430;

struct Day {
  std::vector<double> x, y;
};

Day MakeDay() {
  Day d;
  for (int i = 0; i < 86400; ++i) {
    d.x.push_back(DayNumber(2026, 12, 7, 0, 0, 0) + i / 86400.0);
    d.y.push_back(20 + 2 * std::sin(i / 9000.0) + 0.3 * std::sin(i / 97.0) + (i % 613 == 0) * 0.8);
  }
  return d;
}

// The device page's chart: gradient background, banded plot, 3D line, axes with time labels.
void DrawChart(const Day& d, const std::filesystem::path& path) {
  XYChart chart(kWidth, kHeight);
  chart.SetBackground(chart.GradientColor(0, 0, kWidth, kHeight, 0xFFFFFF, 0xDDE6FF), -1, 2);
  chart.SetPlotArea(60, 20, kWidth - 80, kHeight - 50, 0xffffff, 0xffffff, 0xc0c0c0, 0xc0c0c0);
  LineLayer& layer = chart.AddLineLayer(10);
  chart.YAxis().SetAutoScale(0.2);
  chart.XAxis().SetWidth(2);
  chart.YAxis().SetTitle("°C");
  chart.YAxis().SetWidth(2);
  chart.XAxis().SetLinearScale(d.x.front(), d.x.back());
  layer.AddDataSet(d.y, kAutoColour, "28000001234567AB");
  for (int i = 0; i < 86400; i += 86399 / 3) {
    const DayParts p = FromDayNumber(d.x[i]);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", p.hour, p.minute);
    chart.XAxis().AddLabel(d.x[i], text);
  }
  layer.SetXData(d.x);
  chart.MakeChart(path);
}

// Runs `work` in a child process; returns its peak resident memory in KiB (-1 on failure).
template <typename F>
long PeakMemoryOf(F work) {
  const pid_t pid = fork();
  if (pid == 0) {
    work();
    _exit(0);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return -1;
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const bool short_run = argc > 1 && std::string(argv[1]) == "--short";
  const int runs = short_run ? 1 : 10;
  const auto dir =
      std::filesystem::temp_directory_path() / ("qb-chart-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const Day day = MakeDay();

  // gnuplot reads the same points from a file.
  {
    std::ofstream data(dir / "day.dat");
    char line[64];
    for (size_t i = 0; i < day.x.size(); ++i) {
      std::snprintf(line, sizeof line, "%.9f %.4f\n", day.x[i], day.y[i]);
      data << line;
    }
    std::ofstream script(dir / "day.gp");
    script << "set terminal pngcairo size " << kWidth << "," << kHeight << "\n"
           << "set output '" << (dir / "gnuplot.png").string() << "'\n"
           << "set grid\nset ylabel '°C'\nset format x '%.2f'\n"
           << "plot '" << (dir / "day.dat").string()
           << "' using 1:2 with lines title '28000001234567AB'\n";
  }
  const std::string gnuplot = "gnuplot " + (dir / "day.gp").string();

  double ours = 0, theirs = 0;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    DrawChart(day, dir / "ours.jpg");
    auto t1 = std::chrono::steady_clock::now();
    if (std::system(gnuplot.c_str()) != 0) {
      std::fprintf(
          stderr,
          "chart_bench: gnuplot failed or is not installed (apt-get install gnuplot-nox)\n");
      return 1;
    }
    auto t2 = std::chrono::steady_clock::now();
    ours += Seconds(t1 - t0).count();
    theirs += Seconds(t2 - t1).count();
  }
  ours /= runs;
  theirs /= runs;
  // Every child so far was a gnuplot run (through system): their peak is gnuplot's.
  rusage children{};
  getrusage(RUSAGE_CHILDREN, &children);
  const long their_memory = children.ru_maxrss;
  const long our_memory = PeakMemoryOf([&] { DrawChart(day, dir / "ours2.jpg"); });
  const long base_memory = PeakMemoryOf([] {});
  std::printf("86,400 points, %dx%d, mean of %d run(s)\n", kWidth, kHeight, runs);
  std::printf(
      "  ours (cairo + libjpeg, JPEG): %8.1f ms, peak memory %ld KiB (%ld KiB before "
      "drawing, with the data)\n",
      ours * 1000, our_memory, base_memory);
  std::printf("  gnuplot pngcairo (whole run): %8.1f ms, peak memory %ld KiB\n", theirs * 1000,
              their_memory);
  std::printf("  time ratio gnuplot / ours: %.1f\n", theirs / ours);
  const bool ok = std::filesystem::file_size(dir / "ours.jpg") > 1000 && our_memory > 0;
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
