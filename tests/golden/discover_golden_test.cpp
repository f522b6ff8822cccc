// Whole discoveries recorded by an independent implementation of the same
// rules, replayed through the C interface and compared byte for byte.
#include <gtest/gtest.h>

#include "golden_case.h"

namespace {

class GoldenDiscovery : public ::testing::TestWithParam<std::filesystem::path> {};

TEST_P(GoldenDiscovery, ReportMatchesByteForByte) {
  const auto c = golden::load(GetParam());
  CDataset* ds = golden::build_dataset(c);
  const golden::Args a = golden::args(c);
  CReport* r = quorvex_discover(ds, a.generations, a.population, a.max_depth, a.seed,
                                a.test_fraction);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(golden::take(quorvex_report_formula(r)), c["expected_formula"].get<std::string>());
  EXPECT_EQ(golden::mask_wall_json(golden::take(quorvex_report_json(r))),
            c["expected_json"].get<std::string>());
  EXPECT_EQ(golden::mask_wall_pretty(golden::take(quorvex_report_pretty(r))),
            c["expected_pretty"].get<std::string>());
  EXPECT_EQ(quorvex_report_verdict(r), c["expected_verdict_code"].get<int32_t>());
  quorvex_report_free(r);
  quorvex_dataset_free(ds);
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenDiscovery,
                         ::testing::ValuesIn(golden::cases(QUORVEX_GOLDEN_DIR "/discover")),
                         [](const auto& param_info) { return param_info.param.stem().string(); });

}  // namespace
