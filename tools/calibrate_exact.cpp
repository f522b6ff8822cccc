#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "baselines/baselines.h"
#include "calibrate.h"
#include "assess/assess.h"
#include "optimizer/scoring.h"
#include "text/numbers.h"

namespace quorvex::calibrate {
namespace {

// The verdict of a given formula on a data set, assembled as the search
// assembles it for its best candidate.
DiscoverReport judge(const Expr& tree, const Dataset& data, const DiscoverConfig& config) {
  const auto [train, test] = data.split(config.test_fraction, config.seed);
  return assess(tree, candidate_score(tree, train), tree.k(), train, test,
                compute(train, config.n_shuffles, config.seed));
}

std::string bic_text(double bic) { return format_fixed(bic, 1); }

}  // namespace

std::string exact_fit_section(const Settings& s, const std::vector<Problem>& nguyen,
                              const std::vector<Problem>& feynman) {
  std::string md =
      "| law | written exactly: BIC, verdict | times (1 + 2^-52): BIC, verdict | search: "
      "verdict |\n|---|---|---|---|\n";
  size_t laws = 0, exact_noise = 0, rounded_strong = 0, search_strong = 0;
  const DiscoverConfig config = config_of(s, 0);
  for (const std::vector<Problem>* suite : {&nguyen, &feynman}) {
    for (size_t p = 0; p < suite->size(); ++p) {
      const Problem& problem = (*suite)[p];
      const std::optional<Expr> tree = problem.tree();
      if (!tree) continue;
      Sampler sampler(mix(9000 + p, suite == &nguyen ? 0 : 1));
      const Dataset data = problem_dataset(problem, sampler, 0.0, true);
      const DiscoverReport exact = judge(*tree, data, config);
      const Expr rounded =
          Expr::bin(Op::Mul, *tree, Expr::constant(1.0 + std::numeric_limits<double>::epsilon()));
      const DiscoverReport near = judge(rounded, data, config);
      const DiscoverReport searched = discover(data, config).report;
      ++laws;
      exact_noise += exact.verdict == Verdict::Noise;
      rounded_strong += near.verdict == Verdict::Strong;
      search_strong += searched.verdict == Verdict::Strong;
      md += "| " + problem.name + ": " + problem.formula + " | " + bic_text(exact.bic) + ", " +
            verdict_name(exact.verdict) + " | " + bic_text(near.bic) + ", " +
            verdict_name(near.verdict) + " | " + verdict_name(searched.verdict) + " |\n";
    }
  }
  // A constant target: the constant model fits it exactly and scores +inf.
  Sampler sampler(mix(9999, 0));
  Dataset constant("y");
  constant.add_feature("x");
  for (int i = 0; i < 50; ++i) {
    const double x = sampler.uniform(-1.0, 1.0);
    constant.push_row(&x, 2.5);
  }
  const DiscoverReport searched = discover(constant, config).report;
  md += "\nThe law written exactly got Noise for " + fraction(exact_noise, laws) +
        " laws; multiplied by (1 + 2^-52) it got Strong for " + fraction(rounded_strong, laws) +
        "; the search on the same noiseless data got Strong for " + fraction(search_strong, laws) +
        ". A constant target (y = 2.5 on 50 rows) got " + verdict_name(searched.verdict) +
        " from the search (best formula " + searched.formula + ", constant model BIC " +
        bic_text(searched.baselines.bic_const) + ").\n";
  return md;
}

}  // namespace quorvex::calibrate
