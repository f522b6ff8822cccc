#include "plot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "progress.h"

namespace quorvex::cli {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

size_t count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t pos = s.find(what); pos != std::string::npos; pos = s.find(what, pos + 1)) ++n;
  return n;
}

TEST(PlotNumbers, CoordinatesAndLabels) {
  EXPECT_EQ(coordinate(12.345), "12.35");
  EXPECT_EQ(coordinate(-0.001), "0.00");
  EXPECT_EQ(coordinate(1e6), "1000000.00");
  EXPECT_EQ(label_number(0.30000000000000004), "0.3");
  EXPECT_EQ(label_number(-0.0), "0");
  EXPECT_EQ(label_number(1e6), "1e+06");
  EXPECT_EQ(label_number(-123.456789), "-123.457");
  EXPECT_EQ(label_number(kInf), "inf");
}

TEST(PlotTicks, RoundStepsInsideTheRange) {
  EXPECT_EQ(nice_ticks(0.0, 10.0, 5), (std::vector<double>{0, 2, 4, 6, 8, 10}));
  EXPECT_EQ(nice_ticks(-0.35, 0.35, 6), (std::vector<double>{-0.2, 0, 0.2}));
  const std::vector<double> wide = nice_ticks(-3621.0, 400.0, 6);
  ASSERT_FALSE(wide.empty());
  EXPECT_EQ(wide.front(), -3000.0);
  EXPECT_EQ(wide.back(), 0.0);
  // Spans beyond the largest double still give ticks.
  EXPECT_FALSE(nice_ticks(-1.7e308, 1.7e308, 6).empty());
  EXPECT_TRUE(nice_ticks(1.0, 1.0, 6).empty());
}

PlotData sample() {
  PlotData plot;
  plot.train = {{1.0, 1.1}, {2.0, 1.9}, {3.0, 3.2}};
  plot.test = {{1.5, 1.4}};
  plot.train_rows = 4;  // one training row had no finite prediction
  plot.test_rows = 1;
  plot.best_by_generation = {kInf, 50.0, 20.0, -3.5};
  plot.baselines = {30.0, 10.0, 35.0, 1.5};
  plot.formula = "(a<b & \"c\" + \x01)";
  plot.verdict = "Weak";
  return plot;
}

TEST(PlotSvg, BothPanelsWithEveryPointAndBaseline) {
  const std::string svg = render_svg(sample());
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_EQ(count(svg, "<svg"), 1u);
  EXPECT_NE(svg.find("id=\"predicted-vs-observed\""), std::string::npos);
  EXPECT_NE(svg.find("id=\"bic-by-generation\""), std::string::npos);
  for (const char* id : {"baseline-const", "baseline-linear", "baseline-shuffled"})
    EXPECT_NE(svg.find(std::string("id=\"") + id + "\""), std::string::npos) << id;
  // Three training points, one test point, plus the legend's two dots.
  EXPECT_EQ(count(svg, "<circle"), 3u + 1u + 2u);
  EXPECT_NE(svg.find("training rows (4), 1 not finite"), std::string::npos);
  // The +inf first generation breaks nothing: one line over the three others.
  EXPECT_EQ(count(svg, "<polyline"), 1u);
  // Text is escaped, and a control character cannot reach XML.
  EXPECT_NE(svg.find("(a&lt;b &amp; &quot;c&quot; + ?)"), std::string::npos);
  EXPECT_EQ(svg.find('\x01'), std::string::npos);
  EXPECT_EQ(svg.find("nan"), std::string::npos);
}

TEST(PlotSvg, NonFiniteBaselinesAndEmptySetsStillDraw) {
  PlotData plot = sample();
  plot.train.clear();
  plot.test.clear();
  plot.best_by_generation = {kInf, kInf};
  plot.baselines = {kInf, kInf, std::nan(""), std::nan("")};
  const std::string svg = render_svg(plot);
  EXPECT_EQ(count(svg, "<polyline"), 0u);
  EXPECT_EQ(svg.find("id=\"baseline-const\""), std::string::npos);
  EXPECT_NE(svg.find("constant model inf (not drawn)"), std::string::npos);
  EXPECT_EQ(svg.find("nan\""), std::string::npos);
}

TEST(PlotSvg, LargeSetsAreThinnedEvenly) {
  PlotData plot = sample();
  plot.train.assign(10000, {1.0, 2.0});
  plot.train_rows = 10000;
  const std::string svg = render_svg(plot);
  EXPECT_LE(count(svg, "<circle"), 4000u + 1u + 2u);
  EXPECT_NE(svg.find("every 3th shown"), std::string::npos);
}

// Exact fits (error 0, below the floor) sit at the floor on the log scale, and
// a non-finite test error leaves its point out rather than breaking the panel.
TEST(PlotSvg, FrontPanelOnlyWithAFront) {
  PlotData plot;
  plot.best_by_generation = {5.0, 3.0, 1.0};
  plot.first_generation = 1;
  EXPECT_EQ(render_svg(plot).find("id=\"front\""), std::string::npos);
  plot.mse_floor = 1e-12;
  plot.front = {{1, 4.0, 5.0, false}, {3, 0.5, kInf, false}, {5, 0.0, 0.0, true}};
  const std::string svg = render_svg(plot);
  const size_t panel = svg.find("id=\"front\"");
  ASSERT_NE(panel, std::string::npos);
  const std::string front = svg.substr(panel);
  EXPECT_EQ(count(front, "<circle"), 3u + 2u + 2u);  // train, test, two legend dots
  EXPECT_EQ(count(front, "r=\"5.50\""), 2u);         // the reported formula, in both sets
  EXPECT_EQ(front.find("nan"), std::string::npos);
  EXPECT_NE(front.find(">-10</text>"), std::string::npos);  // the axis reaches the floor
  EXPECT_NE(svg.find("width=\"1650.00\""), std::string::npos);
}

TEST(ProgressLine, FillsWithTheGenerations) {
  EXPECT_EQ(ProgressBar::line(0, 40, kInf),
            "quorvex [..............................] generation 0/40  best BIC inf");
  EXPECT_EQ(ProgressBar::line(20, 40, -123.45678),
            "quorvex [###############...............] generation 20/40  best BIC -123.457");
  EXPECT_EQ(ProgressBar::line(3, 3, 1.0).substr(0, 40), "quorvex [##############################]");
  EXPECT_EQ(ProgressBar::line(7, 3, 1.0).substr(0, 40), "quorvex [##############################]");
  EXPECT_EQ(ProgressBar::line(15, 150, -2.5, 1.26),
            "quorvex [###...........................] generation 15/150  1.3 s  best BIC -2.500");
}

}  // namespace
}  // namespace quorvex::cli
