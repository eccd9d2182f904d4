// Filters: a filter text over a table's fields (comparisons joined by AND,
// OR and NOT) parsed into a tree, tested on a record's values or written as
// SQL for index conditions.
#pragma once

#include "rl_core.h"

#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace ravlink_detail {

// A filter text parsed into a tree of comparisons joined by AND, OR and NOT.
class Filter {
 public:
  void parse(const std::string& text, const TableDef& def) {
    if (text.size() > kMaxText) fail(RL_BAD_FILTER, "Filter text is too long");
    text_ = text;
    pos_ = 0;
    def_ = &def;
    nodes_.clear();
    root_ = parseOr(0);
    skipBlanks();
    if (pos_ != text_.size()) failAt("unexpected text");
  }
  bool matches(RecordState& rs) const { return eval(root_, rs); }
  // The same test in SQL: names quoted, values as literals. A null never
  // equals a value, and "<>" holds for a null field, as in eval.
  std::string toSql() const { return sqlOf(root_); }

 private:
  static constexpr size_t kMaxText = 4096;
  static constexpr int kMaxDepth = 64;
  struct Node {
    enum Kind { Or, And, Not, Compare } kind;
    int left = -1, right = -1;
    int field = -1;
    std::string op;
    Value literal;
  };

  [[noreturn]] void failAt(const char* what) const {
    fail(RL_BAD_FILTER, std::string("Filter: ") + what + " at position " + std::to_string(pos_ + 1));
  }
  void skipBlanks() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  bool keyword(const char* word) {
    skipBlanks();
    size_t n = std::strlen(word);
    if (text_.size() - pos_ < n || strncasecmp(text_.c_str() + pos_, word, n) != 0) return false;
    if (pos_ + n < text_.size() &&
        (std::isalnum(static_cast<unsigned char>(text_[pos_ + n])) || text_[pos_ + n] == '_'))
      return false;
    pos_ += n;
    return true;
  }
  int add(Node n) {
    nodes_.push_back(std::move(n));
    return int(nodes_.size() - 1);
  }
  int parseOr(int depth) {
    int left = parseAnd(depth);
    while (keyword("OR")) left = add(Node{Node::Or, left, parseAnd(depth)});
    return left;
  }
  int parseAnd(int depth) {
    int left = parseUnary(depth);
    while (keyword("AND")) left = add(Node{Node::And, left, parseUnary(depth)});
    return left;
  }
  int parseUnary(int depth) {
    if (depth > kMaxDepth) failAt("nesting too deep");
    if (keyword("NOT")) return add(Node{Node::Not, parseUnary(depth + 1)});
    skipBlanks();
    if (pos_ < text_.size() && text_[pos_] == '(') {
      ++pos_;
      int inner = parseOr(depth + 1);
      skipBlanks();
      if (pos_ >= text_.size() || text_[pos_] != ')') failAt("')' expected");
      ++pos_;
      return inner;
    }
    return parseComparison();
  }
  std::string parseName() {
    skipBlanks();
    std::string name;
    if (pos_ < text_.size() && text_[pos_] == '"') {
      size_t end = text_.find('"', pos_ + 1);
      if (end == std::string::npos) failAt("unterminated field name");
      name = text_.substr(pos_ + 1, end - pos_ - 1);
      pos_ = end + 1;
      return name;
    }
    while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
      name += text_[pos_++];
    if (name.empty()) failAt("field name expected");
    return name;
  }
  std::string parseOperator() {
    skipBlanks();
    for (const char* op : {"<=", ">=", "<>", "!=", "==", "=", "<", ">"}) {
      size_t n = std::strlen(op);
      if (text_.compare(pos_, n, op) == 0) {
        pos_ += n;
        return op;
      }
    }
    failAt("comparison operator expected");
  }
  Value parseLiteral() {
    skipBlanks();
    if (keyword("NULL")) return Value();
    if (pos_ < text_.size() && text_[pos_] == '\'') {
      std::string s;
      for (++pos_;; ++pos_) {
        if (pos_ >= text_.size()) failAt("unterminated text");
        if (text_[pos_] == '\'') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
            s += '\'';
            ++pos_;
            continue;
          }
          ++pos_;
          return Value::text(s);
        }
        s += text_[pos_];
      }
    }
    const char* start = text_.c_str() + pos_;
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(start, &end);
    if (end == start || errno != 0 || !std::isfinite(d)) failAt("value expected");
    std::string number(start, size_t(end - start));
    pos_ += size_t(end - start);
    if (number.find_first_of(".eE") == std::string::npos && std::fabs(d) < 9e18) return Value::integer(int64_t(d));
    return Value::real(d);
  }
  int parseComparison() {
    std::string name = parseName();
    int field = def_->fieldNumber(name);
    if (field < 0) fail(RL_BAD_FILTER, "Filter: unknown field [" + name + "]");
    Node n{Node::Compare};
    n.field = field;
    n.op = parseOperator();
    n.literal = parseLiteral();
    if (n.literal.isNull() && n.op != "=" && n.op != "==" && n.op != "<>" && n.op != "!=")
      failAt("null compares only with = and <>");
    return add(std::move(n));
  }

  // -1, 0, 1; values of different kinds compare as numbers when one is a number.
  static int compareValues(const Value& v, const Value& lit) {
    bool vNumber = v.kind == Value::Int || v.kind == Value::Real;
    bool litNumber = lit.kind == Value::Int || lit.kind == Value::Real;
    if (vNumber || litNumber) {
      if (v.kind == Value::Int && lit.kind == Value::Int) return v.i < lit.i ? -1 : v.i > lit.i;
      double a = v.kind == Value::Int ? double(v.i) : v.kind == Value::Real ? v.d : std::strtod(v.s.c_str(), nullptr);
      double b = lit.kind == Value::Int    ? double(lit.i)
                 : lit.kind == Value::Real ? lit.d
                                           : std::strtod(lit.s.c_str(), nullptr);
      return a < b ? -1 : a > b;
    }
    int c = v.s.compare(lit.s);
    return c < 0 ? -1 : c > 0;
  }
  bool eval(int node, RecordState& rs) const {
    const Node& n = nodes_[node];
    switch (n.kind) {
      case Node::Or:
        return eval(n.left, rs) || eval(n.right, rs);
      case Node::And:
        return eval(n.left, rs) && eval(n.right, rs);
      case Node::Not:
        return !eval(n.left, rs);
      case Node::Compare:
        break;
    }
    const Value& v = rs.fieldValue(n.field);
    bool equalOp = n.op == "=" || n.op == "==";
    if (n.literal.isNull() || v.isNull()) {
      bool bothNull = n.literal.isNull() && v.isNull();
      return equalOp ? bothNull : (n.op == "<>" || n.op == "!=") ? !bothNull : false;
    }
    int c = compareValues(v, n.literal);
    if (equalOp) return c == 0;
    if (n.op == "<>" || n.op == "!=") return c != 0;
    if (n.op == "<") return c < 0;
    if (n.op == "<=") return c <= 0;
    if (n.op == ">") return c > 0;
    return c >= 0;
  }

  static std::string literalSql(const Value& v) {
    if (v.kind == Value::Int) return std::to_string(v.i);
    if (v.kind == Value::Real) {
      char text[40];
      std::snprintf(text, sizeof text, "%.17g", v.d);
      std::string out = text;
      if (out.find_first_of(".eE") == std::string::npos) out += ".0";
      return out;
    }
    std::string out = "'";
    for (char c : v.s) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
  }
  std::string sqlOf(int node) const {
    const Node& n = nodes_[node];
    switch (n.kind) {
      case Node::Or:
        return "(" + sqlOf(n.left) + " OR " + sqlOf(n.right) + ")";
      case Node::And:
        return "(" + sqlOf(n.left) + " AND " + sqlOf(n.right) + ")";
      case Node::Not:
        return "(NOT " + sqlOf(n.left) + ")";
      case Node::Compare:
        break;
    }
    std::string column = quoteName(def_->fields[n.field].name);
    bool equalOp = n.op == "=" || n.op == "==";
    bool unequalOp = n.op == "<>" || n.op == "!=";
    if (n.literal.isNull()) return "(" + column + (equalOp ? " IS NULL)" : " IS NOT NULL)");
    if (equalOp) return "(" + column + " = " + literalSql(n.literal) + ")";
    if (unequalOp) return "(" + column + " IS NOT " + literalSql(n.literal) + ")";
    return "(" + column + " " + n.op + " " + literalSql(n.literal) + ")";
  }

  std::string text_;
  size_t pos_ = 0;
  const TableDef* def_ = nullptr;
  std::vector<Node> nodes_;
  int root_ = -1;
};

}  // namespace ravlink_detail
