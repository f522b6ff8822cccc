// The extended C interface through its shared library, loaded in one process
// with the first one (this program links both).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "../golden/golden_case.h"
#include "quorvex.h"
#include "quorvex_ext.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string take(char* s) {
  std::string out = s == nullptr ? "<NULL>" : s;
  qvx_string_free(s);
  return out;
}

std::string last_error() { return qvx_last_error(); }

qvx_options options(int32_t search) {
  qvx_options o;
  EXPECT_EQ(qvx_options_init(&o, sizeof o, search), QVX_OK);
  return o;
}

// y = 3x^2 + 1 with a second, irrelevant feature.
struct Columns {
  std::vector<std::string> names{"x", "z"};
  std::vector<double> x, z, y;
  explicit Columns(size_t n) {
    for (size_t i = 0; i < n; ++i) {
      x.push_back(static_cast<double>(i) / 10.0 - 2.0);
      z.push_back(static_cast<double>((i * 7) % 11));
      y.push_back(3.0 * x.back() * x.back() + 1.0);
    }
  }
  qvx_dataset* dataset() const {
    const char* n[] = {names[0].c_str(), names[1].c_str()};
    const double* c[] = {x.data(), z.data()};
    return qvx_dataset_from_columns("y", 2, n, c, y.data(), y.size());
  }
};

struct Outcome {
  int32_t status;
  qvx_result* result = nullptr;
};

Outcome discover(const qvx_dataset* ds, const qvx_options& o, qvx_progress_fn fn = nullptr,
                 void* user = nullptr) {
  Outcome r{};
  r.status = qvx_discover(ds, &o, fn, user, &r.result);
  return r;
}

TEST(ExtOptions, DefaultsAndSizes) {
  EXPECT_EQ(qvx_version(), static_cast<uint32_t>(QVX_VERSION_NUMBER));
  const qvx_options c = options(QVX_SEARCH_CLASSIC);
  EXPECT_EQ(c.size, sizeof(qvx_options));
  // The numbers: defaults_test.cpp.
  const qvx_options r = options(QVX_SEARCH_REFINED);
  EXPECT_EQ(r.search, QVX_SEARCH_REFINED);

  // Too small a record, or an unknown search: refused, nothing written.
  qvx_options o;
  std::memset(&o, 0xAB, sizeof o);
  EXPECT_EQ(qvx_options_init(&o, sizeof o - 1, QVX_SEARCH_REFINED), QVX_ERR_ARGUMENT);
  EXPECT_NE(last_error().find("size"), std::string::npos);
  EXPECT_EQ(qvx_options_init(&o, sizeof o, 7), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_options_init(nullptr, sizeof o, QVX_SEARCH_REFINED), QVX_ERR_ARGUMENT);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&o)[0], 0xAB);
  EXPECT_EQ(qvx_options_init(&o, sizeof o, QVX_SEARCH_REFINED), QVX_OK);
  EXPECT_EQ(last_error(), "");

  // A newer host's larger record: the unknown tail is zeroed by init and
  // accepted by a search as long as it stays zero.
  struct Newer {
    qvx_options known;
    uint64_t later;
  } newer;
  std::memset(&newer, 0xCD, sizeof newer);
  ASSERT_EQ(qvx_options_init(&newer.known, sizeof newer, QVX_SEARCH_CLASSIC), QVX_OK);
  EXPECT_EQ(newer.later, 0u);
  newer.known.generations = 2;
  newer.known.population = 20;
  const Columns cols(30);
  qvx_dataset* ds = cols.dataset();
  qvx_result* res = nullptr;
  EXPECT_EQ(qvx_discover(ds, &newer.known, nullptr, nullptr, &res), QVX_OK);
  qvx_result_free(res);
  newer.later = 1;
  res = nullptr;
  EXPECT_EQ(qvx_discover(ds, &newer.known, nullptr, nullptr, &res), QVX_ERR_ARGUMENT);
  EXPECT_EQ(res, nullptr);
  EXPECT_NE(last_error().find("does not know"), std::string::npos);
  qvx_dataset_free(ds);
}

// A host built before `operators` passes the record up to max_threads: init
// writes only that much, and a search reads only that much (the default set).
TEST(ExtOptions, AnOlderHostsRecordGetsTheDefaultOperators) {
  constexpr size_t v1 = offsetof(qvx_options, operators);
  static_assert(v1 == offsetof(qvx_options, max_threads) + sizeof(size_t));
  qvx_options o;
  std::memset(&o, 0xAB, sizeof o);
  ASSERT_EQ(qvx_options_init(&o, v1, QVX_SEARCH_REFINED), QVX_OK) << last_error();
  EXPECT_EQ(o.size, v1);
  EXPECT_EQ(o.patience, options(QVX_SEARCH_REFINED).patience);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&o)[v1], 0xAB);  // beyond the host's record
  o.population = 40;
  o.generations = 3;
  const Columns cols(30);
  qvx_dataset* ds = cols.dataset();
  Outcome r = discover(ds, o);
  ASSERT_EQ(r.status, QVX_OK) << last_error();
  const auto json = nlohmann::json::parse(take(qvx_result_text(r.result, QVX_JSON)));
  EXPECT_EQ(json["operators"], "+,-,*,/,pow,exp,log,sqrt,sin,cos");
  qvx_result_free(r.result);

  // A size inside the new member is no version of the record.
  EXPECT_EQ(qvx_options_init(&o, v1 + 1, QVX_SEARCH_REFINED), QVX_ERR_ARGUMENT);
  EXPECT_NE(last_error().find("size"), std::string::npos);
  o.size = sizeof o - 1;
  EXPECT_EQ(discover(ds, o).status, QVX_ERR_ARGUMENT);
  EXPECT_NE(last_error().find("the size of no qvx_options"), std::string::npos);
  qvx_dataset_free(ds);
}

TEST(ExtOptions, SettingsOutOfRangeAreNamed) {
  const Columns cols(30);
  qvx_dataset* ds = cols.dataset();
  struct Case {
    const char* name;
    void (*change)(qvx_options&);
    int32_t search;
  };
  const Case cases[] = {
      {"generations", [](qvx_options& o) { o.generations = 0; }, QVX_SEARCH_REFINED},
      {"population", [](qvx_options& o) { o.population = 0; }, QVX_SEARCH_CLASSIC},
      {"max_depth", [](qvx_options& o) { o.max_depth = 0; }, QVX_SEARCH_REFINED},
      {"test_fraction", [](qvx_options& o) { o.test_fraction = 1.0; }, QVX_SEARCH_REFINED},
      {"test_fraction", [](qvx_options& o) { o.test_fraction = kNaN; }, QVX_SEARCH_CLASSIC},
      {"n_shuffles", [](qvx_options& o) { o.n_shuffles = 1; }, QVX_SEARCH_CLASSIC},
      {"time_limit", [](qvx_options& o) { o.time_limit = -1.0; }, QVX_SEARCH_REFINED},
      {"search", [](qvx_options& o) { o.search = 2; }, QVX_SEARCH_REFINED},
      {"size", [](qvx_options& o) { o.size = 8; }, QVX_SEARCH_REFINED},
      {"classic", [](qvx_options& o) { o.time_limit = 1.0; }, QVX_SEARCH_CLASSIC},
      {"classic", [](qvx_options& o) { o.patience = 3; }, QVX_SEARCH_CLASSIC},
      {"classic search's operators are fixed", [](qvx_options& o) { o.operators = "+,*"; },
       QVX_SEARCH_CLASSIC},
      {"operators: unknown operator \"sinh\"; known: +, -, *, /, pow",
       [](qvx_options& o) { o.operators = "+, sinh"; }, QVX_SEARCH_REFINED},
      {"weight of \"sin\" must be a whole number from 1 to 100",
       [](qvx_options& o) { o.operators = "sin:101"; }, QVX_SEARCH_REFINED},
      {"\"cos\" is given twice", [](qvx_options& o) { o.operators = "cos,+,cos:2"; },
       QVX_SEARCH_REFINED},
      {"operators: an empty name", [](qvx_options& o) { o.operators = ""; }, QVX_SEARCH_REFINED},
      {"options->operators is not valid UTF-8", [](qvx_options& o) { o.operators = "+,\xC0\x80"; },
       QVX_SEARCH_REFINED},
  };
  for (const Case& c : cases) {
    qvx_options o = options(c.search);
    c.change(o);
    qvx_result* res = nullptr;
    EXPECT_EQ(qvx_discover(ds, &o, nullptr, nullptr, &res), QVX_ERR_ARGUMENT) << c.name;
    EXPECT_EQ(res, nullptr);
    EXPECT_NE(last_error().find(c.name), std::string::npos) << c.name << ": " << last_error();
    double p = 5.0;
    EXPECT_EQ(qvx_permutation_test(ds, &o, 0.0, 1, nullptr, nullptr, nullptr, &p),
              QVX_ERR_ARGUMENT);
    EXPECT_EQ(p, 5.0);
  }
  qvx_options o = options(QVX_SEARCH_REFINED);
  qvx_result* res = nullptr;
  EXPECT_EQ(qvx_discover(nullptr, &o, nullptr, nullptr, &res), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_discover(ds, nullptr, nullptr, nullptr, &res), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_discover(ds, &o, nullptr, nullptr, nullptr), QVX_ERR_ARGUMENT);
  qvx_dataset_free(ds);
}

// Counts whose memory cannot be had are refused by name before any work; the
// largest of them used to wrap (n_shuffles + 1) and crash, or throw from deep
// inside the engine.
TEST(ExtOptions, CountsThatCannotFitInMemoryAreRefused) {
  const Columns cols(30);
  qvx_dataset* ds = cols.dataset();
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  for (int32_t search : {QVX_SEARCH_CLASSIC, QVX_SEARCH_REFINED}) {
    for (size_t huge : {kMax, kMax - 1, size_t{1} << 58}) {
      for (const char* setting : {"options->population", "options->n_shuffles"}) {
        qvx_options o = options(search);
        (setting[9] == 'p' ? o.population : o.n_shuffles) = huge;
        qvx_result* res = nullptr;
        EXPECT_EQ(qvx_discover(ds, &o, nullptr, nullptr, &res), QVX_ERR_ARGUMENT);
        EXPECT_EQ(res, nullptr);
        const std::string why = last_error();
        EXPECT_EQ(why.rfind(setting, 0), 0u) << why;
        EXPECT_NE(why.find(" needs about "), std::string::npos) << why;
        EXPECT_NE(why.find(std::string("choose a smaller ") + setting + " (at most "),
                  std::string::npos)
            << why;
        double p = 5.0;
        EXPECT_EQ(qvx_permutation_test(ds, &o, 0.0, 1, nullptr, nullptr, nullptr, &p),
                  QVX_ERR_ARGUMENT);
        EXPECT_EQ(p, 5.0);
      }
      qvx_options o = options(search);
      double p = 5.0;
      EXPECT_EQ(qvx_permutation_test(ds, &o, 0.0, huge, nullptr, nullptr, nullptr, &p),
                QVX_ERR_ARGUMENT);
      EXPECT_EQ(
          last_error().rfind(
              "n_permutations: a test of " + std::to_string(huge) + " permutations needs about", 0),
          0u)
          << last_error();
      EXPECT_EQ(p, 5.0);
    }
  }
  qvx_dataset_free(ds);
}

TEST(ExtDataset, ColumnsEqualRowsAndBadInputIsRefused) {
  const Columns cols(40);
  qvx_dataset* a = cols.dataset();
  qvx_dataset* b = qvx_dataset_new("y");
  ASSERT_EQ(qvx_dataset_add_feature(b, "x"), QVX_OK);
  ASSERT_EQ(qvx_dataset_add_feature(b, "z"), QVX_OK);
  for (size_t i = 0; i < cols.y.size(); ++i) {
    const double v[] = {cols.x[i], cols.z[i]};
    ASSERT_EQ(qvx_dataset_push_row(b, v, cols.y[i]), QVX_OK);
  }
  EXPECT_EQ(qvx_dataset_n_rows(a), 40u);
  EXPECT_EQ(qvx_dataset_n_features(a), 2u);
  qvx_options o = options(QVX_SEARCH_CLASSIC);
  o.generations = 3;
  o.population = 40;
  Outcome ra = discover(a, o), rb = discover(b, o);
  ASSERT_EQ(ra.status, QVX_OK);
  ASSERT_EQ(rb.status, QVX_OK);
  EXPECT_EQ(golden::mask_wall_json(take(qvx_result_text(ra.result, QVX_JSON))),
            golden::mask_wall_json(take(qvx_result_text(rb.result, QVX_JSON))));
  qvx_result_free(ra.result);
  qvx_result_free(rb.result);

  const char bad[] = "\xC0\xAF";  // an overlong '/'
  const char* names[] = {"x", bad};
  const double* columns[] = {cols.x.data(), cols.z.data()};
  EXPECT_EQ(qvx_dataset_from_columns("y", 2, names, columns, cols.y.data(), 4), nullptr);
  EXPECT_NE(last_error().find("names[1]"), std::string::npos);
  EXPECT_EQ(qvx_dataset_from_columns(bad, 0, nullptr, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(qvx_dataset_from_columns("y", 2, nullptr, columns, cols.y.data(), 4), nullptr);
  EXPECT_EQ(qvx_dataset_from_columns("y", 0, nullptr, nullptr, nullptr, 4), nullptr);
  const double* holes[] = {cols.x.data(), nullptr};
  const char* good[] = {"x", "z"};
  EXPECT_EQ(qvx_dataset_from_columns("y", 2, good, holes, cols.y.data(), 4), nullptr);
  EXPECT_NE(last_error().find("columns[1]"), std::string::npos);
  qvx_dataset* empty = qvx_dataset_from_columns("y", 2, good, holes, nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(last_error(), "");
  EXPECT_EQ(qvx_dataset_n_features(empty), 2u);
  qvx_dataset_free(empty);

  EXPECT_EQ(qvx_dataset_new(nullptr), nullptr);
  EXPECT_EQ(qvx_dataset_add_feature(b, bad), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_dataset_add_feature(nullptr, "x"), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_dataset_push_row(b, nullptr, 1.0), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_dataset_n_features(b), 2u);
  EXPECT_EQ(qvx_dataset_n_rows(nullptr), 0u);
  EXPECT_NE(last_error(), "");
  qvx_dataset_free(nullptr);
  qvx_dataset_free(a);
  qvx_dataset_free(b);
}

// The settings quorvex_discover substitutes for its zero and out-of-range
// arguments, spelt out in its header.
qvx_options classic_options(const golden::Args& a) {
  qvx_options o = options(QVX_SEARCH_CLASSIC);
  if (a.generations != 0) o.generations = a.generations;
  if (a.population != 0) o.population = a.population;
  if (a.max_depth != 0) o.max_depth = a.max_depth;
  o.seed = a.seed;
  if (a.test_fraction > 0.0 && a.test_fraction < 1.0) o.test_fraction = a.test_fraction;
  return o;
}

class ExtGolden : public ::testing::TestWithParam<std::filesystem::path> {};

// The classic search of this library gives the recorded reports byte for byte,
// and so does quorvex_discover in the same process.
TEST_P(ExtGolden, ClassicMatchesTheFirstInterface) {
  const auto c = golden::load(GetParam());
  qvx_dataset* ds = qvx_dataset_new(c["target"].get<std::string>().c_str());
  golden::replay_ops(
      c, [&](const std::string& name) { qvx_dataset_add_feature(ds, name.c_str()); },
      [&](const double* values, double target) { qvx_dataset_push_row(ds, values, target); });
  const golden::Args a = golden::args(c);
  Outcome r = discover(ds, classic_options(a));
  ASSERT_EQ(r.status, QVX_OK) << last_error();
  EXPECT_EQ(take(qvx_result_text(r.result, QVX_FORMULA)), c["expected_formula"].get<std::string>());
  EXPECT_EQ(golden::mask_wall_json(take(qvx_result_text(r.result, QVX_JSON))),
            c["expected_json"].get<std::string>());
  EXPECT_EQ(golden::mask_wall_pretty(take(qvx_result_text(r.result, QVX_PRETTY))),
            c["expected_pretty"].get<std::string>());
  EXPECT_EQ(qvx_result_verdict(r.result), c["expected_verdict_code"].get<int32_t>());

  CDataset* first = golden::build_dataset(c);
  CReport* report =
      quorvex_discover(first, a.generations, a.population, a.max_depth, a.seed, a.test_fraction);
  const auto same = [](double x, double y) {
    return std::memcmp(&x, &y, sizeof x) == 0 || (std::isnan(x) && std::isnan(y));
  };
  EXPECT_TRUE(same(qvx_result_number(r.result, QVX_MSE_TRAIN), quorvex_report_mse_train(report)));
  EXPECT_TRUE(same(qvx_result_number(r.result, QVX_MSE_TEST), quorvex_report_mse_test(report)));
  EXPECT_TRUE(same(qvx_result_number(r.result, QVX_BIC), quorvex_report_bic(report)));
  EXPECT_TRUE(same(qvx_result_number(r.result, QVX_DELTA_BIC_CONST),
                   quorvex_report_delta_bic_const(report)));
  EXPECT_TRUE(same(qvx_result_number(r.result, QVX_DELTA_BIC_LINEAR),
                   quorvex_report_delta_bic_linear(report)));
  EXPECT_TRUE(
      same(qvx_result_number(r.result, QVX_Z_VS_SHUFFLED), quorvex_report_z_vs_shuffled(report)));
  // The baselines, which the first interface gives only as text.
  const auto json = nlohmann::json::parse(take(qvx_result_text(r.result, QVX_JSON)));
  const auto baseline = [&](const char* key) {
    return json["baselines"][key].is_null() ? kNaN : json["baselines"][key].get<double>();
  };
  for (auto [field, key] : {std::pair{QVX_BIC_CONST, "bic_const"},
                            {QVX_BIC_LINEAR, "bic_linear"},
                            {QVX_BIC_SHUFFLED_MEAN, "bic_shuffled_mean"},
                            {QVX_BIC_SHUFFLED_STD, "bic_shuffled_std"}}) {
    const double v = qvx_result_number(r.result, field);
    if (std::isfinite(v)) {
      EXPECT_EQ(v, baseline(key)) << key;
    } else {
      EXPECT_TRUE(json["baselines"][key].is_null()) << key;
    }
  }
  EXPECT_EQ(qvx_result_count(r.result, QVX_SEARCH), static_cast<uint64_t>(QVX_SEARCH_CLASSIC));
  EXPECT_EQ(qvx_result_count(r.result, QVX_FRONT_SIZE), 0u);
  EXPECT_EQ(qvx_result_count(r.result, QVX_N_CONSTANTS), 0u);
  EXPECT_TRUE(std::isnan(qvx_result_number(r.result, QVX_DOMAIN_SHARE)));
  EXPECT_EQ(qvx_result_count(r.result, QVX_N_TRAIN), json["n_train"].get<uint64_t>());
  quorvex_report_free(report);
  quorvex_dataset_free(first);
  qvx_result_free(r.result);
  qvx_dataset_free(ds);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtGolden,
                         ::testing::ValuesIn(golden::cases(QUORVEX_GOLDEN_DIR "/discover")),
                         [](const auto& param_info) { return param_info.param.stem().string(); });

TEST(ExtRefined, EveryAccessorOfAnExactLaw) {
  Columns cols(60);
  cols.x[5] = kNaN;  // set aside
  qvx_dataset* ds = cols.dataset();
  qvx_options o = options(QVX_SEARCH_REFINED);
  o.seed = 3;
  Outcome r = discover(ds, o);
  qvx_dataset_free(ds);
  ASSERT_EQ(r.status, QVX_OK) << last_error();
  const qvx_result* res = r.result;
  EXPECT_EQ(qvx_result_count(res, QVX_SEARCH), static_cast<uint64_t>(QVX_SEARCH_REFINED));
  EXPECT_EQ(qvx_result_count(res, QVX_ROWS_SET_ASIDE), 1u);
  EXPECT_EQ(qvx_result_count(res, QVX_N_TRAIN) + qvx_result_count(res, QVX_N_TEST), 59u);
  EXPECT_EQ(qvx_result_number(res, QVX_FINITE_SHARE), 1.0);
  EXPECT_GT(qvx_result_number(res, QVX_MSE_FLOOR), 0.0);
  EXPECT_LE(qvx_result_number(res, QVX_MSE_TRAIN), qvx_result_number(res, QVX_MSE_FLOOR));
  EXPECT_EQ(qvx_result_verdict(res), 2);
  const uint64_t generations = qvx_result_count(res, QVX_GENERATIONS);
  EXPECT_GE(generations, 1u);
  EXPECT_LE(generations, 300u);
  const uint64_t stop = qvx_result_count(res, QVX_STOP_REASON);
  EXPECT_LE(stop, 3u);

  // The front: by increasing complexity, the best BIC is the report's.
  const uint64_t n = qvx_result_count(res, QVX_FRONT_SIZE);
  ASSERT_GE(n, 1u);
  double best = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) {
      EXPECT_LT(qvx_front_number(res, i - 1, QVX_FRONT_COMPLEXITY),
                qvx_front_number(res, i, QVX_FRONT_COMPLEXITY));
    }
    best = std::min(best, qvx_front_number(res, i, QVX_FRONT_BIC));
    EXPECT_FALSE(std::isnan(qvx_front_number(res, i, QVX_FRONT_MSE_TRAIN)));
    EXPECT_FALSE(std::isnan(qvx_front_number(res, i, QVX_FRONT_MSE_TEST)));
    EXPECT_NE(take(qvx_front_text(res, i, QVX_FORMULA)), "<NULL>");
  }
  EXPECT_EQ(best, qvx_result_number(res, QVX_BIC));
  EXPECT_TRUE(std::isnan(qvx_front_number(res, n, QVX_FRONT_BIC)));
  EXPECT_NE(last_error().find("front index"), std::string::npos);
  EXPECT_TRUE(std::isnan(qvx_front_number(res, 0, 99)));
  EXPECT_EQ(qvx_front_text(res, 0, QVX_PRETTY), nullptr);

  // The JSON document holds what the header lists, agreeing with the accessors.
  const auto json = nlohmann::ordered_json::parse(take(qvx_result_text(res, QVX_JSON)));
  std::string got;
  for (const auto& item : json.items()) got += (got.empty() ? "" : ",") + item.key();
  EXPECT_EQ(got,
            "formula,expr_json,k,mse_train,mse_test,bic,baselines,delta_bic_const,"
            "delta_bic_linear,z_vs_shuffled,verdict,verdict_reason,n_train,n_test,wall_clock_ms,"
            "search,rows_set_aside,finite_share,generations,stop_reason,mse_floor,operators,front,"
            "constants,domain_share");
  EXPECT_EQ(json["search"], "refined");
  EXPECT_EQ(json["operators"], "+,-,*,/,pow,exp,log,sqrt,sin,cos");
  EXPECT_EQ(json["rows_set_aside"], 1);
  EXPECT_EQ(json["generations"].get<uint64_t>(), generations);
  EXPECT_EQ(json["stop_reason"], take(qvx_result_text(res, QVX_STOP_NAME)));
  EXPECT_EQ(json["front"].size(), n);
  EXPECT_EQ(json["front"][0]["formula"], take(qvx_front_text(res, 0, QVX_FORMULA)));
  EXPECT_EQ(json["front"][0]["expr_json"], take(qvx_front_text(res, 0, QVX_EXPR_JSON)));
  EXPECT_EQ(json["formula"], take(qvx_result_text(res, QVX_FORMULA)));
  EXPECT_EQ(json["verdict_reason"], take(qvx_result_text(res, QVX_VERDICT_REASON)));
  EXPECT_EQ(take(qvx_result_text(res, QVX_SIMPLIFIED)), take(qvx_result_text(res, QVX_FORMULA)));
  EXPECT_EQ(json["baselines"]["bic_const"].get<double>(), qvx_result_number(res, QVX_BIC_CONST));

  const std::string pretty = take(qvx_result_text(res, QVX_PRETTY));
  EXPECT_NE(pretty.find("rows set aside : 1   finite share : 1.0000\n"), std::string::npos);
  // The front as the command prints it, formulas as displayed.
  EXPECT_NE(pretty.find("front   : the best formula of each complexity (* the one reported)\n"
                        "  complexity   MSE train"),
            std::string::npos);
  EXPECT_NE(pretty.find("  " + take(qvx_result_text(res, QVX_FORMULA)) + "\n"), std::string::npos);
  EXPECT_EQ(json["front"][0]["latex"], take(qvx_front_text(res, 0, QVX_LATEX)));
  EXPECT_FALSE(take(qvx_result_text(res, QVX_LATEX)).empty());

  // The constants in the order of the expression JSON's, with their errors.
  const uint64_t nc = qvx_result_count(res, QVX_N_CONSTANTS);
  ASSERT_EQ(json["constants"].size(), nc);
  const std::string expr = take(qvx_result_text(res, QVX_EXPR_JSON));
  size_t at = 0;
  for (size_t i = 0; i < nc; ++i) {
    const double v = qvx_constant_number(res, i, QVX_CONSTANT_VALUE);
    EXPECT_EQ(json["constants"][i]["value"].get<double>(), v);
    at = expr.find("{\"Const\":", at) + 9;
    EXPECT_EQ(std::stod(expr.substr(at)), v);
    const double se = qvx_constant_number(res, i, QVX_CONSTANT_STD_ERROR);
    EXPECT_TRUE(se >= 0.0 && se < 1e-6 * std::fabs(v)) << se;  // an exact law
  }
  EXPECT_TRUE(std::isnan(qvx_constant_number(res, nc, QVX_CONSTANT_VALUE)));
  EXPECT_NE(last_error().find("constant index"), std::string::npos);
  EXPECT_TRUE(std::isnan(qvx_constant_number(res, 0, 7)));
  EXPECT_TRUE(std::isnan(qvx_constant_number(nullptr, 0, QVX_CONSTANT_VALUE)));
  EXPECT_EQ(qvx_result_number(res, QVX_DOMAIN_SHARE), 1.0);
  EXPECT_EQ(json["domain_share"], 1.0);
  EXPECT_NE(pretty.find("\nconstants : "), std::string::npos);
  EXPECT_NE(pretty.find("\ndomain share : 1.0000 of the training data's box\n"), std::string::npos);

  // Unknown fields and NULL results fail with a reason.
  EXPECT_TRUE(std::isnan(qvx_result_number(res, -1)));
  EXPECT_NE(last_error().find("unknown field"), std::string::npos);
  EXPECT_EQ(qvx_result_count(res, 99), 0u);
  EXPECT_EQ(qvx_result_text(res, 99), nullptr);
  EXPECT_EQ(qvx_result_verdict(nullptr), -1);
  EXPECT_TRUE(std::isnan(qvx_result_number(nullptr, QVX_BIC)));
  EXPECT_EQ(qvx_result_text(nullptr, QVX_JSON), nullptr);
  EXPECT_EQ(last_error(), "result is NULL");
  qvx_result_free(r.result);
  qvx_result_free(nullptr);
  qvx_string_free(nullptr);
}

TEST(ExtRefined, TooFewUsableRowsIsADataError) {
  Columns cols(6);
  cols.y[0] = std::numeric_limits<double>::infinity();
  cols.y[1] = kNaN;
  qvx_dataset* ds = cols.dataset();
  Outcome r = discover(ds, options(QVX_SEARCH_REFINED));
  EXPECT_EQ(r.status, QVX_ERR_DATA);
  EXPECT_EQ(r.result, nullptr);
  EXPECT_NE(last_error().find("too few rows"), std::string::npos);
  // The classic search reports on anything, as quorvex_discover does.
  qvx_options o = options(QVX_SEARCH_CLASSIC);
  o.generations = 1;
  o.population = 5;
  r = discover(ds, o);
  EXPECT_EQ(r.status, QVX_OK);
  qvx_result_free(r.result);
  qvx_dataset_free(ds);
}

// Whether every operator of an expression JSON is one of `allowed` (node
// tags, and Add/Sub/Mul/Div for the binary ones); counts the Sin nodes.
bool uses_only(const nlohmann::json& e, const std::vector<std::string>& allowed, int& sines) {
  const std::string tag = e.begin().key();
  const nlohmann::json& body = e.begin().value();
  if (tag == "Const" || tag == "Feature") return true;
  const auto ok = [&](const std::string& t) {
    return std::find(allowed.begin(), allowed.end(), t) != allowed.end();
  };
  if (tag == "Bin")
    return ok(body[0]) && uses_only(body[1], allowed, sines) && uses_only(body[2], allowed, sines);
  if (tag == "Sin") ++sines;
  return ok(tag) && uses_only(tag == "Pow" ? body[0] : body, allowed, sines);
}

TEST(ExtRefined, TheOperatorsGivenAreTheOnesSearchedAndWeighed) {
  // y = 2 sin(x) + 1: exact with + * sin only.
  Columns cols(60);
  for (size_t i = 0; i < cols.y.size(); ++i) cols.y[i] = 2.0 * std::sin(cols.x[i] * 1.5) + 1.0;
  qvx_dataset* ds = cols.dataset();
  qvx_options o = options(QVX_SEARCH_REFINED);
  o.seed = 1;
  o.population = 300;  // enough here; valgrind runs this test too
  o.operators = " + , * , sin ";
  Outcome plain = discover(ds, o);
  ASSERT_EQ(plain.status, QVX_OK) << last_error();
  const auto json = nlohmann::json::parse(take(qvx_result_text(plain.result, QVX_JSON)));
  EXPECT_EQ(json["operators"], "+,*,sin");
  EXPECT_NE(take(qvx_result_text(plain.result, QVX_PRETTY)).find("\noperators : +,*,sin\n"),
            std::string::npos);
  for (const auto& entry : json["front"]) {
    int sines = 0;
    EXPECT_TRUE(uses_only(nlohmann::json::parse(entry["expr_json"].get<std::string>()),
                          {"Add", "Mul", "Sin"}, sines))
        << entry["formula"];
  }
  EXPECT_LE(qvx_result_number(plain.result, QVX_MSE_TRAIN),
            qvx_result_number(plain.result, QVX_MSE_FLOOR));
  int sines = 0;
  ASSERT_TRUE(uses_only(nlohmann::json::parse(json["expr_json"].get<std::string>()),
                        {"Add", "Mul", "Sin"}, sines));
  ASSERT_GE(sines, 1);

  // A heavier sin: the same law, each sin counted 5 instead of 1.
  o.operators = "add,mul,sin:5";
  Outcome heavy = discover(ds, o);
  ASSERT_EQ(heavy.status, QVX_OK) << last_error();
  EXPECT_EQ(take(qvx_result_text(heavy.result, QVX_FORMULA)),
            take(qvx_result_text(plain.result, QVX_FORMULA)));
  EXPECT_EQ(qvx_result_count(heavy.result, QVX_K),
            qvx_result_count(plain.result, QVX_K) + 4u * static_cast<uint64_t>(sines));
  EXPECT_EQ(nlohmann::json::parse(take(qvx_result_text(heavy.result, QVX_JSON)))["operators"],
            "+,*,sin:5");
  qvx_result_free(plain.result);
  qvx_result_free(heavy.result);

  // The permutation test searches with the same set.
  o.operators = "+,*,sin";
  o.generations = 2;
  double p = 0.0;
  std::vector<double> nulls(2);
  EXPECT_EQ(qvx_permutation_test(ds, &o, -1e9, 2, nullptr, nullptr, nulls.data(), &p), QVX_OK)
      << last_error();
  qvx_dataset_free(ds);
}

struct Calls {
  uint32_t stop_at = 0;  // 0: never
  std::vector<uint32_t> generations;
  uint32_t total = 0;
};

int32_t on_generation(void* user, uint32_t generation, uint32_t generations, double elapsed,
                      double best_bic) {
  auto* calls = static_cast<Calls*>(user);
  calls->generations.push_back(generation);
  calls->total = generations;
  EXPECT_GE(elapsed, 0.0);
  EXPECT_FALSE(std::isnan(best_bic));
  return calls->stop_at != 0 && generation >= calls->stop_at;
}

TEST(ExtProgress, StopsRefinedWithAResultAndClassicWithout) {
  const Columns cols(50);
  qvx_dataset* ds = cols.dataset();

  qvx_options o = options(QVX_SEARCH_REFINED);
  o.population = 60;
  Calls calls;
  calls.stop_at = 2;
  Outcome r = discover(ds, o, on_generation, &calls);
  ASSERT_EQ(r.status, QVX_OK);
  // A slow build also hears pulses within a step: the same count again.
  auto& seen = calls.generations;
  seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
  if (!seen.empty() && seen.front() == 0) seen.erase(seen.begin());
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(calls.total, 300u);
  EXPECT_EQ(qvx_result_count(r.result, QVX_STOP_REASON), 4u);
  EXPECT_EQ(qvx_result_count(r.result, QVX_GENERATIONS), 2u);
  EXPECT_EQ(take(qvx_result_text(r.result, QVX_STOP_NAME)), "stopped by caller");
  qvx_result_free(r.result);

  // Classic: observing changes nothing; stopping gives no result.
  o = options(QVX_SEARCH_CLASSIC);
  o.generations = 6;
  o.population = 30;
  Outcome plain = discover(ds, o);
  Calls watch;
  Outcome watched = discover(ds, o, on_generation, &watch);
  ASSERT_EQ(watched.status, QVX_OK);
  EXPECT_EQ(watch.generations, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(golden::mask_wall_json(take(qvx_result_text(plain.result, QVX_JSON))),
            golden::mask_wall_json(take(qvx_result_text(watched.result, QVX_JSON))));
  qvx_result_free(plain.result);
  qvx_result_free(watched.result);
  Calls stop;
  stop.stop_at = 3;
  qvx_result* untouched = reinterpret_cast<qvx_result*>(&stop);
  EXPECT_EQ(qvx_discover(ds, &o, on_generation, &stop, &untouched), QVX_STOPPED);
  EXPECT_EQ(untouched, reinterpret_cast<qvx_result*>(&stop));
  EXPECT_EQ(stop.generations.size(), 3u);
  EXPECT_NE(last_error().find("classic"), std::string::npos);
  qvx_dataset_free(ds);
}

TEST(ExtPredict, TheLibraryEvaluatorOnColumns) {
  const std::vector<double> a = {1.0, 4.0, -1.0, 0.0};
  const std::vector<double> b = {2.0, 0.0, 3.0, 5.0};
  const std::vector<double> old_b = {9.0, 9.0, 9.0, 9.0};
  const char* names[] = {"b", "a", "b"};  // the later "b" counts
  const double* columns[] = {old_b.data(), a.data(), b.data()};
  std::vector<double> out(4, -7.0);
  const char* f = R"({"Bin":["Div",{"Feature":"a"},{"Feature":"b"}]})";
  ASSERT_EQ(qvx_predict(f, 3, names, columns, 4, out.data()), QVX_OK) << last_error();
  EXPECT_EQ(out[0], 0.5);
  EXPECT_TRUE(std::isnan(out[1]));  // the divisor guard
  EXPECT_EQ(out[2], -1.0 / 3.0);
  EXPECT_EQ(out[3], 0.0);
  const char* logs = R"({"Log":{"Feature":"a"}})";
  ASSERT_EQ(qvx_predict(logs, 3, names, columns, 4, out.data()), QVX_OK);
  EXPECT_EQ(out[1], std::log(4.0));
  EXPECT_TRUE(std::isnan(out[2]));
  EXPECT_TRUE(std::isnan(out[3]));

  // A whole report is accepted; its formula predicts what the search scored.
  const Columns cols(40);
  qvx_dataset* ds = cols.dataset();
  qvx_options o = options(QVX_SEARCH_REFINED);
  o.population = 100;
  Outcome r = discover(ds, o);
  ASSERT_EQ(r.status, QVX_OK);
  const std::string report = take(qvx_result_text(r.result, QVX_JSON));
  const char* xz[] = {"x", "z"};
  const double* xzc[] = {cols.x.data(), cols.z.data()};
  std::vector<double> pred(40);
  ASSERT_EQ(qvx_predict(report.c_str(), 2, xz, xzc, 40, pred.data()), QVX_OK) << last_error();
  double sq = 0.0;
  for (size_t i = 0; i < 40; ++i) sq += (pred[i] - cols.y[i]) * (pred[i] - cols.y[i]);
  EXPECT_LT(sq / 40.0, 1e-9);
  qvx_result_free(r.result);
  qvx_dataset_free(ds);

  // Refusals write nothing.
  std::vector<double> keep(4, -7.0);
  const char* only_a[] = {"a"};
  const double* only_a_col[] = {a.data()};
  EXPECT_EQ(qvx_predict(f, 1, only_a, only_a_col, 4, keep.data()), QVX_ERR_DATA);
  EXPECT_NE(last_error().find("\"b\""), std::string::npos);
  EXPECT_EQ(qvx_predict("{\"Bin\":[\"Pow\",1]}", 1, only_a, only_a_col, 4, keep.data()),
            QVX_ERR_DATA);
  EXPECT_EQ(qvx_predict("[1,", 1, only_a, only_a_col, 4, keep.data()), QVX_ERR_DATA);
  EXPECT_EQ(qvx_predict("\xFF", 1, only_a, only_a_col, 4, keep.data()), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_predict(f, 1, only_a, only_a_col, 4, nullptr), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_predict(nullptr, 1, only_a, only_a_col, 4, keep.data()), QVX_ERR_ARGUMENT);
  EXPECT_EQ(keep, std::vector<double>(4, -7.0));
  EXPECT_EQ(qvx_predict(logs, 1, only_a, only_a_col, 0, nullptr), QVX_OK);
}

TEST(ExtPredict, TheRefinedFunctionsAsTheLibraryComputesThem) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> x = {0.5, -2.0, inf, -inf, kNaN, -0.0, 1e300, 3.0};
  const char* names[] = {"x"};
  const double* columns[] = {x.data()};
  const auto bits = [](double v) { return std::bit_cast<uint64_t>(v); };
  std::vector<double> out(x.size());
  const char* sin_cos = R"({"Bin":["Add",{"Sin":{"Feature":"x"}},{"Cos":{"Feature":"x"}}]})";
  ASSERT_EQ(qvx_predict(sin_cos, 1, names, columns, x.size(), out.data()), QVX_OK) << last_error();
  for (size_t i = 0; i < x.size(); ++i) {
    // Past the finite values, the guard, whatever sign the C library would give.
    const double want = std::isfinite(x[i]) ? std::sin(x[i]) + std::cos(x[i])
                                            : std::bit_cast<double>(0x7FF8000000000000u);
    EXPECT_EQ(bits(out[i]), bits(want)) << x[i];
  }
  const char* tanh_abs = R"({"Tanh":{"Abs":{"Feature":"x"}}})";
  ASSERT_EQ(qvx_predict(tanh_abs, 1, names, columns, x.size(), out.data()), QVX_OK);
  for (size_t i = 0; i < x.size(); ++i) {
    if (!std::isnan(x[i])) {
      EXPECT_EQ(bits(out[i]), bits(std::tanh(std::fabs(x[i])))) << x[i];
    }
  }
  EXPECT_EQ(out[3], 1.0);
  EXPECT_TRUE(std::isnan(out[4]));
  const char* abs = R"({"Abs":{"Feature":"x"}})";
  ASSERT_EQ(qvx_predict(abs, 1, names, columns, x.size(), out.data()), QVX_OK);
  EXPECT_EQ(bits(out[5]), bits(0.0));  // |-0| is +0
  EXPECT_EQ(out[1], 2.0);
  // A misspelt tag is a data error, as any unknown node.
  EXPECT_EQ(qvx_predict(R"({"Sine":{"Feature":"x"}})", 1, names, columns, x.size(), out.data()),
            QVX_ERR_DATA);
}

// The library's target shuffle, as its documentation spells it out: Lcg
// Fisher-Yates from n-1 down to 1 with index (state >> 33) % (i + 1).
std::vector<double> shuffled(std::vector<double> y, uint64_t seed) {
  uint64_t state = seed + 0x9E3779B97F4A7C15ULL;
  for (size_t i = y.size() - 1; i >= 1; --i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    std::swap(y[i], y[(state >> 33) % (i + 1)]);
  }
  return y;
}

uint64_t splitmix(uint64_t seed, uint64_t i) {
  uint64_t z = seed + i * 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

int32_t count_permutations(void* user, size_t done, size_t total) {
  auto* seen = static_cast<std::vector<size_t>*>(user);
  seen->push_back(done);
  EXPECT_EQ(total, 3u);
  return done >= 2 && seen->size() > 3;  // stops only on the second run
}

TEST(ExtPermutation, NullsAreDiscoveriesOnPermutedTargets) {
  Columns cols(30);
  for (size_t i = 0; i < cols.y.size(); ++i) cols.y[i] += static_cast<double>((i * 5) % 7);
  qvx_dataset* ds = cols.dataset();
  for (int32_t search : {QVX_SEARCH_CLASSIC, QVX_SEARCH_REFINED}) {
    qvx_options o = options(search);
    o.generations = 3;
    o.population = 30;
    o.seed = 11;
    Outcome real = discover(ds, o);
    ASSERT_EQ(real.status, QVX_OK);
    const double real_bic = qvx_result_number(real.result, QVX_BIC);
    std::vector<double> nulls(3);
    double p = -1.0;
    std::vector<size_t> seen;
    ASSERT_EQ(
        qvx_permutation_test(ds, &o, real_bic, 3, count_permutations, &seen, nulls.data(), &p),
        QVX_OK)
        << last_error();
    EXPECT_EQ(seen, (std::vector<size_t>{1, 2, 3}));
    size_t at_or_below = 0;
    for (size_t i = 0; i < 3; ++i) {
      // Null i is the same discovery on the targets permuted by seed i.
      const char* names[] = {"x", "z"};
      const double* columns[] = {cols.x.data(), cols.z.data()};
      const std::vector<double> y = shuffled(cols.y, splitmix(o.seed, i + 1));
      qvx_dataset* permuted = qvx_dataset_from_columns("y", 2, names, columns, y.data(), y.size());
      Outcome null_run = discover(permuted, o);
      EXPECT_EQ(qvx_result_number(null_run.result, QVX_BIC), nulls[i]) << search << " " << i;
      at_or_below += nulls[i] <= real_bic;
      qvx_result_free(null_run.result);
      qvx_dataset_free(permuted);
      // The library hands out the same permuted rows, for a host that spreads the nulls.
      qvx_dataset* given = qvx_permuted_dataset(ds, &o, i + 1);
      Outcome given_run = discover(given, o);
      EXPECT_EQ(qvx_result_number(given_run.result, QVX_BIC), nulls[i]) << search << " " << i;
      qvx_result_free(given_run.result);
      qvx_dataset_free(given);
    }
    EXPECT_EQ(qvx_permuted_dataset(ds, &o, 0), nullptr);
    EXPECT_EQ(last_error(), "permutation counts from 1");
    EXPECT_EQ(p, static_cast<double>(1 + at_or_below) / 4.0);
    // A NaN real BIC loses to every null; no permutations give 1.
    ASSERT_EQ(qvx_permutation_test(ds, &o, kNaN, 1, nullptr, nullptr, nullptr, &p), QVX_OK);
    EXPECT_EQ(p, 1.0);
    ASSERT_EQ(qvx_permutation_test(ds, &o, real_bic, 0, nullptr, nullptr, nullptr, &p), QVX_OK);
    EXPECT_EQ(p, 1.0);
    // A stop request: no p-value.
    p = -1.0;
    EXPECT_EQ(qvx_permutation_test(ds, &o, real_bic, 3, count_permutations, &seen, nullptr, &p),
              QVX_STOPPED);
    EXPECT_EQ(p, -1.0);
    EXPECT_EQ(qvx_permutation_test(ds, &o, real_bic, 3, nullptr, nullptr, nullptr, nullptr),
              QVX_ERR_ARGUMENT);
    qvx_result_free(real.result);
  }
  qvx_dataset_free(ds);
}

TEST(ExtErrors, TheLastErrorIsPerThread) {
  EXPECT_EQ(qvx_dataset_new(nullptr), nullptr);
  const std::string here = last_error();
  EXPECT_EQ(here, "target_name is NULL");
  std::string there = "unset";
  std::thread([&] {
    there = last_error();
    qvx_result_verdict(nullptr);
  }).join();
  EXPECT_EQ(there, "");
  EXPECT_EQ(last_error(), here);
}

}  // namespace

extern "C" int qvx_c_host_rows(void);

TEST(ExtHeader, UsableFromC99) { EXPECT_EQ(qvx_c_host_rows(), 6); }
