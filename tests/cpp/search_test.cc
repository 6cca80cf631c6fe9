// Dense search against its exact oracle: recall, ordering, filters, the
// batch probing that a selective filter triggers, and ensure_target_k.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ivf_rabitq/index.h"
#include "test_util.h"

namespace nimbrel {
namespace {

struct Segment {
  std::shared_ptr<IvfIndex> index;
  std::vector<float> data;  // input order
  size_t n = 0, dim = 0;
};

// Gaussian blobs with metadata {"group": i % 10, "tag": "t<i % 3>"}.
Segment BuildBlobs(const std::string& dir, size_t n, size_t dim, size_t lists, unsigned bits,
                   uint64_t seed = 42) {
  Segment s;
  s.n = n;
  s.dim = dim;
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g(0.f, 1.f);
  const size_t blobs = 40;
  std::vector<float> centers(blobs * dim);
  for (float& c : centers) c = 4.f * g(rng);
  s.data.resize(n * dim);
  BuildInput in;
  in.dir = dir;
  for (size_t i = 0; i < n; ++i) {
    const size_t b = rng() % blobs;
    for (size_t j = 0; j < dim; ++j) s.data[i * dim + j] = centers[b * dim + j] + g(rng);
    in.ids.push_back("id" + std::to_string(i));
    in.metadata.push_back({{"group", static_cast<int>(i % 10)}, {"tag", "t" + std::to_string(i % 3)}});
  }
  in.data = s.data.data();
  in.n = n;
  in.dim = dim;
  in.n_clusters = lists;
  in.n_bits = bits;
  EXPECT_TRUE(IvfIndex::build(in).ok());
  auto opened = IvfIndex::open_with_skip(dir, std::nullopt);
  EXPECT_TRUE(opened.ok()) << opened.status().message();
  s.index = *opened;
  return s;
}

size_t InputIndexOf(const IvfIndex& idx, uint32_t row) { return std::stoul(idx.ext_of(row).substr(2)); }

double Recall(const std::vector<Hit>& got, const std::vector<Hit>& want) {
  std::set<uint32_t> w;
  for (const Hit& h : want) w.insert(h.row);
  size_t found = 0;
  for (const Hit& h : got) found += w.count(h.row);
  return want.empty() ? 1.0 : static_cast<double>(found) / want.size();
}

TEST(SearchCore, RecallAgainstBruteForceIsHighForEveryBitWidth) {
  for (unsigned bits : {1u, 2u, 4u, 8u}) {
    TempDir dir;
    Segment s = BuildBlobs(dir.path() + "/seg", 6000, 48, 60, bits);
    std::mt19937_64 rng(bits);
    double recall = 0;
    const int queries = 50;
    for (int q = 0; q < queries; ++q) {
      const float* query = s.data.data() + (rng() % s.n) * s.dim;
      auto got = s.index->search_core(query, 10, 20, 200, nullptr, false);
      auto want = s.index->search_bruteforce(query, 10, nullptr);
      ASSERT_EQ(got.size(), 10u);
      recall += Recall(got, want);
    }
    EXPECT_GT(recall / queries, bits == 1 ? 0.85 : 0.93) << "bits=" << bits;
  }
}

TEST(SearchCore, ProbingEveryListWithAFullRerankIsExact) {
  TempDir dir;
  Segment s = BuildBlobs(dir.path() + "/seg", 2000, 16, 20, 2);
  for (int q = 0; q < 20; ++q) {
    const float* query = s.data.data() + q * 97 * s.dim;
    auto got = s.index->search_core(query, 15, 20, 2000, nullptr, false);
    auto want = s.index->search_bruteforce(query, 15, nullptr);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].row, want[i].row);
      EXPECT_EQ(got[i].dist, want[i].dist);
    }
  }
}

TEST(SearchCore, ResultsAscendWithTiesToTheLowerRow) {
  TempDir dir;
  // Every vector equal: all distances tie, so rows come back in row order.
  BuildInput in;
  in.dir = dir.path() + "/seg";
  std::vector<float> data(50 * 8, 0.5f);
  in.data = data.data();
  in.n = 50;
  in.dim = 8;
  for (int i = 0; i < 50; ++i) {
    in.ids.push_back("r" + std::to_string(i));
    in.metadata.push_back(nullptr);
  }
  in.n_clusters = 3;
  ASSERT_TRUE(IvfIndex::build(in).ok());
  auto idx = *IvfIndex::open_with_skip(in.dir, std::nullopt);
  std::vector<float> q(8, 0.25f);
  auto hits = idx->search_core(q.data(), 7, 3, 100, nullptr, false);
  ASSERT_EQ(hits.size(), 7u);
  for (size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i].row, i);
  for (size_t i = 1; i < hits.size(); ++i) EXPECT_EQ(hits[i].dist, hits[0].dist);
}

TEST(SearchCore, EdgeArgumentsKZeroAndNprobeZero) {
  TempDir dir;
  Segment s = BuildBlobs(dir.path() + "/seg", 500, 8, 10, 2);
  EXPECT_TRUE(s.index->search_core(s.data.data(), 0, 4, 100, nullptr, false).empty());
  auto zero = s.index->search_core(s.data.data(), 5, 0, 100, nullptr, false);
  auto one = s.index->search_core(s.data.data(), 5, 1, 100, nullptr, false);
  ASSERT_EQ(zero.size(), one.size());
  for (size_t i = 0; i < zero.size(); ++i) EXPECT_EQ(zero[i].row, one[i].row);
  // Asking for more rows than exist returns every row once.
  auto all = s.index->search_core(s.data.data(), 10000, 10, 10000, nullptr, false);
  EXPECT_EQ(all.size(), 500u);
}

TEST(SearchCore, SelectiveFilterProbesFurtherListsUntilKRowsAreFound) {
  TempDir dir;
  Segment s = BuildBlobs(dir.path() + "/seg", 5000, 16, 50, 2);
  auto filter = s.index->compile_filter_cached(R"({"group": 3, "tag": "t1"})");
  ASSERT_TRUE(filter.ok()) << filter.status().message();
  for (int q = 0; q < 10; ++q) {
    const float* query = s.data.data() + q * 11 * s.dim;
    auto hits = s.index->search_core(query, 10, 1, 100, filter->get(), false);
    EXPECT_EQ(hits.size(), 10u);
    for (const Hit& h : hits) {
      const size_t i = InputIndexOf(*s.index, h.row);
      EXPECT_EQ(i % 10, 3u);
      EXPECT_EQ(i % 3, 1u);
    }
  }
}

TEST(SearchCore, EnsureTargetKReturnsEveryMatchingRowWhenFewerThanK) {
  TempDir dir;
  Segment s = BuildBlobs(dir.path() + "/seg", 3000, 16, 30, 2);
  // One row in thirty matches; k is set above that count, and one probed
  // list with a small pool would miss most of them without the exact pass.
  auto filter = s.index->compile_filter_cached(R"({"group": 7, "tag": "t1"})");
  ASSERT_TRUE(filter.ok());
  size_t expected = 0;
  for (size_t i = 0; i < s.n; ++i) expected += (i % 10 == 7 && i % 3 == 1);
  auto hits = s.index->search_core(s.data.data(), expected + 50, 1, 10, filter->get(), true);
  EXPECT_EQ(hits.size(), expected);
  auto want = s.index->search_bruteforce(s.data.data(), expected + 50, filter->get());
  EXPECT_EQ(want.size(), expected);
}

TEST(SearchCore, EmptySegmentAnswersNothing) {
  TempDir dir;
  BuildInput in;
  in.dir = dir.path() + "/seg";
  in.dim = 4;
  in.n = 0;
  float dummy = 0;
  in.data = &dummy;
  ASSERT_TRUE(IvfIndex::build(in).ok());
  auto idx = IvfIndex::open_with_skip(in.dir, std::nullopt);
  ASSERT_TRUE(idx.ok()) << idx.status().message();
  float q[4] = {1, 2, 3, 4};
  EXPECT_TRUE((*idx)->search_core(q, 10, 4, 100, nullptr, true).empty());
  EXPECT_TRUE((*idx)->search_bruteforce(q, 10, nullptr).empty());
}

TEST(SearchCore, FilterCacheReturnsTheSameCompiledFilterForTheSameText) {
  TempDir dir;
  Segment s = BuildBlobs(dir.path() + "/seg", 200, 4, 4, 2);
  auto a = s.index->compile_filter_cached(R"({"tag": "t0"})");
  auto b = s.index->compile_filter_cached(R"({"tag": "t0"})");
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->get(), b->get());
  auto bad = s.index->compile_filter_cached("[1]");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.status().message(), "filter must be an object, got [1]");
}

}  // namespace
}  // namespace nimbrel
