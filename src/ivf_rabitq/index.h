// IvfIndex: one opened segment.
//
// A segment directory holds rows stored list by list (the rows of one IVF
// list are contiguous, input order kept within a list). The index maps its
// data files read-only and shares itself by reference count between the
// Python handle and the operations in flight.
//
// Split by concern:
//   index_build.cc  IvfIndex::build (bulk build of a directory)
//   index_open.cc   open_with_skip: validation, repair, CRC verification, maps
//   index_lookup.cc ids, metadata, id-to-row lookup
//   index_query.cc  filters, search_core, search_bruteforce
//   index_sparse.cc sparse_rank, rrf_fuse, search_hybrid
//   index_write.cc  the write path: log, apply, group commit, checkpoint
//   index_replay.cc loading delta.bin and deleted.bin, replaying wal.bin
//   index_compact.cc compaction and the live rows for a rebuild
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <roaring/roaring.h>

#include "ivf_rabitq/bitplane_codec.h"
#include "ivf_rabitq/delta.h"
#include "ivf_rabitq/kmeans.h"
#include "ivf_rabitq/manifest.h"
#include "ivf_rabitq/predicate.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/rotation.h"
#include "ivf_rabitq/rw_lock.h"
#include "ivf_rabitq/status.h"
#include "ivf_rabitq/tombstones.h"
#include "ivf_rabitq/wal.h"
#include "platform/fs.h"

namespace nimbrel {

// The format version this build writes and reports: 3, the structured
// rotation (1 and 2: the dense one). The layout of the codes is the
// manifest's row format (segment_format.h).
inline constexpr uint32_t kFormatVersion = 3;
inline constexpr uint64_t kSlotCapacity = 0xFFFFFFFFull;

// The slot guard: rows are numbered by u32 slots, 0xFFFFFFFF is never a
// row, and slots are never reused (tombstoned rows count).
inline bool slot_space_ok(uint64_t current, uint64_t adding) {
  return adding < kSlotCapacity && current < kSlotCapacity - adding;
}

struct Hit {
  uint32_t row;
  float dist;
};

// A row with a score: sparse and hybrid results descend by score, ties to
// the lower row.
struct ScoredHit {
  uint32_t row;
  float score;
  bool operator==(const ScoredHit&) const = default;
};

// A sparse vector or query: (term, weight) pairs in the order given.
using SparsePairs = std::vector<std::pair<uint32_t, float>>;

// Reciprocal Rank Fusion of two ranked lists of rows: each row in either
// list scores the float32 sum, over the lists holding it, of
// 1 / (rrf_k + r + 1) with r its 0-based position there (the first list's
// term added first). The k best, descending, ties to the lower row. Only
// positions count.
std::vector<ScoredHit> rrf_fuse(float rrf_k, uint64_t k, const std::vector<uint32_t>& first,
                                const std::vector<uint32_t>& second);

// Process-wide values (created on first use; see storage.h for residency).
extern std::atomic<uint64_t> OPEN_COUNT;

// What IvfIndex::build stores. When an id occurs more than once, its last
// row wins: the earlier rows with that id are not stored at all (as if the
// later row had been an upsert), and the segment holds one row per id.
struct BuildInput {
  std::string dir;
  const float* data = nullptr;  // n * dim values, row-major
  // Instead of `data`: writes row i's dim values to `out`, called a chunk
  // of rows at a time from many threads. The merge builds this way and
  // never holds every row's floats at once; the k-means then fits a sample
  // of at most `max_sample` rows (0: the k-means default).
  std::function<void(uint64_t row, float* out)> row_vector;
  uint64_t max_sample = 0;
  // Set, when given, to the number of rows stored (one per distinct id).
  uint64_t* stored_rows = nullptr;
  // The number of floats at `data`, checked against n * dim; unset when the
  // caller itself guarantees n * dim values.
  std::optional<uint64_t> data_len;
  uint64_t n = 0;
  uint64_t dim = 0;
  std::vector<std::string> ids;
  std::vector<nlohmann::json> metadata;  // one per row
  std::vector<std::vector<std::pair<uint32_t, float>>> sparse;  // empty: no sparse terms
  std::vector<std::string> skip;
  std::vector<float> pca_mean;
  std::vector<float> pca_comps;
  uint64_t n_clusters = 0;     // 0: floor(sqrt(rows)); clamped to [1, rows]
  uint64_t n_bits = 2;         // 1..8
  uint64_t seed = 42;
  float quant_scale = 0.0f;    // <= 0 or NaN: the largest |value| of the input (at least 1e-6)
};

class IvfIndex {
 public:
  // ---- build and open (index_build.cc, index_open.cc) ----
  // Writes a complete segment into in.dir (created with its parents):
  // the data files, then crcs.bin, format.bin, generation = 0 and, last,
  // manifest.bin, whose presence marks the directory complete.
  static Status build(const BuildInput& in);
  // Opens, validates and maps a segment directory; damaged files give
  // kCorrupt errors "corrupt index: ...", and idhash.bin is rebuilt when
  // it is missing or damaged. Every call, failed or not, counts in OPEN_COUNT.
  // A non-zero `expected_dim` that differs from the stored dimension is
  // refused as soon as the manifest is read, before anything is sized by
  // the stored dimension: kInvalidArgument "dim mismatch: opened with
  // dim={expected} but the index at "{dir}" was built with dim={stored}",
  // the directory quoted with backslash escapes.
  static Result<std::shared_ptr<IvfIndex>> open_with_skip(
      const std::string& dir, const std::optional<std::set<std::string>>& skip,
      uint64_t expected_dim = 0);
  ~IvfIndex();
  IvfIndex(const IvfIndex&) = delete;
  IvfIndex& operator=(const IvfIndex&) = delete;

  // ---- status ----
  const std::string& path() const { return path_; }
  uint64_t dim() const { return manifest_.dim; }
  uint64_t main_count() const { return manifest_.n; }
  uint32_t format_version() const { return format_version_; }
  const Manifest& manifest() const { return manifest_; }
  const Rotator& rotator() const { return rotator_; }
  uint64_t live_count() const;
  uint64_t delta_count() const;
  uint64_t tombstone_count() const;
  // Recorded checksums (file name -> CRC-32), empty without crcs.bin.
  const std::map<std::string, uint32_t>& recorded_crcs() const { return crcs_; }

  // Group-commit state (used by the write path; set by the handle).
  std::atomic<uint32_t> group_commit_interval{1};
  std::atomic<uint64_t> wal_sync_ms{0};
  std::atomic<uint64_t> wal_flush_count{0};
  void reset_last_sync();

  // ---- write path (index_write.cc) ----
  // The writer mutex: held around a log append, its in-RAM apply and the
  // group commit, and by a checkpoint, so they never interleave within the
  // process.
  std::unique_lock<std::mutex> lock_writer() const { return std::unique_lock<std::mutex>(writer_mu_); }
  // The slot guard: refuses `adding` more rows when main + delta + adding
  // would reach 4294967295 ("slot space exhausted: ...").
  Status check_slot_space(uint64_t adding) const;
  // Appends one framed record to wal.bin (created with its header when
  // missing). No device flush. On failure nothing whole was appended.
  Status wal_write(const WalOp& op);
  // Applies an Add in RAM: encodes the row against its nearest centroid,
  // appends it to the delta, points the id at it, tombstones the id's
  // previous row, extends the typed columns. `meta` is op.meta parsed
  // (null: parsed here).
  Status apply_add(const WalOp& op, const nlohmann::json* meta = nullptr);
  // Tombstones the id's live row; false when it has none.
  bool apply_delete(std::string_view id);
  // The durability policy after one logged operation (see docs/write-path.md).
  Status wal_group_commit();
  // The whole of an add and of a delete, as the handle runs them: the
  // checks, then under the writer mutex the log append, the in-RAM apply
  // and the group commit. A failed append applies nothing; a failed group
  // commit leaves the operation logged and applied, but not durable.
  // add() stores the metadata in canonical form (sorted keys, compact);
  // it refuses metadata that is not JSON. remove() is true when this call
  // tombstoned a live row.
  // `parsed`, when given, is op.meta parsed by the caller, who has checked
  // its depth and made op.meta its canonical text.
  Status add(WalOp op, const nlohmann::json* parsed = nullptr);
  Result<bool> remove(const std::string& id);
  // Flushes the log tail to the device, whoever appended it.
  Status sync_wal();
  bool wal_flush_failed() const { return wal_failed_.load(); }
  // The format of the log the segment replayed (0: there was none). A log
  // of version 1 takes no appends until a checkpoint replaces it.
  uint32_t wal_version() const;
  // Whether the directory's delta.bin and wal.bin are exactly what this
  // segment has seen: then a checkpoint in place loses nobody's operations.
  bool matches_disk() const;
  // Persists the delta and tombstones, writes `generation` =
  // new_generation, and empties the log. Clears the flush-failure latch.
  // The caller holds the exclusive directory lock.
  Status checkpoint(uint64_t new_generation);
  // Writes the live rows into a new segment directory `staging` with the
  // given generation, list by list, without re-clustering or re-encoding.
  Status compact_to(const std::string& staging, uint64_t generation) const;
  // Gives the new segment directory `dir` written from this one (compacted
  // or rebuilt) this one's wal.corrupt.bin, with the ranges this
  // segment's replay skipped added as a checkpoint adds them.
  Status carry_damaged_log(const std::string& dir) const;
  // The live rows as a build input (vectors from the 8-bit copies), for a
  // rebuild; dir, n_clusters, n_bits and seed are the caller's to set.
  struct LiveRows {
    std::vector<float> vectors;  // what input.data points at
    BuildInput input;
  };
  Result<std::unique_ptr<LiveRows>> live_rows() const;
  uint64_t mutation_sequence() const { return mutation_seq_.load(); }

  // ---- lookups (index_lookup.cc) ----
  std::optional<uint32_t> slot_of(std::string_view id) const;
  // Caller holds the id-map and delta read locks.
  std::optional<uint32_t> slot_of_locked(std::string_view id) const;
  std::vector<std::optional<uint32_t>> slots_of_locked(const std::vector<std::string>& ids) const;
  // slot_of_locked for `count` ids at once (out[k] for ids[k]), faster than
  // one at a time on a large segment: the id table's cache misses overlap.
  void slots_of_batch_locked(const std::string_view* ids, size_t count, std::optional<uint32_t>* out) const;
  // The row's external id; "" when its stored offsets or bytes are unusable.
  // Takes the delta read lock itself for a delta row.
  std::string ext_of(uint32_t row) const;
  // The row's metadata JSON text, "null" when unusable. For a delta row the
  // caller holds the delta read lock.
  std::string row_meta_str(uint32_t row) const;
  static uint64_t metadata_result_cost(std::string_view text);
  // A row's values as its 8-bit copy holds them. For a delta row the
  // caller holds the delta read lock (or owns the segment alone).
  void stored_vector(uint32_t row, float* out) const;
  // The sparse terms of every main row (ascending term order within a
  // row); empty when the main rows have none.
  std::vector<SparsePairs> main_sparse_rows() const;

  // ---- metadata by id (index_lookup.cc); each takes the id-map, tombstone
  // and delta read locks for the whole batch ----
  // Whether each id has a live row.
  std::vector<bool> has_ids(const std::vector<std::string>& ids) const;
  // Each id's metadata text, "null" without a live row.
  std::vector<std::string> get_metas(const std::vector<std::string>& ids) const;
  // The same under a budget of estimated memory units (see
  // metadata_result_cost). "null" entries cost 16 when `charge_nulls`,
  // else nothing; with `fast_upper` another text is charged 288 x its
  // length while that fits the rest of the budget. Nullopt when a charge
  // does not fit: the budget is exceeded and nothing is returned.
  // Each id's vector as its 8-bit copy holds it (empty without a live row).
  std::vector<std::vector<float>> get_vectors(const std::vector<std::string>& ids) const;
  // Each id's sparse pairs (empty without a live row or terms). A main
  // row's pairs come term by term as the postings are visited.
  std::vector<std::vector<std::pair<uint32_t, float>>> get_sparse(const std::vector<std::string>& ids) const;
  // Calls f(term, row, weight) for every stored posting of the main rows
  // (sparse.bin, or the manifest's postings of older segments).
  template <typename F>
  void for_each_main_posting(F&& f) const;
  // How the live rows of `ids` split over the values of a string field:
  // (value text -> rows, positions in `ids` of the live ids, ascending).
  // Nullopt when the field has no typed string column here.
  struct Aggregate {
    std::map<std::string, uint64_t> counts;
    std::vector<uint64_t> resolved;
  };
  std::optional<Aggregate> aggregate_by_ids(std::string_view field, const std::vector<std::string>& ids) const;
  struct LimitedMeta {
    std::vector<std::string> texts;
    uint64_t cost = 0;   // charges of the texts that are not "null"
    uint64_t nulls = 0;  // "null" entries
  };
  std::optional<LimitedMeta> get_meta_limited(const std::vector<std::string>& ids, uint64_t budget,
                                              bool charge_nulls, bool fast_upper) const;

  // ---- probe-count calibration (index_calibrate.cc) ----
  // The smallest probe count of `grid` (sorted, duplicates dropped) whose
  // mean recall@k reaches `target_recall`, else the largest: min(n_samples,
  // live) live rows drawn by a seeded partial shuffle search for their own
  // exact top k (the row itself left out), their vectors rebuilt from the
  // 8-bit copies. An empty grid gives 64; no live rows the largest value; at
  // most one list or at most k + 1 live rows the smallest; no sample (n_samples
  // 0) measures nothing and gives the largest. k 0 counts as 1. The
  // tombstone and delta read locks are held only while the sample is taken;
  // the searches take their own. Loops run in the calling thread's arena
  // (the maintenance pool inside a maintenance job). Same segment, arguments
  // and seed, same answer.
  uint64_t calibrate_nprobe(uint64_t n_samples, uint64_t k, float target_recall, uint64_t rerank,
                            std::vector<uint64_t> grid, uint64_t seed) const;

  // ---- lookups on behalf of other segments' callers (index_across.cc) ----
  // A caller's metadata text with its canonical form made on first use
  // (canon_meta.h).
  class CanonMeta;
  // Per id, the smallest exact rerank distance (the one dense search
  // reports) between its live row and the whole dim-value vectors of
  // `queries` (n_values floats, back to back): NaN without a live row,
  // +inf for a live row when no whole vector is given. Holds the id-map,
  // tombstone and delta read locks throughout; with `parallel`, 64 ids or
  // more run on the pool in chunks of 32. Results in id order.
  std::vector<float> distances_to(const std::vector<std::string_view>& ids, const float* queries,
                                  size_t n_values, bool parallel) const;
  // distances_to over `sources`, newest first: an id is answered by the
  // first source holding it live; older sources are asked only for the
  // ids still unanswered. NaN where none holds it.
  static std::vector<float> distances_across(const std::vector<const IvfIndex*>& sources,
                                             const std::vector<std::string_view>& ids, const float* queries,
                                             size_t n_values, bool parallel);
  // One run of whole dim-value query vectors, back to back.
  struct QuerySet {
    const float* values;
    size_t n_values;
  };
  // distances_to for several query sets at once, each id resolved once:
  // out[s][k] is the distance of ids[k] for sets[s].
  std::vector<std::vector<float>> distances_to_sets(const std::vector<std::string_view>& ids,
                                                    const std::vector<QuerySet>& sets, bool parallel) const;
  // distances_across for several query sets at once.
  static std::vector<std::vector<float>> distances_across_sets(const std::vector<const IvfIndex*>& sources,
                                                               const std::vector<std::string_view>& ids,
                                                               const std::vector<QuerySet>& sets, bool parallel);
  // How each id's live row compares with its comparand's metadata: 0 no
  // live row, or the row stores null (and the comparand is not null);
  // 1 the same; 2 different, or the comparand is not JSON. Holds the
  // id-map, tombstone and delta read locks throughout; with `parallel`,
  // 256 ids or more run on the pool in chunks of 128.
  std::vector<uint8_t> meta_status(const std::vector<std::string_view>& ids,
                                   const std::vector<const CanonMeta*>& comparands, bool parallel) const;
  // meta_status over `sources`, newest first, each asked only for the ids
  // still at 0: the first nonzero status settles an id.
  static std::vector<uint8_t> meta_status_across(const std::vector<const IvfIndex*>& sources,
                                                 const std::vector<std::string_view>& ids,
                                                 const std::vector<const CanonMeta*>& comparands, bool parallel);
  // Whether the main rows' stored metadata texts are canonical JSON (a
  // format-3 segment with meta.bin); otherwise they are compared by value.
  bool main_meta_canonical() const;

  // ---- merge of several segments (index_merge.cc) ----
  struct MergeInput {
    std::string out;
    std::vector<std::string> dirs;                // in the caller's order: a later one wins an id
    std::unordered_set<std::string> tombstones;   // ids deleted elsewhere: left out
    uint64_t n_clusters = 0;                      // 0: floor(sqrt(rows)), clamped to [1, rows]
    float scale = 0.0f;                           // > 0: the rerank scale; else from the rows
    std::vector<std::string> skip;                // fields without typed columns
    std::vector<float> pca_mean, pca_comps;
    uint64_t n_bits = 2;
    uint64_t seed = 42;
    // Opens an input (with its own skip fields); unset: open_with_skip.
    // The caller's chance to hold the input's directory lock meanwhile.
    std::function<Result<std::shared_ptr<IvfIndex>>(const std::string& dir)> open_input;
  };
  struct MergeResult {
    uint64_t rows = 0;                 // written (0: nothing was written)
    std::vector<std::string> dropped;  // ids of live rows left out, as met
  };
  // One new segment at `out` from the live rows of `dirs` (main rows in row
  // order, then added rows), leaving out rows whose id is in `tombstones`
  // (listed in `dropped`, once per such row). Refuses an `out` that is one
  // of `dirs` ("merge: output dir must not be one of the input dirs"),
  // compared component by component and then as resolved paths (also with
  // its ".." taken out as written), and an `out` that holds a segment,
  // before opening anything; and inputs of another dimension. The rows'
  // vectors are read back from their 8-bit copies as they are needed,
  // never all at once; k-means fits a sample of at most
  // NIMBREL_MERGE_SAMPLE rows. Takes no file lock itself.
  static Result<MergeResult> merge(const MergeInput& in);

  // ---- query (index_query.cc) ----
  Result<std::shared_ptr<const Predicate>> compile_filter_cached(const std::string& text) const;
  bool passes_main(const Predicate& p, uint32_t row) const;
  bool passes_delta(const Predicate& p, uint32_t delta_index) const;
  std::vector<Hit> search_core(const float* query, uint64_t k, uint64_t nprobe, uint64_t rerank,
                               const Predicate* filter, bool ensure_target_k) const;
  std::vector<Hit> search_bruteforce(const float* query, uint64_t k, const Predicate* filter) const;
  // Caller holds the tombstone and delta read locks (lock_reads) for these two.
  // Rows first .. first + count - 1 (main rows, then delta rows) that pass.
  uint64_t count_passing(const Predicate& filter, uint64_t first, uint64_t count) const;
  // About how many rows pass: counted on a small segment, else from an
  // even sample of 64-row groups. Tombstones are not considered.
  double estimate_passing(const Predicate& filter) const;
  // Below this share of passing rows a filtered probe tests the filter
  // before estimating; returns the previous share. For tests.
  static double set_filter_first_share(double share);

  // Sparse and hybrid search (index_sparse.cc). sparse_rank: at most k live
  // rows that pass the filter and hold at least one of the query's terms,
  // scored by the sum over the query's pairs, in order, of the query weight
  // times the row's weight for that term (main and delta rows); descending,
  // ties to the lower row. Stored postings that name no row of the segment
  // or hold a weight that is not finite are skipped.
  std::vector<ScoredHit> sparse_rank(const SparsePairs& query, uint64_t k, const Predicate* filter) const;
  // Both rankings asked for max(10 k, 100) rows, fused by rrf_fuse; with
  // ensure_target_k and fewer than k fused rows, the exact dense list takes
  // the approximate one's place.
  std::vector<ScoredHit> search_hybrid(const float* query, const SparsePairs& sparse, uint64_t k, uint64_t nprobe,
                                       uint64_t rerank, const Predicate* filter, float rrf_k,
                                       bool ensure_target_k) const;

  // Filtered scans of the live rows (index_scan.cc): main rows, then delta
  // rows, by ascending number; each takes the tombstone and delta read
  // locks for the whole scan. A null filter accepts every row.
  std::vector<std::string> ids_matching(const Predicate* filter) const;
  // The first `limit` of ids_matching's ids, scanning no further than needed.
  std::vector<std::string> ids_matching_limit(const Predicate* filter, uint64_t limit) const;
  uint64_t count_matching(const Predicate* filter) const;
  bool exists_matching(const Predicate* filter) const;

  // The exact rerank distance of a row against a query: the squared L2
  // distance to the row's dequantised 8-bit copy (rerank_l2_u8). For a
  // delta row the caller holds the delta read lock.
  float rerank_distance(const float* query, uint32_t row) const;
  // The scale s of a main row's 8-bit copy: a stored value is (c - 128) / 127 * s.
  float rerank_scale(uint32_t row) const;
  // The scale an exponent code stands for: 2^(max(e, 2) - 128), or the
  // segment's global quant_scale for code 0.
  float copy_scale(uint32_t e) const;
  // Starts fetching a main row's 8-bit copy and scale into the cache.
  void prefetch_rerank_row(uint32_t row) const;

 private:
  IvfIndex() = default;
  friend class IvfIndexOpener;
  friend class WalReplayer;
  friend class RowMatcher;

  // The tombstone and delta read locks, taken together in the readers'
  // order and held for a whole read, so that it sees one state; the
  // *_locked bodies below run under them.
  struct ReadLocks {
    std::shared_lock<RwLock> tomb, delta;
  };
  ReadLocks lock_reads() const;
  std::vector<Hit> search_core_locked(const float* query, uint64_t k, uint64_t nprobe, uint64_t rerank,
                                      const Predicate* filter, bool ensure_target_k) const;
  std::vector<Hit> search_bruteforce_locked(const float* query, uint64_t k, const Predicate* filter) const;
  // search_bruteforce_locked for a filter few rows pass: the passing main
  // rows come from the filter's remembered list.
  std::vector<Hit> search_passing_locked(const float* query, uint64_t k, const Predicate& filter) const;
  std::vector<ScoredHit> sparse_rank_locked(const SparsePairs& query, uint64_t k, const Predicate* filter) const;

  // index_write.cc
  // Encodes an Add's vector: list, code, factors, 8-bit copy (the id,
  // metadata and sparse terms are the caller's to move in). Reads only what
  // never changes after open, plus the lazily prepared ranker.
  // `list`: the row's nearest list when the caller found it already.
  void encode_row(const WalOp& op, DeltaRow* out, std::optional<uint32_t> list = std::nullopt) const;
  // The exact nearest-centroid ranker, prepared on first use.
  const CentroidRanker& ranker() const;
  // The in-RAM apply of an encoded row (apply_add's second half).
  void apply_encoded(DeltaRow&& row, const nlohmann::json* meta);
  // The applies of a replay, which runs before the segment is shared: no
  // locks, and the id's main row (`main_slot`) was looked up ahead, in
  // parallel, by the caller.
  void replay_add(DeltaRow&& row, const nlohmann::json* meta, std::optional<uint32_t> main_slot);
  void replay_delete(const std::string& id, std::optional<uint32_t> main_slot);
  std::optional<uint32_t> newest_slot(const std::string& id, std::optional<uint32_t> main_slot) const;
  // Appends one row's typed cells, growing the schema and dictionaries as
  // needed; true when the schema or a dictionary changed. The caller
  // holds the schema and delta locks exclusively.
  bool append_typed_cells(const nlohmann::json* meta);
  Status flush_wal_locked();
  // A failed device flush of the log sets the latch and closes the log.
  Status latch_on_failure(Status st);
  // With wal_mu_ held: the segment's writer, made on first use from what
  // the replay found; the account of what an append wrote; the flush.
  wal::Writer& wal_writer_locked();
  void note_written(const wal::Written& w);
  Status sync_wal_locked();
  // With wal_mu_ held: appends the damaged ranges the replay skipped to wal.corrupt.bin.
  Status keep_damaged_locked() const;
  size_t delta_code_bytes() const { return manifest_.n_lists == 0 ? 0 : code_bytes_; }

  // Bounds-checked views of a main row's stored id and metadata bytes
  // (index_lookup.cc); false when its offsets are unusable.
  bool main_id_bytes(uint32_t row, std::string_view* out) const;
  bool main_meta_bytes(uint32_t row, std::string_view* out) const;
  std::optional<uint32_t> main_slot_of(std::string_view id) const;
  static constexpr size_t kSlotBatch = 32;  // searches advanced together
  void main_slots_of(const std::string_view* ids, size_t count, std::optional<uint32_t>* out) const;
  // Each id's live row, or none (tombstoned rows count as none). The
  // caller holds the id-map, tombstone and delta read locks.
  std::vector<std::optional<uint32_t>> live_slots_locked(const std::vector<std::string>& ids) const;
  std::string rebuild_meta_from_columns(uint32_t row) const;
  // RowSource::meta_text of the main rows: the stored text, or "null".
  static std::string_view main_meta_text(const void* ctx, uint32_t row);

  std::string path_;
  uint32_t format_version_ = 1;
  Manifest manifest_;
  Rotator rotator_;
  size_t padded_dim_ = 0;
  size_t code_bytes_ = 0;
  bool blocked_codes_ = false;  // codes.bin holds 32-row blocks (row format 4)
  std::vector<float> rotated_centroids_;  // n_lists * padded_dim
  std::map<std::string, uint32_t> crcs_;
  std::set<std::string> skip_;            // build-time skip list + the handle's skip set
  std::vector<FieldSchema> fields_;       // effective schema (skipped fields removed)
  std::vector<int> field_column_;         // effective field -> column number in its kind

  // Memory maps of the data files.
  platform::MappedFile codes_, metas_, orig_, origscale_, ids_, ids_off_, idhash_, meta_,
      meta_off_, sparse_;
  std::vector<platform::MappedFile> num_cols_, str_cols_;  // by column number in its kind
  // The id -> row table of manifest_.n entries: the map of idhash.bin, or
  // the table rebuilt in memory at open when the file was missing or damaged.
  std::vector<uint8_t> idhash_rebuilt_;
  const uint8_t* idhash_data_ = nullptr;
  // Per effective string field: dictionary code -> key (for rebuilding a
  // row's metadata from its typed columns).
  std::vector<std::vector<const std::string*>> reverse_dicts_;
  // Term directory of sparse.bin: term -> (first posting, posting count),
  // counted in 8-byte postings from the start of the postings area
  // (byte 8 + 8 * term count of the file).
  std::map<uint32_t, std::pair<uint64_t, uint32_t>> term_dir_;
  const uint8_t* sparse_postings_ = nullptr;
  RowSource main_rows_;
  RowSource delta_rows_;  // the delta's typed columns, kept current by the write path

  // Per effective field name: (numeric, field number within its kind).
  std::map<std::string, std::pair<bool, size_t>, std::less<>> field_number_;
  // String field number -> its entry in fields_ (for its dictionary).
  std::vector<size_t> string_field_at_;
  // Typed columns that exist, the ones this handle skips included: the
  // build's and those adds created. No add creates one past 256.
  size_t typed_fields_ = 0;
  // RowSource::meta_text of the delta rows (the caller holds the delta lock).
  static std::string_view delta_meta_text(const void* ctx, uint32_t row);

  // Segment locks, taken in this order: schema, id map, tombstones, delta
  // (the ranks; docs/write-path.md says why the order keeps writers first
  // in line without deadlock).
  mutable RwLock schema_mu_{this, 0}, idmap_mu_{this, 1}, tomb_mu_{this, 2}, delta_mu_{this, 3};
  Delta delta_;
  Tombstones tombstones_;
  std::atomic<uint64_t> mutation_seq_{0};
  mutable std::mutex writer_mu_;

  // The log. wal_mu_ guards the writer and what this segment knows of the
  // file: which log it is (0: none), its format, where the frames this
  // segment applied end (replayed at open, then its own appends;
  // kWalSeenUnknown once others' frames lie between), how much of it is
  // known durable, and the damaged ranges its replay skipped (kept in
  // wal.corrupt.bin by the next checkpoint).
  static constexpr uint64_t kWalSeenUnknown = UINT64_MAX;
  mutable std::mutex wal_mu_;
  std::unique_ptr<wal::Writer> wal_writer_;
  uint64_t wal_id_ = 0;
  uint32_t wal_version_ = 0;
  uint64_t wal_seen_ = 0;
  uint64_t wal_durable_ = 0;
  bool wal_folded_ = false;  // delta.bin folded in more than the log holds (see wal::Writer::expect)
  std::vector<std::pair<uint64_t, uint64_t>> wal_damaged_;
  // delta.bin as this segment last saw it (absent: size 0, mtime 0).
  platform::FileStamp delta_stamp_;
  std::atomic<bool> wal_failed_{false};
  // deleted.bin names rows past the segment that open dropped but could
  // not rewrite the file without: an add would take such a row, so adds
  // are refused until a checkpoint writes the tombstones from memory.
  std::atomic<bool> deleted_stale_{false};
  uint64_t pending_ops_ = 0;  // under writer_mu_
  mutable std::mutex last_sync_mu_;
  uint64_t last_sync_ns_ = 0;

  // The centroids prepared for exact nearest-centroid search, built on the
  // first add (most opened segments are only read).
  mutable std::once_flag ranker_once_;
  mutable CentroidRanker ranker_;

  mutable std::mutex filter_cache_mu_;
  mutable std::map<std::string, std::shared_ptr<const Predicate>> filter_cache_;
};

template <typename F>
void IvfIndex::for_each_main_posting(F&& f) const {
  for (const auto& [term, where] : term_dir_) {
    const uint8_t* p = sparse_postings_ + where.first * 8;
    for (uint32_t i = 0; i < where.second; ++i) f(term, load_le<uint32_t>(p + i * 8), load_le<float>(p + i * 8 + 4));
  }
  for (const auto& [term, postings] : manifest_.sparse_postings) {
    for (const auto& [row, weight] : postings) f(term, row, weight);
  }
}

}  // namespace nimbrel
