// Clustering for the IVF partition: seeded, sampled, parallel k-means with a
// fixed number of rounds, and exact nearest-centroid assignment.
//
// kmeans: XorShift64(kmeans_seed(seed)) first picks the sample (selection
// sampling, rows kept in input order), then a k-means++ seeding pool of at
// most 32 sample rows per cluster, then the seeds by D^2 sampling from that
// pool. Each Lloyd round assigns every sample row to its nearest centroid
// by ||x||^2 + ||c||^2 - 2 x.c (blocked, 16 centroids per kernel call) and
// moves each centroid to the mean of its rows (sums in double, added in
// row order). A cluster left empty takes half of the largest one (ties to
// the lower index): both centroids step 1/1024 of a coordinate scale apart
// along alternating directions.
//
// Everything here runs on the calling thread's TBB arena. Allocation
// failure (std::bad_alloc) is the only exception that can leave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nimbrel {

// The squared L2 distance used for every centroid comparison. Assignment by
// neighbour lists and brute-force argmin both call this, so they agree bit
// for bit. Computed by the active kernels (kernels.h), which all give the
// same bits.
float l2_sq(const float* a, const float* b, size_t dim);

struct KMeansParams {
  size_t n_clusters = 1;     // clamped to [1, n]
  size_t max_sample = 0;     // 0: max(256 * n_clusters, 65536) rows at most
  size_t rounds = 10;        // fixed number of Lloyd rounds
  uint64_t seed = 42;        // segment seed; kmeans_seed() is applied inside
};

// Returns k * dim centroid values (row-major), k = n_clusters clamped to
// [1, n]. Deterministic for a given input and seed, whatever the number of
// threads and of the kernel table in use. n >= 1.
std::vector<float> kmeans(const float* data, size_t n, size_t dim, const KMeansParams& params);

// For each centroid, the other centroids sorted by distance (ties by
// index), with their distances. Used to find the exact nearest centroid of a
// point without comparing it with every centroid.
struct CentroidNeighbours {
  size_t n_clusters = 0;
  size_t per_list = 0;                 // entries kept per centroid
  std::vector<uint32_t> ids;           // n_clusters * per_list
  std::vector<float> dist;             // matching sqrt distances
};
CentroidNeighbours build_centroid_neighbours(const float* centroids, size_t n_clusters, size_t dim,
                                             size_t per_list = 64);

// Index of the centroid nearest to x: the smallest l2_sq, ties to the lower
// index, exactly as a brute-force argmin. `hint` is a starting guess (an
// out-of-range hint counts as 0). Walks the neighbour lists and falls back
// to the brute force when a list runs out before its pruning bound (or `nb`
// does not belong to these centroids).
uint32_t nearest_centroid(const float* x, const float* centroids, size_t n_clusters, size_t dim,
                          const CentroidNeighbours& nb, uint32_t hint = 0);
uint32_t nearest_centroid_bruteforce(const float* x, const float* centroids, size_t n_clusters,
                                     size_t dim);

// Exact assignment of n points, in parallel. Same answers as the brute
// force: the blocked formula ranks the centroids, and l2_sq settles every
// case its rounding leaves open.
std::vector<uint32_t> assign_nearest(const float* data, size_t n, const float* centroids,
                                     size_t n_clusters, size_t dim);

// assign_nearest prepared once for a set of centroids (which must outlive
// it), for points that come one at a time or in batches: a row added to a
// segment, a replayed log. At high dimension the neighbour-list walk above
// rarely stops early (every centroid is about as far as the nearest), so
// one pass of the blocked kernel is the faster exact answer.
class CentroidRanker {
 public:
  CentroidRanker();
  CentroidRanker(const float* centroids, size_t n_clusters, size_t dim);
  ~CentroidRanker();
  CentroidRanker(CentroidRanker&&) noexcept;
  CentroidRanker& operator=(CentroidRanker&&) noexcept;
  // Same answer as nearest_centroid_bruteforce.
  uint32_t nearest(const float* x) const;
  // n points, in parallel above a few hundred.
  std::vector<uint32_t> assign(const float* data, size_t n) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrel
