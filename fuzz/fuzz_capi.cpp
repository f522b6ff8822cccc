// Fuzzes the C interface: the input is decoded into a sequence of calls on a
// few dataset, report and string slots, and every result is checked against a
// model of what the call must do. The input is read through libFuzzer's
// FuzzedDataProvider (numbers from the input's end, the bytes of names from its
// front; a spent input reads zeros), as a sequence of
//
//   op     := kind fields...             kind in [0, kOpCount) selects the call
//   name   := flags len bytes[len]       flags % 16 == 15 passes NULL, len <= kMaxName
//   value  := tag ...                    see read_value
//
// fuzz/make_corpus.py writes seeds in this layout. Row and feature counts stay
// small so that one input runs in milliseconds.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quorvex.h"
#include "text/numbers.h"

namespace {

constexpr size_t kDatasetSlots = 3;
constexpr size_t kReportSlots = 4;
constexpr size_t kStringSlots = 12;
constexpr size_t kMaxName = 24;
constexpr size_t kMaxFeatures = 6;
constexpr size_t kMaxRows = 24;
// Discoveries per input and their summed work, (generations + 1) x population,
// weighted by how large the depth budget lets trees grow (a budget of 64
// averages about 60 nodes, the default of 4 a handful): every input stays
// well under a second, even under the sanitizers.
constexpr int kMaxDiscoveries = 3;
constexpr uint64_t kWorkBudget = 2500;

uint64_t work_of(uint32_t generations, size_t population, uint32_t max_depth) {
  const uint64_t steps = (generations == 0 ? 40 : generations) + 1;
  const uint64_t depth = max_depth == 0 ? 4 : max_depth;
  return steps * population * (depth >= 16 ? 40 : depth >= 8 ? 4 : 1);
}

// FUZZ_CAPI_TRACE=1 prints each discovery, for reading a reproducer.
bool trace() {
  static const bool on = std::getenv("FUZZ_CAPI_TRACE") != nullptr;
  return on;
}

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz_capi: %s\n", what);
  if (!detail.empty())
    std::fprintf(stderr, "  %.*s\n", static_cast<int>(std::min<size_t>(detail.size(), 4000)),
                 detail.data());
  std::abort();
}

void require(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) fail(what, detail);
}

// Strict UTF-8 by decoding each code point, written independently of the
// library's validator so that the two can disagree.
bool strict_utf8(std::string_view s) {
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07u;
    } else {
      return false;
    }
    if (s.size() - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Row values and targets: special values, raw bit patterns or small numbers.
double read_value(FuzzedDataProvider& in) {
  static constexpr double kSpecial[] = {kNaN,
                                        kInf,
                                        -kInf,
                                        0.0,
                                        -0.0,
                                        4.9406564584124654e-324,
                                        -4.9406564584124654e-324,
                                        2.2250738585072014e-308,
                                        std::numeric_limits<double>::max(),
                                        -std::numeric_limits<double>::max(),
                                        1e300,
                                        -1e300,
                                        1e-300,
                                        1e154,
                                        1e-160,
                                        1.0};
  const uint8_t tag = in.ConsumeIntegral<uint8_t>();
  switch (tag % 4) {
    case 0:
      return in.PickValueInArray(kSpecial);
    case 1:
      return std::bit_cast<double>(in.ConsumeIntegral<uint64_t>());
    default:
      return in.ConsumeIntegral<int8_t>() * 0.25;
  }
}

double read_test_fraction(FuzzedDataProvider& in) {
  static constexpr double kFractions[] = {0.0,
                                          1.0,
                                          -0.5,
                                          kNaN,
                                          kInf,
                                          -kInf,
                                          1e-300,
                                          0.9999999,
                                          0.5,
                                          0.2,
                                          -0.0,
                                          4.9406564584124654e-324,
                                          1.0000000000000002,
                                          0.99999999999999989,
                                          0.25,
                                          2.0};
  const uint8_t tag = in.ConsumeIntegral<uint8_t>();
  if (tag % 2 == 0) return in.PickValueInArray(kFractions);
  return std::bit_cast<double>(in.ConsumeIntegral<uint64_t>());
}

uint32_t read_max_depth(FuzzedDataProvider& in) {
  static constexpr uint32_t kDepths[] = {0, 1, 2, 3, 4, 5, 10, 63, 64, 65, 1000, UINT32_MAX};
  const uint8_t tag = in.ConsumeIntegral<uint8_t>();
  if (tag % 2 == 0) return in.PickValueInArray(kDepths);
  return in.ConsumeIntegral<uint32_t>();
}

struct Name {
  bool null = false;
  std::string raw;  // the input bytes; C sees them up to the first NUL
  std::string c_view() const { return std::string(raw.c_str()); }
  const char* ptr() const { return null ? nullptr : raw.c_str(); }
};

Name read_name(FuzzedDataProvider& in) {
  Name n;
  n.null = in.ConsumeIntegral<uint8_t>() % 16 == 15;
  n.raw = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, kMaxName));
  return n;
}

struct DatasetModel {
  CDataset* handle = nullptr;
  std::vector<std::string> features;
  size_t rows = 0;
  uint64_t version = 0;  // new after every change, for repeated discoveries
};

struct Args {
  uint32_t generations;
  size_t population;
  uint32_t max_depth;
  uint64_t seed;
  double test_fraction;
};

// What a report must show, fixed when it was made.
struct ReportModel {
  CReport* handle = nullptr;
  std::string json, pretty, formula;
  std::array<uint64_t, 6> numbers{};  // bit patterns of the six accessors
  int32_t verdict = 0;
  size_t dataset_slot = 0;
  uint64_t dataset_version = 0;
  Args args{};
};

struct StringModel {
  char* ptr = nullptr;
  std::string copy;
};

std::string masked_json(std::string s) {
  const size_t at = s.rfind("\"wall_clock_ms\": ");
  require(at != std::string::npos, "json without wall_clock_ms", s);
  const size_t digits = at + std::strlen("\"wall_clock_ms\": ");
  size_t end = digits;
  while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
  s.replace(digits, end - digits, "0");
  return s;
}

std::string masked_pretty(std::string s) {
  const size_t at = s.rfind("  wall = ");
  require(at != std::string::npos, "pretty without wall", s);
  const size_t digits = at + std::strlen("  wall = ");
  size_t end = digits;
  while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
  s.replace(digits, end - digits, "0");
  return s;
}

std::string take(char* s, const char* what) {
  require(s != nullptr, what);
  std::string out(s);
  quorvex_string_free(s);
  return out;
}

// Rebuilds the formula text from the expression JSON, and checks its shape.
struct ExprFacts {
  uint32_t k = 0;
  uint32_t depth = 0;
  std::string formula;
  bool exact = true;  // false once a constant was non-finite (JSON null)
};

ExprFacts expr_facts(const nlohmann::json& e, const std::set<std::string>& features) {
  require(e.is_object() && e.size() == 1, "expr node is not a one-member object", e.dump());
  const std::string kind = e.begin().key();
  const auto& body = e.begin().value();
  ExprFacts f;
  if (kind == "Const") {
    require(body.is_number() || body.is_null(), "Const without a number", e.dump());
    f.k = 1;
    f.depth = 1;
    f.exact = !body.is_null();
    if (f.exact) f.formula = quorvex::format_sci5(body.get<double>());
    return f;
  }
  if (kind == "Feature") {
    require(body.is_string() && features.count(body.get<std::string>()) == 1,
            "Feature that is not in the dataset", e.dump());
    f.depth = 1;
    f.formula = body.get<std::string>();
    return f;
  }
  if (kind == "Bin") {
    require(body.is_array() && body.size() == 3, "Bin without three items", e.dump());
    const std::string op = body[0].get<std::string>();
    const char* sym = op == "Add" ? " + " : op == "Sub" ? " - " : op == "Mul" ? " * " : nullptr;
    if (op == "Div") sym = " / ";
    require(sym != nullptr, "unknown operator", op);
    const ExprFacts l = expr_facts(body[1], features);
    const ExprFacts r = expr_facts(body[2], features);
    f.k = 1 + l.k + r.k;
    f.depth = 1 + std::max(l.depth, r.depth);
    f.exact = l.exact && r.exact;
    f.formula = "(" + l.formula + sym + r.formula + ")";
    return f;
  }
  if (kind == "Pow") {
    require(body.is_array() && body.size() == 2 && body[1].is_number_integer(), "bad Pow",
            e.dump());
    const int exponent = body[1].get<int>();
    require(exponent != 0 && exponent >= -3 && exponent <= 3, "Pow exponent out of range",
            e.dump());
    const ExprFacts c = expr_facts(body[0], features);
    f.k = 1 + c.k;
    f.depth = 1 + c.depth;
    f.exact = c.exact;
    f.formula = "(" + c.formula + "^" + std::to_string(exponent) + ")";
    return f;
  }
  require(kind == "Exp" || kind == "Log" || kind == "Sqrt", "unknown node", kind);
  const ExprFacts c = expr_facts(body, features);
  f.k = 1 + c.k;
  f.depth = 1 + c.depth;
  f.exact = c.exact;
  std::string fn = kind == "Exp" ? "exp(" : kind == "Log" ? "log(" : "sqrt(";
  f.formula = fn + c.formula + ")";
  return f;
}

void check_number(const nlohmann::ordered_json& v, double accessor, const char* what) {
  if (!std::isfinite(accessor)) {
    require(v.is_null(), what, v.dump());
  } else {
    require(v.is_number_float(), what, v.dump());
    require(std::bit_cast<uint64_t>(v.get<double>()) == std::bit_cast<uint64_t>(accessor), what,
            v.dump());
  }
}

// A baseline in the text report: its JSON value, or one of the words for a
// value the JSON wrote as null.
bool fixed_matches(std::string_view text, const nlohmann::ordered_json& v, int decimals) {
  if (v.is_number()) return text == quorvex::format_fixed(v.get<double>(), decimals);
  return text == "NaN" || text == "inf" || text == "-inf";
}

// Every check on one report, against the dataset it was made from.
ReportModel inspect(CReport* r, const DatasetModel& ds, const Args& args) {
  ReportModel m;
  m.handle = r;
  m.json = take(quorvex_report_json(r), "json is NULL");
  m.pretty = take(quorvex_report_pretty(r), "pretty is NULL");
  m.formula = take(quorvex_report_formula(r), "formula is NULL");
  require(strict_utf8(m.json), "json is not UTF-8");
  require(strict_utf8(m.pretty), "pretty is not UTF-8");
  require(strict_utf8(m.formula), "formula is not UTF-8");
  const double numbers[6] = {quorvex_report_mse_train(r),
                             quorvex_report_mse_test(r),
                             quorvex_report_bic(r),
                             quorvex_report_delta_bic_const(r),
                             quorvex_report_delta_bic_linear(r),
                             quorvex_report_z_vs_shuffled(r)};
  for (size_t i = 0; i < 6; ++i) m.numbers[i] = std::bit_cast<uint64_t>(numbers[i]);
  m.verdict = quorvex_report_verdict(r);

  nlohmann::ordered_json doc;
  try {
    doc = nlohmann::ordered_json::parse(m.json);
  } catch (const std::exception&) {
    fail("json does not parse", m.json);
  }
  static const char* const kKeys[] = {"formula",       "expr_json",       "k",
                                      "mse_train",     "mse_test",        "bic",
                                      "baselines",     "delta_bic_const", "delta_bic_linear",
                                      "z_vs_shuffled", "verdict",         "verdict_reason",
                                      "n_train",       "n_test",          "wall_clock_ms"};
  require(doc.is_object() && doc.size() == std::size(kKeys), "json member count", m.json);
  size_t i = 0;
  for (const auto& [key, value] : doc.items()) require(key == kKeys[i++], "json member order", key);
  require(m.json.front() == '{' && m.json.back() == '}', "json framing", m.json);

  require(doc["formula"] == m.formula, "json formula differs from the accessor");
  const auto& b = doc["baselines"];
  static const char* const kBaselineKeys[] = {"bic_const", "bic_linear", "bic_shuffled_mean",
                                              "bic_shuffled_std"};
  require(b.is_object() && b.size() == 4, "baselines members", b.dump());
  i = 0;
  for (const auto& [key, value] : b.items()) {
    require(key == kBaselineKeys[i++], "baselines member order", key);
    require(value.is_null() || value.is_number_float(), "baseline is not a number", value.dump());
  }
  check_number(doc["mse_train"], numbers[0], "mse_train differs");
  check_number(doc["mse_test"], numbers[1], "mse_test differs");
  check_number(doc["bic"], numbers[2], "bic differs");
  check_number(doc["delta_bic_const"], numbers[3], "delta_bic_const differs");
  check_number(doc["delta_bic_linear"], numbers[4], "delta_bic_linear differs");
  check_number(doc["z_vs_shuffled"], numbers[5], "z_vs_shuffled differs");
  const double bic = numbers[2];
  if (std::isfinite(bic) && b["bic_const"].is_number())
    require(numbers[3] == bic - b["bic_const"].get<double>(), "delta_bic_const is not bic - const");
  if (std::isfinite(bic) && b["bic_linear"].is_number())
    require(numbers[4] == bic - b["bic_linear"].get<double>(),
            "delta_bic_linear is not bic - linear");
  if (std::isfinite(bic) && b["bic_shuffled_std"].is_number() &&
      b["bic_shuffled_mean"].is_number()) {
    const double sd = b["bic_shuffled_std"].get<double>();
    const double z = sd > 1e-9 ? (bic - b["bic_shuffled_mean"].get<double>()) / sd : 0.0;
    require(std::bit_cast<uint64_t>(z) == m.numbers[5], "z_vs_shuffled is not the rule's");
  }
  for (double mse : {numbers[0], numbers[1]})
    require(std::isnan(mse) || mse >= 0.0, "negative mean squared error");

  // The verdict rule, from the accessors.
  int32_t verdict = 0;
  if (numbers[3] < -10.0) verdict = (numbers[4] < -10.0 && numbers[5] < -2.0) ? 2 : 1;
  require(m.verdict == verdict, "verdict code is not the rule's");
  static const char* const kVerdicts[] = {"Noise", "Weak", "Strong"};
  require(doc["verdict"] == kVerdicts[verdict], "json verdict differs from the code");
  const std::string reason = doc["verdict_reason"].get<std::string>();
  require(reason == "ΔBIC vs const = " + quorvex::format_fixed(numbers[3], 1) +
                        ", vs linear = " + quorvex::format_fixed(numbers[4], 1) +
                        ", z vs shuffled = " + quorvex::format_fixed(numbers[5], 2),
          "verdict_reason", reason);

  // Row counts: the split of the rows present at the call.
  const double tf = args.test_fraction > 0.0 && args.test_fraction < 1.0 ? args.test_fraction : 0.2;
  const double t = (1.0 - tf) * static_cast<double>(ds.rows);
  const size_t n_train = t > 0.0 ? std::min(static_cast<size_t>(t), ds.rows) : 0;
  require(doc["n_train"].is_number_unsigned() && doc["n_train"].get<size_t>() == n_train, "n_train",
          m.json);
  require(doc["n_test"].is_number_unsigned() && doc["n_test"].get<size_t>() == ds.rows - n_train,
          "n_test", m.json);
  require(doc["wall_clock_ms"].is_number_unsigned(), "wall_clock_ms", m.json);

  // The tree: its names, size, depth bound and formula text.
  const std::string expr_text = doc["expr_json"].get<std::string>();
  nlohmann::json expr;
  try {
    expr = nlohmann::json::parse(expr_text);
  } catch (const std::exception&) {
    fail("expr_json does not parse", expr_text);
  }
  const std::set<std::string> names(ds.features.begin(), ds.features.end());
  const ExprFacts facts = expr_facts(expr, names);
  require(doc["k"].is_number_unsigned() && doc["k"].get<uint32_t>() == facts.k, "k", m.json);
  require(!facts.exact || facts.formula == m.formula, "formula does not match expr_json",
          m.formula);
  // Trees are grown and mutated within min(max_depth, 64); crossover children
  // stop at depth 10.
  const uint32_t depth_arg = args.max_depth == 0 ? 4 : args.max_depth;
  const uint32_t budget = std::min<uint32_t>(depth_arg, 64);
  require(facts.depth <= std::max<uint32_t>({budget, 10, 1}), "tree deeper than its bound",
          expr_text);

  // The text report: thirteen lines, the formula line holding the formula as
  // it is (a name with a line feed in it adds lines there).
  const std::string& p = m.pretty;
  std::string head = "─── quorvex discovery report ";
  for (int j = 0; j < 28; ++j) head += "─";
  head += "\nformula : " + m.formula + "\n";
  require(p.compare(0, head.size(), head) == 0, "pretty header or formula line", p);
  std::vector<std::string> lines;
  size_t start = head.size();
  while (start < p.size()) {
    const size_t nl = p.find('\n', start);
    require(nl != std::string::npos, "pretty does not end in a line feed", p);
    lines.push_back(p.substr(start, nl - start));
    start = nl + 1;
  }
  require(lines.size() == 11, "pretty is not thirteen lines", p);
  require(lines[0] == "k       : " + std::to_string(facts.k), "pretty k line", lines[0]);
  require(lines[1] == "MSE     : train=" + quorvex::format_fixed(numbers[0], 6) +
                          " test=" + quorvex::format_fixed(numbers[1], 6),
          "pretty MSE line", lines[1]);
  require(lines[2] == "BIC     : " + quorvex::format_fixed(bic, 2), "pretty BIC line", lines[2]);
  require(lines[3] == "baselines:", "pretty baselines line", lines[3]);
  const auto after = [](const std::string& line, std::string_view prefix) {
    require(line.compare(0, prefix.size(), prefix) == 0, "pretty line prefix", line);
    return std::string_view(line).substr(prefix.size());
  };
  require(fixed_matches(after(lines[4], "  F=const           BIC = "), b["bic_const"], 2),
          "pretty const line", lines[4]);
  require(fixed_matches(after(lines[5], "  F=linear          BIC = "), b["bic_linear"], 2),
          "pretty linear line", lines[5]);
  const std::string_view nulls = after(lines[6], "  F=shuffled-target BIC = ");
  const size_t pm = nulls.find(" ± ");
  require(pm != std::string_view::npos &&
              fixed_matches(nulls.substr(0, pm), b["bic_shuffled_mean"], 2) &&
              fixed_matches(nulls.substr(pm + std::strlen(" ± ")), b["bic_shuffled_std"], 2),
          "pretty null line", lines[6]);
  require(lines[7] == "ΔBIC    : vs const = " + quorvex::format_signed_fixed(numbers[3], 2) +
                          "   vs linear = " + quorvex::format_signed_fixed(numbers[4], 2) +
                          "   z vs shuffled = " + quorvex::format_signed_fixed(numbers[5], 2),
          "pretty delta line", lines[7]);
  require(lines[8] == std::string("verdict : ") + kVerdicts[verdict], "pretty verdict", lines[8]);
  require(lines[9] == "reason  : " + reason, "pretty reason line", lines[9]);
  require(lines[10] == "n_train = " + std::to_string(n_train) +
                           "  n_test = " + std::to_string(ds.rows - n_train) + "  wall = " +
                           std::to_string(doc["wall_clock_ms"].get<uint64_t>()) + " ms",
          "pretty counts line", lines[10]);

  m.dataset_version = ds.version;
  m.args = args;
  return m;
}

// A live report answers every call as it did the first time.
void reread(const ReportModel& m) {
  CReport* r = m.handle;
  require(take(quorvex_report_json(r), "json is NULL") == m.json, "json changed");
  require(take(quorvex_report_pretty(r), "pretty is NULL") == m.pretty, "pretty changed");
  require(take(quorvex_report_formula(r), "formula is NULL") == m.formula, "formula changed");
  const double numbers[6] = {quorvex_report_mse_train(r),
                             quorvex_report_mse_test(r),
                             quorvex_report_bic(r),
                             quorvex_report_delta_bic_const(r),
                             quorvex_report_delta_bic_linear(r),
                             quorvex_report_z_vs_shuffled(r)};
  for (size_t i = 0; i < 6; ++i)
    require(std::bit_cast<uint64_t>(numbers[i]) == m.numbers[i], "number accessor changed");
  require(quorvex_report_verdict(r) == m.verdict, "verdict changed");
}

void null_calls() {
  const double v = 1.0;
  require(quorvex_dataset_new(nullptr) == nullptr, "dataset_new(NULL)");
  require(quorvex_dataset_add_feature(nullptr, "x") == -1, "add_feature(NULL, x)");
  require(quorvex_dataset_push_row(nullptr, &v, 1.0) == -1, "push_row(NULL, ...)");
  require(quorvex_dataset_n_rows(nullptr) == 0, "n_rows(NULL)");
  quorvex_dataset_free(nullptr);
  require(quorvex_discover(nullptr, 1, 1, 1, 1, 0.5) == nullptr, "discover(NULL)");
  require(quorvex_report_formula(nullptr) == nullptr, "formula(NULL)");
  require(quorvex_report_pretty(nullptr) == nullptr, "pretty(NULL)");
  require(quorvex_report_json(nullptr) == nullptr, "json(NULL)");
  require(quorvex_report_verdict(nullptr) == 0, "verdict(NULL)");
  for (double x : {quorvex_report_mse_train(nullptr), quorvex_report_mse_test(nullptr),
                   quorvex_report_bic(nullptr), quorvex_report_delta_bic_const(nullptr),
                   quorvex_report_delta_bic_linear(nullptr), quorvex_report_z_vs_shuffled(nullptr)})
    require(std::bit_cast<uint64_t>(x) == 0, "number accessor(NULL) is not +0.0");
  quorvex_report_free(nullptr);
  quorvex_string_free(nullptr);
}

enum Op : uint8_t {
  kNewDataset,
  kAddFeature,
  kPushRow,
  kNRows,
  kDiscover,
  kReadReport,
  kFreeReport,
  kFreeDataset,
  kKeepString,
  kFreeString,
  kNullCalls,
  kRepeatDiscover,
  kOpCount
};

class Session {
 public:
  ~Session() {
    // Whatever the input left alive, in an order that mixes the kinds.
    for (auto& s : strings_) free_string(s);
    for (auto& r : reports_)
      if (r.handle != nullptr) quorvex_report_free(r.handle);
    for (auto& d : datasets_)
      if (d.handle != nullptr) quorvex_dataset_free(d.handle);
  }

  void step(FuzzedDataProvider& in) {
    switch (static_cast<Op>(in.ConsumeIntegralInRange<uint8_t>(0, kOpCount - 1))) {
      case kNewDataset:
        return new_dataset(in);
      case kAddFeature:
        return add_feature(in);
      case kPushRow:
        return push_row(in);
      case kNRows: {
        const size_t slot = in.ConsumeIntegralInRange<size_t>(0, kDatasetSlots);
        CDataset* h = slot < kDatasetSlots ? datasets_[slot].handle : nullptr;
        const size_t want = h != nullptr ? datasets_[slot].rows : 0;
        require(quorvex_dataset_n_rows(h) == want, "n_rows differs from the rows pushed");
        return;
      }
      case kDiscover:
        return discover(in);
      case kReadReport: {
        ReportModel& r = reports_[in.ConsumeIntegralInRange<size_t>(0, kReportSlots - 1)];
        if (r.handle != nullptr) reread(r);
        return;
      }
      case kFreeReport: {
        ReportModel& r = reports_[in.ConsumeIntegralInRange<size_t>(0, kReportSlots - 1)];
        quorvex_report_free(r.handle);
        r = ReportModel{};
        return;
      }
      case kFreeDataset: {
        DatasetModel& d = datasets_[in.ConsumeIntegralInRange<size_t>(0, kDatasetSlots - 1)];
        quorvex_dataset_free(d.handle);
        d = DatasetModel{};
        return;
      }
      case kKeepString:
        return keep_string(in);
      case kFreeString:
        return free_string(strings_[in.ConsumeIntegralInRange<size_t>(0, kStringSlots - 1)]);
      case kNullCalls:
        return null_calls();
      case kRepeatDiscover:
        return repeat(in);
      case kOpCount:
        return;
    }
  }

 private:
  void new_dataset(FuzzedDataProvider& in) {
    DatasetModel& d = datasets_[in.ConsumeIntegralInRange<size_t>(0, kDatasetSlots - 1)];
    const Name name = read_name(in);
    CDataset* h = quorvex_dataset_new(name.ptr());
    const bool valid = !name.null && strict_utf8(name.c_view());
    require((h != nullptr) == valid, "dataset_new accepts exactly valid UTF-8", name.raw);
    if (h == nullptr) return;
    quorvex_dataset_free(d.handle);
    d = DatasetModel{};
    d.handle = h;
    d.version = ++changes_;
  }

  void add_feature(FuzzedDataProvider& in) {
    const size_t slot = in.ConsumeIntegralInRange<size_t>(0, kDatasetSlots);
    const Name name = read_name(in);
    DatasetModel* d = slot < kDatasetSlots ? &datasets_[slot] : nullptr;
    CDataset* h = d != nullptr ? d->handle : nullptr;
    if (d != nullptr && d->features.size() >= kMaxFeatures) return;
    const int32_t rc = quorvex_dataset_add_feature(h, name.ptr());
    const bool valid = h != nullptr && !name.null && strict_utf8(name.c_view());
    require(rc == (valid ? 0 : -1), "add_feature result", name.raw);
    if (valid) {
      d->features.push_back(name.c_view());
      d->version = ++changes_;
    }
  }

  void push_row(FuzzedDataProvider& in) {
    const size_t slot = in.ConsumeIntegralInRange<size_t>(0, kDatasetSlots);
    const bool null_values = in.ConsumeIntegral<uint8_t>() % 16 == 15;
    DatasetModel* d = slot < kDatasetSlots ? &datasets_[slot] : nullptr;
    CDataset* h = d != nullptr ? d->handle : nullptr;
    // Exactly as many values as features, on the heap: any read past them is
    // an overflow the address sanitizer reports.
    const size_t n = h != nullptr ? d->features.size() : 1;
    std::unique_ptr<double[]> values(new double[n]);
    for (size_t i = 0; i < n; ++i) values[i] = read_value(in);
    const double target = read_value(in);
    if (d != nullptr && d->rows >= kMaxRows) return;
    const int32_t rc = quorvex_dataset_push_row(h, null_values ? nullptr : values.get(), target);
    const bool valid = h != nullptr && !null_values;
    require(rc == (valid ? 0 : -1), "push_row result");
    if (valid) {
      ++d->rows;
      d->version = ++changes_;
    }
  }

  void discover(FuzzedDataProvider& in) {
    const size_t slot = in.ConsumeIntegralInRange<size_t>(0, kDatasetSlots);
    ReportModel& out = reports_[in.ConsumeIntegralInRange<size_t>(0, kReportSlots - 1)];
    Args a;
    a.generations = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    a.population = 1 + in.ConsumeIntegralInRange<uint32_t>(0, 29);
    a.max_depth = read_max_depth(in);
    a.seed = in.ConsumeIntegral<uint64_t>();
    a.test_fraction = read_test_fraction(in);
    if (!spend(work_of(a.generations, a.population, a.max_depth))) return;
    const DatasetModel* d = slot < kDatasetSlots ? &datasets_[slot] : nullptr;
    CDataset* h = d != nullptr ? d->handle : nullptr;
    CReport* r =
        quorvex_discover(h, a.generations, a.population, a.max_depth, a.seed, a.test_fraction);
    require((r == nullptr) == (h == nullptr), "discover returns NULL exactly for a NULL dataset");
    if (r == nullptr) return;
    quorvex_report_free(out.handle);
    out = inspect(r, *d, a);
    if (trace())
      std::fprintf(stderr, "discover(rows %zu, features %zu, %u, %zu, %u, %llu, %g): %s\n", d->rows,
                   d->features.size(), a.generations, a.population, a.max_depth,
                   static_cast<unsigned long long>(a.seed), a.test_fraction, out.formula.c_str());
    out.dataset_slot = slot;
  }

  // The same dataset content and arguments give the same report.
  void repeat(FuzzedDataProvider& in) {
    const ReportModel& m = reports_[in.ConsumeIntegralInRange<size_t>(0, kReportSlots - 1)];
    if (m.handle == nullptr) return;
    const DatasetModel& d = datasets_[m.dataset_slot];
    const Args& a = m.args;
    if (d.handle == nullptr || d.version != m.dataset_version) return;
    if (!spend(work_of(a.generations, a.population, a.max_depth))) return;
    CReport* r = quorvex_discover(d.handle, a.generations, a.population, a.max_depth, a.seed,
                                  a.test_fraction);
    require(masked_json(take(quorvex_report_json(r), "json is NULL")) == masked_json(m.json),
            "a repeated discovery differs", m.json);
    require(
        masked_pretty(take(quorvex_report_pretty(r), "pretty is NULL")) == masked_pretty(m.pretty),
        "a repeated discovery's text differs");
    quorvex_report_free(r);
  }

  // A string taken from a report, kept past the report's own life.
  void keep_string(FuzzedDataProvider& in) {
    const ReportModel& m = reports_[in.ConsumeIntegralInRange<size_t>(0, kReportSlots - 1)];
    StringModel& s = strings_[in.ConsumeIntegralInRange<size_t>(0, kStringSlots - 1)];
    const uint8_t which = in.ConsumeIntegralInRange<uint8_t>(0, 2);
    if (m.handle == nullptr) return;
    free_string(s);
    s.ptr = which == 0   ? quorvex_report_formula(m.handle)
            : which == 1 ? quorvex_report_pretty(m.handle)
                         : quorvex_report_json(m.handle);
    require(s.ptr != nullptr, "string accessor gave NULL");
    s.copy = which == 0 ? m.formula : which == 1 ? m.pretty : m.json;
    require(s.copy == s.ptr, "string accessor differs from its first answer");
  }

  bool spend(uint64_t work) {
    if (discoveries_ >= kMaxDiscoveries || work_ + work > kWorkBudget) return false;
    ++discoveries_;
    work_ += work;
    return true;
  }

  static void free_string(StringModel& s) {
    if (s.ptr == nullptr) return;
    require(s.copy == s.ptr, "a returned string changed after the report went");
    quorvex_string_free(s.ptr);
    s = StringModel{};
  }

  std::array<DatasetModel, kDatasetSlots> datasets_{};
  std::array<ReportModel, kReportSlots> reports_{};
  std::array<StringModel, kStringSlots> strings_{};
  int discoveries_ = 0;
  uint64_t work_ = 0;
  uint64_t changes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Session session;
  while (in.remaining_bytes() != 0) session.step(in);
  return 0;
}
