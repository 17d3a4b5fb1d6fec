#include "platform/chart_canvas.h"

#include <cairo.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "platform/atomic_file.h"
#include "platform/chart_font.h"
#include "platform/chart_jpeg.h"
#include "platform/chart_scale.h"

namespace qb {

namespace {

constexpr int32_t kGradientTag = 0x7F000000;
constexpr double kPointsToPixels = 96.0 / 72.0;
constexpr const char* kLabelFont = "arial.ttf";
constexpr double kLabelSize = 8;
constexpr const char* kTitleFont = "arialbd.ttf";
constexpr double kTitleSize = 9;
// The colours of data sets added with kAutoColour, in turn.
constexpr int32_t kPalette[] = {0xD62728, 0x1F77B4, 0x2CA02C, 0xFF7F0E, 0x9467BD,
                                0x8C564B, 0xE377C2, 0x7F7F7F, 0xBCBD22, 0x17BECF};

bool IsGradient(int32_t colour) {
  return (colour & 0xFF000000) == kGradientTag;
}
bool IsSolid(int32_t colour) {
  return (colour & 0xFF000000) == 0;
}

void SetRgb(cairo_t* cr, int32_t colour, double alpha = 1.0) {
  cairo_set_source_rgba(cr, ((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0,
                        (colour & 0xFF) / 255.0, alpha);
}

// A colour scaled towards black (factor below 1) or white (above 1).
int32_t Shade(int32_t colour, double factor) {
  auto part = [&](int shift) {
    const double c = (colour >> shift) & 0xFF;
    const double v = factor <= 1 ? c * factor : c + (255 - c) * (factor - 1);
    return static_cast<int32_t>(std::clamp(v, 0.0, 255.0)) << shift;
  };
  return part(16) | part(8) | part(0);
}

std::string NumberText(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::string("0");
}

// A scale value as a label: as many decimals as the tick step needs.
std::string TickText(double value, double step) {
  int decimals = 0;
  if (step > 0 && step < 1) decimals = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                                 std::min(decimals, 10));
  return ec == std::errc() ? std::string(buffer, end) : std::string("0");
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// Text drawing with a fontconfig face at a size in points.
void UseFont(cairo_t* cr, const std::string& font, double points) {
  cairo_set_font_face(cr, ChartFontFace(font));
  cairo_set_font_size(cr, points * kPointsToPixels);
}

double TextWidth(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  return extents.x_advance;
}

// Draws text with its box's left edge at x and its vertical middle at y_middle.
void DrawText(cairo_t* cr, const std::string& text, double x, double y_middle) {
  cairo_font_extents_t font;
  cairo_font_extents(cr, &font);
  cairo_move_to(cr, x, y_middle + (font.ascent - font.descent) / 2);
  cairo_show_text(cr, text.c_str());
}

// Breaks text into lines no wider than `room`: at blanks, and inside a word only where the word
// alone is wider (between whole UTF-8 characters).
std::vector<std::string> WrapText(cairo_t* cr, const std::string& text, double room) {
  std::vector<std::string> lines;
  std::string current;
  auto push_word = [&](const std::string& word) {
    const std::string joined = current.empty() ? word : current + " " + word;
    if (TextWidth(cr, joined) <= room) {
      current = joined;
      return;
    }
    if (!current.empty()) lines.push_back(current);
    current.clear();
    // The word on lines of its own, cut where the next character would pass the room.
    for (size_t i = 0; i < word.size();) {
      size_t next = i + 1;
      while (next < word.size() && (static_cast<unsigned char>(word[next]) & 0xC0) == 0x80) ++next;
      const std::string piece = word.substr(i, next - i);
      if (!current.empty() && TextWidth(cr, current + piece) > room) {
        lines.push_back(current);
        current.clear();
      }
      current += piece;
      i = next;
    }
  };
  size_t start = 0;
  while (start <= text.size()) {
    const size_t blank = text.find(' ', start);
    const std::string word =
        text.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
    if (!word.empty()) push_word(word);
    if (blank == std::string::npos) break;
    start = blank + 1;
  }
  if (!current.empty() || lines.empty()) lines.push_back(current);
  return lines;
}

struct PixelPoint {
  double x;
  double y;
};

// Points that fall into the same pixel column are reduced to the first, the lowest, the highest
// and the last of them, in their order: the line drawn looks the same, and a day of readings
// every second costs a few thousand segments instead of 86,400.
std::vector<PixelPoint> ThinOut(const std::vector<PixelPoint>& points) {
  if (points.size() < 8) return points;
  std::vector<PixelPoint> out;
  out.reserve(std::min<size_t>(points.size(), 4096));
  size_t start = 0;
  while (start < points.size()) {
    const double column = std::floor(points[start].x);
    size_t end = start + 1;
    size_t low = start, high = start;
    while (end < points.size() && std::floor(points[end].x) == column) {
      if (points[end].y < points[low].y) low = end;
      if (points[end].y > points[high].y) high = end;
      ++end;
    }
    size_t picks[4] = {start, std::min(low, high), std::max(low, high), end - 1};
    size_t last = std::numeric_limits<size_t>::max();
    for (size_t p : picks) {
      if (p != last) out.push_back(points[p]);
      last = p;
    }
    start = end;
  }
  return out;
}

struct CairoSurface {
  cairo_surface_t* surface;
  ~CairoSurface() { cairo_surface_destroy(surface); }
};

cairo_status_t AppendBytes(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

// ---- axis, layer

void ChartAxis::SetAutoScale(double top_extension) {
  top_extension_ = top_extension;
  fixed_ = false;
}
void ChartAxis::SetWidth(int pixels) {
  width_ = std::max(0, pixels);
}
void ChartAxis::SetTitle(const std::string& text) {
  title_ = text;
}
void ChartAxis::SetLinearScale(double low, double high) {
  fixed_ = true;
  low_ = low;
  high_ = high;
}
void ChartAxis::AddLabel(double position, const std::string& text) {
  labels_.emplace_back(position, text);
}

void LineLayer::AddDataSet(std::vector<double> values, int32_t colour, std::string name) {
  data_sets_.push_back(DataSet{std::move(values), {}, colour, std::move(name), false});
}

void LineLayer::SetXData(std::vector<double> x) {
  for (auto& set : data_sets_) {
    if (set.has_x) continue;
    set.x = x;
    set.has_x = true;
  }
}

// ---- chart

struct XYChart::Layout {
  AxisScale x;
  AxisScale y;
  double x_step = 0;
  double y_step = 0;
};

XYChart::XYChart(int width, int height)
    : width_(std::clamp(width, 1, 10000)), height_(std::clamp(height, 1, 10000)) {
  plot_x_ = 0;
  plot_y_ = 0;
  plot_w_ = width_;
  plot_h_ = height_;
}

XYChart::~XYChart() = default;

int32_t XYChart::GradientColor(int x1, int y1, int x2, int y2, int32_t start, int32_t end) {
  gradients_.push_back(Gradient{x1, y1, x2, y2, start, end});
  return kGradientTag | static_cast<int32_t>(gradients_.size() - 1);
}

void XYChart::SetBackground(int32_t colour, int32_t edge, int raised) {
  background_ = colour;
  edge_ = edge;
  raised_ = std::clamp(raised, 0, 50);
}

void XYChart::SetPlotArea(int x, int y, int width, int height, int32_t background,
                          int32_t alt_background, int32_t edge, int32_t grid) {
  plot_x_ = x;
  plot_y_ = y;
  plot_w_ = std::max(1, width);
  plot_h_ = std::max(1, height);
  plot_bg_ = background;
  plot_alt_bg_ = alt_background;
  plot_edge_ = edge;
  plot_grid_ = grid;
}

LegendBox& XYChart::AddLegend(int x, int y, bool vertical, const std::string& font, double size) {
  legend_ = std::make_unique<LegendBox>();
  legend_->x_ = x;
  legend_->y_ = y;
  legend_->vertical_ = vertical;
  legend_->font_ = font;
  legend_->size_ = size > 0 ? size : 8;
  return *legend_;
}

LineLayer& XYChart::AddLineLayer(int depth) {
  return layers_.emplace_back(std::clamp(depth, 0, 100));
}

void XYChart::Prepare() {
  layout_ = std::make_unique<Layout>();
  double x_min = std::numeric_limits<double>::infinity(), x_max = -x_min;
  double y_min = x_min, y_max = -x_min;
  for (const auto& layer : layers_) {
    for (const auto& set : layer.data_sets_) {
      for (size_t i = 0; i < set.y.size(); ++i) {
        const double y = set.y[i];
        const double x = set.has_x ? (i < set.x.size() ? set.x[i] : NAN) : static_cast<double>(i);
        if (!std::isfinite(y) || !std::isfinite(x)) continue;
        x_min = std::min(x_min, x);
        x_max = std::max(x_max, x);
        y_min = std::min(y_min, y);
        y_max = std::max(y_max, y);
      }
    }
  }
  const int x_ticks = std::max(2, plot_w_ / 80);
  const int y_ticks = std::max(2, plot_h_ / 28);
  if (x_axis_.fixed_) {
    double low = x_axis_.low_, high = x_axis_.high_;
    // A scale of one value (one reading) is widened by an hour of day numbers each side.
    if (low == high) {
      low -= 1.0 / 24;
      high += 1.0 / 24;
    }
    layout_->x = LinearScale(low, high, x_ticks);
  } else {
    layout_->x = std::isfinite(x_min) ? AutoScale(x_min, x_max, 0, 0, 0, x_ticks)
                                      : AutoScale(0, 1, 0, 0, 0, x_ticks);
  }
  if (y_axis_.fixed_) {
    double low = y_axis_.low_, high = y_axis_.high_;
    if (low == high) {
      low -= 0.5;
      high += 0.5;
    }
    layout_->y = LinearScale(low, high, y_ticks);
  } else {
    layout_->y = std::isfinite(y_min)
                     ? AutoScale(y_min, y_max, y_axis_.top_extension_, 0.1, 0.8, y_ticks)
                     : AutoScale(0, 1, 0, 0, 0, y_ticks);
  }
  auto step = [](const AxisScale& s) {
    return s.ticks.size() >= 2 ? std::abs(s.ticks[1] - s.ticks[0]) : 1.0;
  };
  layout_->x_step = step(layout_->x);
  layout_->y_step = step(layout_->y);
}

std::pair<double, double> XYChart::PixelOf(double x, double y) {
  if (!layout_) Prepare();
  const auto& xs = layout_->x;
  const auto& ys = layout_->y;
  const double px = plot_x_ + (x - xs.low) / (xs.high - xs.low) * plot_w_;
  const double py = plot_y_ + plot_h_ - (y - ys.low) / (ys.high - ys.low) * plot_h_;
  return {px, py};
}

void* XYChart::Draw() {
  Prepare();
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width_, height_);
  cairo_t* cr = cairo_create(surface);
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
  cairo_set_font_options(cr, options);
  cairo_font_options_destroy(options);

  auto set_source = [&](int32_t colour) {
    if (IsGradient(colour) && static_cast<size_t>(colour & 0xFFFFFF) < gradients_.size()) {
      const Gradient& g = gradients_[colour & 0xFFFFFF];
      cairo_pattern_t* pattern = cairo_pattern_create_linear(g.x1, g.y1, g.x2, g.y2);
      for (auto [offset, c] : {std::pair{0.0, g.start}, std::pair{1.0, g.end}}) {
        cairo_pattern_add_color_stop_rgb(pattern, offset, ((c >> 16) & 0xFF) / 255.0,
                                         ((c >> 8) & 0xFF) / 255.0, (c & 0xFF) / 255.0);
      }
      cairo_set_source(cr, pattern);
      cairo_pattern_destroy(pattern);
      return true;
    }
    if (!IsSolid(colour)) return false;
    SetRgb(cr, colour);
    return true;
  };

  // Background, then the raised edge: light along the top and left, dark along the bottom and
  // right, as a bevelled frame.
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  if (set_source(background_)) cairo_paint(cr);
  if (raised_ > 0) {
    const double r = raised_, w = width_, h = height_;
    cairo_move_to(cr, 0, 0);
    cairo_line_to(cr, w, 0);
    cairo_line_to(cr, w - r, r);
    cairo_line_to(cr, r, r);
    cairo_line_to(cr, r, h - r);
    cairo_line_to(cr, 0, h);
    cairo_close_path(cr);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.75);
    cairo_fill(cr);
    cairo_move_to(cr, w, h);
    cairo_line_to(cr, 0, h);
    cairo_line_to(cr, r, h - r);
    cairo_line_to(cr, w - r, h - r);
    cairo_line_to(cr, w - r, r);
    cairo_line_to(cr, w, 0);
    cairo_close_path(cr);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.35);
    cairo_fill(cr);
  }
  if (IsSolid(edge_)) {
    SetRgb(cr, edge_);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, 0.5, 0.5, width_ - 1, height_ - 1);
    cairo_stroke(cr);
  }

  // Plot area: bands between the horizontal grid lines, alternately in the two backgrounds.
  const double left = plot_x_, top = plot_y_, right = plot_x_ + plot_w_, bottom = plot_y_ + plot_h_;
  if (set_source(plot_bg_)) {
    cairo_rectangle(cr, left, top, plot_w_, plot_h_);
    cairo_fill(cr);
  }
  std::vector<double> y_pixels;
  for (double t : layout_->y.ticks) y_pixels.push_back(PixelOf(0, t).second);
  std::sort(y_pixels.begin(), y_pixels.end());
  if (plot_alt_bg_ != plot_bg_ && set_source(plot_alt_bg_)) {
    for (size_t i = 1; i < y_pixels.size(); i += 2) {
      cairo_rectangle(cr, left, y_pixels[i - 1], plot_w_, y_pixels[i] - y_pixels[i - 1]);
    }
    cairo_fill(cr);
  }
  // Label positions that lie on the scale, sorted by their pixel.
  std::vector<std::pair<double, std::string>> x_labels;
  if (!x_axis_.labels_.empty()) {
    for (const auto& [pos, text] : x_axis_.labels_) {
      const double px = PixelOf(pos, 0).first;
      if (px >= left - 0.5 && px <= right + 0.5) x_labels.emplace_back(px, text);
    }
  } else {
    for (double t : layout_->x.ticks)
      x_labels.emplace_back(PixelOf(t, 0).first, TickText(t, layout_->x_step));
  }
  std::stable_sort(x_labels.begin(), x_labels.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // Where each label's text goes, centred under its position and kept inside the image; a label
  // that would overlap the one before it is left out with its tick and grid line (several devices
  // charted at nearly the same times).
  UseFont(cr, kLabelFont, kLabelSize);
  struct ShownLabel {
    double px, text_x;
    std::string text;
  };
  std::vector<ShownLabel> shown_labels;
  {
    double taken_until = -1e9;
    for (const auto& [px, text] : x_labels) {
      const double w = TextWidth(cr, text);
      const double x0 = std::clamp(px - w / 2, 2.0, std::max(2.0, width_ - 2 - w));
      if (x0 < taken_until + 6) continue;
      shown_labels.push_back({px, x0, text});
      taken_until = x0 + w;
    }
  }
  if (IsSolid(plot_grid_)) {
    SetRgb(cr, plot_grid_);
    cairo_set_line_width(cr, 1);
    for (double py : y_pixels) {
      cairo_move_to(cr, left, std::round(py) + 0.5);
      cairo_line_to(cr, right, std::round(py) + 0.5);
    }
    for (const auto& label : shown_labels) {
      cairo_move_to(cr, std::round(label.px) + 0.5, top);
      cairo_line_to(cr, std::round(label.px) + 0.5, bottom);
    }
    cairo_stroke(cr);
  }
  if (IsSolid(plot_edge_)) {
    SetRgb(cr, plot_edge_);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, left + 0.5, top + 0.5, plot_w_ - 1, plot_h_ - 1);
    cairo_stroke(cr);
  }

  // Lines. A layer with depth draws each line as a ribbon reaching back and up by the depth,
  // shaded darker, with the line itself along its front edge.
  size_t palette_index = 0;
  std::vector<std::pair<int32_t, std::string>> legend_entries;
  for (const auto& layer : layers_) {
    const double d = layer.depth_;
    for (const auto& set : layer.data_sets_) {
      const int32_t colour =
          IsSolid(set.colour) ? set.colour : kPalette[palette_index++ % std::size(kPalette)];
      if (!set.name.empty()) legend_entries.emplace_back(colour, set.name);
      // Everything of a line, its 3D ribbon too, stays inside the plot area.
      cairo_save(cr);
      cairo_rectangle(cr, left, top, plot_w_, plot_h_);
      cairo_clip(cr);
      // Runs of consecutive drawable points; a missing value breaks the line.
      std::vector<std::vector<PixelPoint>> runs(1);
      for (size_t i = 0; i < set.y.size(); ++i) {
        const double x = set.has_x ? (i < set.x.size() ? set.x[i] : NAN) : static_cast<double>(i);
        if (!std::isfinite(x) || !std::isfinite(set.y[i])) {
          if (!runs.back().empty()) runs.emplace_back();
          continue;
        }
        auto [px, py] = PixelOf(x, set.y[i]);
        runs.back().push_back({px, py});
      }
      for (auto& run : runs) {
        if (run.empty()) continue;
        run = ThinOut(run);
        if (run.size() == 1) {
          // A lone reading: a dot, so it can be seen.
          SetRgb(cr, colour);
          cairo_arc(cr, run[0].x, run[0].y, 3, 0, 2 * M_PI);
          cairo_fill(cr);
          continue;
        }
        if (d > 0) {
          // One face per segment: a segment falling to the right shows the ribbon's lit top, a
          // rising one its shaded underside. Faces are filled one by one, so where they overlap
          // the later one covers the earlier instead of cancelling it out.
          for (size_t i = 1; i < run.size(); ++i) {
            const PixelPoint& a = run[i - 1];
            const PixelPoint& b = run[i];
            cairo_move_to(cr, a.x, a.y);
            cairo_line_to(cr, b.x, b.y);
            cairo_line_to(cr, b.x + d, b.y - d);
            cairo_line_to(cr, a.x + d, a.y - d);
            cairo_close_path(cr);
            SetRgb(cr, Shade(colour, b.y - a.y >= -(b.x - a.x) ? 1.25 : 0.7));
            cairo_fill(cr);
          }
          cairo_move_to(cr, run[0].x + d, run[0].y - d);
          for (const auto& p : run) cairo_line_to(cr, p.x + d, p.y - d);
          SetRgb(cr, Shade(colour, 0.85));
          cairo_set_line_width(cr, 1);
          cairo_stroke(cr);
        }
        cairo_move_to(cr, run[0].x, run[0].y);
        for (const auto& p : run) cairo_line_to(cr, p.x, p.y);
        SetRgb(cr, colour);
        cairo_set_line_width(cr, 1.5);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        cairo_stroke(cr);
      }
      cairo_restore(cr);
    }
  }

  // Axes: lines along the left and bottom edges, ticks, labels and titles.
  SetRgb(cr, 0x000000);
  if (y_axis_.width_ > 0) {
    cairo_set_line_width(cr, y_axis_.width_);
    cairo_move_to(cr, left, top);
    cairo_line_to(cr, left, bottom + y_axis_.width_ / 2.0);
    cairo_stroke(cr);
  }
  if (x_axis_.width_ > 0) {
    cairo_set_line_width(cr, x_axis_.width_);
    cairo_move_to(cr, left - x_axis_.width_ / 2.0, bottom);
    cairo_line_to(cr, right, bottom);
    cairo_stroke(cr);
  }
  cairo_set_line_width(cr, 1);
  UseFont(cr, kLabelFont, kLabelSize);
  cairo_font_extents_t label_font;
  cairo_font_extents(cr, &label_font);
  double widest_y_label = 0;
  for (double t : layout_->y.ticks) {
    const double py = std::round(PixelOf(0, t).second) + 0.5;
    cairo_move_to(cr, left - 4, py);
    cairo_line_to(cr, left, py);
    cairo_stroke(cr);
    const std::string text = TickText(t, layout_->y_step);
    const double w = TextWidth(cr, text);
    widest_y_label = std::max(widest_y_label, w);
    DrawText(cr, text, left - 6 - y_axis_.width_ / 2.0 - w, py);
  }
  for (const auto& label : shown_labels) {
    const double tx = std::round(label.px) + 0.5;
    cairo_move_to(cr, tx, bottom);
    cairo_line_to(cr, tx, bottom + 4);
    cairo_stroke(cr);
    DrawText(cr, label.text, label.text_x,
             bottom + 5 + x_axis_.width_ / 2.0 + label_font.height / 2);
  }
  UseFont(cr, kTitleFont, kTitleSize);
  cairo_font_extents_t title_font;
  cairo_font_extents(cr, &title_font);
  if (!y_axis_.title_.empty()) {
    const double w = TextWidth(cr, y_axis_.title_);
    const double centre_x =
        std::max(title_font.height / 2 + raised_ + 1,
                 left - 10 - y_axis_.width_ / 2.0 - widest_y_label - title_font.height / 2);
    cairo_save(cr);
    cairo_translate(cr, centre_x, top + plot_h_ / 2.0);
    cairo_rotate(cr, -M_PI / 2);
    DrawText(cr, y_axis_.title_, -w / 2, 0);
    cairo_restore(cr);
  }
  if (!x_axis_.title_.empty()) {
    const double w = TextWidth(cr, x_axis_.title_);
    DrawText(cr, x_axis_.title_, left + plot_w_ / 2.0 - w / 2,
             bottom + 8 + label_font.height + title_font.height / 2);
  }

  // Legend: key lines and names, flowing right and wrapping at the chart's edge unless vertical.
  // A name too long for the room between the legend's position and the chart's right edge is
  // broken into lines, so the legend never spreads over the plot beside it.
  if (legend_ && !legend_entries.empty()) {
    UseFont(cr, legend_->font_, legend_->size_);
    cairo_font_extents_t font;
    cairo_font_extents(cr, &font);
    const double line = font.height + 3, key = 14, pad = 4;
    const double right_edge = width_ - raised_ - 2;
    const double room = std::max(24.0, right_edge - legend_->x_ - 2 * pad - key - 4);
    struct Placed {
      double x, y;
      size_t entry;
      std::vector<std::string> lines;
    };
    std::vector<Placed> placed;
    double x = legend_->x_ + pad, y = legend_->y_ + pad, row_height = line, box_right = x;
    for (size_t i = 0; i < legend_entries.size(); ++i) {
      std::vector<std::string> lines = WrapText(cr, legend_entries[i].second, room);
      double text_width = 0;
      for (const auto& l : lines) text_width = std::max(text_width, TextWidth(cr, l));
      const double w = key + 4 + text_width;
      const bool wrapped = lines.size() > 1 || (!placed.empty() && placed.back().lines.size() > 1);
      if (i > 0 && (legend_->vertical_ || wrapped || x + w > right_edge)) {
        x = legend_->x_ + pad;
        y += row_height;
        row_height = line;
      }
      row_height = std::max(row_height, line * static_cast<double>(lines.size()));
      box_right = std::max(box_right, x + w);
      placed.push_back({x, y, i, std::move(lines)});
      x += w + 10;
    }
    if (IsSolid(legend_->background_)) {
      SetRgb(cr, legend_->background_);
      cairo_rectangle(cr, legend_->x_, legend_->y_, box_right + pad - legend_->x_,
                      y + row_height + pad - legend_->y_);
      cairo_fill_preserve(cr);
      SetRgb(cr, 0x808080);
      cairo_stroke(cr);
    }
    for (const auto& p : placed) {
      SetRgb(cr, legend_entries[p.entry].first);
      cairo_rectangle(cr, p.x, p.y + line / 2 - 2, key, 4);
      cairo_fill(cr);
      SetRgb(cr, 0x000000);
      for (size_t l = 0; l < p.lines.size(); ++l)
        DrawText(cr, p.lines[l], p.x + key + 4, p.y + line * (static_cast<double>(l) + 0.5));
    }
  }

  cairo_destroy(cr);
  cairo_surface_flush(surface);
  return surface;
}

std::string XYChart::EncodeJpeg(int quality) {
  CairoSurface s{static_cast<cairo_surface_t*>(Draw())};
  if (cairo_surface_status(s.surface) != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error("chart drawing failed: " +
                             std::string(cairo_status_to_string(cairo_surface_status(s.surface))));
  return qb::EncodeJpeg(cairo_image_surface_get_data(s.surface), width_, height_,
                        cairo_image_surface_get_stride(s.surface), quality);
}

std::string XYChart::EncodePng() {
  CairoSurface s{static_cast<cairo_surface_t*>(Draw())};
  std::string out;
  const cairo_status_t status = cairo_surface_write_to_png_stream(s.surface, AppendBytes, &out);
  if (status != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error(std::string("PNG encoding failed: ") + cairo_status_to_string(status));
  return out;
}

void XYChart::MakeChart(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == ".jpg" || ext == ".jpeg") {
    WriteFileAtomically(path, EncodeJpeg());
  } else if (ext == ".png") {
    WriteFileAtomically(path, EncodePng());
  } else {
    throw std::runtime_error("cannot write a chart as " + path.string() +
                             ": the file name must end in .jpg, .jpeg or .png");
  }
}

std::string XYChart::GetHTMLImageMap(const std::string& url, const std::string& query,
                                     const std::string& extra) {
  Prepare();
  std::string map;
  for (const auto& layer : layers_) {
    for (const auto& set : layer.data_sets_) {
      for (size_t i = 0; i < set.y.size(); ++i) {
        const double x = set.has_x ? (i < set.x.size() ? set.x[i] : NAN) : static_cast<double>(i);
        if (!std::isfinite(x) || !std::isfinite(set.y[i])) continue;
        auto [px, py] = PixelOf(x, set.y[i]);
        if (px < plot_x_ - 1 || px > plot_x_ + plot_w_ + 1 || py < plot_y_ - 1 ||
            py > plot_y_ + plot_h_ + 1)
          continue;  // outside the plot: not drawn, so no tip
        std::string attributes = extra;
        ReplaceAll(attributes, "{x}", NumberText(x));
        ReplaceAll(attributes, "{value}", NumberText(set.y[i]));
        ReplaceAll(attributes, "{dataSetName}", set.name);
        map += "<area shape=\"circle\" coords=\"" + std::to_string(std::lround(px)) + "," +
               std::to_string(std::lround(py)) + ",5\"";
        if (!url.empty()) map += " href=\"" + url + (query.empty() ? "" : "?" + query) + "\"";
        map += " " + attributes + ">\n";
      }
    }
  }
  return map;
}

// ---- day numbers

double DayNumber(int year, int month, int day, int hour, int minute, double second) {
  using namespace std::chrono;
  const sys_days date{std::chrono::year(year) / std::chrono::month(static_cast<unsigned>(month)) /
                      std::chrono::day(static_cast<unsigned>(day))};
  const sys_days epoch{std::chrono::year(1899) / December / 30};
  return static_cast<double>((date - epoch).count()) +
         (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

DayParts FromDayNumber(double day_number) {
  using namespace std::chrono;
  double whole = std::floor(day_number);
  long long seconds = std::llround((day_number - whole) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    whole += 1;
  }
  const sys_days epoch{std::chrono::year(1899) / December / 30};
  const year_month_day date{epoch + days(static_cast<long long>(whole))};
  return DayParts{static_cast<int>(date.year()),
                  static_cast<int>(static_cast<unsigned>(date.month())),
                  static_cast<int>(static_cast<unsigned>(date.day())),
                  static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60)};
}

}  // namespace qb
