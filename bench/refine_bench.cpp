// refine_bench: runs the classic and the refined search on every problem of a
// manifest written by bench/refine_suite.py and writes one JSON line per
// (problem, search): the formula, its tree, verdict, BIC, errors, R2 on the
// fresh points and the wall time; a refined line also holds the operator set
// it searched with ("operators", canonical text). bench/refine_table.py turns
// the lines into the comparison table.
//
//   refine_bench [--classic-only | --refined-only] [--operators TEXT] [--only TEXT]
//                [--permutations N] [--units] [--start-truth] [--patience N]
//                [--restarts N]
//                SUITE_DIR > results.jsonl
//
// --operators  the refined search's operator set: "default" (the library's,
//              the default), "all", or a list OperatorSet::parse reads, e.g.
//              "+,-,*,/,pow,exp,log,sqrt" (the set before sin and cos came)
//              or "+,-,*,/,pow,exp,log,sqrt,sin,cos,tanh,abs:2"
// --only       only the problems whose name contains TEXT
// --units      the refined search with the units the manifest gives (its
//              Feynman problems after bench/feynman_units.py): "units" 1 on
//              the line, 0 for a problem without them
// --permutations N  also the refined permutation test of N permutations:
//              "p_value" and "permutation_seconds" on the refined line
// --start-truth  the refined search starts from the law itself (the manifest's
//              "start", written by bench/truth_start.py): whether the score
//              prefers the law once the search has it
// --patience N, --restarts N  the refined search's stalling rule, for trying
//              others (default: the library's)
//
// A refined line also holds "bic_trace": the front's best BIC after each
// generation (rounded to 0.01), from which other stopping rules can be judged.

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "expr/operators.h"
#include "expr/parse.h"
#include "expr/read_json.h"
#include "optimizer/discover.h"
#include "report/report.h"
#include "text/json.h"
#ifdef QUORVEX_BENCH_REFINE
#include "refine/refine.h"
#include "refine/refined_permutation.h"
#endif

namespace {

using quorvex::Dataset;
using quorvex::Expr;
using quorvex::JsonValue;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

double parse_cell(std::string_view cell, const std::string& path) {
  double v = 0.0;
  const auto res = std::from_chars(cell.data(), cell.data() + cell.size(), v);
  if (res.ec != std::errc() || res.ptr != cell.data() + cell.size())
    throw std::runtime_error(path + ": not a number: " + std::string(cell));
  return v;
}

// The suite's CSVs: a header of feature names then "target", plain numbers.
Dataset read_csv(const std::string& path) {
  const std::string text = read_file(path);
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.emplace_back(text.data() + start, end - start);
    start = end + 1;
  }
  if (lines.empty()) throw std::runtime_error(path + ": empty");
  const auto split = [](std::string_view line) {
    std::vector<std::string_view> cells;
    size_t s = 0;
    for (;;) {
      const size_t comma = line.find(',', s);
      cells.push_back(line.substr(s, comma == std::string_view::npos ? line.npos : comma - s));
      if (comma == std::string_view::npos) return cells;
      s = comma + 1;
    }
  };
  const auto header = split(lines[0]);
  Dataset data(std::string(header.back()));
  for (size_t j = 0; j + 1 < header.size(); ++j) data.add_feature(std::string(header[j]));
  data.reserve_rows(lines.size() - 1);
  std::vector<double> values(header.size());
  for (size_t i = 1; i < lines.size(); ++i) {
    const auto cells = split(lines[i]);
    if (cells.size() != header.size()) throw std::runtime_error(path + ": ragged row");
    for (size_t j = 0; j < cells.size(); ++j) values[j] = parse_cell(cells[j], path);
    data.push_row(values.data(), values.back());
  }
  return data;
}

struct FreshFit {
  double r2 = 0.0;  // NaN when any prediction is not finite
  size_t nonfinite = 0;
};

// R2 of the tree's predictions on the fresh rows; a single non-finite
// prediction makes the formula unusable there, so R2 is then NaN (a failure).
FreshFit fresh_r2(const Expr& tree, const Dataset& fresh) {
  const auto& y = fresh.targets();
  double mean = 0.0;
  for (double t : y) mean += t;
  mean /= static_cast<double>(y.size());
  double ss_res = 0.0, ss_tot = 0.0;
  FreshFit fit;
  for (size_t i = 0; i < y.size(); ++i) {
    const double p = tree.evaluate(fresh.row(i));
    if (!std::isfinite(p)) {
      ++fit.nonfinite;
      continue;
    }
    ss_res += (y[i] - p) * (y[i] - p);
    ss_tot += (y[i] - mean) * (y[i] - mean);
  }
  fit.r2 = fit.nonfinite > 0 ? std::nan("") : 1.0 - ss_res / ss_tot;
  return fit;
}

struct Problem {
  std::string name;
  uint64_t seed = 0;
  std::string train;
  std::string fresh;
  // Feature units and the target's, where the manifest has them
  // (bench/feynman_units.py).
  std::vector<std::pair<std::string, std::string>> units;
  std::string target_units;
  // The law with its constants as numbers (bench/truth_start.py), where given.
  std::string start;
};

std::vector<Problem> read_manifest(const std::string& dir) {
  const JsonValue doc = quorvex::parse_json(read_file(dir + "/manifest.json"));
  std::vector<Problem> out;
  for (const JsonValue& p : doc.items) {
    Problem q;
    q.name = p.find("name")->text;
    q.seed = static_cast<uint64_t>(p.find("seed")->number);
    q.train = dir + "/" + p.find("train")->text;
    q.fresh = dir + "/" + p.find("fresh")->text;
    if (const JsonValue* u = p.find("units"))
      for (const auto& m : u->members) q.units.emplace_back(m.first, m.second.text);
    if (const JsonValue* t = p.find("target_units")) q.target_units = t->text;
    if (const JsonValue* t = p.find("start")) q.start = t->text;
    out.push_back(std::move(q));
  }
  return out;
}

// The common part of a result line; the caller closes the object.
std::string line_start(const Problem& p, const char* search, const quorvex::DiscoverReport& r,
                       const Expr& tree, const Dataset& fresh, double seconds) {
  quorvex::JsonWriter w(quorvex::JsonWriter::Style::Compact);
  const FreshFit fit = fresh_r2(tree, fresh);
  w.begin_object();
  w.key("problem");
  w.value_string(p.name);
  w.key("search");
  w.value_string(search);
  w.key("formula");
  w.value_string(r.formula);
  w.key("verdict");
  w.value_string(quorvex::verdict_name(r.verdict));
  w.key("verdict_reason");
  w.value_string(r.verdict_reason);
  w.key("k");
  w.value_uint(r.k);
  w.key("bic");
  w.value(r.bic);
  w.key("bic_linear");
  w.value(r.baselines.bic_linear);
  w.key("mse_train");
  w.value(r.mse_train);
  w.key("mse_test");
  w.value(r.mse_test);
  w.key("r2_fresh");
  w.value(fit.r2);
  w.key("fresh_nonfinite");
  w.value_uint(fit.nonfinite);
  w.key("seconds");
  w.value(seconds);
  std::string line = w.take();
  // The tree's own JSON, embedded as it is: its constants are exact.
  line += ",\"expr\":";
  line += tree.to_json();
  return line;
}

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string run_classic(const Problem& p, const Dataset& train, const Dataset& fresh) {
  // The C entry's defaults.
  quorvex::DiscoverConfig config;
  config.population = 200;
  config.generations = 40;
  config.max_depth = 4;
  config.seed = p.seed;
  config.test_fraction = 0.2;
  config.n_shuffles = 30;
  const auto t0 = std::chrono::steady_clock::now();
  const quorvex::DiscoverResult found = quorvex::discover(Dataset(train), config);
  const double seconds = since(t0);
  return line_start(p, "classic", found.report, found.best, fresh, seconds) + "}";
}

// "default", "all" or a list for OperatorSet::parse; throws
// std::invalid_argument for anything else.
quorvex::OperatorSet operator_set(std::string_view text) {
  if (text == "default") return quorvex::OperatorSet::defaults();
  if (text == "all") return quorvex::OperatorSet::all();
  return quorvex::OperatorSet::parse(text);
}

struct RefinedKnobs {
  quorvex::OperatorSet operators = quorvex::OperatorSet::defaults();
  size_t permutations = 0;
  bool units = false;
  bool start_truth = false;
  long patience = -1, restarts = -1;  // -1: the library's
};

#ifdef QUORVEX_BENCH_REFINE
std::string run_refined(const Problem& p, const Dataset& train, const Dataset& fresh,
                        const RefinedKnobs& knobs) {
  quorvex::RefinedConfig config;
  config.seed = p.seed;
  config.operators = knobs.operators;
  if (knobs.patience >= 0) config.patience = static_cast<uint32_t>(knobs.patience);
  if (knobs.restarts >= 0) config.restarts = static_cast<uint32_t>(knobs.restarts);
  const bool units = knobs.units && !p.units.empty();
  if (units)
    config.units =
        quorvex::read_units(train.features(), p.units, train.target_name(), p.target_units);
  if (knobs.start_truth) {
    if (p.start.empty()) throw std::runtime_error("no \"start\" in the manifest");
    config.start_from.push_back(quorvex::parse_formula(p.start));
  }
  std::vector<double> trace;
  const quorvex::RefineProgress progress = [&](const quorvex::GenerationInfo& g) {
    if (!g.within_generation) trace.push_back(std::round(g.best_bic * 100.0) / 100.0);
    return true;
  };
  const auto t0 = std::chrono::steady_clock::now();
  const quorvex::RefinedResult r = quorvex::refine(train, config, &progress);
  const double seconds = since(t0);
  std::string line = line_start(p, "refined", r.report, r.best, fresh, seconds);
  quorvex::JsonWriter w(quorvex::JsonWriter::Style::Compact);
  w.begin_object();
  w.key("operators");
  w.value_string(knobs.operators.text());
  w.key("generations");
  w.value_uint(r.generations);
  w.key("stop");
  w.value_string(quorvex::stop_reason_name(r.stop));
  w.key("front_size");
  w.value_uint(r.front.size());
  w.key("rows_set_aside");
  w.value_uint(r.rows_set_aside);
  w.key("units");
  w.value_uint(units ? 1 : 0);
  w.key("bic_trace");
  w.begin_array();
  for (double b : trace) w.value(b);
  w.end_array();
  if (knobs.permutations > 0) {
    const auto t1 = std::chrono::steady_clock::now();
    const quorvex::PermutationResult test =
        quorvex::refined_permutation_test(train, config, r.report.bic, knobs.permutations);
    w.key("p_value");
    w.value(test.p_value);
    w.key("permutation_seconds");
    w.value(since(t1));
  }
  w.end_object();
  // Splice the extra members into the same object.
  const std::string extra = w.take();
  line += ",";
  line.append(extra, 1, extra.size() - 1);
  return line;
}
#endif

// operators: the refined search's set, null for a classic search.
std::string error_line(const Problem& p, const char* search, const quorvex::OperatorSet* operators,
                       const std::exception& e) {
  quorvex::JsonWriter w(quorvex::JsonWriter::Style::Compact);
  w.begin_object();
  w.key("problem");
  w.value_string(p.name);
  w.key("search");
  w.value_string(search);
  if (operators != nullptr) {
    w.key("operators");
    w.value_string(operators->text());
  }
  w.key("error");
  w.value_string(e.what());
  w.end_object();
  return w.take();
}

}  // namespace

namespace {

constexpr const char* kUsage =
    "usage: refine_bench [--classic-only | --refined-only] [--operators TEXT] [--only TEXT] "
    "[--permutations N] [--units] [--start-truth] [--patience N] [--restarts N] "
    "SUITE_DIR\n";

}  // namespace

int main(int argc, char** argv) {
  bool classic = true, refined = true;
  RefinedKnobs knobs;
  std::string only;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--classic-only") {
      refined = false;
    } else if (a == "--refined-only") {
      classic = false;
    } else if (a == "--operators" && i + 1 < argc) {
      try {
        knobs.operators = operator_set(argv[++i]);
      } catch (const std::invalid_argument& e) {
        std::cerr << "refine_bench: " << e.what() << '\n';
        return 2;
      }
    } else if (a == "--units") {
      knobs.units = true;
    } else if (a == "--start-truth") {
      knobs.start_truth = true;
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (a == "--permutations" && i + 1 < argc) {
      knobs.permutations = std::strtoul(argv[++i], nullptr, 10);
    } else if (a == "--patience" && i + 1 < argc) {
      knobs.patience = std::strtol(argv[++i], nullptr, 10);
    } else if (a == "--restarts" && i + 1 < argc) {
      knobs.restarts = std::strtol(argv[++i], nullptr, 10);
    } else if (!a.empty() && a[0] != '-' && dir.empty()) {
      dir = a;
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (dir.empty() || (!classic && !refined)) {
    std::cerr << kUsage;
    return 2;
  }
#ifndef QUORVEX_BENCH_REFINE
  if (!classic) {
    std::cerr << "refine_bench: built without the refined search\n";
    return 2;
  }
  if (refined) std::cerr << "refine_bench: built without the refined search; classic only\n";
  refined = false;
  (void)knobs;
#endif
  try {
    const std::vector<Problem> problems = read_manifest(dir);
    const bool show_progress = isatty(STDERR_FILENO) == 1;
    size_t done = 0;
    for (const Problem& p : problems) {
      ++done;
      if (!only.empty() && p.name.find(only) == std::string::npos) continue;
      const Dataset train = read_csv(p.train);
      const Dataset fresh = read_csv(p.fresh);
      if (classic) {
        try {
          std::cout << run_classic(p, train, fresh) << '\n';
        } catch (const std::exception& e) {
          std::cout << error_line(p, "classic", nullptr, e) << '\n';
        }
      }
#ifdef QUORVEX_BENCH_REFINE
      if (refined) {
        try {
          std::cout << run_refined(p, train, fresh, knobs) << '\n';
        } catch (const std::exception& e) {
          std::cout << error_line(p, "refined", &knobs.operators, e) << '\n';
        }
      }
#endif
      std::cout.flush();
      if (show_progress)
        std::cerr << "\r" << done << "/" << problems.size() << " " << p.name << "          ";
    }
    if (show_progress) std::cerr << '\n';
  } catch (const std::exception& e) {
    std::cerr << "refine_bench: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
