// The graph's shape and every result order are fixed by the exact order of the walks below:
// which lists are read in which order, which heap element is dropped on a tie, which candidate
// the stable sorts keep first. Optimisations here (batching a list's unvisited nodes, prefetching
// their vectors, reusing per-thread buffers, remembering a key already computed) must leave that
// order untouched; the tests pin it down on small hand-built graphs.
#include "index/hnsw.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace korvane_index::hnsw {
namespace {

using Vec = std::span<const float>;

// Heap order: by value; when neither value is smaller (equal, or either is NaN) the smaller node
// number is the smaller candidate.
inline bool heap_less(const Candidate& a, const Candidate& b) {
  if (a.value < b.value) return true;
  if (b.value < a.value) return false;
  return a.node < b.node;
}

// A binary max-heap over a borrowed array. std::priority_queue and std::push_heap leave the
// array order unspecified, but callers read this array as it stands (ties between equal keys
// are settled by it), so push and pop are spelled out.
class MaxHeap {
 public:
  explicit MaxHeap(std::vector<Candidate>& a) : a_(a) { a_.clear(); }

  bool empty() const { return a_.empty(); }
  std::size_t size() const { return a_.size(); }
  const Candidate& top() const { return a_[0]; }

  void push(Candidate c) {
    a_.push_back(c);
    sift_up(a_.size() - 1);
  }

  // REQUIRES: not empty.
  Candidate pop() {
    const Candidate last = a_.back();
    a_.pop_back();
    const std::size_t n = a_.size();
    if (n == 0) return last;
    const Candidate result = a_[0];
    // Walk the hole from the root to a leaf, always pulling up the greater child (the right
    // one when the left is not greater), then drop the old last element in and sift it up.
    std::size_t hole = 0;
    std::size_t child = 1;
    while (child + 1 < n) {
      if (!heap_less(a_[child + 1], a_[child])) ++child;
      a_[hole] = a_[child];
      hole = child;
      child = 2 * hole + 1;
    }
    if (child == n - 1) {
      a_[hole] = a_[child];
      hole = child;
    }
    a_[hole] = last;
    sift_up(hole);
    return result;
  }

 private:
  void sift_up(std::size_t i) {
    const Candidate c = a_[i];
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (!heap_less(a_[parent], c)) break;
      a_[i] = a_[parent];
      i = parent;
    }
    a_[i] = c;
  }

  std::vector<Candidate>& a_;
};

// Ascending, NaN after every number; a strict weak order, so the stable sort stays well defined
// whatever the metric returns.
inline bool sort_less(const Candidate& a, const Candidate& b) {
  return a.value < b.value || (std::isnan(b.value) && !std::isnan(a.value));
}

void stable_sort_nearest_first(std::vector<Candidate>& c) {
  if (c.size() < 2) return;
  // Short runs are the common case (pruned lists, small beams); insertion sort is stable and
  // needs no buffer.
  if (c.size() <= 32) {
    for (std::size_t i = 1; i < c.size(); ++i) {
      const Candidate x = c[i];
      std::size_t j = i;
      while (j > 0 && sort_less(x, c[j - 1])) {
        c[j] = c[j - 1];
        --j;
      }
      c[j] = x;
    }
    return;
  }
  std::stable_sort(c.begin(), c.end(), sort_less);
}

inline void prefetch_vector(Vec v) {
  const char* p = reinterpret_cast<const char*>(v.data());
  const std::size_t bytes = v.size() * sizeof(float);
  // A few lines are enough to get the hardware prefetcher going on longer vectors.
  const std::size_t lines = std::min<std::size_t>((bytes + 63) / 64, 8);
  for (std::size_t i = 0; i < lines; ++i) __builtin_prefetch(p + 64 * i);
}

std::uint32_t os_seeded_word() {
  thread_local std::mt19937 gen = [] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937(seq);
  }();
  return static_cast<std::uint32_t>(gen());
}

}  // namespace

// Reused by every walk on a thread: search() may run on several threads at once, and a walk
// never calls another walk while it holds these.
struct HnswIndex::Scratch {
  std::vector<std::uint32_t> stamps;  // visited when stamps[n] == epoch
  std::uint32_t epoch = 0;
  std::vector<Candidate> candidates;
  std::vector<Candidate> result;
  std::vector<Candidate> prune_heap;
  std::vector<std::size_t> batch;
  std::vector<Vec> batch_vectors;

  void start_visit(std::size_t nodes) {
    if (stamps.size() < nodes) stamps.resize(nodes, 0);
    if (++epoch == 0) {
      std::fill(stamps.begin(), stamps.end(), 0);
      epoch = 1;
    }
  }
  // Marks n; true when it was not yet visited in this walk.
  bool visit(std::size_t n) {
    if (stamps[n] == epoch) return false;
    stamps[n] = epoch;
    return true;
  }

  static Scratch& local() {
    thread_local Scratch s;
    return s;
  }
};

HnswIndex::HnswIndex(HnswConfig config) : config_(config) {}

std::size_t HnswIndex::random_layer() const {
  for (;;) {
    const std::uint32_t w = words_ ? words_() : os_seeded_word();
    const float r = std::bit_cast<float>((127u << 23) | (w >> 9)) - 1.0f;
    const float level = -(logf(r) * config_.ml);
    // r == 0 makes -ln r infinite: with a positive ml the level would be the largest word,
    // which no node can hold. Such a draw is discarded.
    if (r == 0.0f && level == std::numeric_limits<float>::infinity()) continue;
    if (!(level >= 0.0f)) return 0;  // negative or NaN
    if (level >= 18446744073709551616.0f) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(level);  // truncation is the floor for non-negatives
  }
}

std::vector<std::size_t> HnswIndex::select_neighbors(std::vector<Candidate>& c,
                                                     std::size_t m) const {
  stable_sort_nearest_first(c);
  const std::size_t n = std::min(m, c.size());
  std::vector<std::size_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = c[i].node;
  return out;
}

float HnswIndex::key(Metric metric, Vec q, Vec x) const {
  const float v = distance(metric, q, x);
  return is_distance(metric) ? v : -v;
}

std::vector<std::size_t>* HnswIndex::list_of(std::size_t node, std::size_t layer) {
  if (node >= layers_.size() || layer >= layers_[node]) return nullptr;
  return layer == 0 ? &layer0_[node] : &upper_[node][layer - 1];
}

const std::vector<std::size_t>* HnswIndex::neighbors(std::size_t node, std::size_t layer) const {
  return list_of(node, layer);
}

std::size_t HnswIndex::node_layers(std::size_t node) const {
  return node < layers_.size() ? layers_[node] : 0;
}

// best holds the key of q and c on entry and the key of the returned node on return.
std::size_t HnswIndex::greedy_closest(Vec q, std::size_t c, float& best, std::size_t layer,
                                      VectorAccess access, Metric metric) const {
  for (;;) {
    const std::vector<std::size_t>* list = list_of(c, layer);
    if (list == nullptr || list->empty()) return c;
    // The whole list of the node where this round began is scanned, against the best so far.
    std::size_t next = c;
    bool changed = false;
    const std::size_t* xs = list->data();
    const std::size_t n = list->size();
    for (std::size_t i = 0; i < n; ++i) {
      if (i + 1 < n) prefetch_vector(access(xs[i + 1]));
      const float d = key(metric, q, access(xs[i]));
      if (d < best) {
        best = d;
        next = xs[i];
        changed = true;
      }
    }
    if (!changed) return c;
    c = next;
  }
}

void HnswIndex::search_layer(Vec q, std::size_t entry, float entry_key, std::size_t layer,
                             std::size_t ef, VectorAccess access, Metric metric,
                             Scratch& s) const {
  s.start_visit(layers_.size());
  MaxHeap candidates(s.candidates);
  MaxHeap result(s.result);
  s.visit(entry);
  candidates.push({-entry_key, entry});
  result.push({entry_key, entry});

  while (!candidates.empty()) {
    const Candidate nearest = candidates.pop();
    const float dc = -nearest.value;
    // Everything kept is nearer than the nearest unexpanded node (NaN on either side goes on).
    if (result.top().value < dc) break;
    const std::vector<std::size_t>* list = list_of(nearest.node, layer);
    if (list == nullptr) continue;

    // Whether a node is visited does not depend on any key, so the list's unvisited nodes can
    // be collected first and their vectors prefetched while the earlier ones are measured.
    s.batch.clear();
    s.batch_vectors.clear();
    for (std::size_t x : *list) {
      if (!s.visit(x)) continue;
      s.batch.push_back(x);
      const Vec v = access(x);
      s.batch_vectors.push_back(v);
      prefetch_vector(v);
    }
    for (std::size_t i = 0; i < s.batch.size(); ++i) {
      const float d = key(metric, q, s.batch_vectors[i]);
      const float f = result.top().value;
      if (d < f || result.size() < ef) {
        candidates.push({-d, s.batch[i]});
        result.push({d, s.batch[i]});
        if (result.size() > ef) result.pop();
      }
    }
  }
}

void HnswIndex::prune(std::size_t node, std::vector<std::size_t>& list, std::size_t cap,
                      VectorAccess access, Metric metric, Scratch& s) const {
  const Vec own = access(node);
  MaxHeap heap(s.prune_heap);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i + 1 < list.size()) prefetch_vector(access(list[i + 1]));
    heap.push({-key(metric, own, access(list[i])), list[i]});
  }
  // Compared for equality after each append, so a cap of 0 never shortens the list; it is only
  // re-ordered nearest first.
  list.clear();
  while (!heap.empty()) {
    list.push_back(heap.pop().node);
    if (list.size() == cap) break;
  }
}

void HnswIndex::insert(std::size_t node, Vec v, VectorAccess access, Metric metric) {
  const std::size_t level = random_layer();

  if (node >= layers_.size()) {
    layers_.resize(node + 1, 0);
    layer0_.resize(node + 1);
    upper_.resize(node + 1);
  }
  layers_[node] = level + 1;
  layer0_[node].clear();
  layer0_[node].shrink_to_fit();
  upper_[node].assign(level, {});
  if (config_.m_max0 > 0 && config_.m_max0 < 4096) layer0_[node].reserve(config_.m_max0 + 1);

  if (!entry_point_) {
    entry_point_ = node;
    max_level_ = level;
    return;
  }

  Scratch& s = Scratch::local();
  std::size_t ep = *entry_point_;
  const std::size_t top = max_level_;
  float ep_key = key(metric, v, access(ep));
  for (std::size_t l = top; l > level; --l) ep = greedy_closest(v, ep, ep_key, l, access, metric);

  for (std::size_t l = std::min(level, top) + 1; l-- > 0;) {
    search_layer(v, ep, ep_key, l, config_.ef_construction, access, metric, s);
    std::vector<Candidate>& w = s.result;
    const std::vector<std::size_t> chosen = select_neighbors(w, config_.m);
    const std::size_t cap = l == 0 ? config_.m_max0 : config_.m_max;
    for (std::size_t n : chosen) {
      list_of(node, l)->push_back(n);
      // Only a node number inserted twice can leave a link to a layer its new lists lack; such
      // a node gets no link back rather than a list it was not drawn for.
      std::vector<std::size_t>* back = list_of(n, l);
      if (back == nullptr) continue;
      back->push_back(node);
      if (back->size() > cap) prune(n, *back, cap, access, metric, s);
    }
    // The nearest node this layer's search found enters the next layer down.
    ep = w[0].node;
    ep_key = w[0].value;
  }

  if (level > top) {
    max_level_ = level;
    entry_point_ = node;
  }
}

std::vector<std::pair<std::size_t, float>> HnswIndex::search(Vec query, std::size_t k,
                                                             std::size_t ef, VectorAccess access,
                                                             Metric metric) const {
  std::vector<std::pair<std::size_t, float>> out;
  if (!entry_point_) return out;

  std::size_t ep = *entry_point_;
  float ep_key = key(metric, query, access(ep));
  for (std::size_t l = max_level_; l > 0; --l) {
    ep = greedy_closest(query, ep, ep_key, l, access, metric);
  }

  Scratch& s = Scratch::local();
  search_layer(query, ep, ep_key, 0, std::max(k, ef), access, metric, s);
  std::vector<Candidate>& w = s.result;
  stable_sort_nearest_first(w);
  const std::size_t n = std::min(k, w.size());
  out.reserve(n);
  const bool similarity = !is_distance(metric);
  for (std::size_t i = 0; i < n; ++i) {
    out.emplace_back(w[i].node, similarity ? -w[i].value : w[i].value);
  }
  return out;
}

}  // namespace korvane_index::hnsw
