// The compiled form of a Filter, and the value comparisons the language defines. Private to the
// core: the filter and the field indexes read it.
#pragma once

#include <string>
#include <vector>

#include "korvane/korvane.h"

namespace korvane_core {

struct Filter::Node {
  enum class Op : unsigned char {
    And, Or, Not,                     // over children
    Eq, Ne, Gt, Gte, Lt, Lte,         // field against operand
    In, Nin,                          // field against operand's elements
    Exists,                           // operand is a boolean
    Contains,                         // field is an array with an element equal to operand
  };
  Op op = Op::And;
  std::string field;
  Value operand;
  std::vector<Node> children;

  bool is_field() const { return op != Op::And && op != Op::Or && op != Op::Not; }
  bool is_range() const { return op == Op::Gt || op == Op::Gte || op == Op::Lt || op == Op::Lte; }
  bool test(const Value* metadata) const;
};

namespace filter_values {

bool is_number(const Value& v);
// -1, 0 or 1 for two numbers compared by value, exactly. REQUIRES: both are numbers.
int compare_numbers(const Value& a, const Value& b);
// Equality as the language has it: numbers by value, arrays and objects member by member.
bool same(const Value& a, const Value& b);
// The range comparison of held against operand: -1, 0, 1, or 2 when the pair is not ordered
// (not two numbers or two strings).
int order(const Value& held, const Value& operand);

}  // namespace filter_values
}  // namespace korvane_core
