// HnswIndex: an approximate nearest-neighbour index, a hierarchical navigable small-world graph.
//
// The index holds node numbers only; node n is the record at position n of the store's records.
// Vectors are read through the VectorAccess that the caller passes with each call, and nodes
// are measured with the store's Metric, also passed with each call. Every node lives on layer 0
// and on each layer up to its own randomly drawn level.
//
// Node numbers are dense: the index keeps a slot for every number up to the largest inserted,
// which suits positions in a list of records.
//
// Deleted nodes: mark_deleted() keeps a node in the graph for walks to route through, and no
// search returns it; purge() later takes every deleted node out and relinks its neighbours.
//
// Thread safety: insert(), insert_all(), mark_deleted(), purge() and renumber() need exclusive
// access (insert_all() runs its own threads, which lock each node's lists while they read or
// change them); any number of search() calls may run at once while none of those runs. The
// walks' working memory (visited marks, heaps) belongs to the calling thread and is kept for its
// next walk, sized to the largest index that thread has walked.
// random_layer() uses the calling thread's own generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/metric.h"
#include "korvane/result.h"  // HnswConfig, Neighbors, KorvaneError

namespace korvane_index::hnsw {

// A non-owning reference to a callable `bool(std::size_t done)`.
// REQUIRES: the callable outlives the BuildReport.
class BuildReport {
 public:
  template <class F>
  BuildReport(const F& f)  // NOLINT: implicit on purpose
      : obj_(&f), call_([](const void* o, std::size_t n) -> bool {
          return (*static_cast<const F*>(o))(n);
        }) {}
  bool operator()(std::size_t done) const { return call_(obj_, done); }

 private:
  const void* obj_;
  bool (*call_)(const void*, std::size_t);
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

// A non-owning reference to a callable `bool(std::size_t node)`: which nodes a filtered walk
// may return. REQUIRES: the callable outlives the NodeFilter.
class NodeFilter {
 public:
  template <class F>
  NodeFilter(const F& f)  // NOLINT: implicit on purpose
      : obj_(&f), call_([](const void* o, std::size_t n) -> bool {
          return (*static_cast<const F*>(o))(n);
        }) {}
  bool operator()(std::size_t node) const { return call_(obj_, node); }

 private:
  const void* obj_;
  bool (*call_)(const void*, std::size_t);
};

struct Candidate {
  float value;
  std::size_t node;
};

class HnswIndex {
 public:
  // Node numbers are held in 32 bits, one value of which marks "no node".
  static constexpr std::size_t kMaxNodes = 0xffffffffu;
  // The highest level a node may be drawn: each level of a node is a list of its own.
  static constexpr std::size_t kMaxLevel = 1024;

  explicit HnswIndex(HnswConfig config);  // HnswIndex::new: an empty index

  // Whether an index with this configuration can hold `nodes` nodes (node numbers 0 to
  // nodes - 1, and levels up to the highest that the level multiplier can draw); a Config error
  // saying why not when it cannot.
  static korvane_storage::Result<void, korvane_core::KorvaneError> check(const HnswConfig& config,
                                                                         std::size_t nodes);

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

  // Adds node with vector v; a node number inserted again gets fresh, empty lists (and is no
  // longer deleted).
  // REQUIRES: access resolves every node already in the index and node itself, to the vector
  // the node was inserted with (the index keeps each vector's norm).
  // Throws std::length_error, changing nothing, for a node number of kMaxNodes or more or a
  // drawn level above kMaxLevel; check() rules both out beforehand.
  void insert(std::size_t node, std::span<const float> v, VectorAccess access, Metric metric);

  // Inserts nodes[0], nodes[1], ... with their vectors from access, on `threads` threads (0:
  // one per core of the pool; never more than that, nor more than one per 64 nodes), the
  // calling thread one of them. With one thread this is insert() of each in turn, and the graph
  // is the same bit for bit; with more, the levels are drawn in that same order first, then the
  // nodes are linked concurrently, each node's lists locked while a thread reads or changes
  // them, so the graph depends on how the threads interleave. The calling thread takes part and
  // alone calls report(done) after each `every` nodes are in (every 0: never); when report
  // returns false the build stops, returning false, and the index is left part built.
  // REQUIRES: as insert(), for every node of the list; no node twice.
  // Throws as insert() (or std::bad_alloc), changing nothing when it throws before linking.
  bool insert_all(std::span<const std::size_t> nodes, VectorAccess access, Metric metric,
                  std::size_t threads, std::size_t every, BuildReport report);
  bool insert_all(std::span<const std::size_t> nodes, VectorAccess access, Metric metric,
                  std::size_t threads) {
    return insert_all(nodes, access, metric, threads, 0, [](std::size_t) { return true; });
  }

  // Marks nodes of the graph deleted: walks still route through them, searches never return
  // them. Nodes not in the graph, or already deleted, are passed over.
  void mark_deleted(std::span<const std::size_t> nodes);
  // Then, for each of these deleted nodes: each live neighbour that links back to it and has
  // lost a quarter or more of that list to deleted nodes gets the list chosen again from its
  // live links and theirs. REQUIRES: access resolves every live node.
  void repair_around(std::span<const std::size_t> nodes, VectorAccess access, Metric metric);
  bool is_deleted(std::size_t node) const {
    return node < deleted_.size() && deleted_[node] != 0;
  }
  // Nodes marked deleted and still in the graph.
  std::size_t deleted_count() const { return deleted_count_; }
  // Nodes marked deleted since the index was made (built, or loaded), purged or not: how far the
  // graph has drifted from a fresh build.
  std::size_t deleted_total() const { return deleted_total_; }
  // Takes every deleted node out of the graph: each live list that links to one is chosen again
  // from its live links and the live links of the deleted ones, and the entry point moves to
  // the live node of the highest level (the smallest number among them) when it was deleted.
  // REQUIRES: access resolves every live node; deleted nodes' vectors are not read.
  void purge(VectorAccess access, Metric metric);
  // Renumbers node n as new_number[n] (numbers beyond the span count as kNoNode). A node mapped
  // to kNoNode is dropped with every link to it, unrepaired: purge() first. The new numbers
  // must be increasing and below `slots`, which becomes the slot count.
  static constexpr std::uint32_t kNoNode = 0xffffffffu;
  void renumber(std::span<const std::uint32_t> new_number, std::size_t slots);
  // Whether a node is in the graph (inserted, and not purged).
  bool contains(std::size_t node) const { return node_layers(node) > 0; }

  // Up to k (node, metric value) pairs, nearest first; deleted nodes are never among them.
  std::vector<std::pair<std::size_t, float>> search(std::span<const float> query, std::size_t k,
                                                    std::size_t ef, VectorAccess access,
                                                    Metric metric) const;

  // As search(), returning only nodes that accept() takes. The walk still routes through the
  // others: they are expanded like any node, but only taken nodes fill the ef kept, so the walk
  // stops once ef taken nodes are nearer than anything left to expand (or the reachable graph is
  // exhausted).
  std::vector<std::pair<std::size_t, float>> search(std::span<const float> query, std::size_t k,
                                                    std::size_t ef, VectorAccess access,
                                                    Metric metric, NodeFilter accept) const;

  // A copy of the node's neighbour list on a layer; nothing when the node or layer does not
  // exist.
  std::optional<std::vector<std::size_t>> neighbors(std::size_t node, std::size_t layer) const;
  // Number of layers (level + 1) of a node; 0 when the node does not exist.
  std::size_t node_layers(std::size_t node) const;

  // The search width the core store passes to search(); the graph does not depend on it.
  void set_ef_search(std::size_t ef) { config_.ef_search = ef; }

  // The saved form of the graph (hnsw_file.cc). save_graph appends to out the graph with node
  // order[p] renumbered p, and returns false, leaving out as it was, when a node in the graph
  // (or a link, or the entry point) is not in order. load_graph reads such bytes back into an
  // index of this configuration with exactly `nodes` node slots; nothing when the bytes do not
  // describe a well-formed graph for it (lengths, counts, levels and links are all checked, so
  // no byte string can make a walk read out of bounds).
  bool save_graph(std::span<const std::size_t> order, std::string& out) const;
  static std::optional<HnswIndex> load_graph(HnswConfig config, std::string_view bytes,
                                             std::size_t nodes);

  // Tests: draw levels from this source of 32-bit words instead of the thread's generator.
  void set_word_source(std::function<std::uint32_t()> words) { words_ = std::move(words); }

 private:
  struct Scratch;  // per-thread visited stamps and heap arrays, reused across calls
  class Probe;     // the nearness key of one fixed vector to nodes
  struct Locks;    // what concurrent insertion locks: a lock per stripe of nodes, the entry

  // Links are held as 32-bit node numbers: half the memory traffic of a machine word in the
  // walks, which are bound by it. REQUIRES of every caller: node numbers below 2^32 - 1.
  using Link = std::uint32_t;
  struct List {
    const Link* data = nullptr;  // nullptr when the node or the layer does not exist
    std::size_t size = 0;
  };

  std::size_t node_slots() const { return level0_.size() / stride_; }
  const Link* block(std::size_t node) const { return &level0_[node * stride_]; }
  Link* block(std::size_t node) { return &level0_[node * stride_]; }
  List list_of(std::size_t node, std::size_t layer) const;
  void append(std::size_t node, std::size_t layer, Link x);
  void assign(std::size_t node, std::size_t layer, const std::vector<Link>& xs);
  void reset_node(std::size_t node, std::size_t level);

  // The walks take a node's lock around reading its list when locks is set (concurrent
  // insertion) and read it directly otherwise.
  std::size_t greedy_closest(const Probe& probe, std::size_t c, float& best, std::size_t layer,
                             VectorAccess access, Locks* locks = nullptr) const;
  // Leaves the result heap's array in s.result; with kLiveOnly, only nodes not deleted enter
  // it (the others are still expanded).
  template <bool kLiveOnly>
  void search_layer(const Probe& probe, std::size_t entry, float entry_key, std::size_t layer,
                    std::size_t ef, VectorAccess access, Scratch& s,
                    Locks* locks = nullptr) const;
  // Links a node whose lists reset_node() has made and whose norm is set into the graph, as
  // insert() does, locking as search_layer() says.
  void link(std::size_t node, std::size_t level, std::span<const float> v, VectorAccess access,
            Metric metric, Locks* locks);
  // The level for node, checked as insert() checks it.
  std::size_t draw_level(std::size_t node) const;
  // Chooses node's list on layer again from its live links and the live links of its deleted
  // ones (the node itself left out), nearest first and as the configuration says, at most cap.
  void relink(std::size_t node, std::size_t layer, std::size_t cap, VectorAccess access,
              Metric metric, Scratch& s);
  std::size_t cap_of(std::size_t layer) const {
    return layer == 0 ? config_.m_max0 : config_.m_max;
  }
  // Deleted links in a list.
  std::size_t deleted_in(List list) const;
  // After a purge or a concurrent build: each live layer-0 node that no list links to (its
  // in-links all came through deleted nodes, or were pruned away by threads at once) is linked
  // from the nearest of its own links, so that walks reach it.
  void adopt_orphans(VectorAccess access, Metric metric, Scratch& s);
  // search_layer on layer 0 keeping only accepted nodes in s.result.
  void search_layer_filtered(const Probe& probe, std::size_t entry, float entry_key,
                             std::size_t ef, VectorAccess access, NodeFilter accept,
                             Scratch& s) const;
  // The key of node b seen from node a.
  float key_between(std::size_t a, std::size_t b, VectorAccess access, Metric metric) const;
  // Appends x to node's list on layer; when that makes the list longer than cap, replaces it
  // with cap of them chosen as the configuration says.
  void link_back(std::size_t node, std::size_t layer, Link x, std::size_t cap,
                 VectorAccess access, Metric metric, Scratch& s);

  HnswConfig config_;
  std::optional<std::size_t> entry_point_;
  std::size_t max_level_ = 0;

  // Layer 0, where nearly all the time of a walk goes, is one flat array of fixed-size blocks
  // indexed by node number, so that reaching a node's list costs one memory access:
  //   block = count, layers (level + 1, 0 when the node is not in the graph), slots_ links.
  // slots_ is the longest list the configuration keeps, max(m, m_max0), bounded so that an
  // outsized cap cannot blow up every block. A longer list (a cap of 0 never shortens one) lives
  // in spill0_ instead, and count then exceeds slots_.
  std::size_t slots_;
  std::size_t stride_;
  std::vector<Link> level0_;
  std::unordered_map<std::size_t, std::vector<Link>> spill0_;
  std::vector<std::vector<std::vector<Link>>> upper_;  // upper_[n][l - 1]
  // Each node's vector's norm (Scorer::norm), taken at insertion: half of what a Cosine measure
  // between two vectors of one length needs, and the same for every pair.
  std::vector<float> norms_;
  // 1 for a node marked deleted and still in the graph; empty until the first mark.
  std::vector<std::uint8_t> deleted_;
  std::size_t deleted_count_ = 0;
  std::size_t deleted_total_ = 0;
  std::function<std::uint32_t()> words_;
};

}  // namespace korvane_index::hnsw
