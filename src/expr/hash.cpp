#include "expr/hash.h"

#include <bit>
#include <functional>
#include <string_view>

namespace quorvex {

namespace {

uint64_t mix(uint64_t h, uint64_t v) noexcept {
  // splitmix64's finaliser over the running value and the next word.
  uint64_t z = h ^ (v + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2));
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t hash_node(const Expr& e, uint64_t h) noexcept {
  h = mix(h, static_cast<uint64_t>(e.kind()));
  switch (e.kind()) {
    case Expr::Kind::Const:
      return mix(h, std::bit_cast<uint64_t>(e.value()));
    case Expr::Kind::Feature:
      return mix(h, std::hash<std::string_view>{}(e.name()));
    case Expr::Kind::Bin:
      h = mix(h, static_cast<uint64_t>(e.op()));
      return hash_node(e.right(), hash_node(e.left(), h));
    case Expr::Kind::Pow:
      h = mix(h, static_cast<uint64_t>(static_cast<uint32_t>(e.exponent())));
      return hash_node(e.child(), h);
    default:
      return hash_node(e.child(), h);
  }
}

}  // namespace

uint64_t structural_hash(const Expr& tree) noexcept { return hash_node(tree, 0); }

}  // namespace quorvex
