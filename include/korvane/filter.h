// Filter: a condition over a record's metadata, compiled once from its JSON form.
//
// The language is a JSON object:
//   {"field": value}                 equality; several fields in one object must all hold
//   {"field": {"$op": operand, ...}} $eq $ne $gt $gte $lt $lte, $in / $nin (array operand),
//                                    $exists (true or false), $contains (the field is an array
//                                    holding an element equal to the operand); all must hold
//   {"$and": [f, ...]}, {"$or": [f, ...]}, {"$not": f}
// A field's condition is an operator object when every key of it begins with `$`; an object
// without such keys (the empty one included) is a value compared for equality. Fields are the
// top-level keys of a metadata object; other metadata, or none, has no fields.
//
// Equality compares whole values, numbers by value: 1 equals 1.0, and integers beyond 2^53
// compare exactly, never through a double. Ranges compare two numbers by value or two strings
// by byte order; any other pair does not match. A missing field matches $ne, $nin and
// {"$exists": false} only; $not inverts whatever its filter gives. `{}` matches everything.
//
// (SearchBuilder::filter keeps its own, stricter equality, where 1 and 1.0 differ.)
//
// A Filter is immutable and cheap to copy (copies share the compiled form); any number of
// threads may use one at once.
#pragma once

#include <memory>
#include <optional>

#include "korvane/korvane.h"

namespace korvane_core {

class Filter {
 public:
  // Compiles filter. Fails with a Filter error naming the key or operand at fault: a filter that
  // is not an object, an unknown `$` key, an operand of the wrong kind ($in or $nin without an
  // array, $and or $or without a non-empty array of objects, $not without an object, a range
  // with an array or object, $exists without a boolean), or a condition object that mixes `$`
  // keys with plain ones.
  static Result<Filter, KorvaneError> compile(const Value& filter);

  // Whether a record with this metadata passes.
  bool matches(const std::optional<Value>& metadata) const;
  // Whether the filter is `{}` (or only ever matches everything that way).
  bool matches_everything() const;

  // The compiled form; its layout is private to the core.
  struct Node;
  const Node& root() const { return *root_; }

 private:
  explicit Filter(std::shared_ptr<const Node> root) : root_(std::move(root)) {}
  std::shared_ptr<const Node> root_;
};

}  // namespace korvane_core
