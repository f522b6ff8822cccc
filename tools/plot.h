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
  // Best score of each scored population: the initial one first, the final
  // one (the report's bic) last. +inf where nothing could be scored.
  std::vector<double> best_by_generation;
  // The generation of best_by_generation[0]: 0 for the initial population (the
  // classic search), 1 when the first score is after one generation (the refined).
  uint32_t first_generation = 0;
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

// Observed against predicted values of `best` on both sets.
void add_points(PlotData& plot, const Expr& best, const Dataset& train, const Dataset& test);

// One SVG document with two panels: predicted against observed (test rows
// over training rows, with the diagonal), and the best BIC of each
// generation with the three baselines as horizontal lines; a third, the
// front's training and test errors against complexity, when there is one.
std::string render_svg(const PlotData& plot);

// Number text for SVG: fixed with two decimals for coordinates, and up to
// six significant digits for axis labels ("0.3", "1e+06", never "-0").
std::string coordinate(double v);
std::string label_number(double v);

// Axis ticks: about `wanted` round values (1, 2 or 5 times a power of ten)
// between lo and hi, which must be finite with lo < hi.
std::vector<double> nice_ticks(double lo, double hi, int wanted);

}  // namespace quorvex::cli
