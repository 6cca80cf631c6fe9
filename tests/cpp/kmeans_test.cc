#include "ivf_rabitq/kmeans.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include "test_util.h"

namespace nimbrel {
namespace {

// n points around `blobs` centres that lie `separation` apart on average.
struct Blobs {
  size_t dim;
  std::vector<float> centres, points;
};

Blobs make_blobs(size_t blobs, size_t per_blob, size_t dim, double separation, double spread, uint64_t seed) {
  Blobs b{dim, std::vector<float>(blobs * dim), std::vector<float>(blobs * per_blob * dim)};
  XorShift64 rng(seed);
  for (float& v : b.centres) v = static_cast<float>(rng.gaussian() * separation);
  for (size_t p = 0; p < blobs * per_blob; ++p) {
    const size_t c = p % blobs;  // interleaved, so a prefix is not one blob
    for (size_t d = 0; d < dim; ++d) {
      b.points[p * dim + d] = b.centres[c * dim + d] + static_cast<float>(rng.gaussian() * spread);
    }
  }
  return b;
}

std::vector<float> run_kmeans(const Blobs& b, size_t k, uint64_t seed, size_t threads, size_t max_sample = 0) {
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
  KMeansParams p;
  p.n_clusters = k;
  p.seed = seed;
  p.max_sample = max_sample;
  return kmeans(b.points.data(), b.points.size() / b.dim, b.dim, p);
}

TEST(KMeans, ResultDependsOnTheSeedButNotOnTheThreadCount) {
  const Blobs b = make_blobs(40, 500, 24, 1.0, 1.0, 1);
  // A sample smaller than the input exercises the sampled path too.
  const std::vector<float> one = run_kmeans(b, 37, 42, 1, 5000);
  const std::vector<float> four = run_kmeans(b, 37, 42, 4, 5000);
  EXPECT_EQ(one, four);
  EXPECT_EQ(run_kmeans(b, 37, 42, 4, 5000), four);
  EXPECT_NE(run_kmeans(b, 37, 44, 4, 5000), four);  // 43 would derive the same stream as 42
  EXPECT_EQ(run_kmeans(b, 50, 7, 1), run_kmeans(b, 50, 7, 3));
}

TEST(KMeans, RecoversWellSeparatedBlobs) {
  const size_t blobs = 12, dim = 16;
  const Blobs b = make_blobs(blobs, 300, dim, 10.0, 0.3, 2);
  const std::vector<float> c = run_kmeans(b, blobs, 42, 4);
  ASSERT_EQ(c.size(), blobs * dim);
  std::vector<int> used(blobs, 0);
  for (size_t t = 0; t < blobs; ++t) {
    const uint32_t got = nearest_centroid_bruteforce(&b.centres[t * dim], c.data(), blobs, dim);
    // The centroid is the blob's mean: within a few standard errors.
    EXPECT_LT(std::sqrt(l2_sq(&b.centres[t * dim], &c[got * dim], dim)), 0.15) << "blob " << t;
    ++used[got];
  }
  EXPECT_EQ(std::count(used.begin(), used.end(), 1), static_cast<long>(blobs));
}

TEST(KMeans, MoreClustersThanDistinctPointsStillGivesFiniteCentroids) {
  // Three distinct points repeated: most clusters start or end empty and
  // must be refilled by splitting, never left as NaN.
  Blobs b{4, {}, {}};
  for (int i = 0; i < 300; ++i) {
    for (int d = 0; d < 4; ++d) b.points.push_back(static_cast<float>((i % 3) * 10 + d));
  }
  const std::vector<float> c = run_kmeans(b, 20, 42, 4);
  ASSERT_EQ(c.size(), 20u * 4);
  for (float v : c) EXPECT_TRUE(std::isfinite(v));
  // Each distinct point keeps a centroid on it, up to the small nudges
  // that split a cluster (points are 10 apart).
  for (int i = 0; i < 3; ++i) {
    const uint32_t a = nearest_centroid_bruteforce(&b.points[i * 4], c.data(), 20, 4);
    EXPECT_LT(std::sqrt(l2_sq(&b.points[i * 4], &c[a * 4], 4)), 0.1f);
  }
}

TEST(KMeans, ClusterCountIsClampedToThePointCount) {
  Blobs b{3, {}, {1.0f, 2.0f, 3.0f, -1.0f, 0.0f, 5.0f}};
  EXPECT_EQ(run_kmeans(b, 10, 1, 2).size(), 2u * 3);
  Blobs single{3, {}, {1.0f, 2.0f, 3.0f}};
  EXPECT_EQ(run_kmeans(single, 4, 1, 2), single.points);
}

// Centroids with exact duplicates and points placed on centroids, on
// midpoints between two centroids (ties up to rounding), on exactly
// symmetric ties, and far outside (neighbour lists run out).
struct Hard {
  size_t dim = 12, k = 0;
  std::vector<float> centroids, points;
};

Hard make_hard_case(uint64_t seed) {
  Hard h;
  XorShift64 rng(seed);
  const size_t distinct = 150;
  h.centroids = GaussianVector(distinct * h.dim, rng);
  for (size_t dup : {3u, 77u, 3u, 149u}) {  // exact copies, appended after the originals
    const std::vector<float> copy(&h.centroids[dup * h.dim], &h.centroids[(dup + 1) * h.dim]);
    h.centroids.insert(h.centroids.end(), copy.begin(), copy.end());
  }
  // Move one copy of centroid 3 in front: the lower index must win the tie.
  std::swap_ranges(&h.centroids[10 * h.dim], &h.centroids[11 * h.dim], &h.centroids[distinct * h.dim]);
  h.k = h.centroids.size() / h.dim;
  for (int i = 0; i < 1500; ++i) {
    const size_t a = rng.below(h.k), b = rng.below(h.k);
    for (size_t d = 0; d < h.dim; ++d) {
      const float ca = h.centroids[a * h.dim + d], cb = h.centroids[b * h.dim + d];
      const float r = static_cast<float>(rng.gaussian());
      const float kinds[5] = {r, ca, 0.5f * (ca + cb), ca + r * 1e-4f, r * 40.0f};
      h.points.push_back(kinds[i % 5]);
    }
  }
  // Exact ties: two centroids mirrored in coordinate 0 (the last two), and
  // the last 50 points on the mirror plane.
  for (float x0 : {1.0f, -1.0f}) {
    h.centroids.push_back(x0);
    h.centroids.insert(h.centroids.end(), h.dim - 1, 0.0f);
  }
  h.k += 2;
  for (int i = 0; i < 50; ++i) {
    h.points.push_back(0.0f);
    for (size_t d = 1; d < h.dim; ++d) h.points.push_back(static_cast<float>(rng.gaussian() * 0.01));
  }
  return h;
}

TEST(NearestCentroid, NeighbourListsGiveTheBruteForceAnswer) {
  const Hard h = make_hard_case(5);
  const size_t n = h.points.size() / h.dim;
  for (size_t per_list : {2u, 16u, 64u, 1000u}) {
    const CentroidNeighbours nb = build_centroid_neighbours(h.centroids.data(), h.k, h.dim, per_list);
    ASSERT_EQ(nb.per_list, std::min(per_list, h.k - 1));
    XorShift64 rng(per_list);
    for (size_t i = 0; i < n; ++i) {
      const float* x = &h.points[i * h.dim];
      const uint32_t want = nearest_centroid_bruteforce(x, h.centroids.data(), h.k, h.dim);
      const uint32_t hint = static_cast<uint32_t>(rng.below(h.k + 3));  // out-of-range hints too
      ASSERT_EQ(nearest_centroid(x, h.centroids.data(), h.k, h.dim, nb, hint), want)
          << "point " << i << " list " << per_list;
    }
  }
}

TEST(NearestCentroid, TiesGoToTheLowerIndex) {
  const Hard h = make_hard_case(6);
  const size_t n = h.points.size() / h.dim;
  const CentroidNeighbours nb = build_centroid_neighbours(h.centroids.data(), h.k, h.dim);
  const auto far_hint = static_cast<uint32_t>(h.k - 1);
  for (size_t i = n - 50; i < n; ++i) {
    const float* x = &h.points[i * h.dim];
    ASSERT_EQ(l2_sq(x, &h.centroids[(h.k - 2) * h.dim], h.dim), l2_sq(x, &h.centroids[(h.k - 1) * h.dim], h.dim));
    const uint32_t want = nearest_centroid_bruteforce(x, h.centroids.data(), h.k, h.dim);
    if (want >= h.k - 2) {
      EXPECT_EQ(want, h.k - 2);
    }
    EXPECT_EQ(nearest_centroid(x, h.centroids.data(), h.k, h.dim, nb, far_hint), want);
  }
  // A point on a duplicated centroid: the lowest of the copies.
  const float* on_three = &h.centroids[3 * h.dim];
  EXPECT_EQ(nearest_centroid_bruteforce(on_three, h.centroids.data(), h.k, h.dim), 3u);
  EXPECT_EQ(nearest_centroid(on_three, h.centroids.data(), h.k, h.dim, nb, 152), 3u);
}

TEST(NearestCentroid, ParallelAssignmentGivesTheBruteForceAnswer) {
  // Data far from the origin makes the blocked formula's rounding large
  // next to the gaps between distances.
  for (float shift : {0.0f, 300.0f}) {
    Hard h = make_hard_case(7);
    for (float& v : h.centroids) v += shift;
    for (float& v : h.points) v += shift;
    const size_t n = h.points.size() / h.dim;
    const std::vector<uint32_t> got = assign_nearest(h.points.data(), n, h.centroids.data(), h.k, h.dim);
    // The prepared ranker, one point at a time and as one batch (the way
    // adds and a replayed log use it), gives the same answers.
    const CentroidRanker ranker(h.centroids.data(), h.k, h.dim);
    const std::vector<uint32_t> batch = ranker.assign(h.points.data(), n);
    ASSERT_EQ(got.size(), n);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t want = nearest_centroid_bruteforce(&h.points[i * h.dim], h.centroids.data(), h.k, h.dim);
      ASSERT_EQ(got[i], want) << "point " << i << " shift " << shift;
      ASSERT_EQ(batch[i], want) << "point " << i << " shift " << shift;
      ASSERT_EQ(ranker.nearest(&h.points[i * h.dim]), want) << "point " << i << " shift " << shift;
    }
  }
}

}  // namespace
}  // namespace nimbrel
