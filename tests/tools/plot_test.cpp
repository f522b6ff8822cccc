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
  plot.bic = -3.5;
  plot.baselines = {30.0, 10.0, 35.0, 1.5};
  plot.formula = "(a<b & \"c\" + \x01)";
  plot.target = "g<0>";
  plot.verdict = "Weak";
  return plot;
}

size_t find(const std::string& svg, const std::string& what) { return svg.find(what); }

TEST(PlotSvg, ScatterAndResidualsWithTheTargetNamed) {
  const std::string svg = render_svg(sample());
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_EQ(count(svg, "<svg"), 1u);
  EXPECT_NE(find(svg, "id=\"predicted-vs-observed\""), std::string::npos);
  EXPECT_NE(find(svg, "id=\"residuals\""), std::string::npos);
  EXPECT_EQ(find(svg, "id=\"data-and-curve\""), std::string::npos);  // no single feature
  EXPECT_NE(find(svg, ">observed g&lt;0&gt;</text>"), std::string::npos);
  EXPECT_NE(find(svg, ">predicted g&lt;0&gt;</text>"), std::string::npos);
  EXPECT_NE(find(svg, "BIC -3.5 against the constant model&apos;s 30, the linear model&apos;s 10"),
            std::string::npos);
  // Three training points and one test point in each panel, plus two legend dots each.
  EXPECT_EQ(count(svg, "<circle"), 2 * (3u + 1u + 2u));
  EXPECT_NE(find(svg, "training rows (4), 1 not finite"), std::string::npos);
  EXPECT_EQ(count(svg, "<polyline"), 0u);
  // Text is escaped, and a control character cannot reach XML.
  EXPECT_NE(find(svg, "(a&lt;b &amp; &quot;c&quot; + ?)"), std::string::npos);
  EXPECT_EQ(svg.find('\x01'), std::string::npos);
  EXPECT_EQ(find(svg, "nan"), std::string::npos);
  EXPECT_NE(find(svg, "height=\"520.00\""), std::string::npos);  // one row of panels
}

TEST(PlotSvg, NonFiniteBaselinesAndEmptySetsStillDraw) {
  PlotData plot = sample();
  plot.train.clear();
  plot.test.clear();
  plot.bic = kInf;
  plot.baselines = {kInf, kInf, std::nan(""), std::nan("")};
  const std::string svg = render_svg(plot);
  EXPECT_NE(find(svg, "constant model&apos;s inf"), std::string::npos);
  EXPECT_EQ(find(svg, "nan\""), std::string::npos);
  EXPECT_EQ(count(svg, "<circle"), 4u);  // the legends alone
}

TEST(PlotSvg, LargeSetsAreThinnedEvenly) {
  PlotData plot = sample();
  plot.train.assign(10000, {1.0, 2.0});
  plot.train_rows = 10000;
  const std::string svg = render_svg(plot);
  EXPECT_LE(count(svg, "<circle"), 2 * (4000u + 1u + 2u));
  EXPECT_NE(find(svg, "every 3th shown"), std::string::npos);
}

// Exact fits (error 0, below the floor) sit at the floor on the log scale, and
// a non-finite test error leaves its point out rather than breaking the panel.
TEST(PlotSvg, FrontPanelOnlyWithAFront) {
  PlotData plot;
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
  EXPECT_NE(front.find(">-10</text>"), std::string::npos);      // the axis reaches the floor
  EXPECT_NE(svg.find("height=\"980.00\""), std::string::npos);  // a second row of panels
}

// The curve breaks where the formula is undefined or leaves the data's range.
TEST(PlotSvg, OneFeatureDrawsTheDataAndTheCurve) {
  PlotData plot = sample();
  plot.feature.push_back('t');  // (assigning "t" trips g++ 12's -Wrestrict)
  plot.train_x = {0.0, 1.0, 2.0};
  plot.test_x = {0.5};
  plot.curve = {{0.0, 1.0}, {1.0, 2.0}, {1.5, std::nan("")}, {2.0, 3.0}, {2.5, 3.1}, {3.0, 1e9}};
  const std::string svg = render_svg(plot);
  const size_t panel = svg.find("id=\"data-and-curve\"");
  ASSERT_NE(panel, std::string::npos);
  const std::string curve = svg.substr(panel);
  EXPECT_EQ(count(curve, "<polyline"), 2u);
  EXPECT_EQ(count(curve, "<circle"), 3u + 1u + 2u);
  EXPECT_NE(curve.find(">t</text>"), std::string::npos);
  EXPECT_NE(curve.find(">g&lt;0&gt;</text>"), std::string::npos);
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
