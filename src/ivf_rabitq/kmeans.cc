#include "ivf_rabitq/kmeans.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/partitioner.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include "ivf_rabitq/kernels.h"
#include "ivf_rabitq/random.h"

namespace nimbrel {
namespace {

using Range = tbb::blocked_range<size_t>;

constexpr size_t kPanel = kernels::kPanelWidth;
// Points handled together against every centroid panel: their rows stay in
// L1 while the panels stream from L2.
constexpr size_t kBlockPoints = 32;
// Points per parallel task.
constexpr size_t kTaskPoints = 256;
// k-means++ seeding looks at this many sample points per cluster at most.
constexpr size_t kSeedPointsPerCluster = 32;

// The rounding error of the float sums below is at most about
// (dim + 3) * 2^-24 of the magnitudes involved; twice that with a margin
// gives a safe tolerance factor.
double error_factor(size_t dim) { return 8.0 * (static_cast<double>(dim) + 8.0) * 0x1.0p-24; }

float sq_norm(const float* x, size_t dim) {
  float acc[16] = {};
  size_t i = 0;
  for (; i + 16 <= dim; i += 16) {
    for (size_t l = 0; l < 16; ++l) acc[l] += x[i + l] * x[i + l];
  }
  for (size_t l = 0; i + l < dim; ++l) acc[l] += x[i + l] * x[i + l];
  float s = 0;
  for (float v : acc) s += v;
  return s;
}

// Centroids transposed in panels of kPanel for kernels::distance_panel, with
// their squared norms; the lanes past the last centroid have norm +inf so
// they never win.
struct Panels {
  size_t n_clusters = 0, dim = 0, n_panels = 0;
  std::vector<float> values;  // n_panels * dim * kPanel
  std::vector<float> norms;   // n_panels * kPanel
  float max_norm = 0;         // largest ||c||
};

Panels make_panels(const float* centroids, size_t n_clusters, size_t dim) {
  Panels p;
  p.n_clusters = n_clusters;
  p.dim = dim;
  p.n_panels = (n_clusters + kPanel - 1) / kPanel;
  p.values.assign(p.n_panels * dim * kPanel, 0.0f);
  p.norms.assign(p.n_panels * kPanel, std::numeric_limits<float>::infinity());
  for (size_t c = 0; c < n_clusters; ++c) {
    const float* src = centroids + c * dim;
    float* dst = &p.values[(c / kPanel) * dim * kPanel + c % kPanel];
    for (size_t d = 0; d < dim; ++d) dst[d * kPanel] = src[d];
    p.norms[c] = sq_norm(src, dim);
    p.max_norm = std::max(p.max_norm, std::sqrt(p.norms[c]));
  }
  return p;
}

// Squared distances by ||x||^2 + ||c||^2 - 2 x.c for up to kBlockPoints
// points: dist[p * (n_panels * kPanel) + c]. Not the l2_sq value (the
// rounding differs), but within error_factor(dim) * (||x|| + ||c||)^2 of it.
void block_distances(const float* x, const float* x_norms, size_t n_points, const Panels& p,
                     float* dist) {
  const kernels::KernelTable& k = kernels::active();
  const size_t stride = p.n_panels * kPanel;
  for (size_t g = 0; g < p.n_panels; ++g) {
    k.distance_panel(x, p.dim, x_norms, n_points, p.dim, &p.values[g * p.dim * kPanel],
                     &p.norms[g * kPanel], dist + g * kPanel, stride);
  }
}

// Four lanes operated on together (GCC/Clang vector extension: one SSE2 or
// NEON register, plain code elsewhere).
typedef float Float4 __attribute__((vector_size(16)));
typedef int32_t Int4 __attribute__((vector_size(16)));

inline Float4 load4(const float* p) {
  Float4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
// mask ? a : b lane by lane, as bit operations (a vector ?: may be scalarised).
inline Int4 select(Int4 mask, Int4 a, Int4 b) { return (a & mask) | (b & ~mask); }

// Index of the smallest of n values (n a multiple of kPanel), ties to the
// lower index, as a sequential scan with `<` would find it. Each of 16
// lanes keeps its own smallest value with the lowest index (indices grow
// along a lane); the lanes are then compared value first, index second.
inline uint32_t argmin(const float* v, size_t n) {
  static_assert(kPanel == 16);
  Float4 best[4];
  Int4 at[4], index[4];
  for (int q = 0; q < 4; ++q) {
    best[q] = load4(v + 4 * q);
    index[q] = Int4{0, 1, 2, 3} + 4 * q;
    at[q] = index[q];
  }
  for (size_t c = kPanel; c < n; c += kPanel) {
    for (int q = 0; q < 4; ++q) {
      const Float4 x = load4(v + c + 4 * q);
      index[q] += static_cast<int32_t>(kPanel);
      const Int4 smaller = x < best[q];
      const Int4 kept = select(smaller, std::bit_cast<Int4>(x), std::bit_cast<Int4>(best[q]));
      best[q] = std::bit_cast<Float4>(kept);
      at[q] = select(smaller, index[q], at[q]);
    }
  }
  float best_value = best[0][0];
  int32_t best_at = at[0][0];
  for (int q = 0; q < 4; ++q) {
    for (int l = 0; l < 4; ++l) {
      if (best[q][l] < best_value || (best[q][l] == best_value && at[q][l] < best_at)) {
        best_value = best[q][l];
        best_at = at[q][l];
      }
    }
  }
  return static_cast<uint32_t>(best_at);
}

// Cluster sums in fixed point: integer addition is associative, so each
// thread can add its rows into its own table and the tables can be merged
// in any order, and the sums still do not depend on the threads. The scale
// is a power of two that keeps every scaled value below 2^51 and any sum of
// the sample below 2^62, while resolving far below float precision.
struct FixedPointSums {
  double scale = 1;
  std::vector<int64_t> sums;  // k * dim
  std::vector<uint64_t> counts;
};

double fixed_point_scale(const float* x, size_t s, size_t dim) {
  const float max_abs = tbb::parallel_reduce(
      Range(0, s * dim, 1 << 16), 0.0f,
      [&](const Range& r, float m) {
        for (size_t i = r.begin(); i < r.end(); ++i) m = std::max(m, std::fabs(x[i]));
        return m;
      },
      [](float a, float b) { return std::max(a, b); });
  if (!(max_abs > 0) || !std::isfinite(max_abs)) return 1.0;
  int exponent = 0;
  std::frexp(max_abs, &exponent);  // max_abs < 2^exponent
  return std::ldexp(1.0, std::min(62 - static_cast<int>(std::bit_width(s)), 51) - exponent);
}

// sum[d] += round(row[d] * scale) for d < dim. Adding 1.5 * 2^52 to a
// value below 2^51 leaves round(value) in the low mantissa bits: no
// conversion instruction (two lanes at a time at the baseline) and no
// undefined behaviour on non-finite input. row[d] * scale is exact (scale
// is a power of two), so the one rounding is the addition's.
typedef double Double2 __attribute__((vector_size(16)));
typedef int64_t Int2 __attribute__((vector_size(16)));

inline void add_fixed(const float* row, size_t dim, double scale, int64_t* sum) {
  constexpr double kShift = 0x1.8p52;
  const Int2 shift_bits = std::bit_cast<Int2>(Double2{kShift, kShift});
  size_t d = 0;
  for (; d + 2 <= dim; d += 2) {
    const Double2 v = Double2{row[d], row[d + 1]} * scale + kShift;
    Int2 acc;
    std::memcpy(&acc, sum + d, sizeof acc);
    acc += std::bit_cast<Int2>(v) - shift_bits;
    std::memcpy(sum + d, &acc, sizeof acc);
  }
  for (; d < dim; ++d) {
    const double v = static_cast<double>(row[d]) * scale + kShift;
    sum[d] += std::bit_cast<int64_t>(v) - std::bit_cast<int64_t>(kShift);
  }
}

// One Lloyd assignment: the nearest centroid of every sample row by the
// blocked formula (not necessarily the l2_sq argmin, but deterministic),
// each row added to its cluster's sum while it is still in cache.
void assign_and_sum(const float* x, const float* x_norms, size_t n, const Panels& p,
                    tbb::enumerable_thread_specific<FixedPointSums>& tables) {
  const size_t stride = p.n_panels * kPanel;
  const size_t dim = p.dim;
  tbb::parallel_for(Range(0, n, kTaskPoints), [&](const Range& r) {
    FixedPointSums& t = tables.local();
    std::vector<float> dist(kBlockPoints * stride);
    for (size_t b = r.begin(); b < r.end(); b += kBlockPoints) {
      const size_t np = std::min(kBlockPoints, r.end() - b);
      block_distances(x + b * dim, x_norms + b, np, p, dist.data());
      for (size_t i = 0; i < np; ++i) {
        const uint32_t c = argmin(&dist[i * stride], stride);
        add_fixed(x + (b + i) * dim, dim, t.scale, &t.sums[static_cast<size_t>(c) * dim]);
        ++t.counts[c];
      }
    }
  });
}

// Knuth's selection sampling: `count` of [0, n) in increasing order.
std::vector<size_t> choose_sorted(size_t n, size_t count, XorShift64& rng) {
  std::vector<size_t> chosen;
  chosen.reserve(count);
  for (size_t i = 0; i < n && chosen.size() < count; ++i) {
    const double needed = static_cast<double>(count - chosen.size());
    if (static_cast<double>(n - i) * rng.uniform() < needed) chosen.push_back(i);
  }
  return chosen;
}

// k-means++ seeding on `m` of the sample points, copied together so that
// the k passes over them stream from cache; the affinity partitioner gives
// each thread the same slice in every pass.
std::vector<float> seed_centroids(const float* sample, size_t s, size_t dim, size_t k,
                                  XorShift64& rng) {
  const size_t m = std::min(s, std::max(k, kSeedPointsPerCluster * k));
  const std::vector<size_t> chosen = choose_sorted(s, m, rng);
  std::vector<float> pool(m * dim);
  for (size_t i = 0; i < m; ++i) {
    std::copy(sample + chosen[i] * dim, sample + chosen[i] * dim + dim, &pool[i * dim]);
  }
  std::vector<float> centroids(k * dim);
  std::vector<float> min_dist(m);
  std::vector<char> taken(m, 0);
  tbb::affinity_partitioner affinity;

  auto take = [&](size_t c, size_t i) {
    taken[i] = 1;
    const float* centre = &pool[i * dim];
    std::copy(centre, centre + dim, &centroids[c * dim]);
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, m, 256),
        [&](const Range& r) {
          for (size_t j = r.begin(); j < r.end(); ++j) {
            const float d = l2_sq(&pool[j * dim], centre, dim);
            min_dist[j] = c == 0 ? d : std::min(min_dist[j], d);
          }
        },
        affinity);
  };
  take(0, rng.below(m));
  for (size_t c = 1; c < k; ++c) {
    double total = 0;
    for (float d : min_dist) total += d;
    size_t pick = m;
    if (total > 0 && std::isfinite(total)) {
      // Chosen points have distance 0 and are never drawn again; if the
      // rounding runs past the end, the last eligible point is taken.
      const double target = rng.uniform() * total;
      double acc = 0;
      for (size_t j = 0; j < m; ++j) {
        if (!(min_dist[j] > 0)) continue;
        acc += min_dist[j];
        pick = j;
        if (acc > target) break;
      }
    }
    if (pick == m) {
      // Every point sits on a chosen centroid: take the first unused one.
      pick = static_cast<size_t>(std::find(taken.begin(), taken.end(), 0) - taken.begin());
    }
    take(c, pick);
  }
  return centroids;
}

// Gives an empty cluster half of the largest one: both centroids move a
// little apart along alternating directions, as the next round then splits
// the points between them.
void split_largest(std::vector<float>& centroids, std::vector<size_t>& counts, size_t empty,
                   size_t dim, float spread) {
  size_t largest = 0;
  for (size_t c = 1; c < counts.size(); ++c) {
    if (counts[c] > counts[largest]) largest = c;
  }
  constexpr float kEps = 1.0f / 1024.0f;
  float* big = &centroids[largest * dim];
  float* fresh = &centroids[empty * dim];
  for (size_t d = 0; d < dim; ++d) {
    const float step = kEps * (std::fabs(big[d]) + spread);
    const float sign = (d % 2 == 0) ? 1.0f : -1.0f;
    fresh[d] = big[d] + sign * step;
    big[d] = big[d] - sign * step;
  }
  counts[empty] = counts[largest] / 2;
  counts[largest] -= counts[empty];
}

}  // namespace

std::vector<float> kmeans(const float* data, size_t n, size_t dim, const KMeansParams& params) {
  const size_t k = std::clamp<size_t>(params.n_clusters, 1, std::max<size_t>(n, 1));
  const size_t cap = params.max_sample ? params.max_sample : std::max<size_t>(256 * k, 65536);
  const size_t s = std::min(n, std::max(cap, k));
  XorShift64 rng(kmeans_seed(params.seed));

  // The sample, contiguous (the input itself when every row is used).
  std::vector<float> sample_rows;
  const float* sample = data;
  if (s < n) {
    const std::vector<size_t> rows = choose_sorted(n, s, rng);
    sample_rows.resize(s * dim);
    tbb::parallel_for(Range(0, s, 1024), [&](const Range& r) {
      for (size_t i = r.begin(); i < r.end(); ++i) {
        std::copy(data + rows[i] * dim, data + rows[i] * dim + dim, &sample_rows[i * dim]);
      }
    });
    sample = sample_rows.data();
  }
  std::vector<float> x_norms(s);
  tbb::parallel_for(Range(0, s, 1024), [&](const Range& r) {
    for (size_t i = r.begin(); i < r.end(); ++i) x_norms[i] = sq_norm(sample + i * dim, dim);
  });
  // A length scale for nudging split centroids off zero coordinates.
  double mean_norm = 0;
  for (float v : x_norms) mean_norm += std::sqrt(static_cast<double>(v));
  const float spread = static_cast<float>(mean_norm / static_cast<double>(s) /
                                          std::sqrt(static_cast<double>(std::max<size_t>(dim, 1))));

  std::vector<float> centroids = seed_centroids(sample, s, dim, k, rng);
  const double scale = fixed_point_scale(sample, s, dim);
  tbb::enumerable_thread_specific<FixedPointSums> tables([&] {
    return FixedPointSums{scale, std::vector<int64_t>(k * dim, 0), std::vector<uint64_t>(k, 0)};
  });
  std::vector<size_t> counts(k);
  for (size_t round = 0; round < params.rounds; ++round) {
    for (FixedPointSums& t : tables) {
      std::fill(t.sums.begin(), t.sums.end(), 0);
      std::fill(t.counts.begin(), t.counts.end(), 0);
    }
    assign_and_sum(sample, x_norms.data(), s, make_panels(centroids.data(), k, dim), tables);
    std::fill(counts.begin(), counts.end(), 0);
    for (const FixedPointSums& t : tables) {
      for (size_t c = 0; c < k; ++c) counts[c] += t.counts[c];
    }
    tbb::parallel_for(Range(0, k, 16), [&](const Range& r) {
      std::vector<int64_t> total(dim);
      for (size_t c = r.begin(); c < r.end(); ++c) {
        if (counts[c] == 0) continue;
        std::fill(total.begin(), total.end(), 0);
        for (const FixedPointSums& t : tables) {
          for (size_t d = 0; d < dim; ++d) total[d] += t.sums[c * dim + d];
        }
        const double inv = 1.0 / (scale * static_cast<double>(counts[c]));
        for (size_t d = 0; d < dim; ++d) {
          centroids[c * dim + d] = static_cast<float>(static_cast<double>(total[d]) * inv);
        }
      }
    });
    for (size_t c = 0; c < k; ++c) {
      if (counts[c] == 0) split_largest(centroids, counts, c, dim, spread);
    }
  }
  return centroids;
}

CentroidNeighbours build_centroid_neighbours(const float* centroids, size_t n_clusters, size_t dim,
                                             size_t per_list) {
  CentroidNeighbours nb;
  nb.n_clusters = n_clusters;
  nb.per_list = n_clusters == 0 ? 0 : std::min(per_list, n_clusters - 1);
  nb.ids.resize(n_clusters * nb.per_list);
  nb.dist.resize(n_clusters * nb.per_list);
  if (nb.per_list == 0) return nb;
  tbb::parallel_for(Range(0, n_clusters, 8), [&](const Range& r) {
    std::vector<std::pair<float, uint32_t>> all(n_clusters - 1);
    for (size_t a = r.begin(); a < r.end(); ++a) {
      size_t at = 0;
      for (size_t b = 0; b < n_clusters; ++b) {
        if (b == a) continue;
        const float d = std::sqrt(l2_sq(centroids + a * dim, centroids + b * dim, dim));
        all[at++] = {d, static_cast<uint32_t>(b)};
      }
      // (distance, index) pairs sort by distance, ties by index.
      std::partial_sort(all.begin(), all.begin() + nb.per_list, all.end());
      for (size_t e = 0; e < nb.per_list; ++e) {
        nb.dist[a * nb.per_list + e] = all[e].first;
        nb.ids[a * nb.per_list + e] = all[e].second;
      }
    }
  });
  return nb;
}

uint32_t nearest_centroid_bruteforce(const float* x, const float* centroids, size_t n_clusters,
                                     size_t dim) {
  uint32_t best = 0;
  float best_d = n_clusters ? l2_sq(x, centroids, dim) : 0.0f;
  for (size_t c = 1; c < n_clusters; ++c) {
    const float d = l2_sq(x, centroids + c * dim, dim);
    if (d < best_d) {
      best_d = d;
      best = static_cast<uint32_t>(c);
    }
  }
  return best;
}

// With a the best so far at distance r = ||x - a||, a centroid b with
// ||a - b|| > 2r has ||x - b|| >= ||a - b|| - r > r, so it can neither beat
// nor tie a. The lists are sorted by ||a - b||, so the walk stops at the
// first such entry; the slack covers the rounding of the stored and the
// computed distances. A better (or equally near, lower-numbered) centroid
// restarts the walk from its own list; every restart strictly improves
// (distance, index), so the walk ends.
uint32_t nearest_centroid(const float* x, const float* centroids, size_t n_clusters, size_t dim,
                          const CentroidNeighbours& nb, uint32_t hint) {
  if (n_clusters <= 1) return 0;
  if (nb.n_clusters != n_clusters || nb.per_list == 0) {
    return nearest_centroid_bruteforce(x, centroids, n_clusters, dim);
  }
  const bool lists_complete = nb.per_list + 1 >= n_clusters;
  const float slack = 1.0f + static_cast<float>(error_factor(dim)) + 1e-6f;
  uint32_t a = hint < n_clusters ? hint : 0;
  float da = l2_sq(x, centroids + static_cast<size_t>(a) * dim, dim);
  for (;;) {
    const float bound = 2.0f * std::sqrt(da) * slack;
    const uint32_t* ids = &nb.ids[static_cast<size_t>(a) * nb.per_list];
    const float* dist = &nb.dist[static_cast<size_t>(a) * nb.per_list];
    bool moved = false, bounded = false;
    for (size_t e = 0; e < nb.per_list; ++e) {
      if (dist[e] > bound) {
        bounded = true;
        break;
      }
      const uint32_t b = ids[e];
      const float db = l2_sq(x, centroids + static_cast<size_t>(b) * dim, dim);
      if (db < da || (db == da && b < a)) {
        a = b;
        da = db;
        moved = true;
        break;
      }
    }
    if (moved) continue;
    if ((!bounded && !lists_complete) || !std::isfinite(da)) {
      return nearest_centroid_bruteforce(x, centroids, n_clusters, dim);
    }
    return a;
  }
}

// The blocked formula ranks all centroids fast but rounds differently from
// l2_sq. Each of the two is within g = (dim + 3) * 2^-24 * (||x|| + ||c||)^2
// of the true distance, so a centroid c with l2_sq(c) <= l2_sq(h), h the
// blocked argmin, has blocked(c) <= blocked(h) + 4g: every centroid that
// could be the l2_sq argmin, or tie it, lies in that window (which we take
// twice as wide). When the window holds h alone, h is the answer; else the
// window's centroids are compared by l2_sq, ties to the lower index.
static void AssignRange(const Panels& p, const float* centroids, const float* data, size_t begin,
                        size_t end, uint32_t* out) {
  const size_t n_clusters = p.n_clusters, dim = p.dim;
  const size_t stride = p.n_panels * kPanel;
  const double factor = error_factor(dim);
  thread_local std::vector<float> dist;
  dist.resize(kBlockPoints * stride);
  float x_norms[kBlockPoints];
  for (size_t b = begin; b < end; b += kBlockPoints) {
    const size_t np = std::min(kBlockPoints, end - b);
    for (size_t i = 0; i < np; ++i) x_norms[i] = sq_norm(data + (b + i) * dim, dim);
    block_distances(data + b * dim, x_norms, np, p, dist.data());
    for (size_t i = 0; i < np; ++i) {
      const float* x = data + (b + i) * dim;
      const float* row = &dist[i * stride];
      const uint32_t hint = argmin(row, stride);
      const double scale = std::sqrt(static_cast<double>(x_norms[i])) + p.max_norm;
      const float window = static_cast<float>(static_cast<double>(row[hint]) + factor * scale * scale);
      if (!std::isfinite(window)) {
        out[b + i] = nearest_centroid_bruteforce(x, centroids, n_clusters, dim);
        continue;
      }
      // Usually the window holds the hint alone.
      size_t in_window = 0;
      for (size_t c = 0; c < stride; ++c) in_window += row[c] <= window;
      if (in_window == 1) {
        out[b + i] = hint;
        continue;
      }
      uint32_t best = hint;
      float best_d = -1.0f;  // l2_sq of best, computed only when needed
      for (size_t c = 0; c < n_clusters; ++c) {
        if (c == hint || !(row[c] <= window)) continue;
        if (best_d < 0) best_d = l2_sq(x, centroids + static_cast<size_t>(hint) * dim, dim);
        const float d = l2_sq(x, centroids + c * dim, dim);
        if (d < best_d || (d == best_d && c < best)) {
          best = static_cast<uint32_t>(c);
          best_d = d;
        }
      }
      out[b + i] = best;
    }
  }
}

static void AssignAll(const Panels& p, const float* centroids, const float* data, size_t n, uint32_t* out) {
  if (n <= kTaskPoints) {
    AssignRange(p, centroids, data, 0, n, out);
    return;
  }
  tbb::parallel_for(Range(0, n, kTaskPoints),
                    [&](const Range& r) { AssignRange(p, centroids, data, r.begin(), r.end(), out); });
}

std::vector<uint32_t> assign_nearest(const float* data, size_t n, const float* centroids,
                                     size_t n_clusters, size_t dim) {
  std::vector<uint32_t> out(n, 0);
  if (n == 0 || n_clusters <= 1) return out;
  AssignAll(make_panels(centroids, n_clusters, dim), centroids, data, n, out.data());
  return out;
}

struct CentroidRanker::Impl {
  Panels panels;
  const float* centroids = nullptr;
};

CentroidRanker::CentroidRanker() = default;
CentroidRanker::~CentroidRanker() = default;
CentroidRanker::CentroidRanker(CentroidRanker&&) noexcept = default;
CentroidRanker& CentroidRanker::operator=(CentroidRanker&&) noexcept = default;

CentroidRanker::CentroidRanker(const float* centroids, size_t n_clusters, size_t dim)
    : impl_(std::make_unique<Impl>()) {
  impl_->panels = make_panels(centroids, n_clusters, dim);
  impl_->centroids = centroids;
}

std::vector<uint32_t> CentroidRanker::assign(const float* data, size_t n) const {
  std::vector<uint32_t> out(n, 0);
  if (n == 0 || !impl_ || impl_->panels.n_clusters <= 1) return out;
  AssignAll(impl_->panels, impl_->centroids, data, n, out.data());
  return out;
}

uint32_t CentroidRanker::nearest(const float* x) const {
  uint32_t out = 0;
  if (impl_ && impl_->panels.n_clusters > 1) AssignRange(impl_->panels, impl_->centroids, x, 0, 1, &out);
  return out;
}

}  // namespace nimbrel
