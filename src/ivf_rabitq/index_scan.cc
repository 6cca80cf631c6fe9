// Filtered scans of the live rows: ids_matching, ids_matching_limit,
// count_matching, exists_matching. Rows are visited main rows first, then
// delta rows, each by ascending number; every list result is in that order.
// Large main-row ranges are cut into pieces scanned on the shared pool and
// joined in range order, so the results equal a sequential pass.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include <atomic>
#include <iterator>

#include "ivf_rabitq/index.h"

namespace nimbrel {
namespace {

// Main-row scans run on the pool from this many rows on.
constexpr uint64_t kParallelRows = 50000;
// exists_matching tests this many main rows on the calling thread first.
constexpr uint64_t kExistsPrefix = 4096;
// ids_matching_limit scans windows of this many rows, doubling.
constexpr uint64_t kFirstWindow = 200000;
constexpr uint64_t kPieceRows = 8192;

// For each piece of [begin, end), in parallel, what `scan_piece` gathers;
// the pieces concatenated in range order.
template <typename T, typename F>
std::vector<T> GatherInOrder(uint64_t begin, uint64_t end, F&& scan_piece) {
  const uint64_t pieces = (end - begin + kPieceRows - 1) / kPieceRows;
  std::vector<std::vector<T>> parts(pieces);
  tbb::parallel_for(tbb::blocked_range<uint64_t>(0, pieces), [&](const tbb::blocked_range<uint64_t>& r) {
    for (uint64_t p = r.begin(); p < r.end(); ++p) {
      const uint64_t lo = begin + p * kPieceRows;
      scan_piece(lo, std::min(end, lo + kPieceRows), &parts[p]);
    }
  });
  std::vector<T> out;
  for (auto& part : parts) std::move(part.begin(), part.end(), std::back_inserter(out));
  return out;
}

}  // namespace

// The scan's view of the segment, under the tombstone and delta read locks.
class RowMatcher {
 public:
  RowMatcher(const IvfIndex& x, const Predicate* filter)
      : x_(x),
        filter_(filter != nullptr && !filter->accepts_all() ? filter : nullptr),
        tombstones_(!x.tombstones_.empty()) {}

  bool main(uint64_t row) const {
    const uint32_t r = static_cast<uint32_t>(row);
    if (tombstones_ && x_.tombstones_.contains(r)) return false;
    return filter_ == nullptr || filter_->eval(x_.main_rows_, r);
  }
  // Calls each(group_first, bits) for the main rows in [lo, hi), 64 at a
  // time: bit i set when row group_first + i matches. The filter tests the
  // whole group at once.
  template <typename Each>
  void each_main_group(uint64_t lo, uint64_t hi, Each&& each) const {
    for_each_group(filter_, x_.main_rows_, lo, hi, [&](uint64_t first, uint64_t pass) {
      if (tombstones_) {
        for (uint64_t left = pass; left != 0; left &= left - 1) {
          const int i = __builtin_ctzll(left);
          if (x_.tombstones_.contains(static_cast<uint32_t>(first) + static_cast<uint32_t>(i))) {
            pass &= ~(uint64_t{1} << i);
          }
        }
      }
      each(first, pass);
    });
  }
  // Calls each(row) for every matching main row in [lo, hi), in order.
  template <typename Each>
  void each_main(uint64_t lo, uint64_t hi, Each&& each) const {
    each_main_group(lo, hi, [&](uint64_t first, uint64_t pass) {
      for (; pass != 0; pass &= pass - 1) each(first + static_cast<uint64_t>(__builtin_ctzll(pass)));
    });
  }
  bool delta(uint64_t i) const {
    if (tombstones_ && x_.tombstones_.contains(static_cast<uint32_t>(x_.manifest_.n + i))) return false;
    return filter_ == nullptr || filter_->eval(x_.delta_rows_, static_cast<uint32_t>(i));
  }

 private:
  const IvfIndex& x_;
  const Predicate* filter_;
  const bool tombstones_;
};

std::vector<std::string> IvfIndex::ids_matching(const Predicate* filter) const {
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const RowMatcher m(*this, filter);
  const uint64_t n = manifest_.n;
  std::vector<std::string> out;
  if (n >= kParallelRows) {
    out = GatherInOrder<std::string>(0, n, [&](uint64_t lo, uint64_t hi, std::vector<std::string>* part) {
      m.each_main(lo, hi, [&](uint64_t r) { part->push_back(ext_of(static_cast<uint32_t>(r))); });
    });
  } else {
    m.each_main(0, n, [&](uint64_t r) { out.push_back(ext_of(static_cast<uint32_t>(r))); });
  }
  for (uint64_t i = 0; i < delta_.ids.size(); ++i) {
    if (m.delta(i)) out.push_back(delta_.ids[i]);
  }
  return out;
}

uint64_t IvfIndex::count_matching(const Predicate* filter) const {
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const RowMatcher m(*this, filter);
  const uint64_t n = manifest_.n;
  uint64_t count = 0;
  auto count_range = [&](uint64_t lo, uint64_t hi) {
    uint64_t c = 0;
    m.each_main_group(lo, hi, [&](uint64_t, uint64_t pass) { c += popcount64(pass); });
    return c;
  };
  if (n >= kParallelRows) {
    count = tbb::parallel_reduce(
        tbb::blocked_range<uint64_t>(0, n, kPieceRows), uint64_t{0},
        [&](const tbb::blocked_range<uint64_t>& r, uint64_t acc) { return acc + count_range(r.begin(), r.end()); },
        [](uint64_t a, uint64_t b) { return a + b; });
  } else {
    count = count_range(0, n);
  }
  for (uint64_t i = 0; i < delta_.ids.size(); ++i) count += m.delta(i);
  return count;
}

bool IvfIndex::exists_matching(const Predicate* filter) const {
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const RowMatcher m(*this, filter);
  const uint64_t n = manifest_.n;
  const uint64_t prefix = std::min(n, kExistsPrefix);
  for (uint64_t r = 0; r < prefix; ++r) {
    if (m.main(r)) return true;
  }
  if (n - prefix >= kParallelRows) {
    std::atomic<bool> found{false};
    tbb::parallel_for(tbb::blocked_range<uint64_t>(prefix, n, kPieceRows), [&](const tbb::blocked_range<uint64_t>& r) {
      for (uint64_t row = r.begin(); row < r.end(); ++row) {
        if (found.load(std::memory_order_relaxed)) return;
        if (m.main(row)) {
          found.store(true, std::memory_order_relaxed);
          return;
        }
      }
    });
    if (found.load()) return true;
  } else {
    for (uint64_t r = prefix; r < n; ++r) {
      if (m.main(r)) return true;
    }
  }
  for (uint64_t i = 0; i < delta_.ids.size(); ++i) {
    if (m.delta(i)) return true;
  }
  return false;
}

std::vector<std::string> IvfIndex::ids_matching_limit(const Predicate* filter, uint64_t limit) const {
  if (limit == 0) return {};
  std::shared_lock<RwLock> tomb_lock(tomb_mu_);
  std::shared_lock<RwLock> delta_lock(delta_mu_);
  const RowMatcher m(*this, filter);
  const uint64_t n = manifest_.n;
  std::vector<uint32_t> rows;
  if (n < kParallelRows) {
    for (uint64_t r = 0; r < n && rows.size() < limit; ++r) {
      if (m.main(r)) rows.push_back(static_cast<uint32_t>(r));
    }
  } else {
    // Windows of 200,000 rows, doubling: a small limit tests few rows.
    uint64_t begin = 0, length = kFirstWindow;
    while (begin < n && rows.size() < limit) {
      const uint64_t end = length > n - begin ? n : begin + length;
      std::vector<uint32_t> found =
          GatherInOrder<uint32_t>(begin, end, [&](uint64_t lo, uint64_t hi, std::vector<uint32_t>* part) {
            for (uint64_t r = lo; r < hi; ++r) {
              if (m.main(r)) part->push_back(static_cast<uint32_t>(r));
            }
          });
      rows.insert(rows.end(), found.begin(), found.end());
      begin = end;
      length = length > UINT64_MAX / 2 ? UINT64_MAX : length * 2;
    }
  }
  if (rows.size() > limit) rows.resize(static_cast<size_t>(limit));
  std::vector<std::string> out;
  out.reserve(rows.size());
  for (uint32_t r : rows) out.push_back(ext_of(r));
  for (uint64_t i = 0; i < delta_.ids.size() && out.size() < limit; ++i) {
    if (m.delta(i)) out.push_back(delta_.ids[i]);
  }
  return out;
}

}  // namespace nimbrel
