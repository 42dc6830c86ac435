// The words every layer shares with the callers of the store: Result<T, E>, the one error type
// KorvaneError, the Metric a store scores by and the graph index's settings (HnswConfig,
// Neighbors).
//
// They live here, below korvane.h, because the storage and index layers use them too and no
// layer includes the one above it: the index reads its settings and reports a configuration it
// cannot hold as a KorvaneError without knowing the store, and korvane.h builds on this header.
// Nothing here depends on how any layer is made.
//
// Result<T, E> is a value or an error, the return type of every fallible operation below the
// Python module. Nothing under src/ throws for a caller's mistake or a failed write; the module
// turns the error into an exception in one place.
//
//   Result<int, KorvaneError> r = ...;
//   if (!r) return r.error();     // an error converts into a failed Result of any T
//   use(*r);
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace korvane_storage {

// Marks a value as the error side when T and E could be confused.
template <class E>
struct Failure {
  E error;
};
template <class E>
Failure<std::decay_t<E>> failure(E&& e) {
  return {std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  template <class F>
  Result(Failure<F> f) : v_(std::in_place_index<1>, std::move(f.error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { assert(!ok()); return std::get<1>(v_); }
  const E& error() const& { assert(!ok()); return std::get<1>(v_); }
  E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)) {}  // NOLINT
  template <class F>
  Result(Failure<F> f) : error_(std::move(f.error)) {}  // NOLINT

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  const E& error() const& { assert(!ok()); return *error_; }
  E&& error() && { assert(!ok()); return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace korvane_storage

namespace korvane_core {

// The error of every fallible operation of the store, and of the layers below it where they
// report to the store. display() is the text callers show: a fixed prefix by code, then message.
struct KorvaneError {
  enum class Code : std::uint8_t {
    Storage,      // the database file could not be opened, read or written: "Storage error: "
    OutOfMemory,  // the database ran out of memory (displayed as Storage)
    Config,       // settings the store or its index refuses: "Configuration error: "
    Filter,       // a filter that does not compile: "Filter error: "
  };
  Code code;
  std::string message;
  // The position in a batch of the operation that failed; not part of display().
  std::optional<std::size_t> item = std::nullopt;

  std::string display() const {
    const char* prefix = "";
    switch (code) {
      case Code::Storage:
      case Code::OutOfMemory: prefix = "Storage error: "; break;
      case Code::Config: prefix = "Configuration error: "; break;
      case Code::Filter: prefix = "Filter error: "; break;
    }
    std::string text(prefix);
    text += message;
    return text;
  }
};

}  // namespace korvane_core

namespace korvane_index {

// The metric a store scores by; the value is its one-byte code in the store's file. Cosine and
// Dot are similarities (greater is nearer), Euclidean and Manhattan distances.
enum class Metric : std::uint8_t { Cosine = 0, Dot = 1, Euclidean = 2, Manhattan = 3 };

}  // namespace korvane_index

namespace korvane_index::hnsw {

// How a node's links are chosen from the candidates a walk found.
enum class Neighbors : std::uint8_t {
  // The nearest ones.
  Nearest,
  // Nearest first, skipping a candidate that is nearer to a link already chosen than to the
  // node: links then spread over the directions around the node instead of crowding into the
  // nearest cluster, which keeps well separated clusters reachable from each other. When there
  // are no more candidates than links, all are kept.
  Diverse,
};

// The settings of a graph index.
struct HnswConfig {
  std::size_t m = 0;                // links a new node makes on each of its layers
  std::size_t m_max = 0;            // most links kept on layers above 0
  std::size_t m_max0 = 0;           // most links kept on layer 0
  std::size_t ef_construction = 0;  // search width while inserting
  std::size_t ef_search = 0;        // search width of the store's index path
  float ml = 0.0f;                  // level multiplier
  Neighbors neighbors = Neighbors::Nearest;
  // Threads a build runs on: 0 for one per core, 1 for the calling thread alone. Not part of
  // the graph: it is neither saved nor compared.
  std::size_t threads = 0;
};

}  // namespace korvane_index::hnsw
