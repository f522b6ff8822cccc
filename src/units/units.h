#pragma once

// Physical units: a product of powers of the seven SI base units with
// rational exponents, read from text such as "kg*m/s^2", "m s^-2" or "1".

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvex {

// A reduced fraction, denominator > 0. Numerator and denominator stay within
// kLimit: arithmetic that would leave that range fails (nullopt) instead of
// overflowing.
struct Rational {
  static constexpr int64_t kLimit = int64_t{1} << 31;
  int64_t num = 0;
  int64_t den = 1;

  static std::optional<Rational> make(int64_t num, int64_t den) noexcept;
  bool operator==(const Rational&) const = default;
  bool zero() const noexcept { return num == 0; }
};
std::optional<Rational> operator+(Rational a, Rational b) noexcept;
std::optional<Rational> operator*(Rational a, Rational b) noexcept;

class Unit {
 public:
  // kg m s A K mol cd, the order of the exponents.
  static constexpr size_t kBase = 7;
  static const char* base_name(size_t i) noexcept;

  Unit() = default;  // dimensionless
  explicit Unit(const std::array<Rational, kBase>& exponents) : e_(exponents) {}
  static Unit base(size_t i) noexcept;

  const Rational& exponent(size_t i) const noexcept { return e_[i]; }
  bool dimensionless() const noexcept;
  bool operator==(const Unit&) const = default;

  // nullopt when an exponent would leave Rational's range.
  std::optional<Unit> times(const Unit& other) const noexcept;
  std::optional<Unit> over(const Unit& other) const noexcept;
  std::optional<Unit> pow(Rational p) const noexcept;

  // "kg*m^2/s^2", "m^(1/2)", "1/s", "1": what parse_unit reads back.
  std::string text() const;

 private:
  std::array<Rational, kBase> e_{};
};

// A unit text that cannot be read; `position` is the 1-based character where
// reading stopped.
class UnitError : public std::invalid_argument {
 public:
  UnitError(const std::string& what, size_t position)
      : std::invalid_argument(what), position_(position) {}
  size_t position() const noexcept { return position_; }

 private:
  size_t position_;
};

// Reads a unit: factors joined by '*', '/' (dividing by the next factor
// alone) or spaces, each a name with an optional exponent ('^' or '**', then
// an integer, or a fraction in parentheses: "m^(1/2)", "s^-2", "s^(-1)"), or
// "1". Names: the base units kg m s A K mol cd and the derived Hz N Pa J W C
// V F Ohm S Wb T H. Throws UnitError for anything else.
Unit parse_unit(std::string_view text);

// Units declared for the columns of a data set, for the refined search.
struct DeclaredUnits {
  std::vector<std::pair<std::string, Unit>> features;  // by name
  Unit target;
  // Constants inside a formula that may carry a unit of their own, solved
  // for so that the formula agrees: how G or k_B enter a law whose data lack
  // them. The others are pure numbers.
  uint32_t dimensional_constants = 0;
  bool declared = false;  // false: the search ignores units altogether
};

// The most dimensional constants a search accepts: each one more multiplies
// the ways a formula's units are solved for.
inline constexpr uint32_t kMaxDimensionalConstants = 3;

// `units` read for each of `names` (the data's features) and the target, in
// one record; the error names the column and the position. Every feature needs a
// unit, and no unit may name a column the data lacks.
DeclaredUnits read_units(const std::vector<std::string>& names,
                         const std::vector<std::pair<std::string, std::string>>& units,
                         const std::string& target_name, const std::string& target_unit);

}  // namespace quorvex
