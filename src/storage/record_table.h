// RecordTable: every record of a store in memory, each in a slot of its own.
//
// Slots are numbered in store order: the order records were loaded, then the order they were
// added. A slot keeps its record's id, metadata and timestamp, and an offset and length into one
// contiguous float arena that holds every vector back to back (vectors may differ in length).
// Removing a record only marks its slot dead; compact() later moves the live slots down, in
// order, and so renumbers them. Between compactions a slot number names one record.
//
// An id index maps each id to its newest live slot, and every slot links to the previous live
// slot with the same id, so that finding the newest record, or every record, with an id costs
// O(records with that id).
//
// Writes come in two steps so that the second cannot fail: reserve() takes every byte the coming
// appends need (it may throw std::bad_alloc and then changes nothing observable), after which
// append(), remove() and compact() allocate nothing and are noexcept.
//
// Thread safety: none of its own. Any number of threads may read while no write runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/compact_copy.h"
#include "korvane/value.h"

namespace korvane_storage {

struct Record;

// Floats in one block whose start is aligned to 64 bytes. Growing keeps the contents; on Linux
// it remaps pages instead of copying them, so a store never holds two copies of its vectors.
class FloatArena {
 public:
  static constexpr std::size_t kAlignment = 64;

  FloatArena() = default;
  FloatArena(const FloatArena&) = delete;
  FloatArena& operator=(const FloatArena&) = delete;
  ~FloatArena();

  const float* data() const { return data_; }
  float* data() { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

  // Room for at least n floats in all. Throws std::bad_alloc, leaving the arena as it was.
  void reserve(std::size_t n);
  // REQUIRES: size() + v.size() <= capacity(). Returns the offset the floats went to.
  std::size_t push(std::span<const float> v) noexcept;
  // The room past the floats, capacity() - size() of them: floats written there are taken in by
  // push_placed(), in order.
  float* spare() noexcept { return data_ + size_; }
  // REQUIRES: size() + n <= capacity(), the next n floats already written at spare(). Returns
  // their offset.
  std::size_t push_placed(std::size_t n) noexcept {
    const std::size_t at = size_;
    size_ += n;
    return at;
  }
  // Drops every float from n on; the pages beyond are handed back where the system allows.
  void truncate(std::size_t n) noexcept;
  // Has the system back the room for floats [begin, end) (clipped to the capacity) with memory
  // now, where it can, as the first write there would; nothing else changes. Any thread may
  // call it while another appends, but not while the arena grows.
  void populate(std::size_t begin, std::size_t end) const noexcept;

 private:
  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t bytes_ = 0;  // mapped or allocated
};

class RecordTable {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  RecordTable() = default;
  RecordTable(const RecordTable&) = delete;
  RecordTable& operator=(const RecordTable&) = delete;

  // Slots, live and dead; slot numbers run from 0 below this.
  std::size_t slot_count() const { return ids_.size(); }
  // Live records.
  std::size_t size() const { return ids_.size() - dead_; }
  bool empty() const { return size() == 0; }
  std::size_t dead_count() const { return dead_; }

  // REQUIRES of each: slot < slot_count(). A dead slot still answers until compact().
  bool live(std::size_t slot) const { return prev_[slot] != kDeadMark; }
  std::string_view id(std::size_t slot) const { return ids_[slot]; }
  std::span<const float> vector(std::size_t slot) const {
    return {arena_.data() + offsets_[slot], lengths_[slot]};
  }
  const std::optional<Value>& metadata(std::size_t slot) const { return metadata_[slot]; }
  std::optional<std::uint64_t> timestamp(std::size_t slot) const {
    if (!has_time_[slot]) return std::nullopt;
    return times_[slot];
  }
  // A copy of the record in a slot.
  Record record(std::size_t slot) const;
  // The 8-bit copy of every slot's vector, addressed by the same slots and offsets.
  const CompactCopy& compact_copy() const { return compact_; }
  std::size_t offset(std::size_t slot) const { return offsets_[slot]; }

  // The newest live slot with this id.
  std::optional<std::size_t> newest(std::string_view id) const;

  // The live slots in store order.
  class LiveIterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::size_t*;
    using reference = std::size_t;

    LiveIterator() = default;
    std::size_t operator*() const { return slot_; }
    LiveIterator& operator++() {
      ++slot_;
      skip();
      return *this;
    }
    LiveIterator operator++(int) {
      LiveIterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const LiveIterator& a, const LiveIterator& b) {
      return a.slot_ == b.slot_;
    }

   private:
    friend class RecordTable;
    LiveIterator(const RecordTable* table, std::size_t slot) : table_(table), slot_(slot) {
      skip();
    }
    void skip() {
      while (slot_ < table_->slot_count() && !table_->live(slot_)) ++slot_;
    }
    const RecordTable* table_ = nullptr;
    std::size_t slot_ = 0;
  };
  struct LiveSlots {
    LiveIterator b, e;
    LiveIterator begin() const { return b; }
    LiveIterator end() const { return e; }
  };
  LiveSlots live_slots() const { return {LiveIterator(this, 0), LiveIterator(this, slot_count())}; }

  // Has the system back the room for vector components [begin, end) now, in the float arena
  // (FloatArena::populate): so that a thread other than the one appending pays for first
  // touching that memory. Not while reserve() runs. (The compact copy's halves are left to the
  // appends: populating them ahead measured slower, about 5 % more processor time for an open.)
  void populate(std::size_t begin, std::size_t end) const noexcept;
  // Whether reserve() for `floats` more components leaves the arena where it is (populate() may
  // then run beside it).
  bool holds(std::size_t floats) const { return arena_.size() + floats <= arena_.capacity(); }

  // Makes room for `slots` more appends holding `floats` more vector components in all.
  // Throws std::bad_alloc; the table's contents stay as they were.
  void reserve(std::size_t slots, std::size_t floats);
  // Room in the columns of each record for `slots` more appends, the id index left to reserve():
  // its buckets are written when made, the columns' room only when filled, so a guess too large
  // costs address space alone. Throws std::bad_alloc; the table's contents stay as they were.
  void reserve_columns(std::size_t slots);

  // Adds a record as the newest, in a new last slot, taking its id and metadata.
  // REQUIRES: room reserved for it.
  void append(std::string&& id, std::span<const float> vector, std::optional<Value>&& metadata,
              std::optional<std::uint64_t> timestamp) noexcept;
  void append(Record&& record) noexcept;
  // The same for an id no live slot holds, with the vector's compact copies already made: an
  // open's append, of rows whose keys it has seen rise.
  void append(std::string&& id, std::span<const float> vector, const EncodedCopy& copy,
              std::optional<Value>&& metadata, std::optional<std::uint64_t> timestamp) noexcept;
  // The reserved room for the vectors of the coming appends, back to back in append order: a
  // write may place them there before it knows it will append them (nothing reads the room), and
  // append_placed() then takes them without a copy. Valid from reserve() until the next
  // reserve() or compact().
  float* vector_room() noexcept { return arena_.spare(); }
  // As append(), the vector being the next `length` floats placed in vector_room().
  // REQUIRES: room reserved for it.
  void append_placed(std::string&& id, std::size_t length, std::optional<Value>&& metadata,
                     std::optional<std::uint64_t> timestamp) noexcept;

  // Marks every live slot with this id dead; returns how many there were.
  std::size_t remove(std::string_view id) noexcept;

  // Whether enough slots are dead that compact() pays for itself (see record_table.cc).
  bool should_compact() const;
  // Moves the live slots down over the dead ones, keeping their order, and releases the space.
  // Slot numbers change; every live record keeps its place in store order.
  void compact() noexcept;

 private:
  static constexpr std::size_t kDeadMark = kNone - 1;

  // Open addressing over slot numbers, keyed by the id of the slot; linear probing, at most
  // half full, deletion by shifting back.
  std::size_t bucket_of(std::string_view id) const;
  std::size_t find_bucket(std::string_view id) const;  // kNone when absent
  void index_insert(std::size_t slot) noexcept;        // slot's id is not in the index
  void index_erase(std::size_t bucket) noexcept;
  void rebuild_index() noexcept;
  // An append's columns, its vector being at `offset` in the arena: all but the 8-bit copy, the
  // id index and the links between slots.
  void append_columns(std::string&& id, std::size_t offset, std::size_t length,
                      std::optional<Value>&& metadata,
                      std::optional<std::uint64_t> timestamp) noexcept;
  // A new last slot becomes its id's newest: linked to the one before it, or indexed.
  void link_newest(std::size_t slot) noexcept;
  void grow_index(std::size_t entries);

  std::vector<std::string> ids_;
  std::vector<std::optional<Value>> metadata_;
  std::vector<std::uint64_t> times_;
  std::vector<std::uint8_t> has_time_;
  std::vector<std::size_t> offsets_;
  std::vector<std::size_t> lengths_;
  // The previous live slot with the same id (kNone when none), or kDeadMark for a dead slot.
  std::vector<std::size_t> prev_;
  std::size_t dead_ = 0;
  FloatArena arena_;
  CompactCopy compact_;

  std::vector<std::size_t> buckets_;  // slot numbers, kNone for empty; size a power of two
  std::size_t index_entries_ = 0;
};

}  // namespace korvane_storage
