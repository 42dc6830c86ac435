#include "korvane/value.h"

#include <algorithm>

namespace korvane_storage {

// std::string compares through char_traits<char>, which orders bytes as unsigned char: the
// byte order that object keys are kept in.
void Value::set(std::string key, Value value) {
  Object& members = std::get<7>(v_);
  auto it = std::lower_bound(members.begin(), members.end(), key,
                             [](const Member& m, const std::string& k) { return m.key < k; });
  if (it != members.end() && it->key == key) {
    it->value = std::move(value);
  } else {
    members.insert(it, Member{std::move(key), std::move(value)});
  }
}

Value Value::object(Object members) {
  std::stable_sort(members.begin(), members.end(),
                   [](const Member& a, const Member& b) { return a.key < b.key; });
  // Of equal keys, now adjacent in input order, keep the last.
  Object unique;
  unique.reserve(members.size());
  for (auto& m : members) {
    if (!unique.empty() && unique.back().key == m.key) {
      unique.back().value = std::move(m.value);
    } else {
      unique.push_back(std::move(m));
    }
  }
  return Value(Storage(std::in_place_index<7>, std::move(unique)));
}

const Value* Value::find(std::string_view key) const {
  if (!is_object()) return nullptr;
  const Object& members = as_object();
  auto it = std::lower_bound(members.begin(), members.end(), key,
                             [](const Member& m, std::string_view k) { return m.key < k; });
  if (it != members.end() && it->key == key) return &it->value;
  return nullptr;
}

bool operator==(const Value& a, const Value& b) {
  if (a.v_.index() != b.v_.index()) return false;
  switch (a.kind()) {
    case Value::Kind::Null: return true;
    case Value::Kind::Bool: return a.as_bool() == b.as_bool();
    case Value::Kind::UInt: return a.as_uint() == b.as_uint();
    case Value::Kind::Int: return a.as_int() == b.as_int();
    case Value::Kind::Float: return a.as_float() == b.as_float();
    case Value::Kind::String: return a.as_string() == b.as_string();
    case Value::Kind::Array: return a.as_array() == b.as_array();
    case Value::Kind::Object: return a.as_object() == b.as_object();
  }
  return false;
}

}  // namespace korvane_storage
