#pragma once

// Editing one node of an immutable tree: a copy with the node replaced.

#include <cstddef>
#include <utility>

#include "expr/expr.h"

namespace quorvex {

// `e` with its node number `target` (preorder) replaced by edit(node).
template <typename Edit>
Expr edit_at(const Expr& e, size_t target, const Edit& edit, size_t& index) {
  if (index++ == target) return edit(e);
  switch (e.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return e;
    case Expr::Kind::Bin: {
      Expr left = edit_at(e.left(), target, edit, index);
      Expr right = edit_at(e.right(), target, edit, index);
      return Expr::bin(e.op(), std::move(left), std::move(right));
    }
    case Expr::Kind::Pow:
      return Expr::pow(edit_at(e.child(), target, edit, index), e.exponent());
    default:
      return Expr::function(e.kind(), edit_at(e.child(), target, edit, index));
  }
}

template <typename Edit>
Expr edit_at(const Expr& e, size_t target, const Edit& edit) {
  size_t index = 0;
  return edit_at(e, target, edit, index);
}

}  // namespace quorvex
