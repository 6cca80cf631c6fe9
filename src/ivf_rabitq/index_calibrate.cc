// Probe-count calibration: how many lists a dense search of this segment
// must probe to reach a wanted recall, measured with the segment's own live
// rows as queries.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <vector>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/random.h"

namespace nimbrel {
namespace {

// What an empty grid answers: a middle-of-the-road probe count.
constexpr uint64_t kEmptyGridProbes = 64;

// The first k rows of `hits` other than `own`: a sample is always its own
// nearest neighbour, which says nothing about the probe count.
std::vector<uint32_t> others_first_k(const std::vector<Hit>& hits, uint32_t own, uint64_t k) {
  std::vector<uint32_t> rows;
  rows.reserve(std::min<uint64_t>(k, hits.size()));
  for (const Hit& h : hits) {
    if (rows.size() == k) break;
    if (h.row != own) rows.push_back(h.row);
  }
  return rows;
}

// Runs each(i) for i in [0, m) in parallel, a batch at a time. Each
// search takes the segment's read locks for itself; run back to back on
// every thread they would overlap without end, and a writer waiting for
// the locks (readers go first) would wait for the whole measurement. At
// the end of a batch no search holds them, and a waiting writer gets in.
constexpr size_t kBatch = 32;
template <typename Each>
void in_batches(size_t m, const Each& each) {
  for (size_t start = 0; start < m; start += kBatch) {
    tbb::parallel_for(tbb::blocked_range<size_t>(start, std::min(m, start + kBatch), 1),
                      [&](const tbb::blocked_range<size_t>& range) {
                        for (size_t i = range.begin(); i < range.end(); ++i) each(i);
                      });
  }
}

}  // namespace

uint64_t IvfIndex::calibrate_nprobe(uint64_t n_samples, uint64_t k, float target_recall, uint64_t rerank,
                                    std::vector<uint64_t> grid, uint64_t seed) const {
  if (k == 0) k = 1;
  std::sort(grid.begin(), grid.end());
  grid.erase(std::unique(grid.begin(), grid.end()), grid.end());
  if (grid.empty()) return kEmptyGridProbes;

  // The sample and its vectors are taken under the read locks, so they come
  // from one state of the segment; the searches below take the locks
  // themselves, one query at a time, so writers are not held up for the
  // whole measurement.
  const size_t dim = manifest_.dim;
  std::vector<uint32_t> sample;
  std::vector<float> queries;
  {
    const ReadLocks held = lock_reads();
    const uint64_t total = manifest_.n + delta_.size();
    std::vector<uint32_t> live;
    live.reserve(total);
    for (uint64_t r = 0; r < total; ++r) {
      if (!tombstones_.contains(static_cast<uint32_t>(r))) live.push_back(static_cast<uint32_t>(r));
    }
    const uint64_t n_live = live.size();
    if (n_live == 0) return grid.back();
    // One list (or none: a segment built empty ranks its added rows
    // exactly) makes every probe count equal, and with at most k + 1 live
    // rows every row is in every sample's answer. Written so that a k near
    // 2^64 cannot overflow.
    if (manifest_.n_lists <= 1 || k >= n_live - 1) return grid.front();

    // A partial Fisher-Yates shuffle: the first m places end up holding a
    // seeded uniform sample without repeats, in O(m) draws.
    const uint64_t m = std::min(n_samples, n_live);
    XorShift64 rng(calibration_seed(seed));
    for (uint64_t i = 0; i < m; ++i) std::swap(live[i], live[i + rng.below(n_live - i)]);
    sample.assign(live.begin(), live.begin() + static_cast<std::ptrdiff_t>(m));

    queries.resize(m * dim);
    for (uint64_t i = 0; i < m; ++i) stored_vector(sample[i], queries.data() + i * dim);
  }
  const size_t m = sample.size();
  // Nothing measured reaches no target.
  if (m == 0) return grid.back();

  // Each sample's exact answer; k + 1 rows, since its own row is among them.
  std::vector<std::vector<uint32_t>> truth(m);
  in_batches(m, [&](size_t i) {
    truth[i] = others_first_k(search_bruteforce(queries.data() + i * dim, k + 1, nullptr), sample[i], k);
    std::sort(truth[i].begin(), truth[i].end());
  });

  // Recall per sample into its own slot, summed in sample order afterwards:
  // the mean, and so the answer, does not depend on how the loop was split.
  std::vector<double> recall(m);
  for (const uint64_t nprobe : grid) {
    in_batches(m, [&](size_t i) {
      const std::vector<uint32_t>& want = truth[i];
      // Rows deleted since the sample was taken can leave nothing to
      // find: then nothing was missed.
      if (want.empty()) {
        recall[i] = 1.0;
        return;
      }
      const std::vector<uint32_t> got = others_first_k(
          search_core(queries.data() + i * dim, k + 1, nprobe, rerank, nullptr, false), sample[i], k);
      size_t found = 0;
      for (uint32_t row : got) found += std::binary_search(want.begin(), want.end(), row) ? 1 : 0;
      recall[i] = static_cast<double>(found) / static_cast<double>(want.size());
    });
    double sum = 0.0;
    for (double r : recall) sum += r;
    if (sum / static_cast<double>(m) >= static_cast<double>(target_recall)) return nprobe;
  }
  return grid.back();
}

}  // namespace nimbrel
