#include "core/field_index.h"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace korvane_core {
namespace {

using Kind = Value::Kind;
using Op = Filter::Node::Op;
using Slots = std::vector<std::size_t>;

bool is_scalar(const Value& v) { return v.kind() != Kind::Array && v.kind() != Kind::Object; }

// Null, booleans, numbers, strings.
int rank(const Value& v) {
  switch (v.kind()) {
    case Kind::Null: return 0;
    case Kind::Bool: return 1;
    case Kind::String: return 3;
    default: return 2;
  }
}

// Ascending and without repeats. A long list goes through a bitmap over its slots instead of a
// sort: one bit per slot up to the largest, which a range over many values makes cheaper.
Slots sorted_union(Slots all) {
  if (all.size() < 4096) {
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
  }
  const std::size_t top = *std::max_element(all.begin(), all.end());
  std::vector<std::uint64_t> bits(top / 64 + 1, 0);
  for (std::size_t slot : all) bits[slot / 64] |= std::uint64_t{1} << (slot % 64);
  all.clear();
  for (std::size_t w = 0; w < bits.size(); ++w) {
    for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
      all.push_back(w * 64 + static_cast<std::size_t>(std::countr_zero(word)));
    }
  }
  return all;
}

}  // namespace

bool FieldIndex::ScalarLess::operator()(const Value& a, const Value& b) const {
  const int ra = rank(a), rb = rank(b);
  if (ra != rb) return ra < rb;
  switch (ra) {
    case 0: return false;
    case 1: return a.as_bool() < b.as_bool();
    case 2: return filter_values::compare_numbers(a, b) < 0;
    default: return a.as_string() < b.as_string();
  }
}

FieldIndex FieldIndex::build(const RecordTable& table) {
  FieldIndex index;
  for (std::size_t slot : table.live_slots()) index.add(slot, table.metadata(slot));
  return index;
}

void FieldIndex::add(std::size_t slot, const std::optional<Value>& metadata) {
  if (!metadata || !metadata->is_object()) return;
  for (const Value::Member& m : metadata->as_object()) {
    Field& field = fields_[m.key];
    field.present.push_back(slot);
    if (is_scalar(m.value)) {
      field.values[m.value].push_back(slot);
    } else {
      field.composite.push_back(slot);
    }
  }
}

std::optional<Slots> FieldIndex::candidates(const Filter::Node& node) const {
  switch (node.op) {
    case Op::And: {
      // The child expected to list the fewest slots: intersecting with the others would cost
      // their whole lists (a "$lt" beside a "$gte" on one field lists nearly every slot), while
      // testing the few candidates' metadata costs about as many steps as it has candidates.
      const Filter::Node* fewest = nullptr;
      std::size_t least = static_cast<std::size_t>(-1);
      for (const Filter::Node& child : node.children) {
        const Estimate e = estimate(child, least);
        if (e.count < least) {
          least = e.count;
          fewest = &child;
        }
      }
      if (fewest == nullptr) return std::nullopt;
      return candidates(*fewest);
    }
    case Op::Or: {
      Slots all;
      for (const Filter::Node& child : node.children) {
        auto c = candidates(child);
        if (!c) return std::nullopt;
        all.insert(all.end(), c->begin(), c->end());
      }
      return node.children.size() == 1 ? all : sorted_union(std::move(all));
    }
    case Op::Not: return std::nullopt;
    default: return field_candidates(node);
  }
}

std::optional<Slots> FieldIndex::field_candidates(const Filter::Node& node) const {
  // What a missing field matches, the index cannot list.
  if (node.op == Op::Ne || node.op == Op::Nin || (node.op == Op::Exists && !node.operand.as_bool())) {
    return std::nullopt;
  }
  auto it = fields_.find(node.field);
  if (it == fields_.end()) return Slots{};
  const Field& field = it->second;
  auto equal_to = [&field](const Value& v) -> const Slots* {
    if (!is_scalar(v)) return &field.composite;
    auto found = field.values.find(v);
    return found == field.values.end() ? nullptr : &found->second;
  };
  switch (node.op) {
    case Op::Eq: {
      const Slots* s = equal_to(node.operand);
      return s ? *s : Slots{};
    }
    case Op::In: {
      Slots all;
      for (const Value& v : node.operand.as_array()) {
        if (const Slots* s = equal_to(v)) all.insert(all.end(), s->begin(), s->end());
      }
      return sorted_union(std::move(all));
    }
    case Op::Exists: return field.present;
    case Op::Contains: return field.composite;
    default: break;
  }
  Slots all;
  for_range(field, node, [&all](const Slots& s) {
    all.insert(all.end(), s.begin(), s.end());
    return true;
  });
  return sorted_union(std::move(all));
}

// The entries of the operand's own rank on the right side of it.
template <class Visit>
void FieldIndex::for_range(const Field& field, const Filter::Node& node, Visit&& visit) const {
  const int r = rank(node.operand);
  if (r < 2) return;
  auto first = field.values.begin();
  auto last = field.values.end();
  const bool above = node.op == Op::Gt || node.op == Op::Gte;
  const bool inclusive = node.op == Op::Gte || node.op == Op::Lte;
  auto bound = inclusive == above ? field.values.lower_bound(node.operand)
                                  : field.values.upper_bound(node.operand);
  if (above) {
    first = bound;
  } else {
    last = bound;
  }
  for (auto e = first; e != last; ++e) {
    const int er = rank(e->first);
    if (er < r) continue;
    if (er > r) break;
    if (!visit(e->second)) return;
  }
}

bool FieldIndex::lists_exactly(const Filter::Node& node) {
  switch (node.op) {
    case Op::And: return node.children.size() == 1 && lists_exactly(node.children[0]);
    case Op::Or:
      return std::all_of(node.children.begin(), node.children.end(), lists_exactly);
    case Op::Eq: return is_scalar(node.operand);
    case Op::In:
      return std::all_of(node.operand.as_array().begin(), node.operand.as_array().end(), is_scalar);
    case Op::Exists: return node.operand.as_bool();
    default: return node.is_range();
  }
}

FieldIndex::Estimate FieldIndex::estimate(const Filter::Node& node, std::size_t cap) const {
  constexpr Estimate kUnknown{static_cast<std::size_t>(-1), false};
  switch (node.op) {
    case Op::And: {
      Estimate best = kUnknown;
      for (const Filter::Node& child : node.children) {
        const Estimate e = estimate(child, cap);
        if (e.count < best.count) best = e;
      }
      best.exact = best.exact && node.children.size() == 1;
      return best;
    }
    case Op::Or: {
      Estimate sum{0, node.children.size() == 1};
      for (const Filter::Node& child : node.children) {
        const Estimate e = estimate(child, cap);
        if (e.count == kUnknown.count) return kUnknown;
        sum.count += e.count;
        sum.exact = sum.exact && e.exact;
      }
      return sum;
    }
    case Op::Not:
    case Op::Ne:
    case Op::Nin: return kUnknown;
    default: break;
  }
  if (node.op == Op::Exists && !node.operand.as_bool()) return kUnknown;
  auto it = fields_.find(node.field);
  if (it == fields_.end()) return {0, true};
  const Field& field = it->second;
  switch (node.op) {
    case Op::Eq:
      if (!is_scalar(node.operand)) return {field.composite.size(), false};
      if (auto found = field.values.find(node.operand); found != field.values.end()) {
        return {found->second.size(), true};
      }
      return {0, true};
    case Op::Exists: return {field.present.size(), true};
    case Op::Contains: return {field.composite.size(), false};
    case Op::In: {
      Estimate sum{0, true};
      for (const Value& v : node.operand.as_array()) {
        if (!is_scalar(v)) {
          sum.count += field.composite.size();
          sum.exact = false;
        } else if (auto found = field.values.find(v); found != field.values.end()) {
          sum.count += found->second.size();
        }
      }
      return sum;  // a value listed twice in the operand is counted twice: still a bound
    }
    default: break;
  }
  Estimate sum{0, true};
  for_range(field, node, [&](const Slots& s) {
    sum.count += s.size();
    return sum.count <= cap;
  });
  return sum;
}

}  // namespace korvane_core
