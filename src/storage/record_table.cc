#include "storage/record_table.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

#include "storage/record.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace korvane_storage {

// ---- FloatArena ----------------------------------------------------------------------------

namespace {

std::size_t page_size() {
#if defined(__linux__)
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
#else
  return FloatArena::kAlignment;
#endif
}

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

#if defined(__linux__)
constexpr std::size_t kLargePage = std::size_t{2} << 20;
#if defined(MADV_COLLAPSE)
constexpr int kCollapse = MADV_COLLAPSE;
#else
constexpr int kCollapse = 25;  // the kernel's number for it, where the headers predate it
#endif
#endif

// Has the system back bytes [begin, end) of the block at base (capacity bytes long) with memory
// now, whole pages only.
void populate_bytes(const void* base, std::size_t capacity, std::size_t begin,
                    std::size_t end) noexcept {
#if defined(__linux__)
  end = std::min(end, capacity);
  if (base == nullptr || begin >= end) return;
  // Whole pages inside the range only: the kernel takes page-aligned ranges.
  const auto start = reinterpret_cast<std::uintptr_t>(base) + begin;
  const std::uintptr_t first = round_up(start, page_size());
  const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(base) + end) / page_size() * page_size();
  if (first >= last) return;
#if !defined(MADV_POPULATE_WRITE)
  constexpr int MADV_POPULATE_WRITE = 23;  // the kernel's number for it, where the headers predate it
#endif
  // A kernel without it says no, and the first write pays instead.
  ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  static_cast<void>(base);
  static_cast<void>(capacity);
  static_cast<void>(begin);
  static_cast<void>(end);
#endif
}

}  // namespace

FloatArena::~FloatArena() {
  if (data_ == nullptr) return;
#if defined(__linux__)
  ::munmap(data_, bytes_);
#else
  std::free(data_);
#endif
}

void FloatArena::reserve(std::size_t n) {
  if (n <= capacity_) return;
  if (n > static_cast<std::size_t>(-1) / 2 / sizeof(float)) throw std::bad_alloc();
  // Geometric growth keeps a long run of appends linear; pages never touched cost no memory.
  const std::size_t want = std::max(n, capacity_ + capacity_ / 2);
  const std::size_t bytes = round_up(want * sizeof(float), page_size());
#if defined(__linux__)
  void* p;
  if (data_ == nullptr) {
    p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  } else {
    p = ::mremap(data_, bytes_, bytes, MREMAP_MAYMOVE);
  }
  if (p == MAP_FAILED) throw std::bad_alloc();
  // Searches read vectors scattered over the whole arena, and with small pages nearly every one
  // costs a page-table walk: ask for large pages where the system gives them on request. A
  // refusal changes nothing but the speed.
#if defined(MADV_HUGEPAGE)
  ::madvise(p, bytes, MADV_HUGEPAGE);
  // What was written before the request, or moved by the growth, is still in small pages:
  // gather it into large ones (a kernel that cannot says no, changing nothing).
  const std::size_t filled = size_ * sizeof(float) / kLargePage * kLargePage;
  if (filled > 0) ::madvise(p, filled, kCollapse);
#endif
#else
  void* p = std::aligned_alloc(kAlignment, bytes);
  if (p == nullptr) throw std::bad_alloc();
  if (size_ > 0) std::memcpy(p, data_, size_ * sizeof(float));
  std::free(data_);
#endif
  data_ = static_cast<float*>(p);
  bytes_ = bytes;
  capacity_ = bytes / sizeof(float);
}

std::size_t FloatArena::push(std::span<const float> v) noexcept {
  const std::size_t at = size_;
  if (!v.empty()) std::memcpy(data_ + at, v.data(), v.size_bytes());
  size_ += v.size();
  return at;
}

void FloatArena::truncate(std::size_t n) noexcept {
  if (n >= size_) return;
  size_ = n;
#if defined(__linux__)
  // Whole pages past the end go back to the system; they read as zero if touched again.
  const std::size_t keep = round_up(n * sizeof(float), page_size());
  if (keep < bytes_) ::madvise(reinterpret_cast<char*>(data_) + keep, bytes_ - keep, MADV_DONTNEED);
#endif
}

void FloatArena::populate(std::size_t begin, std::size_t end) const noexcept {
  populate_bytes(data_, capacity_ * sizeof(float), begin * sizeof(float), end * sizeof(float));
}

// ---- RecordTable ---------------------------------------------------------------------------

void RecordTable::populate(std::size_t begin, std::size_t end) const noexcept {
  arena_.populate(begin, end);
}

Record RecordTable::record(std::size_t slot) const {
  auto v = vector(slot);
  return Record{ids_[slot], std::vector<float>(v.begin(), v.end()), metadata_[slot],
                timestamp(slot)};
}

std::size_t RecordTable::bucket_of(std::string_view id) const {
  return std::hash<std::string_view>{}(id) & (buckets_.size() - 1);
}

std::size_t RecordTable::find_bucket(std::string_view id) const {
  if (buckets_.empty()) return kNone;
  const std::size_t mask = buckets_.size() - 1;
  for (std::size_t b = bucket_of(id);; b = (b + 1) & mask) {
    const std::size_t slot = buckets_[b];
    if (slot == kNone) return kNone;
    if (ids_[slot] == id) return b;
  }
}

std::optional<std::size_t> RecordTable::newest(std::string_view id) const {
  const std::size_t b = find_bucket(id);
  if (b == kNone) return std::nullopt;
  return buckets_[b];
}

void RecordTable::index_insert(std::size_t slot) noexcept {
  const std::size_t mask = buckets_.size() - 1;
  std::size_t b = bucket_of(ids_[slot]);
  while (buckets_[b] != kNone) b = (b + 1) & mask;
  buckets_[b] = slot;
  ++index_entries_;
}

void RecordTable::index_erase(std::size_t bucket) noexcept {
  const std::size_t mask = buckets_.size() - 1;
  // Shift later members of the probe run back into the hole when their home allows it.
  std::size_t hole = bucket;
  for (std::size_t b = (hole + 1) & mask; buckets_[b] != kNone; b = (b + 1) & mask) {
    const std::size_t home = bucket_of(ids_[buckets_[b]]);
    // The entry may move to the hole when the hole lies on its probe path from home to b.
    if (((b - home) & mask) >= ((b - hole) & mask)) {
      buckets_[hole] = buckets_[b];
      hole = b;
    }
  }
  buckets_[hole] = kNone;
  --index_entries_;
}

void RecordTable::grow_index(std::size_t entries) {
  std::size_t want = 16;
  while (want < 2 * entries) want *= 2;
  if (want <= buckets_.size()) return;
  std::vector<std::size_t> fresh(want, kNone);
  buckets_.swap(fresh);
  rebuild_index();
}

void RecordTable::rebuild_index() noexcept {
  std::fill(buckets_.begin(), buckets_.end(), kNone);
  index_entries_ = 0;
  for (std::size_t slot = 0; slot < ids_.size(); ++slot) {
    if (!live(slot)) continue;
    const std::size_t b = find_bucket(ids_[slot]);
    if (b == kNone) {
      prev_[slot] = kNone;
      index_insert(slot);
    } else {
      prev_[slot] = buckets_[b];
      buckets_[b] = slot;
    }
  }
}

void RecordTable::reserve_columns(std::size_t slots) {
  const std::size_t n = ids_.size() + slots;
  if (n > ids_.capacity()) {
    // One growth step for all columns; a failure part-way only leaves spare capacity.
    const std::size_t want = std::max(n, ids_.capacity() + ids_.capacity() / 2);
    ids_.reserve(want);
    metadata_.reserve(want);
    times_.reserve(want);
    has_time_.reserve(want);
    offsets_.reserve(want);
    lengths_.reserve(want);
    prev_.reserve(want);
  }
  compact_.reserve(n, arena_.size());
}

void RecordTable::reserve(std::size_t slots, std::size_t floats) {
  reserve_columns(slots);
  arena_.reserve(arena_.size() + floats);
  compact_.reserve(ids_.size() + slots, arena_.size() + floats);
  // Every live id may be distinct; appended ones too.
  grow_index(size() + slots);
}

void RecordTable::append(std::string&& id, std::span<const float> vector,
                         std::optional<Value>&& metadata,
                         std::optional<std::uint64_t> timestamp) noexcept {
  compact_.push(vector);
  const std::size_t slot = ids_.size();
  append_columns(std::move(id), arena_.push(vector), vector.size(), std::move(metadata), timestamp);
  link_newest(slot);
}

void RecordTable::append_placed(std::string&& id, std::size_t length,
                                std::optional<Value>&& metadata,
                                std::optional<std::uint64_t> timestamp) noexcept {
  const std::size_t offset = arena_.push_placed(length);
  compact_.push({arena_.data() + offset, length});
  const std::size_t slot = ids_.size();
  append_columns(std::move(id), offset, length, std::move(metadata), timestamp);
  link_newest(slot);
}

void RecordTable::link_newest(std::size_t slot) noexcept {
  const std::size_t b = find_bucket(ids_[slot]);
  if (b == kNone) {
    prev_.push_back(kNone);
    index_insert(slot);
  } else {
    prev_.push_back(buckets_[b]);
    buckets_[b] = slot;
  }
}

void RecordTable::append(std::string&& id, std::span<const float> vector,
                         const EncodedCopy& copy, std::optional<Value>&& metadata,
                         std::optional<std::uint64_t> timestamp) noexcept {
  compact_.push_encoded(copy, vector.size());
  const std::size_t slot = ids_.size();
  append_columns(std::move(id), arena_.push(vector), vector.size(), std::move(metadata), timestamp);
  prev_.push_back(kNone);
  index_insert(slot);
}

void RecordTable::append_columns(std::string&& id, std::size_t offset, std::size_t length,
                                 std::optional<Value>&& metadata,
                                 std::optional<std::uint64_t> timestamp) noexcept {
  ids_.push_back(std::move(id));
  metadata_.push_back(std::move(metadata));
  times_.push_back(timestamp.value_or(0));
  has_time_.push_back(timestamp.has_value() ? 1 : 0);
  offsets_.push_back(offset);
  lengths_.push_back(length);
}

void RecordTable::append(Record&& record) noexcept {
  append(std::move(record.id), record.vector, std::move(record.metadata), record.timestamp);
}

std::size_t RecordTable::remove(std::string_view id) noexcept {
  const std::size_t b = find_bucket(id);
  if (b == kNone) return 0;
  std::size_t removed = 0;
  for (std::size_t slot = buckets_[b]; slot != kNone;) {
    const std::size_t prev = prev_[slot];
    prev_[slot] = kDeadMark;
    // Drop what the dead slot owns now; only its vector waits for compaction.
    metadata_[slot].reset();
    ++removed;
    slot = prev;
  }
  dead_ += removed;
  index_erase(b);
  return removed;
}

// Dead slots make every scan slower than their share (the skips break the stream the prefetcher
// follows), while a compaction costs about two one-thread scans (measured at 100,000 x 384 with
// `write_bench compact`: scoring per live record 20-30% dearer at a tenth dead, 30-100% at a
// quarter; compaction 50-70 ms). Reclaiming once a sixteenth of the slots is dead keeps scans
// close to the packed speed and costs about 10 us per delete, amortised: well under 1% of the
// delete's own durable commit.
bool RecordTable::should_compact() const { return dead_ > 0 && dead_ * 16 >= ids_.size(); }

void RecordTable::compact() noexcept {
  if (dead_ == 0) return;
  std::size_t to = 0;
  std::size_t floats = 0;
  float* base = arena_.data();
  for (std::size_t from = 0; from < ids_.size(); ++from) {
    if (!live(from)) continue;
    const std::size_t len = lengths_[from];
    if (len > 0 && offsets_[from] != floats) {
      std::memmove(base + floats, base + offsets_[from], len * sizeof(float));
    }
    compact_.move(to, from, floats, offsets_[from], len);
    if (to != from) {
      ids_[to] = std::move(ids_[from]);
      metadata_[to] = std::move(metadata_[from]);
      times_[to] = times_[from];
      has_time_[to] = has_time_[from];
      lengths_[to] = len;
    }
    offsets_[to] = floats;
    prev_[to] = kNone;
    floats += len;
    ++to;
  }
  // Shrinking a vector only destroys its tail.
  ids_.erase(ids_.begin() + static_cast<std::ptrdiff_t>(to), ids_.end());
  metadata_.erase(metadata_.begin() + static_cast<std::ptrdiff_t>(to), metadata_.end());
  times_.resize(to);
  has_time_.resize(to);
  offsets_.resize(to);
  lengths_.resize(to);
  prev_.resize(to);
  dead_ = 0;
  arena_.truncate(floats);
  compact_.truncate(to, floats);
  rebuild_index();
}

}  // namespace korvane_storage
