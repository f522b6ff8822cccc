// libFuzzer target for unit texts: any bytes either read as a unit or give a
// UnitError whose position lies within the text (one past it at the end),
// and a unit read back from its own text is the same unit.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "units/units.h"

namespace {

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_units: %s\n", what);
  std::abort();
}

void check(const std::string& text) {
  try {
    const quorvex::Unit u = quorvex::parse_unit(text);
    const std::string shown = u.text();
    require(quorvex::parse_unit(shown) == u, "a unit's text reads back as another unit");
    const auto square = u.times(u);
    if (square) require(square->over(u) == u, "u*u/u is not u");
  } catch (const quorvex::UnitError& e) {
    require(e.position() >= 1 && e.position() <= text.size() + 1, "error position out of range");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  check(in.ConsumeRandomLengthString(64));
  // Texts built from the grammar's own pieces reach deeper than raw bytes.
  static constexpr const char* kPieces[] = {"kg", "m",   "s", "A", "K",    "mol", "cd", "N",
                                            "J",  "Ohm", "*", "/", " ",    "^",   "**", "-",
                                            "(",  ")",   "1", "2", "1000", "3/4", "0"};
  std::string built;
  while (in.remaining_bytes() > 0 && built.size() < 200) built += in.PickValueInArray(kPieces);
  check(built);
  return 0;
}
