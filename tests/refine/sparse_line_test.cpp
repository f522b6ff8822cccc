#include "refine/sparse_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "expr/derivatives.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

// Five features, the target a line in x3 alone (or in all of them) plus noise.
Dataset five(bool all_matter) {
  Dataset d("y");
  for (char j = '0'; j < '5'; ++j) d.add_feature(std::string{'x', j});
  Lcg rng(11);
  double v[5];
  for (int i = 0; i < 250; ++i) {
    for (double& x : v) x = 100.0 * rng.next_f64() - 50.0;
    double y = 1.57 + 24.3 * v[3];
    if (all_matter) y += 3.0 * v[0] - 2.0 * v[1] + 5.0 * v[2] + 4.0 * v[4];
    d.push_row(v, y + 20.0 * (rng.next_f64() - 0.5));
  }
  return d;
}

TEST(SparseLine, DropsTheFeaturesTheTargetDoesNotReadAndKeepsTheRest) {
  const std::optional<Expr> line = sparse_line(five(false), 1e-30);
  ASSERT_TRUE(line);
  const std::string text = line->formula();
  for (const char* other : {"x0", "x1", "x2", "x4"}) EXPECT_EQ(text.find(other), text.npos) << text;
  const std::vector<double> c = constants_of(*line);
  EXPECT_NEAR(c[0], 1.57, 1.0);
  EXPECT_NEAR(c[1], 24.3, 0.1);
  // Every feature pays for its coefficient: nothing to drop.
  EXPECT_FALSE(sparse_line(five(true), 1e-30));
}

}  // namespace
}  // namespace quorvex
