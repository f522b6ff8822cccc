#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "report/report.h"

namespace quorvex::cli {

// What the plot shows, gathered from one discovery.
struct PlotData {
  struct Point {
    double observed;
    double predicted;
  };
  std::vector<Point> train;  // rows whose prediction and target are finite
  std::vector<Point> test;
  size_t train_rows = 0;  // all rows of each set, shown or not
  size_t test_rows = 0;
  // The target's name, on the axes.
  std::string target;
  // With a single feature: its name, its value on each point shown (train_x[i]
  // belongs to train[i]) and the formula along the feature's range; empty
  // otherwise, and the plot has no panel of the data with the fitted curve.
  struct Xy {
    double x;
    double y;
  };
  std::string feature;
  std::vector<double> train_x;
  std::vector<double> test_x;
  std::vector<Xy> curve;
  double bic = 0.0;  // the formula's, told against the baselines above the panels
  BaselinesReport baselines;
  // A refined discovery's front: the best formula of each complexity. Empty
  // for a classic discovery, whose plot then has no third panel.
  struct FrontPoint {
    uint32_t complexity;
    double mse_train;
    double mse_test;
    bool reported;
  };
  std::vector<FrontPoint> front;
  double mse_floor = 0.0;  // errors below it are drawn at it (a log scale has no zero)
  std::string formula;
  std::string verdict;
};

// Observed against predicted values of `best` on both sets, the target's
// name, and with a single feature the data and the curve along it.
void add_points(PlotData& plot, const Expr& best, const Dataset& train, const Dataset& test);

// One SVG document, two panels a row: predicted against observed (test rows
// over training rows, with the diagonal), the residuals against the
// prediction; the front's training and test errors against complexity when
// there is one; the data with the fitted curve when there is one feature.
// The BIC and the three baselines' stand in a line above them.
std::string render_svg(const PlotData& plot);

// Number text for SVG: fixed with two decimals for coordinates, and up to
// six significant digits for axis labels ("0.3", "1e+06", never "-0").
std::string coordinate(double v);
std::string label_number(double v);

// Axis ticks: about `wanted` round values (1, 2 or 5 times a power of ten)
// between lo and hi, which must be finite with lo < hi.
std::vector<double> nice_ticks(double lo, double hi, int wanted);

}  // namespace quorvex::cli
