// HnswIndex: an approximate nearest-neighbour index, a hierarchical navigable small-world graph.
//
// The index holds node numbers only; node n is the record at position n of the store's records.
// Vectors are read through the VectorAccess that the caller passes with each call, and nodes
// are measured with the store's Metric, also passed with each call. Every node lives on layer 0
// and on each layer up to its own randomly drawn level.
//
// Thread safety: insert() needs exclusive access; any number of search() calls may run at once
// while no insert runs. random_layer() uses the calling thread's own generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "index/metric.h"

namespace korvane_index::hnsw {

struct HnswConfig {
  std::size_t m = 0;                // links a new node makes on each of its layers
  std::size_t m_max = 0;            // most links kept on layers above 0
  std::size_t m_max0 = 0;           // most links kept on layer 0
  std::size_t ef_construction = 0;  // search width while inserting
  std::size_t ef_search = 0;        // search width the core store passes to search()
  float ml = 0.0f;                  // level multiplier
};

// A non-owning reference to a callable `std::span<const float>(std::size_t node)`.
// REQUIRES: the callable outlives the VectorAccess.
class VectorAccess {
 public:
  template <class F>
  VectorAccess(const F& f)  // NOLINT: implicit on purpose
      : obj_(&f), call_([](const void* o, std::size_t n) -> std::span<const float> {
          return (*static_cast<const F*>(o))(n);
        }) {}
  std::span<const float> operator()(std::size_t node) const { return call_(obj_, node); }

 private:
  const void* obj_;
  std::span<const float> (*call_)(const void*, std::size_t);
};

struct Candidate {
  float value;
  std::size_t node;
};

class HnswIndex {
 public:
  explicit HnswIndex(HnswConfig config);  // HnswIndex::new: an empty index

  const HnswConfig& config() const { return config_; }
  std::optional<std::size_t> entry_point() const { return entry_point_; }
  std::size_t max_level() const { return max_level_; }

  // Level for a new node, floor(-(logf(r) * ml)), with r in [0, 1) taken from the top 23 bits
  // of a 32-bit word of the calling thread's generator (or of the word source below). A word
  // that makes r exactly 0 would give an infinite level, which no node can hold, so it is
  // discarded and the next word drawn.
  std::size_t random_layer() const;

  // Sorts c stably by ascending value; returns the nodes of the first min(m, size) candidates.
  // A NaN value sorts after every number, so candidates that cannot be measured go last and
  // keep their order among themselves.
  std::vector<std::size_t> select_neighbors(std::vector<Candidate>& c, std::size_t m) const;

  // Adds node with vector v; a node number inserted again gets fresh, empty lists.
  // REQUIRES: access resolves every node already in the index and node itself; ml is such that
  // drawn levels stay small enough to allocate lists for (any ml below about 1e15).
  void insert(std::size_t node, std::span<const float> v, VectorAccess access, Metric metric);

  // Up to k (node, metric value) pairs, nearest first.
  std::vector<std::pair<std::size_t, float>> search(std::span<const float> query, std::size_t k,
                                                    std::size_t ef, VectorAccess access,
                                                    Metric metric) const;

  // The node's neighbour list on a layer, or nullptr when the node or layer does not exist.
  const std::vector<std::size_t>* neighbors(std::size_t node, std::size_t layer) const;
  // Number of layers (level + 1) of a node; 0 when the node does not exist.
  std::size_t node_layers(std::size_t node) const;

  // Tests: draw levels from this source of 32-bit words instead of the thread's generator.
  void set_word_source(std::function<std::uint32_t()> words) { words_ = std::move(words); }

 private:
  struct Scratch;  // per-thread visited stamps and heap arrays, reused across calls

  float key(Metric metric, std::span<const float> q, std::span<const float> x) const;
  std::size_t greedy_closest(std::span<const float> q, std::size_t c, float& best,
                             std::size_t layer, VectorAccess access, Metric metric) const;
  // Leaves the result heap's array in s.result.
  void search_layer(std::span<const float> q, std::size_t entry, float entry_key,
                    std::size_t layer, std::size_t ef, VectorAccess access, Metric metric,
                    Scratch& s) const;
  void prune(std::size_t node, std::vector<std::size_t>& list, std::size_t cap,
             VectorAccess access, Metric metric, Scratch& s) const;
  std::vector<std::size_t>* list_of(std::size_t node, std::size_t layer);
  const std::vector<std::size_t>* list_of(std::size_t node, std::size_t layer) const {
    return const_cast<HnswIndex*>(this)->list_of(node, layer);
  }

  HnswConfig config_;
  std::optional<std::size_t> entry_point_;
  std::size_t max_level_ = 0;
  // Dense by node number. layers_[n] is node n's level + 1, 0 when n is not in the graph.
  // Layer 0 lists sit apart from the upper ones so that the beam search over layer 0, where
  // nearly all the time goes, reaches a list with one lookup.
  std::vector<std::size_t> layers_;
  std::vector<std::vector<std::size_t>> layer0_;
  std::vector<std::vector<std::vector<std::size_t>>> upper_;  // upper_[n][l - 1]
  std::function<std::uint32_t()> words_;
};

}  // namespace korvane_index::hnsw
