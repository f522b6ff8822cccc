#include "plot.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "text/numbers.h"

namespace quorvex::cli {
namespace {

constexpr double kWidth = 1100;
constexpr double kCellWidth = 560;   // two panels a row
constexpr double kCellHeight = 460;  // a panel, its title and its legend
constexpr double kTop = 100;         // the formula, verdict and BIC lines above
constexpr size_t kMaxPoints = 4000;  // per set; more rows are thinned evenly

constexpr const char* kTrainColour = "#4c72b0";
constexpr const char* kTestColour = "#dd8452";
constexpr const char* kCurveColour = "#222222";
constexpr size_t kCurvePoints = 400;
constexpr size_t kNameBytes = 40;

// Text content and attribute values: XML escapes, and the control
// characters XML 1.0 cannot hold shown as '?'.
std::string xml_text(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += (static_cast<unsigned char>(c) < 0x20 && c != '\t') ? '?' : c;
    }
  }
  return out;
}

// Shortens to about `max_bytes`, never inside a UTF-8 sequence.
std::string shorten(const std::string& s, size_t max_bytes) {
  if (s.size() <= max_bytes) return s;
  size_t end = max_bytes;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end) + "…";
}

// A linear map from [lo, hi] onto pixels. Works on halves so that spans
// near the largest double do not overflow.
struct Scale {
  double lo, hi, from, to;
  double operator()(double v) const {
    const double t = (v * 0.5 - lo * 0.5) / (hi * 0.5 - lo * 0.5);
    return from + t * (to - from);
  }
};

// The finite range of `values`, widened by 5% each side; a single value
// gets a unit-sized range around it, and no finite value [0, 1].
void padded_range(const std::vector<double>& values, double& lo, double& hi) {
  lo = std::numeric_limits<double>::infinity();
  hi = -lo;
  for (double v : values) {
    if (!std::isfinite(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  if (!(lo <= hi)) {
    lo = 0.0;
    hi = 1.0;
  } else if (lo == hi) {
    const double pad = std::max(1.0, std::fabs(lo) * 0.1);
    lo -= pad;
    hi += pad;
  } else {
    const double pad = (hi * 0.5 - lo * 0.5) * 0.1;
    lo = std::max(lo - pad, -std::numeric_limits<double>::max());
    hi = std::min(hi + pad, std::numeric_limits<double>::max());
  }
}

class Svg {
 public:
  void raw(std::string_view s) { out_ += s; }

  void text(double x, double y, std::string_view content, std::string_view attrs = "") {
    out_ += "<text x=\"" + coordinate(x) + "\" y=\"" + coordinate(y) + "\"";
    if (!attrs.empty()) {
      out_ += ' ';
      out_ += attrs;
    }
    out_ += '>' + xml_text(content) + "</text>\n";
  }

  void line(double x1, double y1, double x2, double y2, std::string_view attrs) {
    out_ += "<line x1=\"" + coordinate(x1) + "\" y1=\"" + coordinate(y1) + "\" x2=\"" +
            coordinate(x2) + "\" y2=\"" + coordinate(y2) + "\" ";
    out_ += attrs;
    out_ += "/>\n";
  }

  void circle(double x, double y, double r) {
    out_ += "<circle cx=\"" + coordinate(x) + "\" cy=\"" + coordinate(y) + "\" r=\"" +
            coordinate(r) + "\"/>\n";
  }

  std::string& str() { return out_; }

 private:
  std::string out_;
};

struct Frame {
  double left, top, width, height;
  double right() const { return left + width; }
  double bottom() const { return top + height; }
};

// Axes, grid lines and tick labels of one panel.
void draw_axes(Svg& svg, const Frame& f, const Scale& sx, const Scale& sy,
               const std::string& x_label, const std::string& y_label, bool x_integers = false) {
  svg.raw("<g class=\"axes\" font-size=\"11\" fill=\"#444\">\n");
  for (double t : nice_ticks(sx.lo, sx.hi, 6)) {
    if (x_integers && t != std::floor(t)) continue;
    const double x = sx(t);
    svg.line(x, f.top, x, f.bottom(), "stroke=\"#e5e5e5\"");
    svg.text(x, f.bottom() + 16, label_number(t), "text-anchor=\"middle\"");
  }
  for (double t : nice_ticks(sy.lo, sy.hi, 6)) {
    const double y = sy(t);
    svg.line(f.left, y, f.right(), y, "stroke=\"#e5e5e5\"");
    svg.text(f.left - 6, y + 4, label_number(t), "text-anchor=\"end\"");
  }
  svg.raw("<rect x=\"" + coordinate(f.left) + "\" y=\"" + coordinate(f.top) + "\" width=\"" +
          coordinate(f.width) + "\" height=\"" + coordinate(f.height) +
          "\" fill=\"none\" stroke=\"#888\"/>\n");
  svg.text(f.left + f.width / 2, f.bottom() + 36, x_label,
           "text-anchor=\"middle\" font-size=\"13\"");
  const std::string cx = coordinate(f.left - 58);
  const std::string cy = coordinate(f.top + f.height / 2);
  svg.raw("<text x=\"" + cx + "\" y=\"" + cy + "\" transform=\"rotate(-90 " + cx + " " + cy +
          ")\" text-anchor=\"middle\" font-size=\"13\">" + xml_text(y_label) + "</text>\n");
  svg.raw("</g>\n");
}

void legend_entry(Svg& svg, double x, double y, const char* colour, bool dot,
                  const std::string& label) {
  if (dot) {
    svg.raw(std::string("<circle cx=\"") + coordinate(x + 8) + "\" cy=\"" + coordinate(y - 4) +
            "\" r=\"4\" fill=\"" + colour + "\"/>\n");
  } else {
    svg.line(x, y - 4, x + 18, y - 4, std::string("stroke=\"") + colour + "\" stroke-width=\"2\"");
  }
  svg.text(x + 24, y, label, "font-size=\"11\"");
}

// Every `stride`-th point, so that large data sets stay drawable.
size_t stride_for(size_t n) { return n <= kMaxPoints ? 1 : (n + kMaxPoints - 1) / kMaxPoints; }

std::string shown_label(const char* what, size_t shown_points, size_t stride, size_t rows) {
  std::string s = std::string(what) + " (" + format_integer(rows) + ")";
  if (stride > 1) s += ", every " + format_integer(stride) + "th shown";
  if (shown_points < rows) s += ", " + format_integer(rows - shown_points) + " not finite";
  return s;
}

void scatter_panel(Svg& svg, const Frame& f, const PlotData& plot) {
  svg.raw("<g id=\"predicted-vs-observed\">\n");
  svg.text(f.left, f.top - 12, "Predicted against observed",
           "font-size=\"15\" font-weight=\"bold\"");
  std::vector<double> xs, ys;
  for (const auto* set : {&plot.train, &plot.test})
    for (const auto& p : *set) {
      xs.push_back(p.observed);
      ys.push_back(p.predicted);
    }
  // One range for both axes keeps the diagonal at 45 degrees.
  std::vector<double> all = xs;
  all.insert(all.end(), ys.begin(), ys.end());
  double lo, hi;
  padded_range(all, lo, hi);
  const Scale sx{lo, hi, f.left, f.right()};
  const Scale sy{lo, hi, f.bottom(), f.top};
  const std::string target = shorten(plot.target, kNameBytes);
  draw_axes(svg, f, sx, sy, "observed " + target, "predicted " + target);
  svg.line(sx(lo), sy(lo), sx(hi), sy(hi), "stroke=\"#999\" stroke-dasharray=\"5 4\"");

  const size_t train_stride = stride_for(plot.train.size());
  const size_t test_stride = stride_for(plot.test.size());
  svg.raw(std::string("<g class=\"train\" fill=\"") + kTrainColour + "\" fill-opacity=\"0.55\">\n");
  for (size_t i = 0; i < plot.train.size(); i += train_stride)
    svg.circle(sx(plot.train[i].observed), sy(plot.train[i].predicted), 2.5);
  svg.raw("</g>\n");
  svg.raw(std::string("<g class=\"test\" fill=\"") + kTestColour + "\" fill-opacity=\"0.9\">\n");
  for (size_t i = 0; i < plot.test.size(); i += test_stride)
    svg.circle(sx(plot.test[i].observed), sy(plot.test[i].predicted), 3.5);
  svg.raw("</g>\n");

  // Legends go under the axis label, clear of the data.
  const double legend_y = f.bottom() + 62;
  legend_entry(svg, f.left, legend_y, kTestColour, true,
               shown_label("test rows", plot.test.size(), test_stride, plot.test_rows));
  legend_entry(svg, f.left, legend_y + 16, kTrainColour, true,
               shown_label("training rows", plot.train.size(), train_stride, plot.train_rows));
  svg.raw("</g>\n");
}

// Both sets' points of one panel, test rows over training rows.
void draw_points(Svg& svg, const PlotData& plot, const Scale& sx, const Scale& sy,
                 double (*x)(const PlotData&, bool, size_t),
                 double (*y)(const PlotData&, bool, size_t)) {
  const struct {
    const char* cls;
    const char* colour;
    const char* opacity;
    double radius;
    bool test;
  } sets[] = {{"train", kTrainColour, "0.55", 2.5, false}, {"test", kTestColour, "0.9", 3.5, true}};
  for (const auto& set : sets) {
    const size_t n = set.test ? plot.test.size() : plot.train.size();
    svg.raw(std::string("<g class=\"") + set.cls + "\" fill=\"" + set.colour +
            "\" fill-opacity=\"" + set.opacity + "\">\n");
    for (size_t i = 0; i < n; i += stride_for(n)) {
      const double px = x(plot, set.test, i), py = y(plot, set.test, i);
      if (std::isfinite(px) && std::isfinite(py)) svg.circle(sx(px), sy(py), set.radius);
    }
    svg.raw("</g>\n");
  }
}

const PlotData::Point& point(const PlotData& plot, bool test, size_t i) {
  return test ? plot.test[i] : plot.train[i];
}

// Where the formula misses, and whether its misses follow a pattern it left out.
void residual_panel(Svg& svg, const Frame& f, const PlotData& plot) {
  svg.raw("<g id=\"residuals\">\n");
  svg.text(f.left, f.top - 12, "Residuals against predicted",
           "font-size=\"15\" font-weight=\"bold\"");
  std::vector<double> xs, ys;
  for (const auto* set : {&plot.train, &plot.test})
    for (const auto& p : *set) {
      xs.push_back(p.predicted);
      ys.push_back(p.observed - p.predicted);
    }
  ys.push_back(0.0);
  double xlo, xhi, ylo, yhi;
  padded_range(xs, xlo, xhi);
  padded_range(ys, ylo, yhi);
  const Scale sx{xlo, xhi, f.left, f.right()};
  const Scale sy{ylo, yhi, f.bottom(), f.top};
  const std::string target = shorten(plot.target, kNameBytes);
  draw_axes(svg, f, sx, sy, "predicted " + target, "observed − predicted");
  svg.line(f.left, sy(0.0), f.right(), sy(0.0), "stroke=\"#999\" stroke-dasharray=\"5 4\"");
  draw_points(
      svg, plot, sx, sy,
      [](const PlotData& p, bool test, size_t i) { return point(p, test, i).predicted; },
      [](const PlotData& p, bool test, size_t i) {
        return point(p, test, i).observed - point(p, test, i).predicted;
      });
  const double legend_y = f.bottom() + 62;
  legend_entry(svg, f.left, legend_y, kTestColour, true, "test rows");
  legend_entry(svg, f.left + f.width / 2, legend_y, kTrainColour, true, "training rows");
  svg.text(f.left, legend_y + 16, "a pattern here is one the formula missed", "font-size=\"11\"");
  svg.raw("</g>\n");
}

// One feature: the data as measured, and the formula drawn through it.
void curve_panel(Svg& svg, const Frame& f, const PlotData& plot) {
  svg.raw("<g id=\"data-and-curve\">\n");
  svg.text(f.left, f.top - 12, "The data and the formula", "font-size=\"15\" font-weight=\"bold\"");
  std::vector<double> xs = plot.train_x, ys;
  xs.insert(xs.end(), plot.test_x.begin(), plot.test_x.end());
  for (const auto* set : {&plot.train, &plot.test})
    for (const auto& p : *set) ys.push_back(p.observed);
  double xlo, xhi, ylo, yhi;
  padded_range(xs, xlo, xhi);
  padded_range(ys, ylo, yhi);
  const Scale sx{xlo, xhi, f.left, f.right()};
  const Scale sy{ylo, yhi, f.bottom(), f.top};
  draw_axes(svg, f, sx, sy, shorten(plot.feature, kNameBytes), shorten(plot.target, kNameBytes));
  draw_points(
      svg, plot, sx, sy,
      [](const PlotData& p, bool test, size_t i) { return test ? p.test_x[i] : p.train_x[i]; },
      [](const PlotData& p, bool test, size_t i) { return point(p, test, i).observed; });
  // The curve is clipped to the data's range, and broken where the formula
  // is undefined or leaves the panel.
  svg.raw(std::string("<g id=\"curve\" stroke=\"") + kCurveColour + "\">\n");
  std::string points;
  auto flush = [&] {
    if (points.find(' ') != std::string::npos)
      svg.raw("<polyline fill=\"none\" stroke-width=\"2\" points=\"" + points + "\"/>\n");
    points.clear();
  };
  for (const PlotData::Xy& c : plot.curve) {
    if (!std::isfinite(c.y) || c.y < ylo || c.y > yhi) {
      flush();
      continue;
    }
    if (!points.empty()) points += ' ';
    points += coordinate(sx(c.x)) + "," + coordinate(sy(c.y));
  }
  flush();
  svg.raw("</g>\n");
  const double legend_y = f.bottom() + 62;
  legend_entry(svg, f.left, legend_y, kTestColour, true, "test rows");
  legend_entry(svg, f.left + f.width / 2, legend_y, kTrainColour, true, "training rows");
  legend_entry(svg, f.left, legend_y + 16, kCurveColour, false, "the formula");
  svg.raw("</g>\n");
}

// Errors span many orders of magnitude (an exact law sits at the floor), so
// the panel shows log10 of the error.
void front_panel(Svg& svg, const Frame& f, const PlotData& plot) {
  svg.raw("<g id=\"front\">\n");
  svg.text(f.left, f.top - 12, "Error against complexity (the front)",
           "font-size=\"15\" font-weight=\"bold\"");
  const double floor = plot.mse_floor > 0.0 ? plot.mse_floor : 1e-300;
  auto shown = [&](double mse) {
    return std::isfinite(mse) ? std::log10(std::max(mse, floor))
                              : std::numeric_limits<double>::quiet_NaN();
  };
  std::vector<double> xs, ys;
  for (const auto& p : plot.front) {
    xs.push_back(p.complexity);
    ys.push_back(shown(p.mse_train));
    ys.push_back(shown(p.mse_test));
  }
  double xlo, xhi, ylo, yhi;
  padded_range(xs, xlo, xhi);
  padded_range(ys, ylo, yhi);
  const Scale sx{xlo, xhi, f.left, f.right()};
  const Scale sy{ylo, yhi, f.bottom(), f.top};
  draw_axes(svg, f, sx, sy, "complexity (nodes)", "log10 of the mean squared error", true);
  const struct {
    const char* cls;
    const char* colour;
    bool train;
  } sets[] = {{"train", kTrainColour, true}, {"test", kTestColour, false}};
  for (const auto& set : sets) {
    std::string points;
    std::string dots;
    for (const auto& p : plot.front) {
      const double y = shown(set.train ? p.mse_train : p.mse_test);
      if (!std::isfinite(y)) continue;
      const std::string xy = coordinate(sx(p.complexity)) + "," + coordinate(sy(y));
      points += (points.empty() ? "" : " ") + xy;
      dots += "<circle cx=\"" + coordinate(sx(p.complexity)) + "\" cy=\"" + coordinate(sy(y)) +
              "\" r=\"" + (p.reported ? "5.50" : "3.50") + "\"/>\n";
    }
    svg.raw(std::string("<g class=\"") + set.cls + "\" stroke=\"" + set.colour + "\" fill=\"" +
            set.colour + "\">\n");
    if (!points.empty())
      svg.raw("<polyline fill=\"none\" stroke-width=\"1.5\" points=\"" + points + "\"/>\n");
    svg.raw(dots);
    svg.raw("</g>\n");
  }
  const double legend_y = f.bottom() + 62;
  legend_entry(svg, f.left, legend_y, kTrainColour, true, "training error");
  legend_entry(svg, f.left + f.width / 2, legend_y, kTestColour, true, "test error");
  svg.text(f.left, legend_y + 16, "larger dot: the formula reported", "font-size=\"11\"");
  svg.raw("</g>\n");
}

}  // namespace

std::string coordinate(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2);
  std::string s(buf, res.ptr);
  return s == "-0.00" ? "0.00" : s;
}

std::string label_number(double v) {
  if (v == 0.0) return "0";
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6);
  return std::string(buf, res.ptr);
}

std::vector<double> nice_ticks(double lo, double hi, int wanted) {
  std::vector<double> ticks;
  const double rough = (hi * 0.5 - lo * 0.5) / static_cast<double>(wanted) * 2.0;
  if (!(rough > 0.0) || !std::isfinite(rough)) return ticks;
  const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
  double step = magnitude;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * magnitude;
    if (step >= rough) break;
  }
  const double first = std::ceil(lo / step);
  for (double k = first; k * step <= hi && ticks.size() < 50; k += 1.0) {
    const double t = k * step;
    ticks.push_back(std::fabs(t) < step * 1e-9 ? 0.0 : t);
  }
  return ticks;
}

void add_points(PlotData& plot, const Expr& best, const Dataset& train, const Dataset& test) {
  plot.target = train.target_name();
  const bool one_feature = train.n_columns() == 1;
  auto fill = [&](const Dataset& data, std::vector<PlotData::Point>& points,
                  std::vector<double>& xs, size_t& rows) {
    rows = data.n_rows();
    for (size_t i = 0; i < data.n_rows(); ++i) {
      const double predicted = best.evaluate(data.row(i));
      const double observed = data.targets()[i];
      if (std::isfinite(predicted) && std::isfinite(observed)) {
        points.push_back({observed, predicted});
        if (one_feature) xs.push_back(data.column(0)[i]);
      }
    }
  };
  fill(train, plot.train, plot.train_x, plot.train_rows);
  fill(test, plot.test, plot.test_x, plot.test_rows);
  if (!one_feature) return;
  plot.feature = train.features()[0];
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (const auto* set : {&train, &test})
    for (double x : set->column(0))
      if (std::isfinite(x)) {
        lo = std::min(lo, x);
        hi = std::max(hi, x);
      }
  if (!(lo <= hi)) return;
  Dataset grid(train.target_name());
  grid.add_feature(plot.feature);
  for (size_t i = 0; i < kCurvePoints; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(kCurvePoints - 1);
    const double x = lo * (1.0 - t) + hi * t;
    grid.push_row(&x, 0.0);
  }
  for (size_t i = 0; i < grid.n_rows(); ++i)
    plot.curve.push_back({grid.column(0)[i], best.evaluate(grid.row(i))});
}

std::string render_svg(const PlotData& plot) {
  using Panel = void (*)(Svg&, const Frame&, const PlotData&);
  std::vector<Panel> panels = {scatter_panel, residual_panel};
  if (!plot.front.empty()) panels.push_back(front_panel);
  if (!plot.feature.empty()) panels.push_back(curve_panel);
  const double rows = static_cast<double>((panels.size() + 1) / 2);
  const double height = kTop + rows * kCellHeight - 40;
  Svg svg;
  svg.raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  svg.raw("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + coordinate(kWidth) +
          "\" height=\"" + coordinate(height) + "\" viewBox=\"0 0 " + coordinate(kWidth) + " " +
          coordinate(height) + "\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n");
  svg.raw("<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n");
  svg.text(20, 26, shorten(plot.target, kNameBytes) + " = " + shorten(plot.formula, 140),
           "font-size=\"13\"");
  svg.text(20, 44, "verdict: " + plot.verdict, "font-size=\"13\" font-weight=\"bold\"");
  const BaselinesReport& b = plot.baselines;
  svg.text(20, 62,
           "BIC " + label_number(plot.bic) + " against the constant model's " +
               label_number(b.bic_const) + ", the linear model's " + label_number(b.bic_linear) +
               " and linear fits to shuffled targets' " + label_number(b.bic_shuffled_mean) +
               " (lower is better)",
           "id=\"bic-line\" font-size=\"12\"");
  for (size_t i = 0; i < panels.size(); ++i) {
    const double left = 90 + static_cast<double>(i % 2) * kCellWidth;
    const double top = kTop + static_cast<double>(i / 2) * kCellHeight;
    panels[i](svg, Frame{left, top, 410, 300}, plot);
  }
  svg.raw("</svg>\n");
  return std::move(svg.str());
}

}  // namespace quorvex::cli
