// Lookups a caller makes across the segments of one column, newest first:
// distances between known ids and query vectors, and how the rows' stored
// metadata compares with new metadata.
//
// A column's sources are consulted first to last, and an older source is
// asked only for the ids no newer one answered: tombstones are local to
// their segment, so an id deleted in a newer source but live in an older
// one is answered by the older row.
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "ivf_rabitq/canon_meta.h"
#include "ivf_rabitq/index.h"
#include "ivf_rabitq/json_text.h"

namespace nimbrel {
namespace {

// Distance lookups go to the pool from this many ids on, this many a task:
// below it the fork/join costs more than the lookups.
constexpr size_t kDistanceParallelIds = 64;
constexpr size_t kDistanceChunk = 32;
// The same for metadata status, whose per-id work (a text comparison, at
// worst a parse) is heavier to set up but cheaper per byte.
constexpr size_t kStatusParallelIds = 256;
constexpr size_t kStatusChunk = 128;

constexpr std::string_view kNullText = "null";

// Runs body(begin, end) over [0, n) in chunks of `chunk`: on the calling
// thread, or on the pool of the calling thread. The chunks run isolated: a
// thread waiting for them while it holds the segment's read locks takes no
// unrelated task meanwhile, which might take those locks again or wait on
// something this thread holds.
template <typename Body>
void for_chunks(size_t n, size_t chunk, bool on_pool, Body&& body) {
  if (!on_pool) {
    for (size_t begin = 0; begin < n; begin += chunk) body(begin, std::min(n, begin + chunk));
    return;
  }
  const size_t chunks = (n + chunk - 1) / chunk;
  tbb::this_task_arena::isolate([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, chunks, 1), [&](const tbb::blocked_range<size_t>& r) {
      for (size_t c = r.begin(); c < r.end(); ++c) body(c * chunk, std::min(n, (c + 1) * chunk));
    });
  });
}

// ---- numbers by value ---------------------------------------------------------

constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;

// Whether double d is exactly the integer i (or u).
bool float_is_int(double d, int64_t i) {
  if (!std::isfinite(d) || d != std::trunc(d) || d < -kTwo63 || d >= kTwo63) return false;
  return static_cast<int64_t>(d) == i;
}
bool float_is_uint(double d, uint64_t u) {
  if (!std::isfinite(d) || d != std::trunc(d) || d < 0 || d >= kTwo64) return false;
  return static_cast<uint64_t>(d) == u;
}

bool numbers_equal(const nlohmann::json& a, const nlohmann::json& b) {
  using V = nlohmann::json::value_t;
  const V ta = a.type(), tb = b.type();
  if (ta == V::number_float && tb == V::number_float) return a.get<double>() == b.get<double>();
  if (ta == V::number_float || tb == V::number_float) {
    const nlohmann::json& f = ta == V::number_float ? a : b;
    const nlohmann::json& n = ta == V::number_float ? b : a;
    const double d = f.get<double>();
    return n.type() == V::number_unsigned ? float_is_uint(d, n.get<uint64_t>()) : float_is_int(d, n.get<int64_t>());
  }
  // Two integers, signed or not: a negative one equals no unsigned one.
  if (ta == tb) return ta == V::number_unsigned ? a.get<uint64_t>() == b.get<uint64_t>()
                                                : a.get<int64_t>() == b.get<int64_t>();
  const int64_t s = ta == V::number_integer ? a.get<int64_t>() : b.get<int64_t>();
  const uint64_t u = ta == V::number_unsigned ? a.get<uint64_t>() : b.get<uint64_t>();
  return s >= 0 && static_cast<uint64_t>(s) == u;
}

}  // namespace

bool json_eq_numeric(const nlohmann::json& a, const nlohmann::json& b) {
  std::vector<std::pair<const nlohmann::json*, const nlohmann::json*>> stack{{&a, &b}};
  while (!stack.empty()) {
    const auto [x, y] = stack.back();
    stack.pop_back();
    if (x->is_number() && y->is_number()) {
      if (!numbers_equal(*x, *y)) return false;
      continue;
    }
    if (x->type() != y->type()) return false;
    if (x->is_object()) {
      if (x->size() != y->size()) return false;
      for (auto it = x->begin(); it != x->end(); ++it) {
        auto other = y->find(it.key());
        if (other == y->end()) return false;
        stack.emplace_back(&it.value(), &*other);
      }
    } else if (x->is_array()) {
      if (x->size() != y->size()) return false;
      for (size_t i = 0; i < x->size(); ++i) stack.emplace_back(&(*x)[i], &(*y)[i]);
    } else if (*x != *y) {  // strings, booleans, null
      return false;
    }
  }
  return true;
}

const std::string* IvfIndex::CanonMeta::canonical() const {
  std::call_once(once_, [this] {
    const nlohmann::json value = parse_json_text(text_);
    // Writing the text out recurses once per level; no build or add stores
    // metadata nested deeper than the limit, so such a text equals no
    // stored row and is treated as one that does not parse.
    if (!value.is_discarded() && !nested_deeper_than(value, kMaxMetadataDepth)) canonical_ = canonical_json(value);
    computed_.store(true, std::memory_order_release);
  });
  return canonical_ ? &*canonical_ : nullptr;
}

// ---- distances ----------------------------------------------------------------

std::vector<float> IvfIndex::distances_to(const std::vector<std::string_view>& ids, const float* queries,
                                          size_t n_values, bool parallel) const {
  return std::move(distances_to_sets(ids, {QuerySet{queries, n_values}}, parallel)[0]);
}

std::vector<std::vector<float>> IvfIndex::distances_to_sets(const std::vector<std::string_view>& ids,
                                                            const std::vector<QuerySet>& sets,
                                                            bool parallel) const {
  const size_t dim = manifest_.dim;
  // The rerank tables: the row-independent side of every rerank, one per
  // whole query vector, made before any lock is taken. The 8-bit rerank
  // reads the query values as they are (the scale is the row's), so a
  // query's table is its own values, shared by all rows.
  std::vector<std::vector<const float*>> tables(sets.size());
  for (size_t s = 0; s < sets.size() && dim != 0; ++s) {
    tables[s].reserve(sets[s].n_values / dim);
    for (size_t at = 0; at + dim <= sets[s].n_values; at += dim) tables[s].push_back(sets[s].values + at);
  }
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  std::vector<std::vector<float>> out(sets.size(), std::vector<float>(ids.size(), kNaN));

  std::shared_lock<RwLock> idmap_lock(idmap_mu_);
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const bool has_tombstones = !tombstones_.empty();
  // A chunk resolves its ids first and starts fetching their 8-bit copies,
  // so the reranks that follow find them in the cache; every set is then
  // measured against the row while it is there.
  auto chunk = [&](size_t begin, size_t end) {
    uint32_t rows[kDistanceChunk];
    bool live[kDistanceChunk];
    std::optional<uint32_t> slots[kDistanceChunk];
    slots_of_batch_locked(ids.data() + begin, end - begin, slots);
    for (size_t k = begin; k < end; ++k) {
      const std::optional<uint32_t>& slot = slots[k - begin];
      live[k - begin] = slot && !(has_tombstones && tombstones_.contains(*slot));
      if (!live[k - begin]) continue;
      rows[k - begin] = *slot;
      prefetch_rerank_row(*slot);
    }
    for (size_t k = begin; k < end; ++k) {
      if (!live[k - begin]) continue;
      for (size_t s = 0; s < sets.size(); ++s) {
        float best = kInf;
        for (const float* q : tables[s]) best = std::min(best, rerank_distance(q, rows[k - begin]));
        out[s][k] = best;
      }
    }
  };
  for_chunks(ids.size(), kDistanceChunk, parallel && ids.size() >= kDistanceParallelIds, chunk);
  return out;
}

std::vector<float> IvfIndex::distances_across(const std::vector<const IvfIndex*>& sources,
                                              const std::vector<std::string_view>& ids, const float* queries,
                                              size_t n_values, bool parallel) {
  return std::move(distances_across_sets(sources, ids, {QuerySet{queries, n_values}}, parallel)[0]);
}

std::vector<std::vector<float>> IvfIndex::distances_across_sets(const std::vector<const IvfIndex*>& sources,
                                                                const std::vector<std::string_view>& ids,
                                                                const std::vector<QuerySet>& sets, bool parallel) {
  if (sources.size() == 1) return sources[0]->distances_to_sets(ids, sets, parallel);
  std::vector<std::vector<float>> out(sets.size(), std::vector<float>(ids.size(), std::numeric_limits<float>::quiet_NaN()));
  if (sets.empty()) return out;
  std::vector<size_t> pending(ids.size());
  for (size_t i = 0; i < pending.size(); ++i) pending[i] = i;
  std::vector<std::string_view> asked;
  for (const IvfIndex* seg : sources) {
    if (pending.empty()) break;
    asked.clear();
    for (size_t p : pending) asked.push_back(ids[p]);
    const std::vector<std::vector<float>> got = seg->distances_to_sets(asked, sets, parallel);
    // A live row answers every set (whole, finite queries give no NaN), so
    // the first set's NaN marks the ids this source does not hold.
    size_t still = 0;
    for (size_t j = 0; j < pending.size(); ++j) {
      if (std::isnan(got[0][j])) {
        pending[still++] = pending[j];
      } else {
        for (size_t s = 0; s < sets.size(); ++s) out[s][pending[j]] = got[s][j];
      }
    }
    pending.resize(still);
  }
  return out;
}

// ---- metadata status ------------------------------------------------------------

bool IvfIndex::main_meta_canonical() const {
  // Builds and compactions of format 3 write every main row's text as
  // canonical_json of its value. Without meta.bin the text is rebuilt from
  // the typed columns (numbers as doubles, untyped fields gone), and older
  // formats' writers did not promise canonical text: both are compared by
  // value instead.
  return format_version_ >= 3 && !meta_off_.empty();
}

std::vector<uint8_t> IvfIndex::meta_status(const std::vector<std::string_view>& ids,
                                           const std::vector<const CanonMeta*>& comparands, bool parallel) const {
  std::vector<uint8_t> out(ids.size(), 0);
  const bool canonical_main = main_meta_canonical();
  std::shared_lock<RwLock> idmap_lock(idmap_mu_);
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);

  auto status_of = [&](std::string_view id, const CanonMeta& given) -> uint8_t {
    const std::optional<uint32_t> slot = slot_of_locked(id);
    if (!slot || tombstones_.contains(*slot)) return 0;
    const uint32_t row = *slot;
    const bool main_row = row < manifest_.n;
    const std::string* canon = given.canonical();
    // The common case costs one comparison of the stored bytes, with no
    // parse of them: canonical stored text equal to the canonical form.
    if (canon != nullptr) {
      std::string_view stored;
      bool have = false;
      if (!main_row) {
        const uint64_t i = row - manifest_.n;
        have = i < delta_.metas.size();
        if (have) stored = delta_.metas[i];
      } else if (canonical_main) {
        have = main_meta_bytes(row, &stored);
      }
      if (have && stored == *canon) return 1;
    }
    const std::string text = row_meta_str(row);
    if (text == kNullText) return 0;
    if (canon == nullptr) return 2;
    if (text == *canon) return 1;
    if (main_row && !canonical_main) {
      const nlohmann::json stored_value = parse_json_text(text);
      const nlohmann::json given_value = parse_json_text(*canon);
      if (!stored_value.is_discarded() && !given_value.is_discarded() && json_eq_numeric(stored_value, given_value)) {
        return 1;
      }
    }
    return 2;
  };
  for_chunks(ids.size(), kStatusChunk, parallel && ids.size() >= kStatusParallelIds, [&](size_t begin, size_t end) {
    for (size_t k = begin; k < end; ++k) out[k] = status_of(ids[k], *comparands[k]);
  });
  return out;
}

std::vector<uint8_t> IvfIndex::meta_status_across(const std::vector<const IvfIndex*>& sources,
                                                  const std::vector<std::string_view>& ids,
                                                  const std::vector<const CanonMeta*>& comparands, bool parallel) {
  std::vector<uint8_t> out(ids.size(), 0);
  if (sources.empty() || ids.empty()) return out;
  // The newest source is asked for every id as given; the next ones only
  // for the ids still at 0, in their order.
  std::vector<size_t> pending;
  std::vector<std::string_view> asked_ids;
  std::vector<const CanonMeta*> asked_comps;
  bool first = true;
  for (const IvfIndex* seg : sources) {
    std::vector<uint8_t> got;
    if (first) {
      got = seg->meta_status(ids, comparands, parallel);
      for (size_t k = 0; k < got.size(); ++k) {
        out[k] = got[k];
        if (got[k] == 0) pending.push_back(k);
      }
      first = false;
    } else {
      asked_ids.clear();
      asked_comps.clear();
      for (size_t p : pending) {
        asked_ids.push_back(ids[p]);
        asked_comps.push_back(comparands[p]);
      }
      got = seg->meta_status(asked_ids, asked_comps, parallel);
      size_t still = 0;
      for (size_t j = 0; j < pending.size(); ++j) {
        if (got[j] == 0) {
          pending[still++] = pending[j];
        } else {
          out[pending[j]] = got[j];
        }
      }
      pending.resize(still);
    }
    if (pending.empty()) break;
  }
  return out;
}

}  // namespace nimbrel
