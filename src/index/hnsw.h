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

  // Level for a new node, from the calling thread's generator (or the level source below).
  std::size_t random_layer() const;

  // Sorts c stably by ascending value; returns the nodes of the first min(m, size) candidates.
  std::vector<std::size_t> select_neighbors(std::vector<Candidate>& c, std::size_t m) const;

  // Adds node with vector v. REQUIRES: access resolves every node already in the index and
  // node itself.
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
  HnswConfig config_;
  std::optional<std::size_t> entry_point_;
  std::size_t max_level_ = 0;
  // nodes_[n] holds node n's layer lists (empty when n is not in the graph).
  std::vector<std::vector<std::vector<std::size_t>>> nodes_;
  std::function<std::uint32_t()> words_;
};

}  // namespace korvane_index::hnsw
