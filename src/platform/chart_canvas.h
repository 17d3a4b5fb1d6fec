#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qb {

// Colours of the chart canvas are 0xRRGGBB. A colour with a high byte set draws nothing
// (kTransparent, and -1 where a call takes "no colour"), except the gradient handles that
// XYChart::GradientColor returns. A data set given kAutoColour takes the next colour of the
// chart's palette.
inline constexpr int32_t kTransparent = static_cast<int32_t>(0xFF000000u);
inline constexpr int32_t kAutoColour = -1;

class XYChart;

// One axis: its scale (automatic from the data unless fixed), line width, title and text labels.
// When text labels were added the axis shows those instead of numbers.
class ChartAxis {
 public:
  // Automatic scale from the data, the top end widened by `top_extension` of the data's span.
  void SetAutoScale(double top_extension);
  void SetWidth(int pixels);
  void SetTitle(const std::string& text);
  // A fixed scale from `low` to `high`.
  void SetLinearScale(double low, double high);
  // A text label (with a tick and a grid line) at a position on the scale.
  void AddLabel(double position, const std::string& text);

  const std::vector<std::pair<double, std::string>>& Labels() const { return labels_; }
  const std::string& Title() const { return title_; }

 private:
  friend class XYChart;
  double top_extension_ = 0.1;
  int width_ = 1;
  std::string title_;
  bool fixed_ = false;
  double low_ = 0;
  double high_ = 0;
  std::vector<std::pair<double, std::string>> labels_;
};

// A line layer: data sets of y values with their colour and name, each drawn against the x
// values given by the SetXData call that follows it (a data set without x values is drawn against
// its indexes 0, 1, 2...). Values that are NaN are left out of the line.
class LineLayer {
 public:
  explicit LineLayer(int depth) : depth_(depth) {}
  void AddDataSet(std::vector<double> values, int32_t colour, std::string name);
  // The x values of the data sets added since the last call.
  void SetXData(std::vector<double> x);
  int Depth() const { return depth_; }

  struct DataSet {
    std::vector<double> y;
    std::vector<double> x;  // empty: indexes
    int32_t colour = kAutoColour;
    std::string name;
    bool has_x = false;
  };
  const std::deque<DataSet>& DataSets() const { return data_sets_; }

 private:
  friend class XYChart;
  int depth_ = 0;
  std::deque<DataSet> data_sets_;
};

// The legend: one entry per named data set, with a key in the set's colour.
class LegendBox {
 public:
  void SetBackground(int32_t colour) { background_ = colour; }

 private:
  friend class XYChart;
  int x_ = 0;
  int y_ = 0;
  bool vertical_ = false;
  std::string font_;
  double size_ = 8;
  int32_t background_ = kTransparent;
};

// An XY chart drawn with cairo: a background (plain or gradient, with an optional raised edge),
// a plot area with alternating bands and a grid, line layers with optional 3D depth, two axes
// and a legend. Drawing happens when the image is asked for; the image map is computed from the
// same coordinate transform as the drawing. X values of time charts are day numbers counted from
// 30 December 1899 (see DayNumber).
class XYChart {
 public:
  XYChart(int width, int height);
  ~XYChart();
  XYChart(const XYChart&) = delete;
  XYChart& operator=(const XYChart&) = delete;

  int Width() const { return width_; }
  int Height() const { return height_; }

  // A handle for a linear gradient from (x1, y1) to (x2, y2), usable where a colour is taken.
  int32_t GradientColor(int x1, int y1, int x2, int y2, int32_t start, int32_t end);
  // The chart's background, an edge line round it, and a raised border `raised` pixels wide.
  void SetBackground(int32_t colour, int32_t edge = kTransparent, int raised = 0);
  // The plot area: position and size, the background of its even and odd bands between the
  // horizontal grid lines, its edge and grid colours.
  void SetPlotArea(int x, int y, int width, int height, int32_t background, int32_t alt_background,
                   int32_t edge, int32_t grid);
  // A legend at (x, y); `vertical` puts one entry per line, otherwise entries flow in rows that
  // wrap at the chart's right edge. `font` is a family or a font file name (see ChartFontFace),
  // `size` in points.
  LegendBox& AddLegend(int x, int y, bool vertical, const std::string& font, double size);
  // A line layer; `depth` pixels of 3D depth (0 for flat lines).
  LineLayer& AddLineLayer(int depth);
  ChartAxis& XAxis() { return x_axis_; }
  ChartAxis& YAxis() { return y_axis_; }

  // One HTML <area> per data point (a circle round the point), each carrying `extra` with
  // "{x}", "{value}" and "{dataSetName}" replaced by the point's x value, y value and data set
  // name, and an href of `url` + `query` when a url is given.
  std::string GetHTMLImageMap(const std::string& url, const std::string& query,
                              const std::string& extra);

  // The chart as JPEG bytes.
  std::string EncodeJpeg(int quality = 85);
  // The chart as PNG bytes.
  std::string EncodePng();
  // Writes the image to `path` (replacing it whole), JPEG or PNG by the file's extension.
  // Throws std::runtime_error when the extension is neither or the file cannot be written.
  void MakeChart(const std::filesystem::path& path);

  // The pixel position of a point (after the chart was laid out by drawing it or by the map).
  std::pair<double, double> PixelOf(double x, double y);

 private:
  struct Gradient {
    int x1, y1, x2, y2;
    int32_t start, end;
  };
  struct Layout;

  void Prepare();
  // Draws the chart on a new cairo image surface (returned with one reference owned by the
  // caller, as a cairo_surface_t*).
  void* Draw();

  int width_;
  int height_;
  int32_t background_ = 0xFFFFFF;
  int32_t edge_ = kTransparent;
  int raised_ = 0;
  int plot_x_ = 0, plot_y_ = 0, plot_w_ = 0, plot_h_ = 0;
  int32_t plot_bg_ = 0xFFFFFF, plot_alt_bg_ = 0xFFFFFF;
  int32_t plot_edge_ = 0xC0C0C0, plot_grid_ = 0xC0C0C0;
  std::vector<Gradient> gradients_;
  std::unique_ptr<LegendBox> legend_;
  std::deque<LineLayer> layers_;
  ChartAxis x_axis_;
  ChartAxis y_axis_;
  std::unique_ptr<Layout> layout_;
};

// A time as a day number counted from 30 December 1899 (whole days plus the fraction of the day),
// taken from the broken-down local date and time; and back.
double DayNumber(int year, int month, int day, int hour, int minute, double second);
struct DayParts {
  int year, month, day, hour, minute, second;
};
DayParts FromDayNumber(double day_number);

}  // namespace qb
