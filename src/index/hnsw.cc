// The graph's shape and every result order are fixed by the exact order of the walks below:
// which lists are read in which order, which heap element is dropped on a tie, which candidate
// the stable sorts keep first. Optimisations here (batching a list's unvisited nodes, prefetching
// their vectors, reusing per-thread buffers, remembering a key already computed) must leave that
// order untouched; the tests pin it down on small hand-built graphs.
#include "index/hnsw.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include <tbb/task_arena.h>

#include "index/scorer.h"

namespace korvane_index::hnsw {
namespace {

using Vec = std::span<const float>;

// A Candidate as the walks hold it: the heaps move these around, and half the size is half the
// traffic.
struct Entry {
  float value;
  std::uint32_t node;
};

// Heap order: by value; when neither value is smaller (equal, or either is NaN) the smaller node
// number is the smaller candidate.
template <class C>
inline bool heap_less(const C& a, const C& b) {
  if (a.value < b.value) return true;
  if (b.value < a.value) return false;
  return a.node < b.node;
}

// A binary max-heap over a borrowed array. std::priority_queue and std::push_heap leave the
// array order unspecified, but callers read this array as it stands (ties between equal keys
// are settled by it), so push and pop are spelled out.
template <class C>
class MaxHeap {
 public:
  explicit MaxHeap(std::vector<C>& a) : a_(a) { a_.clear(); }

  bool empty() const { return a_.empty(); }
  std::size_t size() const { return a_.size(); }
  const C& top() const { return a_[0]; }

  void push(C c) {
    a_.push_back(c);
    sift_up(a_.size() - 1);
  }

  // REQUIRES: not empty.
  C pop() {
    const C last = a_.back();
    a_.pop_back();
    const std::size_t n = a_.size();
    if (n == 0) return last;
    const C result = a_[0];
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
    const C c = a_[i];
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (!heap_less(a_[parent], c)) break;
      a_[i] = a_[parent];
      i = parent;
    }
    a_[i] = c;
  }

  std::vector<C>& a_;
};

// Ascending, NaN after every number; a strict weak order, so the stable sort stays well defined
// whatever the metric returns.
template <class C>
inline bool sort_less(const C& a, const C& b) {
  return a.value < b.value || (std::isnan(b.value) && !std::isnan(a.value));
}

template <class C>
void stable_sort_nearest_first(std::vector<C>& c) {
  if (c.size() < 2) return;
  // Short runs are the common case (pruned lists, small beams); insertion sort is stable and
  // needs no buffer.
  if (c.size() <= 32) {
    for (std::size_t i = 1; i < c.size(); ++i) {
      const C x = c[i];
      std::size_t j = i;
      while (j > 0 && sort_less(x, c[j - 1])) {
        c[j] = c[j - 1];
        --j;
      }
      c[j] = x;
    }
    return;
  }
  std::stable_sort(c.begin(), c.end(), [](const C& a, const C& b) { return sort_less(a, b); });
}

struct Ranked {
  Entry c;
  std::size_t pos;
};

// Leaves in c[0, min(count, size)) what a stable sort would put there; the rest of c is left in
// no particular order. Walks need only the head of a sorted beam (k results, m links), and
// ranking by (value, position) selects it without sorting the tail.
void nearest_first_prefix(std::vector<Entry>& c, std::size_t count,
                          std::vector<Ranked>& ranked) {
  if (c.size() <= 32 || count * 4 >= c.size()) {
    stable_sort_nearest_first(c);
    return;
  }
  ranked.resize(c.size());
  for (std::size_t i = 0; i < c.size(); ++i) ranked[i] = {c[i], i};
  std::partial_sort(ranked.begin(), ranked.begin() + count, ranked.end(),
                    [](const Ranked& a, const Ranked& b) {
                      if (sort_less(a.c, b.c)) return true;
                      if (sort_less(b.c, a.c)) return false;
                      return a.pos < b.pos;
                    });
  for (std::size_t i = 0; i < count; ++i) c[i] = ranked[i].c;
}

inline void prefetch_vector(Vec v) {
  const char* p = reinterpret_cast<const char*>(v.data());
  const std::size_t bytes = v.size() * sizeof(float);
  // A few lines are enough to get the hardware prefetcher going on longer vectors; more only
  // compete with it (with large pages, 4 measured faster than 8 at 384 floats).
  const std::size_t lines = std::min<std::size_t>((bytes + 63) / 64, 4);
  for (std::size_t i = 0; i < lines; ++i) __builtin_prefetch(p + 64 * i);
}

// The Diverse choice: walks c (nearest first to a base vector, by key) and keeps a candidate
// unless a candidate already kept is nearer to it than the base is; stops at m kept. With no
// more than m candidates all are kept. key_between(a, b) is the key of node b seen from node a.
template <class KeyBetween>
void select_diverse(const std::vector<Entry>& c, std::size_t m, const KeyBetween& key_between,
                    std::vector<std::uint32_t>& out) {
  out.clear();
  if (c.size() <= m) {
    for (const Entry& e : c) out.push_back(e.node);
    return;
  }
  for (const Entry& e : c) {
    if (out.size() >= m) break;
    bool keep = true;
    for (const std::uint32_t r : out) {
      if (key_between(e.node, r) < e.value) {
        keep = false;
        break;
      }
    }
    if (keep) out.push_back(e.node);
  }
}

// Runs helper() on `helpers` threads of their own beside mine() on the calling thread, and
// returns once all have; an exception from mine() is rethrown after the helpers are done.
// Threads, not tasks of the pool: mine() calls back into the caller (a progress report, which
// from Python may even end the thread by unwinding it), and that must not run inside the pool's
// frames; and the thread sanitizer then sees every hand-over, which it cannot inside the pool.
template <class Helper, class Mine>
void run_beside(std::size_t helpers, const Helper& helper, const Mine& mine) {
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  try {
    for (std::size_t t = 0; t < helpers; ++t) threads.emplace_back(helper);
    mine();
  } catch (...) {
    for (std::thread& t : threads) t.join();
    throw;
  }
  for (std::thread& t : threads) t.join();
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

// The nearness key of one fixed vector (a query, or the node whose list is pruned) to nodes:
// the metric's value, negated for similarities so that smaller is nearer. Each node's sum of
// squares was taken when it was inserted, so under Cosine a pair of one length costs one dot
// product instead of three sums. The bits are those of the full metric.
class HnswIndex::Probe {
 public:
  Probe(Metric metric, Vec q, const float* norms)
      : scorer_(metric, q), norms_(norms), negate_(!is_distance(metric)) {}
  // For a node already in the index: its own norm is known.
  Probe(Metric metric, std::size_t node, Vec x, const float* norms)
      : scorer_(metric, x, norms[node]),
        norms_(norms),
        negate_(!is_distance(metric)) {}

  float key(std::size_t node, Vec x) const {
    const float v = scorer_.score_with_norm(x, norms_[node]);
    return negate_ ? -v : v;
  }

  // key(nodes[i], xs[i]) into out[i] for i < n <= kGroup, the pairs measured side by side.
  static constexpr std::size_t kGroup = 4;
  void keys(const std::uint32_t* nodes, const Vec* xs, std::size_t n, float* out) const {
    float norms[kGroup];
    for (std::size_t i = 0; i < n; ++i) norms[i] = norms_[nodes[i]];
    scorer_.score_many({xs, n}, norms, out);
    if (negate_) {
      for (std::size_t i = 0; i < n; ++i) out[i] = -out[i];
    }
  }

 private:
  Scorer scorer_;
  const float* norms_;
  bool negate_;
};

// Reused by every walk on a thread: search() may run on several threads at once, and a walk
// never calls another walk while it holds these.
struct HnswIndex::Scratch {
  // Visited when stamps[n] == epoch; 16 bits keep the array small enough to stay in cache.
  std::vector<std::uint16_t> stamps;
  std::uint16_t epoch = 0;
  std::vector<Entry> candidates;
  std::vector<Entry> result;
  std::vector<Entry> prune_heap;
  std::vector<Ranked> ranked;
  std::vector<Link> links;
  std::vector<Link> batch;
  std::vector<Vec> batch_vectors;
  std::vector<float> batch_keys;
  std::vector<Entry> sorted;
  std::vector<Link> chosen;
  std::vector<Link> copied;  // a list read under its node's lock

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

// Concurrent insertion locks one node's lists at a time, never two, so the stripes cannot
// deadlock; the entry lock is taken before any of them, and held through the whole insertion of
// a node that becomes the new entry point.
struct HnswIndex::Locks {
  static constexpr std::size_t kStripes = 4096;
  std::mutex stripes[kStripes];
  std::mutex entry;
  std::mutex& of(std::size_t node) { return stripes[node & (kStripes - 1)]; }
};

namespace {

// The lock of a node's lists when there are locks, nothing otherwise.
template <class Locks>
std::unique_lock<std::mutex> lock_node(Locks* locks, std::size_t node) {
  if (locks == nullptr) return {};
  return std::unique_lock<std::mutex>(locks->of(node));
}

}  // namespace

HnswIndex::HnswIndex(HnswConfig config)
    : config_(config),
      slots_(std::min<std::size_t>(std::max(config.m, config.m_max0), 512)),
      stride_(2 + slots_) {}

korvane_storage::Result<void, korvane_core::KorvaneError> HnswIndex::check(
    const HnswConfig& config, std::size_t nodes) {
  using korvane_core::KorvaneError;
  if (nodes > kMaxNodes) {
    return KorvaneError{KorvaneError::Code::Config,
                        "the graph index holds at most " + std::to_string(kMaxNodes) +
                            " records, not " + std::to_string(nodes)};
  }
  // The highest level random_layer() can draw comes from the smallest r it accepts, 2^-23.
  const float top = -(logf(0x1p-23f) * config.ml);
  if (top >= static_cast<float>(kMaxLevel + 1)) {
    return KorvaneError{KorvaneError::Code::Config,
                        "level multiplier " + std::to_string(config.ml) + " draws levels up to " +
                            std::to_string(top) + ", above the " + std::to_string(kMaxLevel) +
                            " the graph index holds"};
  }
  return {};
}

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

HnswIndex::List HnswIndex::list_of(std::size_t node, std::size_t layer) const {
  if (node >= node_slots()) return {};
  const Link* b = block(node);
  if (layer >= b[1]) return {};
  if (layer > 0) {
    // An empty vector may have no storage at all, but an existing empty list is not a missing
    // one.
    static constexpr Link kNoLinks = 0;
    const std::vector<Link>& l = upper_[node][layer - 1];
    return {l.empty() ? &kNoLinks : l.data(), l.size()};
  }
  if (b[0] <= slots_) return {b + 2, b[0]};
  const std::vector<Link>& l = spill0_.find(node)->second;
  return {l.data(), l.size()};
}

void HnswIndex::append(std::size_t node, std::size_t layer, Link x) {
  if (layer > 0) {
    upper_[node][layer - 1].push_back(x);
    return;
  }
  Link* b = block(node);
  if (b[0] < slots_) {
    b[2 + b[0]] = x;
  } else {
    std::vector<Link>& l = spill0_[node];
    if (b[0] == slots_) l.assign(b + 2, b + 2 + slots_);
    l.push_back(x);
  }
  ++b[0];
}

void HnswIndex::assign(std::size_t node, std::size_t layer, const std::vector<Link>& xs) {
  if (layer > 0) {
    upper_[node][layer - 1] = xs;
    return;
  }
  Link* b = block(node);
  if (b[0] > slots_ && xs.size() <= slots_) spill0_.erase(node);
  if (xs.size() <= slots_) {
    std::copy(xs.begin(), xs.end(), b + 2);
  } else {
    spill0_[node] = xs;
  }
  b[0] = static_cast<Link>(xs.size());
}

void HnswIndex::reset_node(std::size_t node, std::size_t level) {
  if (node >= node_slots()) {
    level0_.resize((node + 1) * stride_, 0);
    upper_.resize(node + 1);
    norms_.resize(node + 1);
  }
  Link* b = block(node);
  if (b[0] > slots_) spill0_.erase(node);
  b[0] = 0;
  b[1] = static_cast<Link>(level + 1);
  upper_[node].assign(level, {});
  if (is_deleted(node)) {
    deleted_[node] = 0;
    --deleted_count_;
  }
}

std::optional<std::vector<std::size_t>> HnswIndex::neighbors(std::size_t node,
                                                             std::size_t layer) const {
  const List l = list_of(node, layer);
  if (l.data == nullptr) return std::nullopt;
  return std::vector<std::size_t>(l.data, l.data + l.size);
}

std::size_t HnswIndex::node_layers(std::size_t node) const {
  return node < node_slots() ? block(node)[1] : 0;
}

// best holds the key of q and c on entry and the key of the returned node on return.
std::size_t HnswIndex::greedy_closest(const Probe& probe, std::size_t c, float& best,
                                      std::size_t layer, VectorAccess access,
                                      Locks* locks) const {
  for (;;) {
    List list;
    if (locks != nullptr) {
      std::vector<Link>& copy = Scratch::local().copied;
      const std::lock_guard<std::mutex> held(locks->of(c));
      const List l = list_of(c, layer);
      copy.assign(l.data, l.data + l.size);
      list = {copy.data(), copy.size()};
    } else {
      list = list_of(c, layer);
    }
    if (list.size == 0) return c;
    // The whole list of the node where this round began is scanned, against the best so far.
    std::size_t next = c;
    bool changed = false;
    const Link* xs = list.data;
    const std::size_t n = list.size;
    for (std::size_t i = 0; i < n; ++i) {
      if (i + 1 < n) prefetch_vector(access(xs[i + 1]));
      const float d = probe.key(xs[i], access(xs[i]));
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

template <bool kLiveOnly>
void HnswIndex::search_layer(const Probe& probe, std::size_t entry, float entry_key,
                             std::size_t layer, std::size_t ef, VectorAccess access, Scratch& s,
                             Locks* locks) const {
  s.start_visit(node_slots());
  MaxHeap<Entry> candidates(s.candidates);
  MaxHeap<Entry> result(s.result);
  s.visit(entry);
  candidates.push({-entry_key, static_cast<Link>(entry)});
  if (!kLiveOnly || !is_deleted(entry)) result.push({entry_key, static_cast<Link>(entry)});

  while (!candidates.empty()) {
    const Entry nearest = candidates.pop();
    const float dc = -nearest.value;
    // Everything kept is nearer than the nearest unexpanded node (NaN on either side goes on).
    // Keeping live nodes only, the result may hold fewer than ef while there is more to walk.
    if constexpr (kLiveOnly) {
      if (result.size() >= ef && result.top().value < dc) break;
    } else if (result.top().value < dc) {
      break;
    }
    std::unique_lock<std::mutex> held = lock_node(locks, nearest.node);
    const List list = list_of(nearest.node, layer);
    if (list.data == nullptr) continue;

    // Whether a node is visited does not depend on any key, so the list's unvisited nodes can
    // be collected first and their vectors fetched while the earlier ones are measured: the
    // first line of each at once, the rest of each one step ahead (all of every vector at once
    // overflows the line-fill buffers and stalls). The collection has no branch: whether a
    // neighbour was seen is a coin toss to the predictor.
    if (s.batch.size() < list.size) {
      s.batch.resize(list.size);
      s.batch_vectors.resize(list.size);
      s.batch_keys.resize(list.size);
    }
    Link* batch = s.batch.data();
    Vec* vectors = s.batch_vectors.data();
    float* keys = s.batch_keys.data();
    std::uint16_t* stamps = s.stamps.data();
    const std::uint16_t epoch = s.epoch;
    std::size_t fresh = 0;
    for (std::size_t i = 0; i < list.size; ++i) {
      const Link x = list.data[i];
      const bool unseen = stamps[x] != epoch;
      stamps[x] = epoch;
      batch[fresh] = x;
      fresh += unseen;
    }
    if (held.owns_lock()) held.unlock();
    for (std::size_t i = 0; i < fresh; ++i) {
      vectors[i] = access(batch[i]);
      __builtin_prefetch(vectors[i].data());
    }
    // The keys go a group at a time, whose sums run side by side; the next group's vectors are
    // fetched meanwhile. No key depends on the heaps, so the heaps then see the same keys in
    // the same order as one at a time.
    constexpr std::size_t G = Probe::kGroup;
    for (std::size_t i = 0; i < std::min(G, fresh); ++i) prefetch_vector(vectors[i]);
    for (std::size_t g = 0; g < fresh; g += G) {
      for (std::size_t i = g + G; i < std::min(g + 2 * G, fresh); ++i) prefetch_vector(vectors[i]);
      probe.keys(batch + g, vectors + g, std::min(G, fresh - g), keys + g);
    }
    for (std::size_t i = 0; i < fresh; ++i) {
      const float d = keys[i];
      if constexpr (kLiveOnly) {
        if (result.size() < ef || d < result.top().value) {
          const Link x = batch[i];
          __builtin_prefetch(block(x));
          candidates.push({-d, x});
          if (!is_deleted(x)) {
            result.push({d, x});
            if (result.size() > ef) result.pop();
          }
        }
        continue;
      }
      const float f = result.top().value;
      if (d < f || result.size() < ef) {
        const Link x = batch[i];
        // Likely expanded soon: fetch its layer-0 block (its list on any layer starts there).
        __builtin_prefetch(block(x));
        candidates.push({-d, x});
        result.push({d, x});
        if (result.size() > ef) result.pop();
      }
    }
  }
}

float HnswIndex::key_between(std::size_t a, std::size_t b, VectorAccess access,
                             Metric metric) const {
  return Probe(metric, a, access(a), norms_.data()).key(b, access(b));
}

void HnswIndex::link_back(std::size_t node, std::size_t layer, Link x, std::size_t cap,
                          VectorAccess access, Metric metric, Scratch& s) {
  const List list = list_of(node, layer);
  if (list.size + 1 <= cap) {
    append(node, layer, x);
    return;
  }
  if (config_.neighbors == Neighbors::Diverse && cap > 0) {
    // Over its cap once x is appended: the list with x at its end, nearest to node first
    // (ties keep list order), thinned the Diverse way.
    const Probe probe(metric, node, access(node), norms_.data());
    std::vector<Entry>& c = s.sorted;
    c.clear();
    for (std::size_t i = 0; i <= list.size; ++i) {
      const Link y = i < list.size ? list.data[i] : x;
      if (i + 1 < list.size) prefetch_vector(access(list.data[i + 1]));
      c.push_back({probe.key(y, access(y)), y});
    }
    stable_sort_nearest_first(c);
    select_diverse(c, cap, [&](std::size_t a, std::size_t b) { return key_between(a, b, access, metric); }, s.links);
    assign(node, layer, s.links);
    return;
  }
  // Over its cap once x is appended: order the list with x at its end through the candidate
  // heap, nearest to node first (ties: greater node number first), and keep cap of them.
  const Probe probe(metric, access(node), norms_.data());
  MaxHeap<Entry> heap(s.prune_heap);
  for (std::size_t i = 0; i <= list.size; ++i) {
    const Link y = i < list.size ? list.data[i] : x;
    if (i + 1 < list.size) prefetch_vector(access(list.data[i + 1]));
    heap.push({-probe.key(y, access(y)), y});
  }
  // Compared for equality after each append, so a cap of 0 never shortens the list; it is only
  // re-ordered nearest first.
  s.links.clear();
  while (!heap.empty()) {
    s.links.push_back(heap.pop().node);
    if (s.links.size() == cap) break;
  }
  assign(node, layer, s.links);
}

std::size_t HnswIndex::draw_level(std::size_t node) const {
  if (node >= kMaxNodes) throw std::length_error("graph index: node number beyond 32 bits");
  const std::size_t level = random_layer();
  if (level > kMaxLevel) throw std::length_error("graph index: level beyond the highest held");
  return level;
}

void HnswIndex::insert(std::size_t node, Vec v, VectorAccess access, Metric metric) {
  const std::size_t level = draw_level(node);
  reset_node(node, level);
  norms_[node] = Scorer::norm(v);
  link(node, level, v, access, metric, nullptr);
}

void HnswIndex::link(std::size_t node, std::size_t level, Vec v, VectorAccess access,
                     Metric metric, Locks* locks) {
  // A node drawn above the current top is linked holding the entry lock throughout, so that no
  // other thread descends from an entry point that is about to change.
  std::unique_lock<std::mutex> entry_held;
  if (locks != nullptr) entry_held = std::unique_lock<std::mutex>(locks->entry);
  if (!entry_point_) {
    entry_point_ = node;
    max_level_ = level;
    return;
  }
  std::size_t ep = *entry_point_;
  const std::size_t top = max_level_;
  if (entry_held.owns_lock() && level <= top) entry_held.unlock();

  Scratch& s = Scratch::local();
  const Probe probe(metric, v, norms_.data());
  float ep_key = probe.key(ep, access(ep));
  for (std::size_t l = top; l > level; --l) {
    ep = greedy_closest(probe, ep, ep_key, l, access, locks);
  }

  for (std::size_t l = std::min(level, top) + 1; l-- > 0;) {
    search_layer<false>(probe, ep, ep_key, l, config_.ef_construction, access, s, locks);
    std::vector<Entry>& w = s.result;
    // Deleted nodes guide the walk but take no links, unless nothing else was found.
    if (deleted_count_ > 0 && std::any_of(w.begin(), w.end(), [&](const Entry& e) {
          return !is_deleted(e.node);
        })) {
      std::erase_if(w, [&](const Entry& e) { return is_deleted(e.node); });
    }
    const std::size_t cap = cap_of(l);
    auto link_to = [&](std::size_t n) {
      {
        // Other threads may already have linked back to node, so that its own links would
        // overflow the list: then they are thinned as any full list is.
        const std::unique_lock<std::mutex> held = lock_node(locks, node);
        if (locks != nullptr && cap > 0 && list_of(node, l).size >= cap) {
          link_back(node, l, static_cast<Link>(n), cap, access, metric, s);
        } else {
          append(node, l, static_cast<Link>(n));
        }
      }
      // Only a node number inserted twice can leave a link to a layer its new lists lack; such
      // a node gets no link back rather than a list it was not drawn for.
      if (node_layers(n) <= l) return;
      const std::unique_lock<std::mutex> held = lock_node(locks, n);
      link_back(n, l, static_cast<Link>(node), cap, access, metric, s);
    };
    if (config_.neighbors == Neighbors::Diverse) {
      stable_sort_nearest_first(w);
      select_diverse(w, config_.m, [&](std::size_t a, std::size_t b) { return key_between(a, b, access, metric); }, s.chosen);
      for (const Link n : s.chosen) link_to(n);
    } else {
      // select_neighbors(w, m), sorting only as much of w as is read: m links and the nearest.
      const std::size_t chosen = std::min(config_.m, w.size());
      nearest_first_prefix(w, std::max<std::size_t>(chosen, 1), s.ranked);
      for (std::size_t i = 0; i < chosen; ++i) link_to(w[i].node);
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

bool HnswIndex::insert_all(std::span<const std::size_t> nodes, VectorAccess access,
                           Metric metric, std::size_t threads, std::size_t every,
                           BuildReport report) {
  const std::size_t total = nodes.size();
  // More threads than the pool has cores would only wait for one another, and a few nodes are
  // not worth starting a thread for.
  const auto pool = static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
  if (threads == 0 || threads > pool) threads = pool;
  constexpr std::size_t kNodesPerThread = 64;
  threads = std::min(threads, std::max<std::size_t>(total / kNodesPerThread, 1));
  // Concurrent linking relies on every layer-0 list fitting its block: a spilled list lives in
  // a map that the walks would read while another thread changes it.
  const bool fits = config_.m_max0 >= 1 && std::max(config_.m, config_.m_max0) <= slots_;
  if (threads <= 1 || total < 2 || !fits) {
    for (std::size_t done = 0; done < total;) {
      insert(nodes[done], access(nodes[done]), access, metric);
      ++done;
      if (every > 0 && done % every == 0 && done < total && !report(done)) return false;
    }
    return true;
  }

  // The levels in list order, as one thread would draw them, then every node's empty lists:
  // from here on no thread resizes anything that another reads.
  std::vector<std::uint16_t> levels(total);
  for (std::size_t i = 0; i < total; ++i) levels[i] = static_cast<std::uint16_t>(draw_level(nodes[i]));
  for (std::size_t i = 0; i < total; ++i) {
    reset_node(nodes[i], levels[i]);
    norms_[nodes[i]] = Scorer::norm(access(nodes[i]));
  }

  const auto locks = std::make_unique<Locks>();
  constexpr std::size_t kChunk = 16;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::atomic<bool> stop{false};
  std::mutex failure_mu;
  std::exception_ptr failure;
  // Each thread takes the next chunk of nodes until none is left or the build stops.
  auto run_chunk = [&]() -> bool {
    if (stop.load(std::memory_order_relaxed)) return false;
    const std::size_t begin = next.fetch_add(kChunk, std::memory_order_relaxed);
    if (begin >= total) return false;
    const std::size_t end = std::min(total, begin + kChunk);
    try {
      for (std::size_t i = begin; i < end; ++i) {
        link(nodes[i], levels[i], access(nodes[i]), access, metric, locks.get());
      }
    } catch (...) {
      const std::lock_guard<std::mutex> held(failure_mu);
      if (!failure) failure = std::current_exception();
      stop.store(true, std::memory_order_relaxed);
      return false;
    }
    done.fetch_add(end - begin, std::memory_order_release);
    return true;
  };
  // The calling thread's reports: every multiple of `every` reached so far, below the total.
  std::size_t reported = 0;
  bool declined = false;
  auto report_due = [&] {
    const std::size_t now = done.load(std::memory_order_acquire);
    while (every > 0 && !declined && reported + every <= now && reported + every < total) {
      reported += every;
      if (!report(reported)) {
        declined = true;
        stop.store(true, std::memory_order_relaxed);
      }
    }
  };
  run_beside(threads - 1, [&] {
    while (run_chunk()) {
    }
  }, [&] {
    try {
      while (run_chunk()) report_due();
    } catch (...) {
      // A report that throws stops the build; the others finish their chunks first.
      stop.store(true, std::memory_order_relaxed);
      throw;
    }
  });
  if (failure) std::rethrow_exception(failure);
  if (declined) return false;
  // Threads that prune the same list at once can drop a node from every list that took it,
  // which one thread would not have done; such nodes get a link again.
  adopt_orphans(access, metric, Scratch::local());
  report_due();
  return true;
}

std::vector<std::pair<std::size_t, float>> HnswIndex::search(Vec query, std::size_t k,
                                                             std::size_t ef, VectorAccess access,
                                                             Metric metric) const {
  std::vector<std::pair<std::size_t, float>> out;
  if (!entry_point_) return out;
  std::size_t ep = *entry_point_;
  const Probe probe(metric, query, norms_.data());
  float ep_key = probe.key(ep, access(ep));
  for (std::size_t l = max_level_; l > 0; --l) {
    ep = greedy_closest(probe, ep, ep_key, l, access);
  }

  Scratch& s = Scratch::local();
  if (deleted_count_ > 0) {
    search_layer<true>(probe, ep, ep_key, 0, std::max(k, ef), access, s);
  } else {
    search_layer<false>(probe, ep, ep_key, 0, std::max(k, ef), access, s);
  }
  std::vector<Entry>& w = s.result;
  const std::size_t n = std::min(k, w.size());
  nearest_first_prefix(w, n, s.ranked);
  out.reserve(n);
  const bool similarity = !is_distance(metric);
  for (std::size_t i = 0; i < n; ++i) {
    out.emplace_back(w[i].node, similarity ? -w[i].value : w[i].value);
  }
  return out;
}

// The unfiltered walk's loop with two kinds of nodes: every unvisited neighbour near enough is
// a candidate to expand, and only accepted ones enter the result, which then bounds how near a
// candidate must be.
void HnswIndex::search_layer_filtered(const Probe& probe, std::size_t entry, float entry_key,
                                      std::size_t ef, VectorAccess access, NodeFilter accept,
                                      Scratch& s) const {
  s.start_visit(node_slots());
  MaxHeap<Entry> candidates(s.candidates);
  MaxHeap<Entry> result(s.result);
  s.visit(entry);
  candidates.push({-entry_key, static_cast<Link>(entry)});
  if (accept(entry)) result.push({entry_key, static_cast<Link>(entry)});

  constexpr std::size_t G = Probe::kGroup;
  Link group[G];
  Vec vectors[G];
  float keys[G];
  while (!candidates.empty()) {
    const Entry nearest = candidates.pop();
    if (result.size() >= ef && result.top().value < -nearest.value) break;
    const List list = list_of(nearest.node, 0);
    std::size_t i = 0;
    while (i < list.size) {
      std::size_t n = 0;
      for (; i < list.size && n < G; ++i) {
        const Link x = list.data[i];
        if (!s.visit(x)) continue;
        group[n] = x;
        vectors[n] = access(x);
        prefetch_vector(vectors[n]);
        ++n;
      }
      if (n == 0) break;
      probe.keys(group, vectors, n, keys);
      for (std::size_t j = 0; j < n; ++j) {
        const float d = keys[j];
        if (result.size() < ef || d < result.top().value) {
          candidates.push({-d, group[j]});
          if (accept(group[j])) {
            result.push({d, group[j]});
            if (result.size() > ef) result.pop();
          }
        }
      }
    }
  }
}

std::vector<std::pair<std::size_t, float>> HnswIndex::search(Vec query, std::size_t k,
                                                             std::size_t ef, VectorAccess access,
                                                             Metric metric,
                                                             NodeFilter accept) const {
  std::vector<std::pair<std::size_t, float>> out;
  if (!entry_point_) return out;
  std::size_t ep = *entry_point_;
  const Probe probe(metric, query, norms_.data());
  float ep_key = probe.key(ep, access(ep));
  for (std::size_t l = max_level_; l > 0; --l) ep = greedy_closest(probe, ep, ep_key, l, access);

  Scratch& s = Scratch::local();
  if (deleted_count_ > 0) {
    auto live = [&](std::size_t n) { return !is_deleted(n) && accept(n); };
    search_layer_filtered(probe, ep, ep_key, std::max(k, ef), access, live, s);
  } else {
    search_layer_filtered(probe, ep, ep_key, std::max(k, ef), access, accept, s);
  }
  std::vector<Entry>& w = s.result;
  const std::size_t n = std::min(k, w.size());
  nearest_first_prefix(w, n, s.ranked);
  out.reserve(n);
  const bool similarity = !is_distance(metric);
  for (std::size_t i = 0; i < n; ++i) out.emplace_back(w[i].node, similarity ? -w[i].value : w[i].value);
  return out;
}

std::size_t HnswIndex::deleted_in(List list) const {
  if (deleted_count_ == 0) return 0;
  std::size_t n = 0;
  for (std::size_t i = 0; i < list.size; ++i) n += is_deleted(list.data[i]);
  return n;
}

void HnswIndex::relink(std::size_t node, std::size_t layer, std::size_t cap, VectorAccess access,
                       Metric metric, Scratch& s) {
  const List list = list_of(node, layer);
  const Probe probe(metric, node, access(node), norms_.data());
  std::vector<Entry>& c = s.sorted;
  c.clear();
  s.start_visit(node_slots());
  s.visit(node);
  auto consider = [&](Link y) {
    if (!is_deleted(y) && s.visit(y)) c.push_back({probe.key(y, access(y)), y});
  };
  for (std::size_t i = 0; i < list.size; ++i) consider(list.data[i]);
  for (std::size_t i = 0; i < list.size; ++i) {
    if (!is_deleted(list.data[i])) continue;
    const List second = list_of(list.data[i], layer);
    for (std::size_t j = 0; j < second.size; ++j) consider(second.data[j]);
  }
  stable_sort_nearest_first(c);
  const std::size_t keep = cap == 0 ? c.size() : cap;
  if (config_.neighbors == Neighbors::Diverse) {
    select_diverse(c, keep, [&](std::size_t a, std::size_t b) { return key_between(a, b, access, metric); }, s.links);
  } else {
    s.links.clear();
    for (std::size_t i = 0; i < std::min(keep, c.size()); ++i) s.links.push_back(c[i].node);
  }
  assign(node, layer, s.links);
}

void HnswIndex::mark_deleted(std::span<const std::size_t> nodes) {
  for (const std::size_t node : nodes) {
    if (!contains(node) || is_deleted(node)) continue;
    if (deleted_.size() < node_slots()) deleted_.resize(node_slots(), 0);
    deleted_[node] = 1;
    ++deleted_count_;
    ++deleted_total_;
  }
}

void HnswIndex::repair_around(std::span<const std::size_t> nodes, VectorAccess access,
                              Metric metric) {
  // Most of a node's neighbours link back to it; those are repaired here once a quarter of a
  // list is gone. Lists that link to it one way only wait for purge().
  Scratch& s = Scratch::local();
  std::vector<Link> around;
  for (const std::size_t node : nodes) {
    if (!is_deleted(node)) continue;
    for (std::size_t layer = 0; layer < node_layers(node); ++layer) {
      const List mine = list_of(node, layer);
      around.assign(mine.data, mine.data + mine.size);
      for (const Link n : around) {
        if (is_deleted(n) || node_layers(n) <= layer) continue;
        const List theirs = list_of(n, layer);
        if (std::find(theirs.data, theirs.data + theirs.size, static_cast<Link>(node)) ==
            theirs.data + theirs.size) {
          continue;
        }
        if (deleted_in(theirs) * 4 >= theirs.size) {
          relink(n, layer, cap_of(layer), access, metric, s);
        }
      }
    }
  }
}

void HnswIndex::purge(VectorAccess access, Metric metric) {
  if (deleted_count_ == 0) return;
  Scratch& s = Scratch::local();
  const std::size_t slots = node_slots();
  for (std::size_t node = 0; node < slots; ++node) {
    if (is_deleted(node)) continue;
    for (std::size_t layer = 0; layer < node_layers(node); ++layer) {
      if (deleted_in(list_of(node, layer)) > 0) relink(node, layer, cap_of(layer), access, metric, s);
    }
  }
  const bool entry_gone = entry_point_ && is_deleted(*entry_point_);
  for (std::size_t node = 0; node < slots; ++node) {
    if (!is_deleted(node)) continue;
    Link* b = block(node);
    if (b[0] > slots_) spill0_.erase(node);
    b[0] = 0;
    b[1] = 0;
    std::vector<std::vector<Link>>().swap(upper_[node]);
    deleted_[node] = 0;
  }
  deleted_count_ = 0;
  adopt_orphans(access, metric, s);
  if (!entry_gone) return;
  // The first live node of the highest level enters every walk.
  entry_point_.reset();
  max_level_ = 0;
  for (std::size_t node = 0; node < slots; ++node) {
    const std::size_t layers = node_layers(node);
    if (layers > 0 && (!entry_point_ || layers - 1 > max_level_)) {
      entry_point_ = node;
      max_level_ = layers - 1;
    }
  }
}

void HnswIndex::adopt_orphans(VectorAccess access, Metric metric, Scratch& s) {
  const std::size_t slots = node_slots();
  std::vector<std::uint32_t> in(slots, 0);
  for (std::size_t node = 0; node < slots; ++node) {
    const List l = list_of(node, 0);
    for (std::size_t i = 0; i < l.size; ++i) ++in[l.data[i]];
  }
  for (std::size_t node = 0; node < slots; ++node) {
    if (in[node] != 0 || !contains(node) || is_deleted(node) || node == entry_point_) continue;
    // Linked from the nearest of its own links, in place of that one's farthest link.
    const List mine = list_of(node, 0);
    if (mine.size == 0) continue;
    const Probe probe(metric, node, access(node), norms_.data());
    std::size_t host = mine.data[0];
    float nearest = probe.key(host, access(host));
    for (std::size_t i = 1; i < mine.size; ++i) {
      const float d = probe.key(mine.data[i], access(mine.data[i]));
      if (d < nearest) {
        nearest = d;
        host = mine.data[i];
      }
    }
    const List theirs = list_of(host, 0);
    if (config_.m_max0 == 0 || theirs.size < config_.m_max0) {
      append(host, 0, static_cast<Link>(node));
      ++in[node];
      continue;
    }
    const Probe from_host(metric, host, access(host), norms_.data());
    std::size_t farthest = 0;
    float far = from_host.key(theirs.data[0], access(theirs.data[0]));
    for (std::size_t i = 1; i < theirs.size; ++i) {
      const float d = from_host.key(theirs.data[i], access(theirs.data[i]));
      if (!(d <= far)) {
        far = d;
        farthest = i;
      }
    }
    // The link given up must not leave another node without one.
    if (in[theirs.data[farthest]] < 2) continue;
    s.links.assign(theirs.data, theirs.data + theirs.size);
    --in[s.links[farthest]];
    s.links[farthest] = static_cast<Link>(node);
    ++in[node];
    assign(host, 0, s.links);
  }
}

void HnswIndex::renumber(std::span<const std::uint32_t> new_number, std::size_t slots) {
  auto to = [&](std::size_t old) -> Link {
    return old < new_number.size() ? new_number[old] : kNoNode;
  };
  std::vector<Link> level0(slots * stride_, 0);
  std::unordered_map<std::size_t, std::vector<Link>> spill0;
  std::vector<std::vector<std::vector<Link>>> upper(slots);
  std::vector<float> norms(slots, 0.0f);
  std::vector<std::uint8_t> deleted(deleted_count_ > 0 ? slots : 0, 0);
  // Keeps the links to nodes that have a new number, in their order.
  auto renumbered = [&](const Link* xs, std::size_t n, std::vector<Link>& out) {
    out.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (to(xs[i]) != kNoNode) out.push_back(to(xs[i]));
    }
  };
  std::vector<Link> links;
  for (std::size_t old = 0; old < node_slots(); ++old) {
    const std::size_t layers = node_layers(old);
    const Link now = to(old);
    if (layers == 0 || now == kNoNode) continue;
    const List l0 = list_of(old, 0);
    renumbered(l0.data, l0.size, links);
    Link* b = &level0[now * stride_];
    b[0] = static_cast<Link>(links.size());
    b[1] = static_cast<Link>(layers);
    if (links.size() <= slots_) {
      std::copy(links.begin(), links.end(), b + 2);
    } else {
      spill0[now] = links;
    }
    upper[now] = std::move(upper_[old]);
    for (std::vector<Link>& l : upper[now]) {
      renumbered(l.data(), l.size(), links);
      l = links;
    }
    norms[now] = norms_[old];
    if (is_deleted(old)) deleted[now] = 1;
  }
  level0_ = std::move(level0);
  spill0_ = std::move(spill0);
  upper_ = std::move(upper);
  norms_ = std::move(norms);
  deleted_ = std::move(deleted);
  if (entry_point_) {
    const Link now = to(*entry_point_);
    if (now == kNoNode) {
      entry_point_.reset();
      max_level_ = 0;
    } else {
      entry_point_ = now;
    }
  }
}

}  // namespace korvane_index::hnsw
