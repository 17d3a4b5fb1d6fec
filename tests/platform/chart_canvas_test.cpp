#include "platform/chart_canvas.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "platform/chart_scale.h"
#include "support/jpeg_decode.h"

namespace qb {
namespace {

using test::DecodeJpeg;
using test::Differs;

// A chart laid out as the device page's: plot area from (60, 20), 320 x 250.
struct SmallChart {
  XYChart chart{400, 300};
  LineLayer* layer = nullptr;
  explicit SmallChart(int depth = 0) {
    chart.SetBackground(chart.GradientColor(0, 0, 400, 300, 0xFFFFFF, 0xC0D0FF), -1, 2);
    chart.SetPlotArea(60, 20, 320, 250, 0xFFFFFF, 0xFFFFFF, 0xC0C0C0, 0xC0C0C0);
    layer = &chart.AddLineLayer(depth);
    chart.YAxis().SetTitle("°C");
    chart.XAxis().SetWidth(2);
    chart.YAxis().SetWidth(2);
  }
};

int CountDiffering(const test::DecodedImage& image, int x0, int y0, int x1, int y1,
                   uint32_t colour) {
  int count = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) count += Differs(image.At(x, y), colour);
  return count;
}

TEST(ChartCanvas, JpegHasTheChartsSizeWithTheLineInsideThePlotAndLabelsBesideIt) {
  SmallChart c;
  c.layer->AddDataSet({20.5, 22.0, 21.0}, 0xFF0000, "28AB");
  c.layer->SetXData({46363.25, 46363.5, 46363.75});
  c.chart.XAxis().SetLinearScale(46363.25, 46363.75);
  c.chart.XAxis().AddLabel(46363.25, "06:00");
  const auto image = DecodeJpeg(c.chart.EncodeJpeg());
  ASSERT_EQ(image.width, 400);
  ASSERT_EQ(image.height, 300);
  // The line crosses the plot's middle column in red.
  const double mx = c.chart.PixelOf(46363.5, 22.0).first;
  int red = 0;
  for (int y = 21; y < 269; ++y) {
    const uint32_t p = image.At(static_cast<int>(mx), y);
    red += ((p >> 16) & 0xFF) > 180 && ((p >> 8) & 0xFF) < 120 && (p & 0xFF) < 120;
  }
  EXPECT_GT(red, 0);
  // Dark text: the y labels left of the plot and the time label under it.
  EXPECT_GT(CountDiffering(image, 20, 20, 56, 270, 0xFFFFFF), 20);
  EXPECT_GT(CountDiffering(image, 62, 275, 110, 295, 0xFFFFFF), 10);
}

TEST(ChartCanvas, ImageMapPlacesOneAreaPerPointFromThePlotTransformWithXAndValueReplaced) {
  SmallChart c;
  c.layer->AddDataSet({10, std::nan(""), 30}, kAutoColour, "A");
  c.layer->SetXData({46000.5, 46000.75, 46001.0});
  c.chart.XAxis().SetLinearScale(46000.5, 46001.0);
  c.chart.YAxis().SetLinearScale(0, 40);
  const std::string map = c.chart.GetHTMLImageMap("", "", "title='{x}|{value}' ");
  EXPECT_EQ(map,
            "<area shape=\"circle\" coords=\"60,208,5\" title='46000.5|10' >\n"
            "<area shape=\"circle\" coords=\"380,83,5\" title='46001|30' >\n");
}

TEST(ChartCanvas, ADayOfReadingsEverySecondStillShowsAOneSecondSpike) {
  XYChart chart(500, 300);
  chart.SetPlotArea(50, 20, 335, 250, 0xFFFFFF, 0xFFFFFF, 0xC0C0C0, -1);
  auto& layer = chart.AddLineLayer(0);
  std::vector<double> x(86400), y(86400, 20.0);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 46000 + i / 86400.0;
  y[43210] = 30.0;  // one reading far above the rest
  layer.AddDataSet(y, 0x0000FF, "28");
  layer.SetXData(x);
  chart.YAxis().SetLinearScale(15, 35);
  const auto image = DecodeJpeg(chart.EncodeJpeg());
  auto [sx, sy] = chart.PixelOf(x[43210], 30.0);
  // Near the peak's pixel something is drawn, where the plot would otherwise be white.
  int blue = 0;
  for (int dx = -1; dx <= 1; ++dx)
    for (int dy = 0; dy <= 3; ++dy)
      blue += Differs(image.At(static_cast<int>(sx) + dx, static_cast<int>(sy) + dy), 0xFFFFFF);
  EXPECT_GT(blue, 0) << "the spike's peak is drawn";
}

TEST(ChartCanvas, WritesJpegOrPngByExtensionAndRefusesOthers) {
  XYChart chart(200, 100);
  const auto dir = std::filesystem::temp_directory_path() / "qb-chart-canvas-test";
  std::filesystem::create_directories(dir);
  chart.MakeChart(dir / "a.jpg");
  chart.MakeChart(dir / "a.png");
  EXPECT_EQ(DecodeJpeg(test::ReadFileBytes(dir / "a.jpg")).width, 200);
  EXPECT_EQ(test::ReadFileBytes(dir / "a.png").substr(1, 3), "PNG");
  EXPECT_THROW(chart.MakeChart(dir / "a.gif"), std::runtime_error);
  std::filesystem::remove_all(dir);
}

TEST(ChartScale, AutoScaleCoversTheDataWithRoomAboveAndRoundTicks) {
  const AxisScale s = AutoScale(20.5, 22.0, 0.2, 0.1, 0.8, 8);
  EXPECT_LE(s.low, 20.5 - 0.15);
  EXPECT_GE(s.high, 22.0 + 0.3);
  ASSERT_GE(s.ticks.size(), 2u);
  EXPECT_DOUBLE_EQ(s.ticks.front(), s.low);
  EXPECT_DOUBLE_EQ(s.ticks.back(), s.high);
  // One value, and values near zero compared with their size.
  const AxisScale one = AutoScale(21, 21, 0.2, 0.1, 0.8, 8);
  EXPECT_LT(one.low, 21);
  EXPECT_GT(one.high, 21);
  EXPECT_EQ(AutoScale(5, 90, 0.2, 0.1, 0.8, 8).low, 0);
  EXPECT_LT(AutoScale(-12.5, -3, 0.2, 0.1, 0.8, 8).low, -12.5);
}

TEST(ChartScale, ARoomTemperatureChartStaysNearItsData) {
  // 20 to 22 degrees: the axis may round outwards, but drawn from 0 the line would lie flat.
  const AxisScale s = AutoScale(20, 22, 0.2, 0.1, 0.8, 8);
  EXPECT_LE(s.low, 20);
  EXPECT_GE(s.low, 19);
  EXPECT_GE(s.high, 22);
  EXPECT_LE(s.high, 23);
  // As the device page draws it: the two degrees fill most of the plot's 250 pixels.
  SmallChart c;
  c.layer->AddDataSet({20, 21.5, 22}, 0xFF0000, "28AB");
  c.layer->SetXData({46363.25, 46363.5, 46363.75});
  c.chart.XAxis().SetLinearScale(46363.25, 46363.75);
  c.chart.YAxis().SetAutoScale(0.2);
  const double rise = c.chart.PixelOf(46363.25, 20).second - c.chart.PixelOf(46363.75, 22).second;
  EXPECT_GT(rise, 125) << "the line rises " << rise << " of 250 pixels";
  // Below zero the same holds.
  const AxisScale cold = AutoScale(-22, -20, 0.2, 0.1, 0.8, 8);
  EXPECT_LE(cold.high, -19);
  EXPECT_GE(cold.low, -23);
}

TEST(ChartCanvas, NeitherTheLineNorItsThreeDRibbonLeavesThePlotArea) {
  // A rising line ending at the plot's top right corner, with 10 pixels of depth.
  SmallChart c(10);
  c.layer->AddDataSet({20, 22}, 0xFF0000, "28AB");
  c.layer->SetXData({46363.25, 46363.75});
  c.chart.XAxis().SetLinearScale(46363.25, 46363.75);
  c.chart.YAxis().SetLinearScale(20, 22);
  const auto image = DecodeJpeg(c.chart.EncodeJpeg());
  auto reddish = [&](int x, int y) {
    const uint32_t p = image.At(x, y);
    const int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    return r > 150 && r > g + 60 && r > b + 60;
  };
  int inside = 0, outside = 0;
  for (int y = 0; y < 300; ++y) {
    for (int x = 0; x < 400; ++x) {
      const bool in_plot = x >= 60 && x < 380 && y >= 20 && y < 270;
      (in_plot ? inside : outside) += reddish(x, y);
    }
  }
  EXPECT_GT(inside, 100);
  EXPECT_EQ(outside, 0);
}

TEST(ChartCanvas, ALegendRightOfThePlotBreaksLongNamesInsteadOfCoveringThePlot) {
  // The charts page's layout: plot from x 50, 535 wide; the legend 5 pixels right of it.
  XYChart chart(700, 350);
  chart.SetPlotArea(50, 20, 535, 300, 0xFFFFFF, 0xFFFFFF, 0xC0C0C0, -1);
  chart.AddLegend(590, 13, false, "arial.ttf", 7);
  auto& layer = chart.AddLineLayer(0);
  // Points at the plot's left end only: its right part stays empty unless the legend spreads.
  layer.AddDataSet({20, 21}, 0x0000FF, "Unknown 940000000001E228-Temp living room thermometer");
  layer.AddDataSet({21, 22}, 0x00A000, "AVeryLongNameWithoutAnyBlankThatCannotFitOnOneLine");
  layer.SetXData({46363.0, 46363.01});
  chart.XAxis().SetLinearScale(46363.0, 46364.0);
  const auto image = DecodeJpeg(chart.EncodeJpeg());
  int dark_in_plot = 0, dark_in_legend = 0;
  for (int y = 21; y < 319; ++y) {
    for (int x = 400; x < 584; ++x) dark_in_plot += (image.At(x, y) & 0xFF) < 100;
    for (int x = 590; x < 700; ++x) dark_in_legend += (image.At(x, y) & 0xFF) < 100;
  }
  EXPECT_EQ(dark_in_plot, 0);
  EXPECT_GT(dark_in_legend, 100);
}

TEST(DayNumbers, CountFromThe30thOfDecember1899) {
  EXPECT_EQ(DayNumber(1899, 12, 30, 0, 0, 0), 0);
  EXPECT_EQ(DayNumber(1970, 1, 1, 0, 0, 0), 25569);
  EXPECT_DOUBLE_EQ(DayNumber(2026, 12, 7, 18, 0, 0), 46363.75);
  const DayParts p = FromDayNumber(DayNumber(2026, 2, 28, 23, 59, 59.9996));
  EXPECT_EQ(p.month * 100 + p.day, 301);  // rounds up into the next day
  EXPECT_EQ(p.hour * 100 + p.minute, 0);
}

}  // namespace
}  // namespace qb
