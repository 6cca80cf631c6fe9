// Dense search over one segment: filters through the compiled-filter
// cache, the IVF probe with popcount estimates, the bounded candidate pool
// and the exact rerank against the 8-bit copies.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include "ivf_rabitq/bits.h"
#include "ivf_rabitq/index.h"
#include "ivf_rabitq/kernels.h"
#include "ivf_rabitq/query_lut.h"
#include "ivf_rabitq/segment_format.h"

namespace nimbrel {
namespace {

// The compiled-filter cache is keyed by the exact filter text. Hosts send a
// handful of distinct filters, but a caller that builds filters from user
// input could send millions: past this many entries the cache starts over.
constexpr size_t kFilterCacheEntries = 1024;

// Rows are estimated a block at a time so the estimates stay in L1 while
// the block's rows are checked against the pool.
constexpr size_t kEstimateBlockRows = 256;

// How many candidates ahead the rerank prefetches the 8-bit copies.
constexpr size_t kRerankPrefetch = 6;

// A query is split across threads only when it scans at least this many
// rows: below it the fork/join costs more than the scan.
constexpr size_t kParallelScanRows = 200000;

// Filters test main rows a 64-row group at a time, a bit per row.
constexpr uint32_t kFilterGroup = 64;

// Scan chunks and filter groups start at block boundaries of a list.
static_assert(kEstimateBlockRows % kBlockRows == 0 && kFilterGroup % kBlockRows == 0);

// Below this share of passing rows, a probe tests the filter before it
// estimates (measured on 1,000,000 rows: 1 % passing gains 1.6-1.8x, 30 %
// loses up to 17 %). Tests move it to reach either path.
std::atomic<double> filter_first_share{0.05};

// A filtered search first guesses how many rows pass from this many groups
// spread evenly over the main rows (segments this small or smaller are
// simply counted).
constexpr size_t kFilterSampleGroups = 64;

// Ranking one passing row exactly costs about this many times estimating
// one probed row (measured at 128-d: 30 ns against 2.4 ns a row). When the
// passing rows cost less to rank than the probed lists to scan, the exact
// path is both faster and better.
constexpr double kExactRowCost = 12.0;

// Bit i set where v[i] <= t (n at most 64), and for every row when t is
// +inf, so that NaN estimates can still enter a pool that is not full.
inline uint64_t at_most(const float* v, size_t n, float t) {
  if (t == std::numeric_limits<float>::infinity()) return low_bits(static_cast<uint32_t>(n));
  uint64_t bits = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128 limit = _mm_set1_ps(t);
  for (; i + 4 <= n; i += 4) {
    bits |= static_cast<uint64_t>(_mm_movemask_ps(_mm_cmple_ps(_mm_loadu_ps(v + i), limit))) << i;
  }
#endif
  for (; i < n; ++i) bits |= static_cast<uint64_t>(v[i] <= t) << i;
  return bits;
}

// Orders hits by distance, ties to the lower row.
inline bool hit_less(const Hit& a, const Hit& b) {
  return a.dist < b.dist || (a.dist == b.dist && a.row < b.row);
}

struct Candidate {
  float est;
  uint32_t row;
};

// The bounded candidate pool: the `capacity` rows with the smallest
// (estimate, row) seen so far. Rows are appended while they beat the
// current cut-off; when the buffer holds twice the capacity it is cut back
// to the best `capacity` by a selection, which moves the cut-off down. This
// costs O(1) per row on average where a heap costs O(log capacity), and
// since the cut-off compares (estimate, row) the pool ends up with the same
// rows whatever order they arrive in.
class CandidatePool {
 public:
  explicit CandidatePool(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {
    buf_.reserve(std::min<size_t>(2 * capacity_, 1 << 16));
  }
  // Rows estimated above this cannot enter the pool (equal ones may, by row).
  float threshold() const { return cut_.est; }
  void push(const Candidate& c) {
    if (!better(c, cut_)) return;
    buf_.push_back(c);
    if (buf_.size() >= 2 * capacity_) shrink();
  }
  void merge(const CandidatePool& other) {
    for (const Candidate& c : other.buf_) push(c);
  }
  size_t size() const { return std::min(buf_.size(), capacity_); }
  // The pool's rows (at most `capacity`), in no particular order.
  std::vector<Candidate>& items() {
    if (buf_.size() > capacity_) shrink();
    return buf_;
  }

 private:
  static bool better(const Candidate& a, const Candidate& b) {
    return a.est < b.est || (a.est == b.est && a.row < b.row);
  }
  void shrink() {
    std::nth_element(buf_.begin(), buf_.begin() + (capacity_ - 1), buf_.end(), better);
    buf_.resize(capacity_);
    cut_ = buf_[capacity_ - 1];
  }

  size_t capacity_;
  std::vector<Candidate> buf_;
  Candidate cut_{std::numeric_limits<float>::infinity(), std::numeric_limits<uint32_t>::max()};
};

// Whether `pool` takes a row estimated at *est, which becomes the estimate
// it enters with. A NaN estimate (an overflowing query, damaged factors)
// ranks last instead of never: the row is still a candidate while the pool
// has room, so ensure_target_k does not lose it.
inline bool pool_takes(const CandidatePool& pool, float* est) {
  if (*est <= pool.threshold()) return true;
  if (!std::isnan(*est)) return false;
  *est = std::numeric_limits<float>::infinity();
  return *est <= pool.threshold();
}

// The k best exact hits seen so far, as a max-heap under hit_less.
class TopK {
 public:
  explicit TopK(size_t k) : k_(k) {}
  void push(Hit h) {
    if (heap_.size() < k_) {
      heap_.push_back(h);
      std::push_heap(heap_.begin(), heap_.end(), hit_less);
    } else if (hit_less(h, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), hit_less);
      heap_.back() = h;
      std::push_heap(heap_.begin(), heap_.end(), hit_less);
    }
  }
  void merge(const TopK& other) {
    for (const Hit& h : other.heap_) push(h);
  }
  std::vector<Hit> sorted() && {
    std::sort(heap_.begin(), heap_.end(), hit_less);
    return std::move(heap_);
  }
  size_t size() const { return heap_.size(); }

 private:
  size_t k_;
  std::vector<Hit> heap_;
};

// 2^(max(e, 2) - 128), built directly as the float whose biased exponent
// field is max(e, 2) - 1 and whose mantissa is zero. (Code 0 stands for
// the segment's global scale; callers test it first.)
inline float exponent_scale(uint32_t e) {
  uint32_t bits = (std::max<uint32_t>(e, 2) - 1) << 23;
  float s;
  std::memcpy(&s, &bits, sizeof s);
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Filters

Result<std::shared_ptr<const Predicate>> IvfIndex::compile_filter_cached(
    const std::string& text) const {
  std::lock_guard<std::mutex> cache_lock(filter_cache_mu_);
  auto it = filter_cache_.find(text);
  if (it != filter_cache_.end()) return it->second;
  Result<std::shared_ptr<const Predicate>> compiled = [&] {
    std::shared_lock<RwLock> schema_lock(schema_mu_);
    return compile_filter(text, fields_, skip_);
  }();
  if (!compiled.ok()) return compiled.status();
  if (filter_cache_.size() >= kFilterCacheEntries) filter_cache_.clear();
  filter_cache_.emplace(text, *compiled);
  return compiled;
}

bool IvfIndex::passes_main(const Predicate& p, uint32_t row) const {
  return p.eval(main_rows_, row);
}

bool IvfIndex::passes_delta(const Predicate& p, uint32_t delta_index) const {
  return p.eval(delta_rows_, delta_index);
}

// ---------------------------------------------------------------------------
// Exact distances against the 8-bit copies

float IvfIndex::rerank_scale(uint32_t row) const {
  if (origscale_.empty()) return manifest_.quant_scale;
  uint32_t e;
  std::memcpy(&e, origscale_.data() + static_cast<size_t>(row) * segment::kScaleRecordBytes + segment::kScaleExponentAt,
              sizeof e);
  return copy_scale(e & 0xFF);
}

float IvfIndex::copy_scale(uint32_t e) const { return e == 0 ? manifest_.quant_scale : exponent_scale(e); }

void IvfIndex::prefetch_rerank_row(uint32_t row) const {
  if (row >= manifest_.n) return;
  const size_t dim = manifest_.dim;
  const uint8_t* codes = orig_.data() + static_cast<size_t>(row) * dim;
  for (size_t off = 0; off < dim; off += 64) __builtin_prefetch(codes + off);
  __builtin_prefetch(codes + dim - 1);
  if (!origscale_.empty()) __builtin_prefetch(origscale_.data() + static_cast<size_t>(row) * segment::kScaleRecordBytes);
}

float IvfIndex::rerank_distance(const float* query, uint32_t row) const {
  const size_t dim = manifest_.dim;
  double d;
  if (row < manifest_.n) {
    const uint8_t* codes = orig_.data() + static_cast<size_t>(row) * dim;
    d = rerank_l2_u8(query, codes, dim, rerank_scale(row));
  } else {
    const uint8_t* codes = delta_.rerank.data() + static_cast<size_t>(row - manifest_.n) * (dim + 1);
    const uint8_t e = codes[dim];
    d = rerank_l2_u8(query, codes, dim, copy_scale(e));
  }
  return static_cast<float>(d > 0.0 ? d : 0.0);
}

// ---------------------------------------------------------------------------
// Dense search

namespace {

// What one search needs while it scans lists; one per thread when a query
// is split.
struct ScanState {
  ScanState(size_t padded_dim, size_t pool_capacity)
      : residual(padded_dim), est(kEstimateBlockRows), pool(pool_capacity) {}
  QueryLut lut;
  std::vector<float> residual;
  std::vector<float> est;
  CandidatePool pool;
};

}  // namespace

IvfIndex::ReadLocks IvfIndex::lock_reads() const {
  // In the readers' order: tombstones, then delta.
  ReadLocks held;
  held.tomb = std::shared_lock<RwLock>(tomb_mu_);
  held.delta = std::shared_lock<RwLock>(delta_mu_);
  return held;
}

std::vector<Hit> IvfIndex::search_core(const float* query, uint64_t k, uint64_t nprobe,
                                       uint64_t rerank, const Predicate* filter,
                                       bool ensure_target_k) const {
  // One consistent state for the whole search: rows added or deleted
  // meanwhile wait for it to end.
  const ReadLocks held = lock_reads();
  return search_core_locked(query, k, nprobe, rerank, filter, ensure_target_k);
}

std::vector<Hit> IvfIndex::search_core_locked(const float* query, uint64_t k, uint64_t nprobe,
                                              uint64_t rerank, const Predicate* filter,
                                              bool ensure_target_k) const {
  if (k == 0) return {};
  if (filter != nullptr && filter->accepts_all()) filter = nullptr;
  const size_t n_lists = manifest_.n_lists;
  const uint64_t total_rows = manifest_.n + delta_.size();
  if (total_rows == 0) return {};
  const bool has_tombstones = !tombstones_.empty();
  // A row the search may return: not deleted, accepted by the filter.
  auto admissible = [&](uint32_t row) {
    if (has_tombstones && tombstones_.contains(row)) return false;
    if (filter == nullptr) return true;
    return row < manifest_.n ? filter->eval(main_rows_, row)
                             : filter->eval(delta_rows_, static_cast<uint32_t>(row - manifest_.n));
  };
  if (n_lists == 0) {
    // A segment built from no rows has no lists: its added rows are ranked
    // exactly.
    TopK top(k);
    for (uint32_t i : delta_.group(kNoList).rows) {
      const uint32_t row = static_cast<uint32_t>(manifest_.n + i);
      if (admissible(row)) top.push({row, rerank_distance(query, row)});
    }
    return std::move(top).sorted();
  }
  if (nprobe == 0) nprobe = 1;
  const size_t dim = manifest_.dim;
  const size_t padded = padded_dim_;
  const unsigned bits = manifest_.n_bits;

  // The pool never holds more than the segment's rows; the cap also keeps
  // its doubled capacity clear of overflow for k or rerank near 2^64.
  const size_t pool_capacity =
      std::min<uint64_t>(std::max<uint64_t>(std::max<uint64_t>(rerank, k), 1), total_rows);

  // A filter that few rows pass is cheaper to answer by ranking those rows
  // exactly than by probing lists: the probe would estimate many rows only
  // to refuse them, and keep probing further lists to find k. Exact ranking
  // of every passing row also returns the best answer there is.
  bool filter_first = false;
  if (filter != nullptr) {
    const double passing = estimate_passing(*filter);
    const double probed_share = std::min(1.0, static_cast<double>(nprobe) / static_cast<double>(n_lists));
    if (passing <= static_cast<double>(pool_capacity) || passing * probed_share < static_cast<double>(k) ||
        passing * kExactRowCost <= static_cast<double>(total_rows) * probed_share) {
      return search_passing_locked(query, k, *filter);
    }
    // Testing the filter before estimating pays when many 64-row groups
    // hold no passing row; when most rows pass, the pool's threshold
    // refuses most rows more cheaply than the filter does.
    filter_first = passing < filter_first_share.load(std::memory_order_relaxed) * static_cast<double>(total_rows);
  }

  // Rotate once; a list's query residual is then P q - P c.
  std::vector<float> rotated(padded);
  rotator_.rotate(query, rotated.data());

  // Every centroid's exact distance to the query. Lists are put in order
  // only as far as they are probed: a partial sort of the nearest ones,
  // extended batch by batch when a filter asks for more.
  std::vector<std::pair<float, uint32_t>> order(n_lists);
  for (size_t c = 0; c < n_lists; ++c) {
    const float d = l2_sq(query, manifest_.centroids.data() + c * dim, dim);
    // A NaN (only from a damaged centroid) would break the ordering the
    // sorts below rely on; such a list ranks last.
    order[c] = {std::isnan(d) ? std::numeric_limits<float>::infinity() : d, static_cast<uint32_t>(c)};
  }
  size_t ranked = 0;
  auto rank_lists_up_to = [&](size_t upto) {
    if (upto <= ranked) return;
    if (upto < n_lists) std::nth_element(order.begin() + ranked, order.begin() + upto, order.end());
    std::sort(order.begin() + ranked, order.begin() + upto);
    ranked = upto;
  };

  const uint64_t* offsets = manifest_.list_offsets.data();
  const uint8_t* codes = codes_.data();
  const RowFactors* factors = reinterpret_cast<const RowFactors*>(metas_.data());

  // When few rows pass the filter, main rows are tested first, a group of
  // 64 at a time; only groups holding a passing row are estimated, and only
  // their passing rows are offered to the pool. `first` is the block's
  // first row.
  auto scan_main_filtered = [&](ScanState& st, const uint8_t* block_codes, const RowFactors* block_factors,
                                size_t count, size_t blocked, uint32_t first) {
    for_each_group(filter, main_rows_, first, first + count, [&](uint64_t group_first, uint64_t pass) {
      if (pass == 0) return;
      const size_t g = static_cast<size_t>(group_first - first);
      const size_t n_group = std::min<size_t>(kFilterGroup, count - g);
      const size_t group_blocked = blocked > g ? std::min(n_group, blocked - g) : 0;
      st.lut.estimate_run(block_codes + g * code_bytes_, block_factors + g, n_group, group_blocked,
                          st.est.data() + g);
      for (; pass != 0; pass &= pass - 1) {
        const size_t j = g + static_cast<size_t>(__builtin_ctzll(pass));
        float est = st.est[j];
        if (!pool_takes(st.pool, &est)) continue;
        const uint32_t row = first + static_cast<uint32_t>(j);
        if (has_tombstones && tombstones_.contains(row)) continue;
        st.pool.push({est, row});
      }
    });
  };

  // Estimates `count` rows of a list (the first `blocked` in 32-row
  // blocks), and offers the admissible ones to the pool; row_of(j) is the
  // j-th row.
  auto scan_block = [&](ScanState& st, const uint8_t* block_codes, const RowFactors* block_factors,
                        size_t count, size_t blocked, auto row_of) {
    // No lower bounds: the rerank does not stop early (see below).
    st.lut.estimate_run(block_codes, block_factors, count, blocked, st.est.data());
    // Cheapest test first, 64 rows at a time: most rows fail the pool
    // threshold once the pool is full, and then neither bitmap nor filter
    // is consulted. The threshold only falls while rows enter, so a row
    // the mask refuses would be refused anyway; the ones it lets through
    // are tested again.
    for (size_t j0 = 0; j0 < count; j0 += 64) {
      const size_t m = std::min<size_t>(64, count - j0);
      for (uint64_t may = at_most(st.est.data() + j0, m, st.pool.threshold()); may != 0; may &= may - 1) {
        const size_t j = j0 + static_cast<size_t>(__builtin_ctzll(may));
        float est = st.est[j];
        if (!pool_takes(st.pool, &est)) continue;
        const uint32_t row = row_of(j);
        if (!admissible(row)) continue;
        st.pool.push({est, row});
      }
    }
  };

  auto scan_list = [&](ScanState& st, size_t rank) {
    const uint32_t list = order[rank].second;
    const uint64_t begin = offsets[list], end = offsets[list + 1];
    const DeltaList& added = delta_.group(list);
    if (begin == end && added.rows.empty()) return;
    const float* rc = rotated_centroids_.data() + static_cast<size_t>(list) * padded;
    for (size_t i = 0; i < padded; ++i) st.residual[i] = rotated[i] - rc[i];
    st.lut.prepare(st.residual.data(), padded, bits, order[rank].first);
    // Chunks start at block boundaries (kEstimateBlockRows is a multiple
    // of 32), so a chunk's blocked rows come first.
    const uint64_t blocked_end = begin + (blocked_codes_ ? blocked_rows(end - begin) : 0);
    for (uint64_t b = begin; b < end; b += kEstimateBlockRows) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(kEstimateBlockRows, end - b));
      const size_t blocked = b < blocked_end ? static_cast<size_t>(std::min<uint64_t>(count, blocked_end - b)) : 0;
      if (filter_first) {
        scan_main_filtered(st, codes + b * code_bytes_, factors + b, count, blocked, static_cast<uint32_t>(b));
        continue;
      }
      scan_block(st, codes + b * code_bytes_, factors + b, count, blocked,
                 [b](size_t j) { return static_cast<uint32_t>(b + j); });
    }
    // The rows added to this list since the build: after the main rows,
    // as their row numbers are. They are always kept in blocks.
    const size_t n_added = added.rows.size();
    const size_t added_blocked = blocked_rows(n_added);
    for (size_t b = 0; b < n_added; b += kEstimateBlockRows) {
      const size_t count = std::min(kEstimateBlockRows, n_added - b);
      const size_t blocked = b < added_blocked ? std::min(count, added_blocked - b) : 0;
      scan_block(st, added.codes.data() + b * code_bytes_, added.factors.data() + b, count, blocked,
                 [&, b](size_t j) { return static_cast<uint32_t>(manifest_.n + added.rows[b + j]); });
    }
  };

  auto scan_ranks = [&](size_t first, size_t last, CandidatePool& pool) {
    rank_lists_up_to(last);
    size_t rows = 0;
    for (size_t r = first; r < last; ++r) {
      const uint32_t list = order[r].second;
      rows += offsets[list + 1] - offsets[list] + delta_.group(list).rows.size();
    }
    if (rows < kParallelScanRows || last - first < 2) {
      ScanState st(padded, pool_capacity);
      std::swap(st.pool, pool);
      for (size_t r = first; r < last; ++r) scan_list(st, r);
      std::swap(st.pool, pool);
      return;
    }
    // Large scans: each thread fills its own pool over a share of the
    // lists; the pools merge into one. The result does not depend on the
    // split, since the pool keeps the smallest estimates either way.
    CandidatePool merged = tbb::parallel_reduce(
        tbb::blocked_range<size_t>(first, last, 1), CandidatePool(pool_capacity),
        [&](const tbb::blocked_range<size_t>& range, CandidatePool acc) {
          ScanState st(padded, pool_capacity);
          std::swap(st.pool, acc);
          for (size_t r = range.begin(); r < range.end(); ++r) scan_list(st, r);
          std::swap(st.pool, acc);
          return acc;
        },
        [](CandidatePool a, const CandidatePool& b) {
          a.merge(b);
          return a;
        });
    pool.merge(merged);
  };

  CandidatePool pool(pool_capacity);
  size_t probed = std::min<size_t>(nprobe, n_lists);
  scan_ranks(0, probed, pool);
  // A selective filter, or deleted rows, can leave fewer than k candidates
  // in the probed lists: probe further lists, a batch at a time, until
  // there are enough.
  const size_t batch = std::max<size_t>(probed, 8);
  while ((filter != nullptr || has_tombstones) && pool.size() < k && probed < n_lists) {
    const size_t next = std::min(n_lists, probed + batch);
    scan_ranks(probed, next, pool);
    probed = next;
  }

  // Every candidate is reranked. The estimator's lower bound cannot stop
  // this early: it bounds the distance to the input vector, and only with
  // high probability, while the rerank ranks by the distance to the 8-bit
  // copy, which can be nearer. Stopping on it dropped true neighbours
  // (lists of one or a few rows, any bit width), so that search(q, 50) was
  // not the first 50 of search(q, 200).
  const std::vector<Candidate>& cands = pool.items();
  TopK top(k);
  for (size_t i = 0; i < cands.size(); ++i) {
    // The 8-bit copies are read at random rows; fetching a few candidates
    // ahead hides most of the memory latency that otherwise dominates.
    if (i + kRerankPrefetch < cands.size()) prefetch_rerank_row(cands[i + kRerankPrefetch].row);
    top.push({cands[i].row, rerank_distance(query, cands[i].row)});
  }

  if (ensure_target_k && top.size() < k && probed < n_lists) {
    // Too few rows found: every row of the unprobed lists is a candidate,
    // ranked exactly.
    rank_lists_up_to(n_lists);
    for (size_t r = probed; r < n_lists; ++r) {
      const uint32_t list = order[r].second;
      for (uint64_t row = offsets[list]; row < offsets[list + 1]; ++row) {
        const uint32_t rr = static_cast<uint32_t>(row);
        if (admissible(rr)) top.push({rr, rerank_distance(query, rr)});
      }
      for (uint32_t i : delta_.group(list).rows) {
        const uint32_t rr = static_cast<uint32_t>(manifest_.n + i);
        if (admissible(rr)) top.push({rr, rerank_distance(query, rr)});
      }
    }
  }
  return std::move(top).sorted();
}

double IvfIndex::set_filter_first_share(double share) { return filter_first_share.exchange(share); }

uint64_t IvfIndex::count_passing(const Predicate& filter, uint64_t first, uint64_t count) const {
  const uint64_t main_n = manifest_.n, end = first + count;
  uint64_t passing = 0;
  for_each_group(&filter, main_rows_, first, std::min(end, main_n), [&](uint64_t, uint64_t pass) {
    passing += popcount64(pass);
  });
  for (uint64_t row = std::max(first, main_n); row < end; ++row) {
    passing += filter.eval(delta_rows_, static_cast<uint32_t>(row - main_n)) ? 1 : 0;
  }
  return passing;
}

double IvfIndex::estimate_passing(const Predicate& filter) const {
  const uint64_t total = manifest_.n + delta_.size();
  const uint64_t sampled = kFilterSampleGroups * kFilterGroup;
  if (total <= sampled) return static_cast<double>(count_passing(filter, 0, total));
  uint64_t passing = 0;
  for (uint64_t g = 0; g < kFilterSampleGroups; ++g) {
    const uint64_t first = g * (total - kFilterGroup) / (kFilterSampleGroups - 1);
    passing += count_passing(filter, first, kFilterGroup);
  }
  return static_cast<double>(passing) * static_cast<double>(total) / static_cast<double>(sampled);
}

std::vector<Hit> IvfIndex::search_bruteforce(const float* query, uint64_t k,
                                             const Predicate* filter) const {
  const ReadLocks held = lock_reads();
  return search_bruteforce_locked(query, k, filter);
}

std::vector<Hit> IvfIndex::search_passing_locked(const float* query, uint64_t k, const Predicate& filter) const {
  const std::shared_ptr<const std::vector<uint32_t>> main =
      filter.passing_rows(main_rows_, static_cast<uint32_t>(manifest_.n));
  // More rows pass than the sample said: rank them all the plain way.
  if (main == nullptr) return search_bruteforce_locked(query, k, &filter);
  const bool has_tombstones = !tombstones_.empty();
  auto take = [&](uint32_t row, TopK& top) {
    if (has_tombstones && tombstones_.contains(row)) return;
    top.push({row, rerank_distance(query, row)});
  };
  const std::vector<uint32_t>& rows = *main;
  TopK top(k);
  if (rows.size() < kParallelScanRows / 4) {
    for (size_t i = 0; i < rows.size(); ++i) {
      if (i + kRerankPrefetch < rows.size()) prefetch_rerank_row(rows[i + kRerankPrefetch]);
      take(rows[i], top);
    }
  } else {
    top = tbb::parallel_reduce(
        tbb::blocked_range<size_t>(0, rows.size(), 4096), TopK(k),
        [&](const tbb::blocked_range<size_t>& range, TopK acc) {
          for (size_t i = range.begin(); i < range.end(); ++i) take(rows[i], acc);
          return acc;
        },
        [](TopK a, const TopK& b) {
          a.merge(b);
          return a;
        });
  }
  // Rows added since the open change: tested on every query.
  const uint64_t main_n = manifest_.n;
  for (uint64_t i = 0; i < delta_.size(); ++i) {
    if (filter.eval(delta_rows_, static_cast<uint32_t>(i))) take(static_cast<uint32_t>(main_n + i), top);
  }
  return std::move(top).sorted();
}

std::vector<Hit> IvfIndex::search_bruteforce_locked(const float* query, uint64_t k,
                                                    const Predicate* filter) const {
  if (k == 0) return {};
  if (filter != nullptr && filter->accepts_all()) filter = nullptr;
  const bool has_tombstones = !tombstones_.empty();
  const size_t main_n = manifest_.n;
  const size_t n = main_n + delta_.size();
  if (n == 0) return {};
  auto take = [&](uint32_t rr, TopK& top) {
    if (has_tombstones && tombstones_.contains(rr)) return;
    top.push({rr, rerank_distance(query, rr)});
  };
  auto scan = [&](size_t begin, size_t end, TopK& top) {
    // Main rows: the filter tests 64 at a time, and only passing rows are
    // read.
    for_each_group(filter, main_rows_, begin, std::min<size_t>(end, main_n), [&](uint64_t first, uint64_t pass) {
      for (; pass != 0; pass &= pass - 1) take(static_cast<uint32_t>(first + __builtin_ctzll(pass)), top);
    });
    for (size_t row = std::max(begin, main_n); row < end; ++row) {
      const uint32_t rr = static_cast<uint32_t>(row);
      if (filter != nullptr && !filter->eval(delta_rows_, static_cast<uint32_t>(row - main_n))) continue;
      take(rr, top);
    }
  };
  if (n < kParallelScanRows / 4) {
    TopK top(k);
    scan(0, n, top);
    return std::move(top).sorted();
  }
  TopK top = tbb::parallel_reduce(
      tbb::blocked_range<size_t>(0, n, 4096), TopK(k),
      [&](const tbb::blocked_range<size_t>& range, TopK acc) {
        scan(range.begin(), range.end(), acc);
        return acc;
      },
      [](TopK a, const TopK& b) {
        a.merge(b);
        return a;
      });
  return std::move(top).sorted();
}

}  // namespace nimbrel
