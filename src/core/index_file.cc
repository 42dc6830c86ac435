// The saved index: one file beside the store's, `<store path>.index`. The store's own file is
// never written here; the index file is written whole to `<store path>.index.tmp`, synced,
// renamed over the old one, and the directory synced, so that after a crash the name holds the
// old saved index or the new one (a torn temporary file is never read).
//
//   file     = header body
//   header   = magic:8 "korvidx" 0x01 | order:u32 0x01020304 | version:u32 1
//              metric:u32 neighbors:u32 m:u64 m_max:u64 m_max0:u64 ef_construction:u64
//              ef_search:u64 ml:f32 flags:u32 (1: a graph follows)
//              records:u64 digest:u64[2] body_size:u64 body_sum:u64[2]
//              header_sum:u64[2]                 over every header byte before it
//   body     = the graph (hnsw_file.cc), body_size bytes, whose checksum is body_sum
//
// The digest covers the records the graph describes, in the order the next open will load them
// (by id, newest record of each id): for each, its id's bytes and its vector's float bits. It
// is taken in chunks of records on the worker pool, the chunks' digests then digested in order,
// so it costs a small fraction of decoding the rows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/store_internals.h"

namespace korvane_core {
namespace {

constexpr char kMagic[8] = {'k', 'o', 'r', 'v', 'i', 'd', 'x', 1};
constexpr std::uint32_t kByteOrder = 0x01020304;
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kHasGraph = 1;
constexpr std::size_t kDigestChunk = 4096;  // records per chunk of the digest

// A 128-bit checksum of byte strings: four lanes of 64 bits take 32 bytes a step, each lane
// xor-multiply-rotate; a short tail is padded with zeros and every piece's length is mixed in,
// so pieces do not run into each other. Meant to catch damage and mismatches, not an adversary.
class Checksum {
 public:
  void add(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t n = size;
    while (n >= 32) {
      std::uint64_t w[4];
      std::memcpy(w, p, 32);
      for (int i = 0; i < 4; ++i) lane_[i] = step(lane_[i], w[i]);
      p += 32;
      n -= 32;
    }
    if (n > 0) {
      std::uint64_t w[4] = {};
      std::memcpy(w, p, n);
      for (int i = 0; i < 4; ++i) lane_[i] = step(lane_[i], w[i]);
    }
    lane_[0] = step(lane_[0], size);
  }
  void add_u64(std::uint64_t v) { add(&v, sizeof v); }

  std::array<std::uint64_t, 2> finish() const {
    const std::uint64_t a = mix(lane_[0] ^ std::rotl(lane_[2], 17));
    const std::uint64_t b = mix(lane_[1] ^ std::rotl(lane_[3], 29));
    return {mix(a ^ (b * 0x9e3779b97f4a7c15ull)), mix(b ^ (a * 0xc2b2ae3d27d4eb4full))};
  }

 private:
  static std::uint64_t step(std::uint64_t h, std::uint64_t w) {
    return std::rotl((h ^ w) * 0x9fb21c651e98df25ull, 27) + 0x94d049bb133111ebull;
  }
  static std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 31;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 29;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 32);
  }

  std::uint64_t lane_[4] = {0x243f6a8885a308d3ull, 0x13198a2e03707344ull, 0xa4093822299f31d0ull,
                            0x082efa98ec4e6c89ull};
};

// The digest of the records in these slots, in this order. slot_at(i) gives the i-th slot.
template <class SlotAt>
std::array<std::uint64_t, 2> records_digest(const RecordTable& table, std::size_t count,
                                            const SlotAt& slot_at) {
  const std::size_t chunks = (count + kDigestChunk - 1) / kDigestChunk;
  std::vector<std::array<std::uint64_t, 2>> parts(chunks);
  tbb::parallel_for(std::size_t{0}, chunks, [&](std::size_t c) {
    Checksum sum;
    const std::size_t end = std::min(count, (c + 1) * kDigestChunk);
    for (std::size_t i = c * kDigestChunk; i < end; ++i) {
      const std::size_t slot = slot_at(i);
      const std::string_view id = table.id(slot);
      const std::span<const float> v = table.vector(slot);
      sum.add(id.data(), id.size());
      sum.add(v.data(), v.size_bytes());
    }
    parts[c] = sum.finish();
  });
  Checksum all;
  all.add_u64(count);
  all.add(parts.data(), parts.size() * sizeof(parts[0]));
  return all.finish();
}

struct Header {
  std::uint32_t metric = 0;
  HnswConfig config;
  std::uint32_t flags = 0;
  std::uint64_t records = 0;
  std::array<std::uint64_t, 2> digest{};
  std::uint64_t body_size = 0;
  std::array<std::uint64_t, 2> body_sum{};
};

template <class T>
void put(std::string& out, T v) {
  char b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  out.append(b, sizeof(T));
}

std::string encode_header(const Header& h) {
  std::string out(kMagic, sizeof kMagic);
  put(out, kByteOrder);
  put(out, kVersion);
  put(out, h.metric);
  put(out, static_cast<std::uint32_t>(h.config.neighbors));
  for (std::size_t v : {h.config.m, h.config.m_max, h.config.m_max0, h.config.ef_construction,
                        h.config.ef_search}) {
    put(out, static_cast<std::uint64_t>(v));
  }
  put(out, h.config.ml);
  put(out, h.flags);
  put(out, h.records);
  put(out, h.digest);
  put(out, h.body_size);
  put(out, h.body_sum);
  Checksum sum;
  sum.add(out.data(), out.size());
  put(out, sum.finish());
  return out;
}

constexpr std::size_t kHeaderSize = 8 + 4 * 4 + 5 * 8 + 4 + 4 + 8 + 16 + 8 + 16 + 16;

// The header at the front of the file; nothing when it is not one of ours or is damaged.
std::optional<Header> decode_header(std::string_view file) {
  if (file.size() < kHeaderSize || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0) {
    return std::nullopt;
  }
  Checksum sum;
  sum.add(file.data(), kHeaderSize - 16);
  std::array<std::uint64_t, 2> stored;
  std::memcpy(stored.data(), file.data() + kHeaderSize - 16, 16);
  if (sum.finish() != stored) return std::nullopt;
  std::size_t at = sizeof kMagic;
  auto get = [&](auto& v) {
    std::memcpy(&v, file.data() + at, sizeof v);
    at += sizeof v;
  };
  std::uint32_t order = 0, version = 0, neighbors = 0;
  Header h;
  get(order);
  get(version);
  get(h.metric);
  get(neighbors);
  if (order != kByteOrder || version != kVersion || h.metric > 0xff ||
      !korvane_index::metric_from_code(static_cast<std::uint8_t>(h.metric)) || neighbors > 1) {
    return std::nullopt;
  }
  h.config.neighbors = static_cast<korvane_index::hnsw::Neighbors>(neighbors);
  for (std::size_t* v : {&h.config.m, &h.config.m_max, &h.config.m_max0,
                         &h.config.ef_construction, &h.config.ef_search}) {
    std::uint64_t x = 0;
    get(x);
    *v = static_cast<std::size_t>(x);
  }
  get(h.config.ml);
  get(h.flags);
  get(h.records);
  get(h.digest);
  get(h.body_size);
  get(h.body_sum);
  // What enable_index accepts; anything else is not a file of ours.
  const HnswConfig& c = h.config;
  if (c.m < 2 || c.m > 4096 || c.m_max < 1 || c.m_max > 4096 || c.m_max0 < 1 ||
      c.m_max0 > 4096 || c.ef_construction < 1 || c.ef_construction > (1u << 20) ||
      c.ef_search < 1 || c.ef_search > (1u << 20) || !(c.ml > 0.0f && c.ml <= 16.0f)) {
    return std::nullopt;
  }
  return h;
}

KorvaneError file_error(const std::string& what, const std::string& path) {
  return KorvaneError{KorvaneError::Code::Storage,
                      "cannot " + what + " the index file " + path + ": " + std::strerror(errno)};
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting failure (which for a written file may be a lost write).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Writes the file through a synced temporary file renamed over it, then syncs the directory.
Result<void, KorvaneError> replace_file(const std::string& path, std::string_view bytes) {
  const std::string temp = path + ".tmp";
  {
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) return file_error("create", temp);
    if (!write_all(fd.get(), bytes) || ::fsync(fd.get()) != 0 || !fd.close()) {
      KorvaneError e = file_error("write", temp);
      ::unlink(temp.c_str());
      return e;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    KorvaneError e = file_error("rename", temp);
    ::unlink(temp.c_str());
    return e;
  }
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.get() < 0 || ::fsync(d.get()) != 0) return file_error("sync the directory of", path);
  return {};
}

// The whole file, or nothing when it cannot be read (missing, unreadable, not a regular file).
std::optional<std::string> read_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

}  // namespace

Result<void, KorvaneError> Korvane::save_index() const {
  // Exclusive: deleted nodes are purged from the index in memory too, so that the graph this
  // process answers with from here on is the one the file keeps.
  const Hold held = hold(Mode::Exclusive);
  if (!hnsw_) return {};
  if (auto writable = storage_->check_writable(); !writable) {
    return storage_failure(writable.error());
  }
  std::lock_guard<std::mutex> lock(index_mu_);
  if (index_saved_) return {};
  const RecordTable& table = storage_->table();
  if (!index_stale_.load(std::memory_order_acquire) && hnsw_->deleted_count() > 0) {
    // The deleted nodes' records are not in the file, so a saved graph cannot route through
    // them.
    auto access = [&table](std::size_t node) { return table.vector(node); };
    hnsw_->purge(access, metric_);
  }
  Header h;
  h.metric = static_cast<std::uint32_t>(metric_);
  h.config = hnsw_->config();
  std::string body;
  if (!index_stale_.load(std::memory_order_acquire)) {
    // The order of the next open: the newest record of each id, by id bytes. Usually the live
    // slots are already that.
    std::vector<std::size_t> order;
    order.reserve(table.size());
    for (std::size_t slot : table.live_slots()) {
      if (table.newest(table.id(slot)) == slot) order.push_back(slot);
    }
    auto by_id = [&table](std::size_t a, std::size_t b) { return table.id(a) < table.id(b); };
    if (!std::is_sorted(order.begin(), order.end(), by_id)) {
      std::sort(order.begin(), order.end(), by_id);
    }
    if (hnsw_->save_graph(order, body)) {
      h.flags = kHasGraph;
      h.records = order.size();
      h.digest = records_digest(table, order.size(), [&order](std::size_t i) { return order[i]; });
      h.body_size = body.size();
      Checksum sum;
      sum.add(body.data(), body.size());
      h.body_sum = sum.finish();
    }
  }
  // An index whose graph describes records the file does not keep (older records of an id
  // inserted again) is saved as its configuration, like a stale one.
  std::string file = encode_header(h);
  file += body;
  auto replaced = replace_file(index_path(path_), file);
  if (!replaced) return std::move(replaced).error();
  index_saved_ = true;
  return {};
}

void Korvane::load_saved_index() {
  const std::optional<std::string> file = read_file(index_path(path_));
  if (!file) return;
  const std::optional<Header> h = decode_header(*file);
  if (!h) return;
  const RecordTable& table = storage_->table();
  if (!HnswIndex::check(h->config, table.slot_count())) return;
  // Only a graph over exactly these records, measured by this metric, is used.
  if ((h->flags & kHasGraph) != 0 && h->metric == static_cast<std::uint32_t>(metric_) &&
      h->records == table.size() && table.size() == table.slot_count() &&
      file->size() - kHeaderSize == h->body_size) {
    const std::string_view body = std::string_view(*file).substr(kHeaderSize);
    Checksum sum;
    sum.add(body.data(), body.size());
    if (sum.finish() == h->body_sum &&
        records_digest(table, table.size(), [](std::size_t i) { return i; }) == h->digest) {
      if (auto graph = HnswIndex::load_graph(h->config, body, table.slot_count())) {
        hnsw_ = std::make_unique<HnswIndex>(std::move(*graph));
        index_source_ = IndexSource::Loaded;
        index_saved_ = true;
        return;
      }
    }
  }
  hnsw_ = std::make_unique<HnswIndex>(build_index(h->config));
  index_source_ = IndexSource::Rebuilt;
}

}  // namespace korvane_core
