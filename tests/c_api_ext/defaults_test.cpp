// The defaults have two homes, the configurations and the header's account
// of qvx_options_init; qvx_options_init must agree with both.

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "optimizer/discover.h"
#include "quorvex_ext.h"
#include "refine/refine.h"

namespace {

// "name value" pairs of the header's line starting with `label` up to `end`.
std::map<std::string, std::string> documented(const std::string& label, const std::string& end) {
  std::ifstream in(QUORVEX_GOLDEN_DIR "/../../include/quorvex_ext.h");
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  const size_t from = all.find(label);
  const size_t to = all.find(end, from);
  EXPECT_NE(from, std::string::npos) << label;
  std::string part = all.substr(from, to - from);
  // Each name of [a-z_] followed by one space and a number or NULL (std::regex
  // would do, but GCC 12 warns inside it under the sanitizers).
  std::map<std::string, std::string> pairs;
  const auto name_char = [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; };
  const auto value_char = [](char c) { return (c >= '0' && c <= '9') || c == '.'; };
  for (size_t i = 0; i < part.size(); ++i) {
    if (!name_char(part[i]) || (i > 0 && name_char(part[i - 1]))) continue;
    size_t j = i;
    while (j < part.size() && name_char(part[j])) ++j;
    if (j + 1 >= part.size() || part[j] != ' ') continue;
    size_t k = j + 1;
    if (part.compare(k, 4, "NULL") == 0) {
      k += 4;
    } else {
      while (k < part.size() && value_char(part[k])) ++k;
      while (k > j + 1 && part[k - 1] == '.') --k;  // a sentence's full stop
    }
    const bool boundary =
        k >= part.size() || !(std::isalnum(static_cast<unsigned char>(part[k])) || part[k] == '_');
    if (k > j + 1 && boundary) pairs[part.substr(i, j - i)] = part.substr(j + 1, k - j - 1);
  }
  return pairs;
}

std::string text_of(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

void expect_documented(const qvx_options& o, const std::map<std::string, std::string>& doc) {
  const std::map<std::string, std::string> actual = {
      {"generations", std::to_string(o.generations)},
      {"population", std::to_string(o.population)},
      {"max_depth", std::to_string(o.max_depth)},
      {"seed", std::to_string(o.seed)},
      {"test_fraction", text_of(o.test_fraction)},
      {"n_shuffles", std::to_string(o.n_shuffles)},
      {"time_limit", text_of(o.time_limit)},
      {"patience", std::to_string(o.patience)},
      {"exact_patience", std::to_string(o.exact_patience)},
      {"max_threads", std::to_string(o.max_threads)},
      {"operators", o.operators == nullptr ? "NULL" : o.operators},
      {"start", std::to_string(o.start)},
      {"start_from", o.start_from == nullptr ? "NULL" : o.start_from}};
  for (const auto& [name, value] : doc) {
    if (actual.count(name) != 0) {
      EXPECT_EQ(actual.at(name), value) << name;
    }
  }
}

TEST(ExtOptions, InitGivesTheConfigurationsDefaultsAsTheHeaderSays) {
  qvx_options r;
  ASSERT_EQ(qvx_options_init(&r, sizeof r, QVX_SEARCH_REFINED), QVX_OK);
  const quorvex::RefinedConfig rc;
  EXPECT_EQ(r.generations, rc.generations);
  EXPECT_EQ(r.population, rc.population);
  EXPECT_EQ(r.max_depth, rc.max_depth);
  EXPECT_EQ(r.seed, rc.seed);
  EXPECT_EQ(r.test_fraction, rc.test_fraction);
  EXPECT_EQ(r.n_shuffles, rc.n_shuffles);
  EXPECT_EQ(r.time_limit, rc.time_limit);
  EXPECT_EQ(r.patience, rc.patience);
  EXPECT_EQ(r.exact_patience, rc.exact_patience);
  EXPECT_EQ(r.max_threads, rc.max_threads);
  EXPECT_EQ(r.operators, nullptr);  // the default set
  EXPECT_EQ(r.start, rc.start);
  EXPECT_EQ(r.start_from, nullptr);  // no warm start
  const auto refined_doc = documented(" *   refined: ", ";\n");
  EXPECT_EQ(refined_doc.size(), 13u);
  expect_documented(r, refined_doc);

  qvx_options c;
  ASSERT_EQ(qvx_options_init(&c, sizeof c, QVX_SEARCH_CLASSIC), QVX_OK);
  const quorvex::DiscoverConfig cc;
  EXPECT_EQ(c.generations, cc.generations);
  EXPECT_EQ(c.population, cc.population);
  EXPECT_EQ(c.max_depth, cc.max_depth);
  EXPECT_EQ(c.seed, cc.seed);
  EXPECT_EQ(c.test_fraction, cc.test_fraction);
  EXPECT_EQ(c.n_shuffles, cc.n_shuffles);
  EXPECT_EQ(c.time_limit, 0.0);
  EXPECT_EQ(c.patience, 0u);
  EXPECT_EQ(c.exact_patience, 0u);
  EXPECT_EQ(c.max_threads, 0u);
  EXPECT_EQ(c.operators, nullptr);
  EXPECT_EQ(c.start, 0u);
  EXPECT_EQ(c.start_from, nullptr);
  expect_documented(c, documented(" *   classic: ", " -- "));
}

}  // namespace
