#pragma once

// Loads a recorded discovery (dataset operations, the five arguments and the
// expected outputs) and replays it through the C interface.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "quorvex.h"

namespace golden {

struct Args {
  uint32_t generations = 0;
  size_t population = 0;
  uint32_t max_depth = 0;
  uint64_t seed = 0;
  double test_fraction = 0.0;
};

// Non-finite doubles are recorded as the strings "NaN", "inf" and "-inf".
inline double number(const nlohmann::json& v) {
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (s == "inf") return std::numeric_limits<double>::infinity();
    if (s == "-inf") return -std::numeric_limits<double>::infinity();
  }
  return v.get<double>();
}

inline nlohmann::json load(const std::filesystem::path& path) {
  std::ifstream in(path);
  return nlohmann::json::parse(in);
}

inline std::vector<std::filesystem::path> cases(const std::string& dir) {
  std::vector<std::filesystem::path> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.path().extension() == ".json") out.push_back(entry.path());
  std::sort(out.begin(), out.end());
  return out;
}

// Replays the recorded dataset operations in order: add_feature(name) and
// push_row(values, target), values never NULL (even with no features).
template <typename AddFeature, typename PushRow>
void replay_ops(const nlohmann::json& c, AddFeature add_feature, PushRow push_row) {
  for (const auto& op : c["ops"]) {
    if (op.contains("add_feature")) {
      add_feature(op["add_feature"].get<std::string>());
    } else {
      const auto& row = op["push_row"];
      std::vector<double> values;
      for (const auto& v : row["values"]) values.push_back(number(v));
      values.push_back(0.0);
      push_row(values.data(), number(row["target"]));
    }
  }
}

inline CDataset* build_dataset(const nlohmann::json& c) {
  CDataset* ds = quorvex_dataset_new(c["target"].get<std::string>().c_str());
  replay_ops(
      c, [&](const std::string& name) { quorvex_dataset_add_feature(ds, name.c_str()); },
      [&](const double* values, double target) { quorvex_dataset_push_row(ds, values, target); });
  return ds;
}

inline Args args(const nlohmann::json& c) {
  const auto& a = c["args"];
  return {a["generations"].get<uint32_t>(), a["population"].get<size_t>(),
          a["max_depth"].get<uint32_t>(), a["seed"].get<uint64_t>(), number(a["test_fraction"])};
}

inline std::string take(char* s) {
  std::string out = s == nullptr ? "<NULL>" : s;
  quorvex_string_free(s);
  return out;
}

// Replaces the digits that follow `prefix` by "0". The wall-clock figure is
// the one part of a report that varies.
inline std::string mask_digits_after(const std::string& s, const std::string& prefix) {
  const size_t at = s.find(prefix);
  if (at == std::string::npos) return s;
  const size_t begin = at + prefix.size();
  size_t end = begin;
  while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
  std::string out(s, 0, begin);
  out.push_back('0');
  out.append(s, end, std::string::npos);
  return out;
}
inline std::string mask_wall_json(const std::string& s) {
  return mask_digits_after(s, "\"wall_clock_ms\": ");
}
inline std::string mask_wall_pretty(const std::string& s) {
  return mask_digits_after(s, "wall = ");
}

}  // namespace golden
