// Rows by id and ids, metadata texts by row, and the segment's counters.
//
// Every read of a mapped file here is bounds-checked: open verified only
// the sizes of the offset files and their first and last entries, so the
// entries between are checked on use, and a damaged one yields "" or
// "null" for its row, never a read outside the map.
#include <simdjson.h>

#include <cmath>
#include <set>
#include <unordered_map>
#include <mutex>
#include <shared_mutex>

#include "ivf_rabitq/id_hash.h"
#include "ivf_rabitq/json_scan.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/index.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "platform/fs.h"

namespace nimbrel {
namespace {

constexpr std::string_view kNullText = "null";

// Whether `text` is UTF-8 that parses as one JSON value. simdjson checks
// both in one pass; its nesting limit is lower than the builder's, so a
// document it refuses only for depth is given to nlohmann.
bool IsValidJson(std::string_view text) {
  thread_local simdjson::dom::parser parser;
  simdjson::error_code err = parser.parse(text.data(), text.size(), true).error();
  if (err == simdjson::SUCCESS) return true;
  if (err != simdjson::DEPTH_ERROR) return false;
  return !parse_json_text(text).is_discarded();
}

// A slice of a mapped file through its offsets file (n + 1 u64 entries).
// The offsets map is checked first: without meta.bin it is empty.
bool OffsetSlice(const platform::MappedFile& bytes, const platform::MappedFile& offsets, uint64_t n,
                 uint32_t row, std::string_view* out) {
  if (offsets.size() < (static_cast<uint64_t>(row) + 2) * segment::kOffsetBytes) return false;
  return id_bytes_of(bytes.data(), bytes.size(), offsets.data(), n, row, out);
}

// Adds with saturation at 2^64 - 1.
uint64_t SatAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t SatMul(uint64_t a, uint64_t b) {
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return p > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(p);
}

}  // namespace

IvfIndex::~IvfIndex() {
  // Operations logged under a group-commit interval or period may not be
  // on the device yet: the last reference makes them durable. The maps
  // unmap themselves.
  std::lock_guard<std::mutex> lock(wal_mu_);
  // Not while latched: after a failed flush a flush that succeeds proves
  // nothing (see wal_group_commit), and only a checkpoint clears that.
  if (wal_writer_ && wal_writer_->is_open() && !wal_failed_.load()) {
    Status st = wal_writer_->sync();
    if (!st.ok()) {
      platform::PrintNotice("Nimbrel: " + platform::JoinPath(path_, segment::kWalFile) +
                            ": final flush of the log failed: " + st.message());
    }
  }
}

// ---- ids ---------------------------------------------------------------------

bool IvfIndex::main_id_bytes(uint32_t row, std::string_view* out) const {
  return OffsetSlice(ids_, ids_off_, manifest_.n, row, out);
}

std::optional<uint32_t> IvfIndex::main_slot_of(std::string_view id) const {
  // One search, so that a lookup alone and a batch agree even on a damaged
  // table (one too large for the open's checksum budget may be unsorted).
  std::optional<uint32_t> out;
  main_slots_of(&id, 1, &out);
  return out;
}

void IvfIndex::main_slots_of(const std::string_view* ids, size_t count, std::optional<uint32_t>* out) const {
  constexpr size_t kEntry = segment::kIdHashEntryBytes;
  const uint64_t n = manifest_.n;
  auto hash_at = [&](uint64_t i) { return load_le<uint64_t>(idhash_data_ + i * kEntry); };
  for (size_t start = 0; start < count; start += kSlotBatch) {
    const size_t m = std::min(kSlotBatch, count - start);
    const std::string_view* batch = ids + start;
    uint64_t h[kSlotBatch], base[kSlotBatch];
    for (size_t k = 0; k < m; ++k) {
      h[k] = fnv1a64(batch[k]);
      base[k] = 0;
      out[start + k].reset();
    }
    if (n == 0) continue;
    // A lower bound whose steps do not depend on the data: every search of
    // the batch halves the same lengths, so the batch advances in lockstep
    // and each step's probes are fetched while the others are compared,
    // instead of one cache miss after another.
    for (uint64_t len = n; len > 1;) {
      const uint64_t half = len / 2;
      const uint64_t next_half = (len - half) / 2;
      for (size_t k = 0; k < m; ++k) {
        // A mask, not a branch: the comparison is a coin toss.
        base[k] += half & (uint64_t{0} - static_cast<uint64_t>(hash_at(base[k] + half - 1) < h[k]));
        if (next_half != 0) __builtin_prefetch(idhash_data_ + (base[k] + next_half - 1) * kEntry);
      }
      len -= half;
    }
    for (size_t k = 0; k < m; ++k) {
      if (hash_at(base[k]) < h[k]) ++base[k];  // n when every hash is smaller
      if (base[k] < n && hash_at(base[k]) == h[k]) {
        const uint32_t row = load_le<uint32_t>(idhash_data_ + base[k] * kEntry + 8);
        if (ids_off_.size() >= (static_cast<uint64_t>(row) + 2) * segment::kOffsetBytes) {
          __builtin_prefetch(ids_off_.data() + static_cast<uint64_t>(row) * segment::kOffsetBytes);
        }
      }
    }
    // Entries of equal hash: colliding ids, or a damaged table. The id
    // bytes decide.
    for (size_t k = 0; k < m; ++k) {
      for (uint64_t i = base[k]; i < n && hash_at(i) == h[k]; ++i) {
        const uint32_t row = load_le<uint32_t>(idhash_data_ + i * kEntry + 8);
        std::string_view stored;
        if (main_id_bytes(row, &stored) && stored == batch[k]) {
          out[start + k] = row;
          break;
        }
      }
    }
  }
}

void IvfIndex::slots_of_batch_locked(const std::string_view* ids, size_t count, std::optional<uint32_t>* out) const {
  if (delta_.newest.empty()) {
    main_slots_of(ids, count, out);
    return;
  }
  // The delta holds the newest row of an id; the rest go to the main rows.
  std::string_view ask[kSlotBatch];
  size_t at[kSlotBatch];
  std::optional<uint32_t> found[kSlotBatch];
  for (size_t start = 0; start < count; start += kSlotBatch) {
    const size_t m = std::min(kSlotBatch, count - start);
    size_t asked = 0;
    for (size_t k = start; k < start + m; ++k) {
      auto it = delta_.newest.find(ids[k]);
      if (it != delta_.newest.end()) {
        out[k] = static_cast<uint32_t>(manifest_.n + it->second);
      } else {
        ask[asked] = ids[k];
        at[asked++] = k;
      }
    }
    main_slots_of(ask, asked, found);
    for (size_t j = 0; j < asked; ++j) out[at[j]] = found[j];
  }
}

std::optional<uint32_t> IvfIndex::slot_of_locked(std::string_view id) const {
  // The newest row of an id wins: delta rows come after the main rows, and
  // the delta keeps the newest of each id.
  if (!delta_.newest.empty()) {
    auto it = delta_.newest.find(id);
    if (it != delta_.newest.end()) return static_cast<uint32_t>(manifest_.n + it->second);
  }
  return main_slot_of(id);
}

std::optional<uint32_t> IvfIndex::slot_of(std::string_view id) const {
  std::shared_lock<RwLock> idmap_lock(idmap_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  return slot_of_locked(id);
}

std::vector<std::optional<uint32_t>> IvfIndex::slots_of_locked(const std::vector<std::string>& ids) const {
  const std::vector<std::string_view> views(ids.begin(), ids.end());
  std::vector<std::optional<uint32_t>> out(ids.size());
  slots_of_batch_locked(views.data(), views.size(), out.data());
  return out;
}

std::string IvfIndex::ext_of(uint32_t row) const {
  if (row < manifest_.n) {
    std::string_view id;
    if (!main_id_bytes(row, &id) || !simdjson::validate_utf8(id.data(), id.size())) return std::string();
    return std::string(id);
  }
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const uint64_t i = row - manifest_.n;
  return i < delta_.ids.size() ? delta_.ids[i] : std::string();
}

// ---- metadata ------------------------------------------------------------------

bool IvfIndex::main_meta_bytes(uint32_t row, std::string_view* out) const {
  return OffsetSlice(meta_, meta_off_, manifest_.n, row, out);
}

std::string_view IvfIndex::main_meta_text(const void* ctx, uint32_t row) {
  std::string_view text;
  if (!static_cast<const IvfIndex*>(ctx)->main_meta_bytes(row, &text)) return kNullText;
  return text;
}

std::string_view IvfIndex::delta_meta_text(const void* ctx, uint32_t row) {
  const Delta& d = static_cast<const IvfIndex*>(ctx)->delta_;
  return row < d.metas.size() ? std::string_view(d.metas[row]) : kNullText;
}

std::string IvfIndex::rebuild_meta_from_columns(uint32_t row) const {
  nlohmann::json obj = nlohmann::json::object();
  size_t num = 0, str = 0;
  for (const FieldSchema& f : fields_) {
    if (f.numeric) {
      const double* col = main_rows_.num[num++];
      if (col != nullptr && std::isfinite(col[row])) obj[f.name] = col[row];
    } else {
      const std::vector<const std::string*>& reverse = reverse_dicts_[str];
      const uint32_t* col = main_rows_.str[str++];
      if (col == nullptr) continue;
      const uint32_t code = col[row];
      if (code < reverse.size() && reverse[code] != nullptr) obj[f.name] = predicate::dict_key_value(*reverse[code]);
    }
  }
  return canonical_json(obj);
}

std::string IvfIndex::row_meta_str(uint32_t row) const {
  if (row < manifest_.n) {
    if (meta_off_.empty()) return rebuild_meta_from_columns(row);
    std::string_view text;
    if (!main_meta_bytes(row, &text) || !IsValidJson(text)) return std::string(kNullText);
    return std::string(text);
  }
  const uint64_t i = row - manifest_.n;
  if (i >= delta_.metas.size() || !IsValidJson(delta_.metas[i])) return std::string(kNullText);
  return delta_.metas[i];
}

uint64_t IvfIndex::metadata_result_cost(std::string_view text) {
  if (text.empty()) return 0;
  // Structure counted outside strings only, as the Python scanners count it.
  const json_scan::Counts c = json_scan::scan(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0);
  const uint64_t structure =
      SatAdd(SatAdd(SatMul(256, c.colons), SatMul(288, c.commas)), SatMul(128, c.openers));
  return std::max(structure, SatMul(4, text.size()));
}

// ---- metadata by id --------------------------------------------------------------

std::vector<std::optional<uint32_t>> IvfIndex::live_slots_locked(const std::vector<std::string>& ids) const {
  std::vector<std::optional<uint32_t>> slots = slots_of_locked(ids);
  for (std::optional<uint32_t>& slot : slots) {
    if (slot && tombstones_.contains(*slot)) slot.reset();
  }
  return slots;
}

std::vector<bool> IvfIndex::has_ids(const std::vector<std::string>& ids) const {
  std::shared_lock<RwLock> idmap_lock(idmap_mu_);
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  std::vector<bool> out;
  out.reserve(ids.size());
  for (const std::optional<uint32_t>& slot : live_slots_locked(ids)) out.push_back(slot.has_value());
  return out;
}

std::vector<std::string> IvfIndex::get_metas(const std::vector<std::string>& ids) const {
  std::shared_lock<RwLock> idmap_lock(idmap_mu_);
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  std::vector<std::string> out;
  out.reserve(ids.size());
  for (const std::string& id : ids) {
    const std::optional<uint32_t> slot = slot_of_locked(id);
    out.push_back(slot && !tombstones_.contains(*slot) ? row_meta_str(*slot) : std::string(kNullText));
  }
  return out;
}

std::vector<std::vector<float>> IvfIndex::get_vectors(const std::vector<std::string>& ids) const {
  std::shared_lock<RwLock> idmap_lock(idmap_mu_);
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const size_t dim = manifest_.dim;
  std::vector<std::vector<float>> out(ids.size());
  for (size_t k = 0; k < ids.size(); ++k) {
    const std::optional<uint32_t> slot = slot_of_locked(ids[k]);
    if (!slot || tombstones_.contains(*slot)) continue;
    const uint8_t* codes;
    float scale;
    if (*slot < manifest_.n) {
      codes = orig_.data() + static_cast<size_t>(*slot) * dim;
      scale = rerank_scale(*slot);
    } else {
      codes = delta_.rerank.data() + static_cast<size_t>(*slot - manifest_.n) * (dim + 1);
      scale = copy_scale(codes[dim]);
    }
    out[k].resize(dim);
    for (size_t i = 0; i < dim; ++i) out[k][i] = ((static_cast<float>(codes[i]) - 128.0f) / 127.0f) * scale;
  }
  return out;
}

std::vector<std::vector<std::pair<uint32_t, float>>> IvfIndex::get_sparse(const std::vector<std::string>& ids) const {
  std::shared_lock<RwLock> idmap_lock(idmap_mu_);
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const std::vector<std::optional<uint32_t>> slots = live_slots_locked(ids);
  // Main rows store their pairs term by term: one visit of every posting
  // gathers them. For a few ids only the wanted rows are kept.
  std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, float>>> gathered;
  if (ids.size() < 64) {
    std::set<uint32_t> wanted;
    for (const std::optional<uint32_t>& slot : slots) {
      if (slot && *slot < manifest_.n) wanted.insert(*slot);
    }
    if (!wanted.empty()) {
      for_each_main_posting([&](uint32_t term, uint32_t row, float weight) {
        if (wanted.count(row) != 0) gathered[row].emplace_back(term, weight);
      });
    }
  } else {
    for_each_main_posting([&](uint32_t term, uint32_t row, float weight) {
      if (row < manifest_.n) gathered[row].emplace_back(term, weight);
    });
  }
  std::vector<std::vector<std::pair<uint32_t, float>>> out(ids.size());
  for (size_t k = 0; k < ids.size(); ++k) {
    if (!slots[k]) continue;
    const uint32_t row = *slots[k];
    if (row < manifest_.n) {
      auto it = gathered.find(row);
      if (it != gathered.end()) out[k] = it->second;
    } else if (row - manifest_.n < delta_.sparse.size()) {
      out[k] = delta_.sparse[row - manifest_.n];
    }
  }
  return out;
}

std::optional<IvfIndex::Aggregate> IvfIndex::aggregate_by_ids(std::string_view field,
                                                              const std::vector<std::string>& ids) const {
  std::shared_lock<RwLock> schema_lock(schema_mu_);
  const FieldSchema* target = nullptr;
  size_t number = 0, strings = 0;
  for (const FieldSchema& f : fields_) {
    if (f.name == field) {
      if (f.numeric) return std::nullopt;
      target = &f;
      number = strings;
      break;
    }
    if (!f.numeric) ++strings;
  }
  if (target == nullptr) return std::nullopt;
  Aggregate out;
  std::unordered_map<uint32_t, uint64_t> by_code;
  {
    std::shared_lock<RwLock> idmap_lock(idmap_mu_);
    std::shared_lock<RwLock> tomb_lock(tomb_mu_);
    std::shared_lock<RwLock> delta_lock(delta_mu_);
    const uint32_t* main_col = number < main_rows_.str.size() ? main_rows_.str[number] : nullptr;
    const std::vector<uint32_t>* delta_col = number < delta_.str.size() ? &delta_.str[number] : nullptr;
    const std::vector<std::optional<uint32_t>> slots = slots_of_locked(ids);
    for (size_t p = 0; p < slots.size(); ++p) {
      if (!slots[p] || tombstones_.contains(*slots[p])) continue;
      const uint32_t row = *slots[p];
      uint32_t code = kNoCode;
      if (row < manifest_.n) {
        if (main_col != nullptr) code = main_col[row];
      } else if (delta_col != nullptr && row - manifest_.n < delta_col->size()) {
        code = (*delta_col)[row - manifest_.n];
      }
      out.resolved.push_back(p);
      if (code != kNoCode) ++by_code[code];
    }
  }
  // Codes to value texts, each distinct code once; the walk stops looking
  // up once every counted code has been met.
  size_t left = by_code.size();
  for (const auto& [key, code] : target->dict) {
    if (left == 0) break;
    auto it = by_code.find(code);
    if (it == by_code.end()) continue;
    --left;
    std::string text;
    if (format_version_ < 3) {
      text = key;
    } else {
      const nlohmann::json value = predicate::dict_key_value(key);
      text = value.is_string() ? value.get<std::string>() : canonical_json(value);
    }
    out.counts[text] += it->second;
  }
  return out;
}

std::optional<IvfIndex::LimitedMeta> IvfIndex::get_meta_limited(const std::vector<std::string>& ids,
                                                                 uint64_t budget, bool charge_nulls,
                                                                 bool fast_upper) const {
  std::shared_lock<RwLock> idmap_lock(idmap_mu_);
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const std::vector<std::optional<uint32_t>> slots = live_slots_locked(ids);
  // Without metadata text files, main rows are written out from their
  // typed columns through the dictionaries' keys: the keys the requested
  // rows use are charged, once each, against an allowance of the budget.
  if (meta_off_.empty()) {
    uint64_t allowance = budget;
    size_t s = 0;
    for (const FieldSchema& f : fields_) {
      if (f.numeric) continue;
      const uint32_t* col = main_rows_.str[s];
      const std::vector<const std::string*>& reverse = reverse_dicts_[s++];
      if (col == nullptr) continue;
      std::set<uint32_t> codes;
      for (const std::optional<uint32_t>& slot : slots) {
        if (slot && *slot < manifest_.n && col[*slot] < reverse.size() && reverse[col[*slot]] != nullptr) {
          codes.insert(col[*slot]);
        }
      }
      for (uint32_t code : codes) {
        const uint64_t len = reverse[code]->size();
        if (len > allowance) return std::nullopt;
        allowance -= len;
      }
    }
  }
  LimitedMeta out;
  out.texts.reserve(ids.size());
  uint64_t remaining = budget;
  auto charge_of = [&](std::string_view text) {
    if (fast_upper) {
      const unsigned __int128 upper = static_cast<unsigned __int128>(288) * text.size();
      if (upper <= remaining) return static_cast<uint64_t>(upper);
    }
    return metadata_result_cost(text);
  };
  const uint64_t null_charge = charge_nulls ? metadata_result_cost(kNullText) : 0;
  for (const std::optional<uint32_t>& slot : slots) {
    std::string text;
    bool is_null = !slot;
    if (slot) {
      // A stored text is charged before its validity is known; one that
      // turns out not to be JSON is then a "null".
      std::string_view stored;
      const bool at_hand = *slot >= manifest_.n || !meta_off_.empty();
      if (at_hand) {
        if (*slot >= manifest_.n) {
          const uint64_t i = *slot - manifest_.n;
          stored = i < delta_.metas.size() ? std::string_view(delta_.metas[i]) : kNullText;
        } else if (!main_meta_bytes(*slot, &stored)) {
          stored = kNullText;
        }
        if (stored == kNullText) {
          is_null = true;
        } else {
          const uint64_t c = charge_of(stored);
          if (c > remaining) return std::nullopt;
          if (IsValidJson(stored)) {
            remaining -= c;
            out.cost += c;
            text.assign(stored);
          } else {
            is_null = true;
          }
        }
      } else {
        text = rebuild_meta_from_columns(*slot);
        if (text == kNullText) {
          is_null = true;
        } else {
          const uint64_t c = charge_of(text);
          if (c > remaining) return std::nullopt;
          remaining -= c;
          out.cost += c;
        }
      }
    }
    if (is_null) {
      if (null_charge > remaining) return std::nullopt;
      remaining -= null_charge;
      ++out.nulls;
      text.assign(kNullText);
    }
    out.texts.push_back(std::move(text));
  }
  return out;
}

// ---- counters ------------------------------------------------------------------

uint64_t IvfIndex::tombstone_count() const {
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  return tombstones_.cardinality();
}

uint64_t IvfIndex::delta_count() const {
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  return delta_.size();
}

uint64_t IvfIndex::live_count() const {
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const uint64_t slots = manifest_.n + delta_.size();
  const uint64_t dead = tombstones_.cardinality();
  return slots > dead ? slots - dead : 0;
}

void IvfIndex::reset_last_sync() {
  std::lock_guard<std::mutex> lock(last_sync_mu_);
  last_sync_ns_ = platform::MonotonicNanos();
}

}  // namespace nimbrel
