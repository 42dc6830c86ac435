// Value: one JSON value, the form metadata takes everywhere in korvane.
//
// A Value is null, a boolean, a number, a string, an array or an object. A number is exactly one
// of three classes, and the class is part of the value: an unsigned 64-bit integer (every
// integer from 0 up), a signed 64-bit integer (negative integers only) or a finite double. An
// unsigned 1 and a double 1.0 are different values. Object members are kept sorted by the byte
// order of their keys, each key at most once; setting an existing key replaces its value.
//
// A Value owns everything it holds. It is a plain value type: copyable, movable, and safe to read
// from several threads at once.
//
// Its JSON text, below the class: a reader and a compact writer. The reader takes exactly one
// JSON value, with optional whitespace (space, tab, LF, CR) around it, and at most 127 nested
// arrays and objects. Its errors read "<reason> at line L column C"; the reasons and positions
// are fixed because they reach Python callers as ValueError messages and, inside stored rows, as
// open errors. The writer is compact: no whitespace, object members in key byte order, integers
// in decimal, floats in the shortest form that reads back to the same bits (a non-finite number
// has no JSON form and is written as null). Both are pure and safe to call from several threads
// at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "korvane/result.h"

namespace korvane_storage {

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };
  struct Member;
  using Array = std::vector<Value>;
  using Object = std::vector<Member>;  // sorted by key bytes, keys unique

  // The factories are defined below Member: building an Object needs Member complete.
  Value() = default;  // null
  static Value null();
  static Value boolean(bool b);
  static Value uinteger(std::uint64_t u);
  // REQUIRES: i < 0 (non-negative integers are unsigned).
  static Value integer(std::int64_t i);
  // REQUIRES: d is finite.
  static Value floating(double d);
  static Value string(std::string s);
  static Value array();
  static Value array(Array a);
  static Value object();
  // Members in any order; of a key given twice the later value is kept.
  static Value object(Object members);

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_object() const { return kind() == Kind::Object; }

  // REQUIRES: the matching kind.
  bool as_bool() const { return std::get<1>(v_); }
  std::uint64_t as_uint() const { return std::get<2>(v_); }
  std::int64_t as_int() const { return std::get<3>(v_); }
  double as_float() const { return std::get<4>(v_); }
  const std::string& as_string() const { return std::get<5>(v_); }
  const Array& as_array() const { return std::get<6>(v_); }
  Array& as_array() { return std::get<6>(v_); }
  const Object& as_object() const { return std::get<7>(v_); }

  // Object access. REQUIRES: is_object(). set() keeps the members sorted and replaces the value
  // of a key that is already there.
  void set(std::string key, Value value);
  // nullptr when this is not an object or has no such key.
  const Value* find(std::string_view key) const;

  friend bool operator==(const Value& a, const Value& b);
  friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

 private:
  using Storage = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double,
                               std::string, Array, Object>;
  explicit Value(Storage v);
  Storage v_;
};

struct Value::Member {
  std::string key;
  Value value;
  friend bool operator==(const Member& a, const Member& b) {
    return a.key == b.key && a.value == b.value;
  }
};

inline Value::Value(Storage v) : v_(std::move(v)) {}
inline Value Value::null() { return Value(); }
inline Value Value::boolean(bool b) { return Value(Storage(std::in_place_index<1>, b)); }
inline Value Value::uinteger(std::uint64_t u) { return Value(Storage(std::in_place_index<2>, u)); }
inline Value Value::integer(std::int64_t i) { return Value(Storage(std::in_place_index<3>, i)); }
inline Value Value::floating(double d) { return Value(Storage(std::in_place_index<4>, d)); }
inline Value Value::string(std::string s) {
  return Value(Storage(std::in_place_index<5>, std::move(s)));
}
inline Value Value::array() { return array(Array{}); }
inline Value Value::array(Array a) { return Value(Storage(std::in_place_index<6>, std::move(a))); }
inline Value Value::object() { return Value(Storage(std::in_place_index<7>, Object{})); }

// A JSON reading error; message is the full text, position included.
struct JsonError {
  std::string message;
};

// The deepest nesting of arrays and objects that the reader accepts.
inline constexpr int kMaxJsonDepth = 127;

// Reads one JSON value from text (metadata given by a caller).
Result<Value, JsonError> parse_json(std::string_view text);

// Appends the compact text of v to out.
void write_json(const Value& v, std::string& out);
std::string to_json(const Value& v);

}  // namespace korvane_storage
