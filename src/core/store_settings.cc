// Opening a store with the settings saved in its file. The storage layer reads and writes the
// header fields; here they get their meaning: which metric scores, which length vectors need,
// and what an open that asks for other settings is told.
#include "core/store_settings.h"

#include <utility>

namespace korvane_core {

const char* metric_name(Metric metric) { return korvane_index::name_of(metric); }

std::optional<Metric> metric_from_name(std::string_view name) {
  return korvane_index::metric_from_name(name);
}

KorvaneError length_error(std::size_t length, std::size_t dim) {
  return KorvaneError{KorvaneError::Code::Config, "vector has length " + std::to_string(length) +
                                                      ", but the store's dimension is " +
                                                      std::to_string(dim)};
}

namespace {

static_assert(Settings::kMaxDim == korvane_storage::kMaxStoredDim,
              "the dim callers may ask for is the dim the file's header holds");

KorvaneError config_error(std::string message) {
  return KorvaneError{KorvaneError::Code::Config, std::move(message)};
}

}  // namespace

Result<std::unique_ptr<Korvane>, KorvaneError> Korvane::open(const std::string& path,
                                                             const Settings& wanted, bool save) {
  // A selector is only ever made from a checked byte past this point.
  if (wanted.metric && !korvane_index::metric_from_code(static_cast<std::uint8_t>(*wanted.metric))) {
    return config_error("metric code " + std::to_string(static_cast<int>(*wanted.metric)) +
                        " is not one this store knows");
  }
  if (wanted.dim && (*wanted.dim == 0 || *wanted.dim > korvane_storage::kMaxStoredDim)) {
    return config_error("dim must be between 1 and " +
                        std::to_string(korvane_storage::kMaxStoredDim) + ", not " +
                        std::to_string(*wanted.dim));
  }
  auto opened = korvane_storage::Storage::open(
      path, korvane_storage::page_size_for(wanted.dim.value_or(0)));
  if (!opened) return storage_failure(opened.error());
  std::unique_ptr<korvane_storage::Storage> storage = std::move(*opened);
  const korvane_storage::StoredSettings saved = storage->settings();

  std::optional<Metric> saved_metric;
  if (saved.metric) {
    saved_metric = korvane_index::metric_from_code(*saved.metric);
    if (!saved_metric) {
      return config_error("the file's saved metric (code " + std::to_string(*saved.metric) +
                          ") is not one this store knows");
    }
  }
  if (wanted.metric && saved_metric && *wanted.metric != *saved_metric) {
    return config_error(std::string("the store was saved with metric '") +
                        metric_name(*saved_metric) + "', but metric '" +
                        metric_name(*wanted.metric) + "' was asked for");
  }
  if (wanted.dim && saved.dim && *wanted.dim != *saved.dim) {
    return config_error("the store was saved with dim " + std::to_string(*saved.dim) +
                        ", but dim " + std::to_string(*wanted.dim) + " was asked for");
  }
  if (wanted.dim) {
    const RecordTable& records = storage->table();
    for (std::size_t slot : records.live_slots()) {
      if (records.vector(slot).size() != *wanted.dim) {
        return config_error("record '" + std::string(records.id(slot)) + "' has length " +
                            std::to_string(records.vector(slot).size()) + ", but dim is " +
                            std::to_string(*wanted.dim));
      }
    }
  }

  korvane_storage::StoredSettings merged = saved;
  if (wanted.metric && !merged.metric) merged.metric = static_cast<std::uint8_t>(*wanted.metric);
  if (wanted.dim && !merged.dim) merged.dim = static_cast<std::uint32_t>(*wanted.dim);
  if (save && merged != saved) {
    if (auto written = storage->save_settings(merged); !written) {
      return storage_failure(written.error());
    }
  }

  const Metric metric = wanted.metric ? *wanted.metric : saved_metric.value_or(Metric::Cosine);
  std::unique_ptr<Korvane> store(new Korvane(std::move(storage), metric));
  if (wanted.dim) {
    store->dim_ = wanted.dim;
  } else if (saved.dim) {
    store->dim_ = static_cast<std::size_t>(*saved.dim);
  }
  store->path_ = path;
  store->load_saved_index();
  return store;
}

}  // namespace korvane_core
