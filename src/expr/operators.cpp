#include "expr/operators.h"

#include <charconv>
#include <stdexcept>

#include "expr/real_power.h"

namespace quorvex {

namespace {

constexpr std::array<const char*, kOperatorCount> kNames = {
    "+", "-", "*", "/", "pow", "exp", "log", "sqrt", "sin", "cos", "tanh", "abs"};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The binary operators also go by a word, indexed by Op.
constexpr std::array<const char*, 4> kWords = {"add", "sub", "mul", "div"};
static_assert(static_cast<size_t>(Op::Div) + 1 == kWords.size());

bool find_operator(std::string_view name, Operator& op) {
  for (size_t i = 0; i < kOperatorCount; ++i) {
    const auto candidate = static_cast<Operator>(i);
    const bool word =
        is_binary(candidate) && name == kWords[static_cast<size_t>(binary_op(candidate))];
    if (name == kNames[i] || word) {
      op = candidate;
      return true;
    }
  }
  return false;
}

std::string known_names() {
  std::string out;
  for (const char* n : kNames) {
    if (!out.empty()) out += ", ";
    out += n;
  }
  return out;
}

}  // namespace

const char* operator_name(Operator op) noexcept { return kNames[static_cast<size_t>(op)]; }

OperatorSet OperatorSet::defaults() {
  OperatorSet s = all();
  s.set(Operator::Tanh, 0);
  s.set(Operator::Abs, 0);
  return s;
}

OperatorSet OperatorSet::all() {
  OperatorSet s;
  s.weight_.fill(1);
  return s;
}

OperatorSet OperatorSet::parse(std::string_view text) {
  OperatorSet s;
  while (true) {
    const size_t comma = text.find(',');
    const std::string_view item = trim(text.substr(0, comma));
    if (item.empty())
      throw std::invalid_argument("operators: an empty name in \"" + std::string(text) +
                                  "\"; known: " + known_names());
    const size_t colon = item.find(':');
    const std::string_view name = trim(item.substr(0, colon));
    Operator op{};
    if (!find_operator(name, op))
      throw std::invalid_argument("operators: unknown operator \"" + std::string(name) +
                                  "\"; known: " + known_names());
    if (s.has(op))
      throw std::invalid_argument("operators: \"" + std::string(name) + "\" is given twice");
    uint32_t weight = 1;
    if (colon != std::string_view::npos) {
      const std::string_view w = trim(item.substr(colon + 1));
      const auto r = std::from_chars(w.data(), w.data() + w.size(), weight);
      if (w.empty() || r.ec != std::errc() || r.ptr != w.data() + w.size() || weight < 1 ||
          weight > kMaxWeight)
        throw std::invalid_argument("operators: the weight of \"" + std::string(name) +
                                    "\" must be a whole number from 1 to " +
                                    std::to_string(kMaxWeight) + ", not \"" + std::string(w) +
                                    "\"");
    }
    s.set(op, weight);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return s;
}

std::string OperatorSet::text() const {
  std::string out;
  for (size_t i = 0; i < kOperatorCount; ++i) {
    if (weight_[i] == 0) continue;
    if (!out.empty()) out += ',';
    out += kNames[i];
    if (weight_[i] != 1) out += ':' + std::to_string(weight_[i]);
  }
  return out;
}

// Every operator maps to its node and back, so no table may follow the
// enumerations' order by accident.
constexpr bool mappings_round_trip() {
  for (size_t i = 0; i < kOperatorCount; ++i) {
    const auto op = static_cast<Operator>(i);
    const bool back = is_binary(op)
                          ? node_kind(op) == Expr::Kind::Bin && operator_of(binary_op(op)) == op
                          : operator_of(node_kind(op)) == op;
    if (!back) return false;
  }
  return true;
}
static_assert(mappings_round_trip());
static_assert(operator_of(Op::Add) == Operator::Add && operator_of(Op::Sub) == Operator::Sub &&
              operator_of(Op::Mul) == Operator::Mul && operator_of(Op::Div) == Operator::Div);
static_assert(node_kind(Operator::Abs) == Expr::Kind::Abs && !is_binary(Operator::Pow));
static_assert(static_cast<size_t>(Operator::Abs) + 1 == kOperatorCount);

Operator operator_of(const Expr& node) noexcept {
  if (node.kind() == Expr::Kind::Bin) return operator_of(node.op());
  return operator_of(node.kind());
}

uint32_t OperatorSet::complexity(const Expr& tree) const noexcept {
  switch (tree.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return 1;
    case Expr::Kind::Bin: {
      const uint32_t w = weight(operator_of(tree));
      return (w == 0 ? 1 : w) + complexity(tree.left()) + complexity(tree.right());
    }
    default: {
      // Only a feature's: of a compound base a fitted exponent is a knob for
      // approximants, and is charged its nodes.
      const Expr* base = has(Operator::Pow) ? real_power_base(tree) : nullptr;
      if (base && base->kind() == Expr::Kind::Feature) return weight(Operator::Pow) + 2;
      const uint32_t w = weight(operator_of(tree));
      return (w == 0 ? 1 : w) + complexity(tree.child());
    }
  }
}

bool OperatorSet::allows(const Expr& tree) const noexcept {
  switch (tree.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return true;
    case Expr::Kind::Bin:
      return has(operator_of(tree)) && allows(tree.left()) && allows(tree.right());
    default:
      return has(operator_of(tree)) && allows(tree.child());
  }
}

}  // namespace quorvex
