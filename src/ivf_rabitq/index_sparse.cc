// Sparse and hybrid search over one segment: the dot product of a sparse
// query with each row's terms, read from the postings of the query's terms
// only (sparse.bin's, or an older manifest's, and the delta's), and the
// Reciprocal Rank Fusion of a dense and a sparse ranking.
#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "ivf_rabitq/index.h"

namespace nimbrel {
namespace {

// Orders scored hits: higher score first, ties to the lower row. A NaN
// score (an infinity minus an infinity, from weights near the float range)
// ranks after every number, so the order stays a strict weak order.
inline bool scored_before(const ScoredHit& a, const ScoredHit& b) {
  const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.score != b.score) return a.score > b.score;
  return a.row < b.row;
}

// The k best of `hits`, sorted.
std::vector<ScoredHit> best(std::vector<ScoredHit> hits, uint64_t k) {
  if (hits.size() > k) {
    std::nth_element(hits.begin(), hits.begin() + static_cast<ptrdiff_t>(k), hits.end(), scored_before);
    hits.resize(k);
  }
  std::sort(hits.begin(), hits.end(), scored_before);
  return hits;
}

// The k best of a stream of hits, kept in a buffer of at most 2k: a hit
// that does not beat the current k-th is dropped with one comparison, and
// the buffer is cut back to k when full. A query's terms can touch most of
// a segment's rows while k is small.
class TopScored {
 public:
  explicit TopScored(uint64_t k) : k_(std::max<uint64_t>(k, 1)) {}
  void push(const ScoredHit& h) {
    if (full_ && !scored_before(h, cut_)) return;
    buf_.push_back(h);
    if (buf_.size() >= 2 * k_) {
      std::nth_element(buf_.begin(), buf_.begin() + static_cast<ptrdiff_t>(k_ - 1), buf_.end(), scored_before);
      buf_.resize(k_);
      cut_ = buf_[k_ - 1];
      full_ = true;
    }
  }
  std::vector<ScoredHit> take() && { return best(std::move(buf_), k_); }

 private:
  uint64_t k_;
  std::vector<ScoredHit> buf_;
  ScoredHit cut_{};
  bool full_ = false;
};

// Per-thread score accumulator over a segment's rows. Only the rows a
// query's postings touch are read or reset: clearing one slot per row of a
// million-row segment would cost more than most queries. A slot belongs to
// the current query when its stamp is the query's; score and stamp share a
// cache line.
struct Accumulator {
  struct Slot {
    float score;
    uint32_t stamp;
  };
  std::vector<Slot> slots;
  std::vector<uint32_t> touched;
  uint32_t now = 0;

  void start(size_t rows) {
    if (slots.size() < rows) slots.resize(rows, Slot{0.0f, 0});
    touched.clear();
    if (++now == 0) {  // wrapped: no stale stamp may match
      for (Slot& s : slots) s.stamp = 0;
      now = 1;
    }
  }
  void add(uint32_t row, float product) {
    Slot& s = slots[row];
    if (s.stamp != now) {
      s = Slot{0.0f, now};
      touched.push_back(row);
    }
    s.score += product;
  }
};

// Not inlined: inlined, the compiler looked the thread-local up again (a
// call, in a shared library) inside the posting loops.
[[gnu::noinline]] Accumulator& thread_accumulator() {
  thread_local Accumulator acc;
  return acc;
}

}  // namespace

std::vector<ScoredHit> rrf_fuse(float rrf_k, uint64_t k, const std::vector<uint32_t>& first,
                                const std::vector<uint32_t>& second) {
  if (k == 0) return {};
  std::unordered_map<uint32_t, float> fused;
  fused.reserve(first.size() + second.size());
  auto term = [&](size_t r) { return 1.0f / (rrf_k + static_cast<float>(r) + 1.0f); };
  for (size_t r = 0; r < first.size(); ++r) fused[first[r]] += term(r);
  for (size_t r = 0; r < second.size(); ++r) fused[second[r]] += term(r);
  std::vector<ScoredHit> hits;
  hits.reserve(fused.size());
  for (const auto& [row, score] : fused) hits.push_back({row, score});
  return best(std::move(hits), k);
}

std::vector<ScoredHit> IvfIndex::sparse_rank(const SparsePairs& query, uint64_t k, const Predicate* filter) const {
  const ReadLocks held = lock_reads();
  return sparse_rank_locked(query, k, filter);
}

std::vector<ScoredHit> IvfIndex::sparse_rank_locked(const SparsePairs& query, uint64_t k,
                                                    const Predicate* filter) const {
  if (k == 0 || query.empty()) return {};
  if (filter != nullptr && filter->accepts_all()) filter = nullptr;
  const uint64_t main_n = manifest_.n;
  const uint64_t rows = main_n + delta_.size();
  Accumulator& acc = thread_accumulator();
  acc.start(rows);
  // A posting from disk is trusted no further than the segment's rows; a
  // weight that is not finite (only damage stores one: builds and adds
  // refuse them) is left out rather than poison every score it touches.
  auto main_posting = [&](float qw, uint32_t row, float weight) {
    if (row < main_n && std::isfinite(weight)) acc.add(row, qw * weight);
  };
  for (const auto& [term, qw] : query) {
    if (auto it = term_dir_.find(term); it != term_dir_.end()) {
      const uint8_t* p = sparse_postings_ + it->second.first * 8;
      for (uint32_t i = 0; i < it->second.second; ++i, p += 8) {
        main_posting(qw, load_le<uint32_t>(p), load_le<float>(p + 4));
      }
    }
    if (auto it = manifest_.sparse_postings.find(term); it != manifest_.sparse_postings.end()) {
      for (const auto& [row, weight] : it->second) main_posting(qw, row, weight);
    }
    if (auto it = delta_.postings.find(term); it != delta_.postings.end()) {
      for (const auto& [index, weight] : it->second) {
        if (std::isfinite(weight)) acc.add(static_cast<uint32_t>(main_n + index), qw * weight);
      }
    }
  }
  const bool has_tombstones = !tombstones_.empty();
  TopScored top(std::min<uint64_t>(k, acc.touched.size()));
  for (uint32_t row : acc.touched) {
    if (has_tombstones && tombstones_.contains(row)) continue;
    if (filter != nullptr) {
      const bool pass = row < main_n ? filter->eval(main_rows_, row)
                                     : filter->eval(delta_rows_, static_cast<uint32_t>(row - main_n));
      if (!pass) continue;
    }
    top.push({row, acc.slots[row].score});
  }
  return std::move(top).take();
}

std::vector<ScoredHit> IvfIndex::search_hybrid(const float* query, const SparsePairs& sparse, uint64_t k,
                                               uint64_t nprobe, uint64_t rerank, const Predicate* filter,
                                               float rrf_k, bool ensure_target_k) const {
  // Each ranking is asked for more than k rows, so that rows ranked well by
  // both but first by neither still meet in the fusion.
  const uint64_t depth = std::max<uint64_t>(k > UINT64_MAX / 10 ? UINT64_MAX : 10 * k, 100);
  auto rows_of = [](const auto& hits) {
    std::vector<uint32_t> rows;
    rows.reserve(hits.size());
    for (const auto& h : hits) rows.push_back(h.row);
    return rows;
  };
  // All three rankings read one state: an upsert between two of them
  // would leave its old row in one list and its new row in another, the
  // same id twice.
  const ReadLocks held = lock_reads();
  const std::vector<uint32_t> sparse_rows = rows_of(sparse_rank_locked(sparse, depth, filter));
  std::vector<ScoredHit> fused =
      rrf_fuse(rrf_k, k, rows_of(search_core_locked(query, depth, nprobe, rerank, filter, false)), sparse_rows);
  if (ensure_target_k && fused.size() < k) {
    fused = rrf_fuse(rrf_k, k, rows_of(search_bruteforce_locked(query, depth, filter)), sparse_rows);
  }
  return fused;
}

}  // namespace nimbrel
