// FieldIndex: for every top-level metadata field, which slots hold it and with what value, so
// that a filter's matches are found from the slots it can match instead of from every record.
//
// Per field: an ordered map from each scalar value held (null, booleans, numbers, strings, in
// that order; numbers by value, so 1 and 1.0 share an entry) to the slots holding it, the slots
// holding an array or object there, and the slots holding the field at all. Every list is in
// slot order. Slots are only ever added: a slot that dies stays listed until the next rebuild,
// so readers check liveness themselves.
//
// Thread safety: none of its own; any number of readers while no add() runs.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/filter_node.h"
#include "core/store_internals.h"

namespace korvane_core {

class FieldIndex {
 public:
  // Every slot of the table, live ones only.
  static FieldIndex build(const RecordTable& table);

  // Lists the fields of the record in slot, which is above every slot listed so far.
  // May throw std::bad_alloc, leaving the lists of some fields extended.
  void add(std::size_t slot, const std::optional<Value>& metadata);

  // Slots in ascending order, including every live slot whose record passes node (and possibly
  // others, dead ones too); nothing when the lists cannot narrow the node down, as for $ne.
  std::optional<std::vector<std::size_t>> candidates(const Filter::Node& node) const;

  // How many slots candidates(node) would list at most, without listing them (counting stops
  // once past `cap`), and whether those are exactly the slots whose records pass node when
  // every listed slot is live. Costs one step per distinct value in a range, not per slot.
  struct Estimate {
    std::size_t count;
    bool exact;
  };
  Estimate estimate(const Filter::Node& node, std::size_t cap) const;
  // Whether candidates(node) lists exactly the slots whose records pass node, apart from dead
  // ones, so that no record's metadata needs testing.
  static bool lists_exactly(const Filter::Node& node);

 private:
  struct ScalarLess {
    bool operator()(const Value& a, const Value& b) const;
  };
  struct Field {
    std::map<Value, std::vector<std::size_t>, ScalarLess> values;
    std::vector<std::size_t> composite;
    std::vector<std::size_t> present;
  };
  std::optional<std::vector<std::size_t>> field_candidates(const Filter::Node& node) const;
  // The value entries a range node covers, in order.
  template <class Visit>
  void for_range(const Field& field, const Filter::Node& node, Visit&& visit) const;

  std::unordered_map<std::string, Field> fields_;
};

}  // namespace korvane_core
