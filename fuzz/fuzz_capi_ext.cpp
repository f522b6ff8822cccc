// Fuzzes the extended C interface: the input is decoded into calls on a few
// dataset and result slots, with options (their operators text included),
// names, values and formula texts drawn from the input, and every answer is
// checked against what the header promises: statuses in range, a reason
// exactly when a call failed, outputs untouched on failure, renderings that
// parse as JSON. The input is read through libFuzzer's FuzzedDataProvider: a
// sequence of ops, each a kind and its fields; a spent input reads zeros. Work
// per input stays small (see kWorkBudget).
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "quorvex_ext.h"

namespace {

constexpr size_t kSlots = 3;
constexpr size_t kMaxFeatures = 4;
constexpr size_t kMaxRows = 20;
// Summed (generations + 1) x population x permutations per input.
constexpr uint64_t kWorkBudget = 3000;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz_capi_ext: %s\n  %.*s\n", what,
               static_cast<int>(std::min<size_t>(detail.size(), 4000)), detail.data());
  std::abort();
}

void require(bool ok, const char* what) {
  if (!ok) fail(what, qvx_last_error());
}

// A status call: the reason is empty exactly when it succeeded.
void check_status(int32_t status, const char* what) {
  if (status < QVX_OK || status > QVX_STOPPED) fail("status out of range", what);
  const bool quiet = qvx_last_error()[0] == '\0';
  if ((status == QVX_OK) != quiet) fail("last error does not match the status", what);
}

double value(FuzzedDataProvider& in) {
  static constexpr double kSpecial[] = {std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(),
                                        0.0,
                                        -0.0,
                                        4.9406564584124654e-324,
                                        1e300,
                                        1e-300};
  const uint8_t tag = in.ConsumeIntegral<uint8_t>();
  if (tag % 4 == 0) return in.PickValueInArray(kSpecial);
  if (tag % 4 == 1) return std::bit_cast<double>(in.ConsumeIntegral<uint64_t>());
  return in.ConsumeIntegral<int8_t>() * 0.25;
}

// A name: mostly short ASCII, sometimes raw bytes (invalid UTF-8 included).
std::string name(FuzzedDataProvider& in) {
  const uint8_t tag = in.ConsumeIntegral<uint8_t>();
  if (tag % 4 != 0) return std::string(1, static_cast<char>('a' + tag % 3));
  return in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 7));
}

// Options with every member drawn, kept small enough to run in milliseconds.
// `text` holds the operators text the options point to.
qvx_options options(FuzzedDataProvider& in, uint64_t& work, std::string& text) {
  qvx_options o;
  const int32_t search = in.ConsumeIntegralInRange<int32_t>(0, 1);
  check_status(qvx_options_init(&o, sizeof o, search), "options_init");
  const uint8_t which = in.ConsumeIntegral<uint8_t>();
  o.generations = in.ConsumeIntegralInRange<uint32_t>(0, 5);
  o.population = in.ConsumeIntegralInRange<uint32_t>(0, 29);
  o.max_depth = (which & 1) ? in.ConsumeIntegralInRange<uint32_t>(0, 69) : 4;
  o.seed = in.ConsumeIntegral<uint64_t>();
  if (which & 2) o.test_fraction = value(in);
  if (which & 4) o.n_shuffles = in.ConsumeIntegralInRange<uint32_t>(0, 39);
  if (which & 8) o.patience = in.ConsumeIntegralInRange<uint32_t>(0, 3);
  if (which & 16) o.time_limit = in.ConsumeBool() ? 0.01 : value(in);
  if (which & 32) o.search = in.ConsumeIntegral<int8_t>();
  if (which & 64) o.max_threads = in.ConsumeIntegralInRange<uint32_t>(0, 2);
  // The record must hold `size` readable bytes: only smaller sizes are drawn.
  if (which & 128) o.size = in.ConsumeIntegralInRange<size_t>(0, sizeof o);
  // The operators: NULL, a list (some bad), or short drawn bytes.
  static constexpr const char* kLists[] = {"+,-,*,/",
                                           " + , * , sin:2 , cos:2 ",
                                           "tanh,abs,exp:100,log,sqrt,pow",
                                           "add,sub,mul,div",
                                           "sin:0",
                                           "+,+",
                                           "sqrt:1e1",
                                           ",",
                                           "cos:",
                                           "abs:4294967297"};
  const uint8_t tag = in.ConsumeIntegral<uint8_t>();
  if (tag % 4 == 1) {
    text = in.PickValueInArray(kLists);
    o.operators = text.c_str();
  } else if (tag % 4 == 2) {
    text = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 23));
    o.operators = text.c_str();
  }
  // The refined search runs at least one generation, and patience 0 never
  // stops early: bound both.
  work +=
      (static_cast<uint64_t>(o.generations) + 1) * (o.population + 1) * (o.max_depth > 8 ? 8 : 1);
  return o;
}

void read_result(const qvx_result* r) {
  if (r == nullptr) {
    require(qvx_result_verdict(r) == -1 && qvx_result_text(r, QVX_JSON) == nullptr, "NULL result");
    return;
  }
  const int32_t verdict = qvx_result_verdict(r);
  require(verdict >= 0 && verdict <= 2, "verdict out of range");
  for (int32_t f = -1; f <= QVX_DOMAIN_SHARE + 1; ++f) {
    (void)qvx_result_number(r, f);
    require((qvx_last_error()[0] == '\0') == (f >= 0 && f <= QVX_DOMAIN_SHARE), "number field");
  }
  for (int32_t f = -1; f <= QVX_N_CONSTANTS + 1; ++f) (void)qvx_result_count(r, f);
  const uint64_t constants = qvx_result_count(r, QVX_N_CONSTANTS);
  for (size_t i = 0; i < constants; ++i) (void)qvx_constant_number(r, i, QVX_CONSTANT_STD_ERROR);
  require(std::isnan(qvx_constant_number(r, constants, QVX_CONSTANT_VALUE)) &&
              qvx_last_error()[0] != '\0',
          "constant index past the end");
  for (int32_t f = -1; f <= QVX_LATEX + 1; ++f) {
    char* s = qvx_result_text(r, f);
    require((s != nullptr) == (f >= 0 && f <= QVX_LATEX), "text field");
    if (f == QVX_JSON || f == QVX_EXPR_JSON) {
      if (!nlohmann::json::accept(s)) fail("a rendering is not JSON", s);
    }
    if (f == QVX_JSON && qvx_result_count(r, QVX_SEARCH) == QVX_SEARCH_REFINED) {
      const auto doc = nlohmann::json::parse(s);
      if (!doc.contains("operators") || !doc["operators"].is_string() ||
          doc["operators"].get<std::string>().empty())
        fail("a refined report without its operators", s);
    }
    qvx_string_free(s);
  }
  const uint64_t front = qvx_result_count(r, QVX_FRONT_SIZE);
  for (size_t i = 0; i <= front; ++i) {
    const double c = qvx_front_number(r, i, QVX_FRONT_COMPLEXITY);
    require(std::isnan(c) == (i == front), "front entry");
    char* s = qvx_front_text(r, i, QVX_EXPR_JSON);
    require((s != nullptr) == (i < front), "front text");
    qvx_string_free(s);
  }
}

struct State {
  std::array<qvx_dataset*, kSlots> data{};
  std::array<qvx_result*, kSlots> results{};
  uint64_t work = 0;
  ~State() {
    for (auto* d : data) qvx_dataset_free(d);
    for (auto* r : results) qvx_result_free(r);
  }
};

// Columns for from_columns and predict.
struct Table {
  std::vector<std::string> names;
  std::vector<std::vector<double>> columns;
  std::vector<double> target;
  std::vector<const char*> name_ptrs;
  std::vector<const double*> column_ptrs;
  Table(FuzzedDataProvider& in) {
    const size_t f = in.ConsumeIntegralInRange<size_t>(0, kMaxFeatures);
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, kMaxRows);
    for (size_t j = 0; j < f; ++j) names.push_back(name(in));
    columns.assign(f, std::vector<double>(n));
    for (auto& c : columns)
      for (double& v : c) v = value(in);
    for (size_t i = 0; i < n; ++i) target.push_back(value(in));
    for (auto& s : names) name_ptrs.push_back(s.c_str());
    for (auto& c : columns) column_ptrs.push_back(c.data());
  }
  size_t rows() const { return target.size(); }
};

void run(FuzzedDataProvider& in) {
  State st;
  int ops = 0;
  while (in.remaining_bytes() != 0 && ++ops < 64) {
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    const size_t slot = in.ConsumeIntegralInRange<size_t>(0, kSlots - 1);
    switch (kind % 8) {
      case 0: {  // a new dataset, row by row
        qvx_dataset_free(st.data[slot]);
        st.data[slot] = qvx_dataset_new(name(in).c_str());
        require((st.data[slot] == nullptr) == (qvx_last_error()[0] != '\0'), "dataset_new");
        break;
      }
      case 1: {  // from columns
        Table t(in);
        qvx_dataset* ds = qvx_dataset_from_columns("y", t.names.size(), t.name_ptrs.data(),
                                                   t.column_ptrs.data(), t.target.data(), t.rows());
        if (ds != nullptr) {
          require(qvx_dataset_n_rows(ds) == t.rows(), "from_columns rows");
          require(qvx_dataset_n_features(ds) == t.names.size(), "from_columns features");
        }
        qvx_dataset_free(st.data[slot]);
        st.data[slot] = ds;
        break;
      }
      case 2: {
        const std::string n = name(in);
        check_status(qvx_dataset_add_feature(st.data[slot], n.c_str()), "add_feature");
        break;
      }
      case 3: {
        if (st.data[slot] != nullptr && qvx_dataset_n_rows(st.data[slot]) >= kMaxRows) break;
        std::array<double, 64> row{};
        for (double& v : row) v = value(in);
        if (st.data[slot] != nullptr && qvx_dataset_n_features(st.data[slot]) > row.size()) break;
        check_status(qvx_dataset_push_row(st.data[slot], row.data(), value(in)), "push_row");
        break;
      }
      case 4: {  // discover, sometimes stopped by the callback
        std::string text;
        const qvx_options o = options(in, st.work, text);
        if (st.work > kWorkBudget) return;
        uint32_t stop_at = in.ConsumeIntegralInRange<uint32_t>(0, 3);
        qvx_result* r = nullptr;
        const auto cb = [](void* user, uint32_t generation, uint32_t, double, double) -> int32_t {
          const uint32_t at = *static_cast<uint32_t*>(user);
          return at != 0 && generation >= at;
        };
        const int32_t s = qvx_discover(st.data[slot], &o, cb, &stop_at, &r);
        check_status(s, "discover");
        require((s == QVX_OK) == (r != nullptr), "discover output");
        if (r != nullptr) {
          read_result(r);
          qvx_result_free(st.results[slot]);
          st.results[slot] = r;
        }
        break;
      }
      case 5: {  // predict a result's formula, or a drawn text, on drawn columns
        Table t(in);
        std::string formula;
        if (st.results[slot] != nullptr && !in.ConsumeBool()) {
          char* s = qvx_result_text(st.results[slot], in.ConsumeBool() ? QVX_JSON : QVX_EXPR_JSON);
          formula = s;
          qvx_string_free(s);
        } else {
          formula = in.ConsumeBytesAsString(in.ConsumeIntegral<uint8_t>());
        }
        std::vector<double> out(t.rows() + 1, 7.0);
        const int32_t s = qvx_predict(formula.c_str(), t.names.size(), t.name_ptrs.data(),
                                      t.column_ptrs.data(), t.rows(), out.data());
        check_status(s, "predict");
        if (s != QVX_OK)
          for (double v : out) require(v == 7.0, "predict wrote on failure");
        require(out.back() == 7.0, "predict wrote past the rows");
        break;
      }
      case 6: {  // a permutation test
        std::string text;
        const qvx_options o = options(in, st.work, text);
        const size_t n = in.ConsumeIntegralInRange<size_t>(0, 2);
        st.work *= n + 1;
        if (st.work > kWorkBudget) return;
        std::vector<double> nulls(n + 1, 7.0);
        double p = 7.0;
        const int32_t s = qvx_permutation_test(st.data[slot], &o, value(in), n, nullptr, nullptr,
                                               nulls.data(), &p);
        check_status(s, "permutation_test");
        if (s == QVX_OK)
          require(p > 0.0 && p <= 1.0, "p-value out of (0, 1]");
        else
          require(p == 7.0, "permutation test wrote on failure");
        require(nulls.back() == 7.0, "permutation test wrote past its nulls");
        break;
      }
      case 7:
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
          case 3: {  // units, mostly readable, for the discoveries that follow
            static constexpr const char* kUnits[] = {"1",   "m", "s",      "kg*m/s^2", "m^(1/2)",
                                                     "1/s", "J", "m s^-2", "K",        "Ohm"};
            const size_t n =
                qvx_dataset_n_features(st.data[slot]) + in.ConsumeIntegralInRange<size_t>(0, 1);
            std::vector<std::string> texts;
            for (size_t i = 0; i < n; ++i)
              texts.push_back(in.ConsumeBool() ? std::string(in.PickValueInArray(kUnits))
                                               : in.ConsumeRandomLengthString(12));
            std::vector<const char*> pointers;
            for (const std::string& t : texts) pointers.push_back(t.c_str());
            const std::string target = in.PickValueInArray(kUnits);
            const bool remove = in.ConsumeIntegralInRange<int>(0, 7) == 0;
            const int32_t s = qvx_dataset_set_units(
                st.data[slot], remove ? nullptr : pointers.data(), pointers.size(),
                remove ? nullptr : target.c_str(), in.ConsumeIntegralInRange<uint32_t>(0, 4));
            check_status(s, "dataset_set_units");
            break;
          }
          case 0:
            qvx_dataset_free(st.data[slot]);
            st.data[slot] = nullptr;
            break;
          case 1:
            read_result(st.results[slot]);
            break;
          default: {  // merge results' reports, edited or drawn texts as starts
            std::string text;
            const qvx_options o = options(in, st.work, text);
            if (st.work > kWorkBudget) return;
            std::vector<std::string> reports;
            for (size_t i = in.ConsumeIntegralInRange<size_t>(0, kSlots); i > 0; --i) {
              const qvx_result* from = st.results[in.ConsumeIntegralInRange<size_t>(0, kSlots - 1)];
              char* json =
                  from != nullptr && in.ConsumeBool() ? qvx_result_text(from, QVX_JSON) : nullptr;
              reports.push_back(json != nullptr ? json : in.ConsumeRandomLengthString(200));
              qvx_string_free(json);
              if (!reports.back().empty() && in.ConsumeBool())
                reports.back()[in.ConsumeIntegralInRange<size_t>(0, reports.back().size() - 1)] =
                    in.ConsumeIntegral<char>();
            }
            std::vector<const char*> texts;
            for (const std::string& r : reports) texts.push_back(r.c_str());
            qvx_result* r = nullptr;
            const int32_t s = qvx_merge_starts(st.data[slot], &o, texts.data(), texts.size(), &r);
            check_status(s, "merge_starts");
            require((s == QVX_OK) == (r != nullptr), "merge_starts output");
            read_result(r);
            qvx_result_free(r);
            break;
          }
        }
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  run(in);
  return 0;
}
