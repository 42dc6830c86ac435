// Compiling and testing filters. A compiled filter is a tree: an object of several conditions
// becomes an And node, a field's operator object an And of one node per operator, so that a
// test walks nodes of one shape only.
#include "korvane/korvane.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>

#include "core/filter_node.h"
#include "storage/json.h"

namespace korvane_core {
namespace filter_values {
namespace {

using Kind = Value::Kind;

// Compares an integer given as (negative, magnitude) with a finite double, exactly: the double's
// integral part is compared as an integer, and its fraction decides a tie.
int compare_int_double(bool negative, std::uint64_t magnitude, double d) {
  constexpr double kTwo64 = 18446744073709551616.0;
  constexpr double kTwo63 = 9223372036854775808.0;
  if (!negative) {
    if (d < 0.0) return 1;
    if (d >= kTwo64) return -1;
    const double whole = std::floor(d);
    const auto w = static_cast<std::uint64_t>(whole);
    if (magnitude != w) return magnitude < w ? -1 : 1;
    return d > whole ? -1 : 0;
  }
  // The integer is -magnitude, with magnitude in [1, 2^63].
  if (d >= 0.0) return -1;
  if (d < -kTwo63) return 1;
  const double whole = std::ceil(d);  // in [-2^63, 0]
  const auto w = static_cast<std::uint64_t>(-whole);
  if (magnitude != w) return magnitude > w ? -1 : 1;
  return d < whole ? 1 : 0;
}

std::uint64_t magnitude_of(std::int64_t i) {
  return static_cast<std::uint64_t>(-(i + 1)) + 1;  // i < 0; no overflow at the minimum
}

}  // namespace

bool is_number(const Value& v) {
  const Kind k = v.kind();
  return k == Kind::UInt || k == Kind::Int || k == Kind::Float;
}

int compare_numbers(const Value& a, const Value& b) {
  const Kind ka = a.kind(), kb = b.kind();
  if (ka == Kind::Float && kb == Kind::Float) {
    return a.as_float() < b.as_float() ? -1 : (a.as_float() > b.as_float() ? 1 : 0);
  }
  if (ka == Kind::Float) return -compare_numbers(b, a);
  const bool a_negative = ka == Kind::Int;
  const std::uint64_t a_magnitude = a_negative ? magnitude_of(a.as_int()) : a.as_uint();
  if (kb == Kind::Float) return compare_int_double(a_negative, a_magnitude, b.as_float());
  const bool b_negative = kb == Kind::Int;
  const std::uint64_t b_magnitude = b_negative ? magnitude_of(b.as_int()) : b.as_uint();
  if (a_negative != b_negative) return a_negative ? -1 : 1;
  if (a_magnitude == b_magnitude) return 0;
  return (a_magnitude < b_magnitude) != a_negative ? -1 : 1;
}

bool same(const Value& a, const Value& b) {
  if (is_number(a) && is_number(b)) return compare_numbers(a, b) == 0;
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null: return true;
    case Kind::Bool: return a.as_bool() == b.as_bool();
    case Kind::String: return a.as_string() == b.as_string();
    case Kind::Array: {
      const Value::Array& x = a.as_array();
      const Value::Array& y = b.as_array();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i])) return false;
      }
      return true;
    }
    case Kind::Object: {
      const Value::Object& x = a.as_object();
      const Value::Object& y = b.as_object();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].key != y[i].key || !same(x[i].value, y[i].value)) return false;
      }
      return true;
    }
    default: return false;
  }
}

int order(const Value& held, const Value& operand) {
  if (is_number(held) && is_number(operand)) return compare_numbers(held, operand);
  if (held.kind() == Kind::String && operand.kind() == Kind::String) {
    const int c = held.as_string().compare(operand.as_string());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return 2;
}

}  // namespace filter_values

namespace {

using Node = Filter::Node;
using Op = Node::Op;
using filter_values::same;

struct Compiler {
  std::optional<KorvaneError> error;

  bool fail(std::string message) {
    error = KorvaneError{KorvaneError::Code::Filter, std::move(message)};
    return false;
  }
  static std::string quoted(std::string_view s) {
    std::string out;
    korvane_storage::write_json_string(s, out);
    return out;
  }
  static std::string of_field(std::string_view op, const std::string& field) {
    return quoted(op) + " of field " + quoted(field);
  }

  // An object of conditions: every member must hold.
  bool filter(const Value& v, Node& out) {
    out.op = Op::And;
    for (const Value::Member& m : v.as_object()) {
      Node child;
      if (!member(m.key, m.value, child)) return false;
      out.children.push_back(std::move(child));
    }
    return true;
  }

  bool filters(std::string_view op, const Value& operand, Node& out) {
    if (operand.kind() != Value::Kind::Array || operand.as_array().empty()) {
      return fail(quoted(op) + " needs a non-empty array of filters");
    }
    for (const Value& f : operand.as_array()) {
      if (!f.is_object()) return fail(quoted(op) + " needs a non-empty array of filters");
      Node child;
      if (!filter(f, child)) return false;
      out.children.push_back(std::move(child));
    }
    return true;
  }

  bool member(const std::string& key, const Value& value, Node& out) {
    if (key.starts_with('$')) {
      if (key == "$and" || key == "$or") {
        out.op = key == "$and" ? Op::And : Op::Or;
        return filters(key, value, out);
      }
      if (key == "$not") {
        if (!value.is_object()) return fail("\"$not\" needs a filter object");
        out.op = Op::Not;
        out.children.emplace_back();
        return filter(value, out.children.back());
      }
      return fail("unknown operator " + quoted(key));
    }
    bool operators = false, plain = false;
    if (value.is_object()) {
      for (const Value::Member& m : value.as_object()) (m.key.starts_with('$') ? operators : plain) = true;
    }
    if (operators && plain) {
      return fail("the condition of field " + quoted(key) + " mixes operators with plain keys");
    }
    if (!operators) {
      out = Node{Op::Eq, key, value, {}};
      return true;
    }
    out.op = Op::And;
    for (const Value::Member& m : value.as_object()) {
      Node child;
      if (!field_operator(key, m.key, m.value, child)) return false;
      out.children.push_back(std::move(child));
    }
    if (out.children.size() == 1) out = Node(std::move(out.children[0]));
    return true;
  }

  bool field_operator(const std::string& field, const std::string& op, const Value& operand,
                      Node& out) {
    static constexpr std::pair<std::string_view, Op> kOps[] = {
        {"$eq", Op::Eq},   {"$ne", Op::Ne},   {"$gt", Op::Gt},         {"$gte", Op::Gte},
        {"$lt", Op::Lt},   {"$lte", Op::Lte}, {"$in", Op::In},         {"$nin", Op::Nin},
        {"$exists", Op::Exists},              {"$contains", Op::Contains},
    };
    const auto* found = std::find_if(std::begin(kOps), std::end(kOps),
                                     [&](const auto& entry) { return entry.first == op; });
    if (found == std::end(kOps)) return fail("unknown operator " + quoted(op) + " in field " + quoted(field));
    out = Node{found->second, field, operand, {}};
    const Value::Kind kind = operand.kind();
    if ((out.op == Op::In || out.op == Op::Nin) && kind != Value::Kind::Array) {
      return fail(of_field(op, field) + " needs an array");
    }
    if (out.is_range() && (kind == Value::Kind::Array || kind == Value::Kind::Object)) {
      return fail(of_field(op, field) + " cannot compare with an array or object");
    }
    if (out.op == Op::Exists && kind != Value::Kind::Bool) {
      return fail(of_field(op, field) + " needs true or false");
    }
    return true;
  }
};

bool in_array(const Value& held, const Value& array) {
  for (const Value& x : array.as_array()) {
    if (same(held, x)) return true;
  }
  return false;
}

}  // namespace

bool Node::test(const Value* metadata) const {
  switch (op) {
    case Op::And:
      for (const Node& c : children) {
        if (!c.test(metadata)) return false;
      }
      return true;
    case Op::Or:
      for (const Node& c : children) {
        if (c.test(metadata)) return true;
      }
      return false;
    case Op::Not: return !children[0].test(metadata);
    default: break;
  }
  const Value* held = metadata != nullptr ? metadata->find(field) : nullptr;
  if (held == nullptr) return op == Op::Ne || op == Op::Nin || (op == Op::Exists && !operand.as_bool());
  switch (op) {
    case Op::Eq: return same(*held, operand);
    case Op::Ne: return !same(*held, operand);
    case Op::Gt: return filter_values::order(*held, operand) == 1;
    case Op::Gte: {
      const int c = filter_values::order(*held, operand);
      return c == 0 || c == 1;
    }
    case Op::Lt: return filter_values::order(*held, operand) == -1;
    case Op::Lte: {
      const int c = filter_values::order(*held, operand);
      return c == 0 || c == -1;
    }
    case Op::In: return in_array(*held, operand);
    case Op::Nin: return !in_array(*held, operand);
    case Op::Exists: return operand.as_bool();
    case Op::Contains: return held->kind() == Value::Kind::Array && in_array(operand, *held);
    default: return false;
  }
}

Result<Filter, KorvaneError> Filter::compile(const Value& filter) {
  if (!filter.is_object()) {
    return KorvaneError{KorvaneError::Code::Filter, "a filter must be a JSON object"};
  }
  Compiler compiler;
  auto root = std::make_shared<Node>();
  if (!compiler.filter(filter, *root)) return std::move(*compiler.error);
  return Filter(std::move(root));
}

bool Filter::matches(const std::optional<Value>& metadata) const {
  return root_->test(metadata ? &*metadata : nullptr);
}

bool Filter::matches_everything() const {
  return root_->op == Op::And && root_->children.empty();
}

}  // namespace korvane_core
