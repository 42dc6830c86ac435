// The saved form of a graph index. Numbers are in the machine's own byte order (the file that
// holds these bytes records which):
//
//   graph    = nodes:u64 entry:u64 max_level:u64 stride:u64
//              block:u32[nodes * stride]      count, layers, then slots_ links (unused ones 0)
//              spilled:u64 spill*             in node order
//              upper*                         for each node of layers L > 1, its layers 1 to L-1
//              norm:f32[nodes]
//   spill    = node:u64 link:u32[count]       a layer-0 list longer than slots_ (count > slots_
//                                             is in the node's block)
//   upper    = count:u32 link:u32[count]
//
// entry is 2^64 - 1 for an empty graph. A node's block is all zero when the node is not in
// the graph.
#include <cstring>
#include <limits>

#include "index/hnsw.h"

namespace korvane_index::hnsw {
namespace {

constexpr std::uint64_t kNoEntry = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kUnmapped = std::numeric_limits<std::uint32_t>::max();

template <class T>
void put(std::string& out, T v) {
  char b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  out.append(b, sizeof(T));
}

// Reads from the front of the bytes; any read past the end fails every later read too.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  template <class T>
  bool get(T& v) {
    if (!ok_ || rest_.size() < sizeof(T)) return ok_ = false;
    std::memcpy(&v, rest_.data(), sizeof(T));
    rest_.remove_prefix(sizeof(T));
    return true;
  }
  // n items of T into out, which must have room for them.
  template <class T>
  bool get_array(T* out, std::size_t n) {
    if (!ok_ || n > rest_.size() / sizeof(T)) return ok_ = false;
    if (n != 0) std::memcpy(out, rest_.data(), n * sizeof(T));
    rest_.remove_prefix(n * sizeof(T));
    return true;
  }
  bool done() const { return ok_ && rest_.empty(); }

 private:
  std::string_view rest_;
  bool ok_ = true;
};

}  // namespace

bool HnswIndex::save_graph(std::span<const std::size_t> order, std::string& out) const {
  const std::size_t old_slots = node_slots();
  std::vector<std::uint32_t> renumbered(old_slots, kUnmapped);
  for (std::size_t p = 0; p < order.size(); ++p) {
    if (order[p] < old_slots) renumbered[order[p]] = static_cast<std::uint32_t>(p);
  }
  for (std::size_t n = 0; n < old_slots; ++n) {
    if (block(n)[1] > 0 && renumbered[n] == kUnmapped) return false;
  }
  if (entry_point_ && renumbered[*entry_point_] == kUnmapped) return false;

  const std::size_t start = out.size();
  auto fail = [&] {
    out.resize(start);
    return false;
  };
  put<std::uint64_t>(out, order.size());
  put<std::uint64_t>(out, entry_point_ ? renumbered[*entry_point_] : kNoEntry);
  put<std::uint64_t>(out, max_level_);
  put<std::uint64_t>(out, stride_);
  std::vector<Link> b(stride_);
  std::size_t spilled = 0;
  for (const std::size_t old : order) {
    std::fill(b.begin(), b.end(), 0);
    if (old < old_slots && block(old)[1] > 0) {
      const Link* src = block(old);
      b[0] = src[0];
      b[1] = src[1];
      const List l = list_of(old, 0);
      spilled += l.size > slots_;
      for (std::size_t i = 0; i < l.size && i < slots_; ++i) {
        if ((b[2 + i] = renumbered[l.data[i]]) == kUnmapped) return fail();
      }
    }
    out.append(reinterpret_cast<const char*>(b.data()), b.size() * sizeof(Link));
  }
  put<std::uint64_t>(out, spilled);
  for (std::size_t p = 0; p < order.size(); ++p) {
    const std::size_t old = order[p];
    if (old >= old_slots || block(old)[1] == 0) continue;
    const List l = list_of(old, 0);
    if (l.size <= slots_) continue;
    put<std::uint64_t>(out, p);
    for (std::size_t i = 0; i < l.size; ++i) {
      if (renumbered[l.data[i]] == kUnmapped) return fail();
      put<Link>(out, renumbered[l.data[i]]);
    }
  }
  for (const std::size_t old : order) {
    if (old >= old_slots) continue;
    for (std::size_t layer = 1; layer < block(old)[1]; ++layer) {
      const List l = list_of(old, layer);
      put<std::uint32_t>(out, static_cast<std::uint32_t>(l.size));
      for (std::size_t i = 0; i < l.size; ++i) {
        if (renumbered[l.data[i]] == kUnmapped) return fail();
        put<Link>(out, renumbered[l.data[i]]);
      }
    }
  }
  for (const std::size_t old : order) put<float>(out, old < old_slots ? norms_[old] : 0.0f);
  return true;
}

std::optional<HnswIndex> HnswIndex::load_graph(HnswConfig config, std::string_view bytes,
                                               std::size_t nodes) {
  if (!check(config, nodes)) return std::nullopt;
  HnswIndex index(config);
  Reader r(bytes);
  std::uint64_t count = 0, entry = 0, max_level = 0, stride = 0;
  if (!r.get(count) || !r.get(entry) || !r.get(max_level) || !r.get(stride)) return std::nullopt;
  if (count != nodes || stride != index.stride_ || max_level > kMaxLevel) return std::nullopt;
  // Sized from the checked count only after the bytes are known to hold that many blocks.
  if (bytes.size() / sizeof(Link) / index.stride_ < nodes) return std::nullopt;
  index.level0_.resize(nodes * index.stride_);
  if (!r.get_array(index.level0_.data(), index.level0_.size())) return std::nullopt;

  std::size_t top = 0;
  bool any = false;
  std::size_t long_lists = 0;
  for (std::size_t n = 0; n < nodes; ++n) {
    const Link* b = index.block(n);
    if (b[1] > kMaxLevel + 1) return std::nullopt;
    if (b[1] == 0) {
      if (b[0] != 0) return std::nullopt;
      continue;
    }
    if (!any || b[1] - 1 > top) top = b[1] - 1;
    any = true;
    long_lists += b[0] > index.slots_;
    for (std::size_t i = 0; i < std::min<std::size_t>(b[0], index.slots_); ++i) {
      if (b[2 + i] >= nodes) return std::nullopt;
    }
  }
  if (any ? (entry >= nodes || index.block(entry)[1] - 1 != top || max_level != top)
          : (entry != kNoEntry || max_level != 0)) {
    return std::nullopt;
  }

  std::uint64_t spilled = 0;
  if (!r.get(spilled) || spilled != long_lists) return std::nullopt;
  std::uint64_t last = 0;
  for (std::uint64_t i = 0; i < spilled; ++i) {
    std::uint64_t node = 0;
    if (!r.get(node) || node >= nodes || (i > 0 && node <= last)) return std::nullopt;
    last = node;
    const Link size = index.block(node)[0];
    if (size <= index.slots_) return std::nullopt;
    std::vector<Link> l(size);
    if (!r.get_array(l.data(), l.size())) return std::nullopt;
    for (const Link x : l) {
      if (x >= nodes) return std::nullopt;
    }
    index.spill0_.emplace(node, std::move(l));
  }

  index.upper_.resize(nodes);
  for (std::size_t n = 0; n < nodes; ++n) {
    const std::size_t layers = index.block(n)[1];
    if (layers < 2) continue;
    index.upper_[n].resize(layers - 1);
    for (std::size_t layer = 1; layer < layers; ++layer) {
      std::uint32_t size = 0;
      if (!r.get(size) || size > bytes.size() / sizeof(Link)) return std::nullopt;
      std::vector<Link>& l = index.upper_[n][layer - 1];
      l.resize(size);
      if (!r.get_array(l.data(), l.size())) return std::nullopt;
      for (const Link x : l) {
        if (x >= nodes) return std::nullopt;
      }
    }
  }
  index.norms_.resize(nodes);
  if (!r.get_array(index.norms_.data(), nodes) || !r.done()) return std::nullopt;
  if (any) index.entry_point_ = static_cast<std::size_t>(entry);
  index.max_level_ = top;
  return index;
}

}  // namespace korvane_index::hnsw
