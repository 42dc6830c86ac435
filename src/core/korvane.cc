#include "core/korvane.h"

namespace korvane_core {

std::string KorvaneError::display() const {
  switch (kind) {
    case Kind::Storage: return "Storage error: " + message;
    case Kind::Serialization: return "Serialization error: " + message;
    case Kind::Config: return "Configuration error: " + message;
  }
  return message;
}

Korvane::Korvane(std::unique_ptr<korvane_storage::Storage> storage, Metric metric)
    : storage_(std::move(storage)), metric_(metric) {}

Result<std::unique_ptr<Korvane>, KorvaneError> Korvane::open(const std::string& path) {
  return open(path, Metric::Cosine);
}

Result<std::unique_ptr<Korvane>, KorvaneError> Korvane::open(const std::string& path,
                                                             Metric metric) {
  auto storage = korvane_storage::Storage::open(path);
  if (!storage) return KorvaneError::from(storage.error());
  return std::unique_ptr<Korvane>(new Korvane(std::move(*storage), metric));
}

Result<void, KorvaneError> Korvane::insert(std::string_view id, std::vector<float> vector,
                                           std::optional<Value> metadata) {
  return insert_with_time(id, std::move(vector), std::move(metadata), std::nullopt);
}

Result<void, KorvaneError> Korvane::insert_with_time(std::string_view id,
                                                     std::vector<float> vector,
                                                     std::optional<Value> metadata,
                                                     std::optional<std::uint64_t> timestamp) {
  const std::size_t n = storage_->records().size();
  // Checked before the write: once it is committed the index must take the record.
  if (hnsw_ && n >= HnswIndex::kMaxNodes) {
    return KorvaneError{KorvaneError::Kind::Config,
                        "the graph index holds at most " + std::to_string(HnswIndex::kMaxNodes) +
                            " records"};
  }
  auto appended = storage_->append(
      Record{std::string(id), std::move(vector), std::move(metadata), timestamp});
  if (!appended) return KorvaneError::from(appended.error());
  if (hnsw_) {
    const auto& records = storage_->records();
    auto access = [&records](std::size_t node) { return std::span<const float>(records[node].vector); };
    hnsw_->insert(n, records[n].vector, access, metric_);
  }
  return {};
}

std::optional<SearchResult> Korvane::get(std::string_view id) const {
  auto pos = storage_->newest_position(id);
  if (!pos) return std::nullopt;
  const Record& r = storage_->records()[*pos];
  return SearchResult{r.id, 0.0f, r.metadata};
}

Result<void, KorvaneError> Korvane::delete_(std::string_view id) {
  auto removed = storage_->delete_(id);
  if (!removed) return KorvaneError::from(removed.error());
  if (*removed && hnsw_) hnsw_.emplace(build_index(hnsw_->config()));
  return {};
}

Result<void, KorvaneError> Korvane::enable_hnsw(HnswConfig config) {
  if (auto problem = HnswIndex::check(config, storage_->records().size())) {
    return KorvaneError{KorvaneError::Kind::Config, *problem};
  }
  hnsw_.emplace(build_index(config));
  return {};
}

HnswIndex Korvane::build_index(HnswConfig config) const {
  HnswIndex index(config);
  const auto& records = storage_->records();
  auto access = [&records](std::size_t node) { return std::span<const float>(records[node].vector); };
  for (std::size_t i = 0; i < records.size(); ++i) {
    index.insert(i, records[i].vector, access, metric_);
  }
  return index;
}

SearchBuilder Korvane::search_builder(std::span<const float> query, std::uint64_t k) const {
  return SearchBuilder(*this, std::vector<float>(query.begin(), query.end()), k);
}

Result<std::vector<SearchResult>, KorvaneError> Korvane::search(std::span<const float> query,
                                                                std::uint64_t k) const {
  return search_builder(query, k).execute();
}

Result<std::vector<SearchResult>, KorvaneError> SearchBuilder::execute() && {
  if (filters_.empty() && !decay_ && store_->hnsw_) return through_index();
  return scan();
}

std::vector<SearchResult> SearchBuilder::through_index() const {
  const auto& records = store_->storage_->records();
  auto access = [&records](std::size_t node) { return std::span<const float>(records[node].vector); };
  // k beyond the machine word cannot be held anyway; the index returns at most its node count.
  const std::size_t k = static_cast<std::size_t>(k_);
  auto pairs = store_->hnsw_->search(query_, k, store_->hnsw_->config().ef_search, access,
                                     store_->metric_);
  std::vector<SearchResult> results;
  results.reserve(pairs.size());
  for (const auto& [node, value] : pairs) {
    const Record& r = records[node];
    results.push_back(SearchResult{r.id, value, r.metadata});
  }
  return results;
}

}  // namespace korvane_core
