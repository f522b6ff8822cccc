// The two outward forms of an expression: formula text and the
// compact JSON form.
#include <charconv>
#include <string>

#include "expr/expr.h"
#include "text/json.h"
#include "text/numbers.h"

namespace quorvex {

namespace {

const char* op_symbol(Op op) {
  switch (op) {
    case Op::Add:
      return " + ";
    case Op::Sub:
      return " - ";
    case Op::Mul:
      return " * ";
    case Op::Div:
      return " / ";
  }
  return " ? ";
}

const char* op_name(Op op) {
  switch (op) {
    case Op::Add:
      return "Add";
    case Op::Sub:
      return "Sub";
    case Op::Mul:
      return "Mul";
    case Op::Div:
      return "Div";
  }
  return "?";
}

void append_formula(std::string& out, const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::Const:
      out += format_sci5(e.value());
      return;
    case Expr::Kind::Feature:
      out += e.name();
      return;
    case Expr::Kind::Bin:
      out += '(';
      append_formula(out, e.left());
      out += op_symbol(e.op());
      append_formula(out, e.right());
      out += ')';
      return;
    case Expr::Kind::Pow: {
      out += '(';
      append_formula(out, e.child());
      out += '^';
      char buf[16];
      const auto res = std::to_chars(buf, buf + sizeof buf, e.exponent());
      out.append(buf, res.ptr);
      out += ')';
      return;
    }
    case Expr::Kind::Exp:
      out += "exp(";
      break;
    case Expr::Kind::Log:
      out += "log(";
      break;
    case Expr::Kind::Sqrt:
      out += "sqrt(";
      break;
    case Expr::Kind::Sin:
      out += "sin(";
      break;
    case Expr::Kind::Cos:
      out += "cos(";
      break;
    case Expr::Kind::Tanh:
      out += "tanh(";
      break;
    case Expr::Kind::Abs:
      out += "abs(";
      break;
  }
  append_formula(out, e.child());
  out += ')';
}

void write_json(JsonWriter& w, const Expr& e) {
  w.begin_object();
  switch (e.kind()) {
    case Expr::Kind::Const:
      w.key("Const");
      w.value(e.value());
      break;
    case Expr::Kind::Feature:
      w.key("Feature");
      w.value_string(e.name());
      break;
    case Expr::Kind::Bin:
      w.key("Bin");
      w.begin_array();
      w.value_string(op_name(e.op()));
      write_json(w, e.left());
      write_json(w, e.right());
      w.end_array();
      break;
    case Expr::Kind::Pow:
      w.key("Pow");
      w.begin_array();
      write_json(w, e.child());
      w.value_int(e.exponent());
      w.end_array();
      break;
    case Expr::Kind::Exp:
      w.key("Exp");
      write_json(w, e.child());
      break;
    case Expr::Kind::Log:
      w.key("Log");
      write_json(w, e.child());
      break;
    case Expr::Kind::Sqrt:
      w.key("Sqrt");
      write_json(w, e.child());
      break;
    case Expr::Kind::Sin:
      w.key("Sin");
      write_json(w, e.child());
      break;
    case Expr::Kind::Cos:
      w.key("Cos");
      write_json(w, e.child());
      break;
    case Expr::Kind::Tanh:
      w.key("Tanh");
      write_json(w, e.child());
      break;
    case Expr::Kind::Abs:
      w.key("Abs");
      write_json(w, e.child());
      break;
  }
  w.end_object();
}

}  // namespace

std::string Expr::formula() const {
  std::string out;
  append_formula(out, *this);
  return out;
}

std::string Expr::to_json() const {
  JsonWriter w(JsonWriter::Style::Compact);
  write_json(w, *this);
  return w.take();
}

}  // namespace quorvex
