// Every SIMD kernel computes exactly what the scalar reference computes.
#include "ivf_rabitq/kernels.h"

#include <vector>

#include <gtest/gtest.h>

#include "ivf_rabitq/bitplane_codec.h"
#include "ivf_rabitq/query_lut.h"
#include "test_util.h"

namespace nimbrel::kernels {
namespace {

// A list of encoded rows and a prepared query, with the codes stored at an
// odd address (file maps give no alignment promise beyond the row size).
struct List {
  size_t D, n;
  unsigned bits;
  std::vector<uint8_t> storage;
  const uint8_t* codes;
  std::vector<RowFactors> factors;
  QueryLut lut;
};

List make_list(size_t D, unsigned bits, size_t n, uint64_t seed) {
  List l{D, n, bits, {}, nullptr, std::vector<RowFactors>(n), {}};
  XorShift64 rng(seed);
  const size_t row_bytes = code_bytes_for(D, bits);
  l.storage.resize(n * row_bytes + 1);
  for (size_t r = 0; r < n; ++r) {
    const std::vector<float> o = GaussianVector(D, rng);
    encode_rotated_residual(o.data(), D, bits, l.storage.data() + 1 + r * row_bytes, &l.factors[r]);
  }
  l.codes = l.storage.data() + 1;
  const std::vector<float> q = GaussianVector(D, rng, 0.7);
  l.lut.prepare(q.data(), D, bits, 0.49f * static_cast<float>(D));
  return l;
}

class SimdKernel : public ::testing::TestWithParam<Isa> {
 protected:
  void SetUp() override {
    table_ = table_for(GetParam());
    if (!table_) GTEST_SKIP() << "this processor cannot run the kernel";
  }
  const KernelTable* table_ = nullptr;
  const KernelTable& scalar_ = kScalarTable;
};

TEST_P(SimdKernel, PopcountSumsAndEstimatesEqualScalar) {
  // Row lengths 1..24 words cover the packed (1, 2, 4) and general paths;
  // 37 rows leave a tail after the groups of 8.
  for (size_t D : {64u, 128u, 192u, 256u, 384u, 768u}) {
    for (unsigned bits : {1u, 2u, 3u, 4u, 5u, 8u}) {
      const List l = make_list(D, bits, 37, D * 10 + bits);
      const EstimatorQuery q = l.lut.kernel_query();
      std::vector<uint64_t> want(l.n), got(l.n);
      scalar_.popcount_sums(q, l.codes, l.n, want.data());
      table_->popcount_sums(q, l.codes, l.n, got.data());
      ASSERT_EQ(got, want) << "D " << D << " bits " << bits;
      std::vector<float> want_est(l.n), want_lb(l.n), got_est(l.n), got_lb(l.n);
      scalar_.estimate(q, l.codes, l.factors.data(), l.n, want_est.data(), want_lb.data());
      table_->estimate(q, l.codes, l.factors.data(), l.n, got_est.data(), got_lb.data());
      ASSERT_EQ(got_est, want_est) << "D " << D << " bits " << bits;
      ASSERT_EQ(got_lb, want_lb) << "D " << D << " bits " << bits;
      table_->estimate(q, l.codes, l.factors.data(), l.n, got_est.data(), nullptr);
      ASSERT_EQ(got_est, want_est);
    }
  }
}

TEST_P(SimdKernel, DistancesEqualScalarForEveryTailLength) {
  XorShift64 rng(12);
  for (size_t dim = 1; dim <= 70; ++dim) {
    const std::vector<float> a = GaussianVector(dim + 1, rng), b = GaussianVector(dim + 1, rng);
    // Offset by one float to check unaligned loads.
    EXPECT_EQ(table_->l2_sq(a.data() + 1, b.data() + 1, dim), scalar_.l2_sq(a.data() + 1, b.data() + 1, dim))
        << "dim " << dim;
    std::vector<uint8_t> codes(dim);
    for (uint8_t& c : codes) c = static_cast<uint8_t>(rng.below(256));
    EXPECT_EQ(table_->rerank_l2_u8(a.data(), codes.data(), dim, 2.5f),
              scalar_.rerank_l2_u8(a.data(), codes.data(), dim, 2.5f))
        << "dim " << dim;
  }
  const std::vector<float> a = GaussianVector(768, rng), b = GaussianVector(768, rng);
  EXPECT_EQ(table_->l2_sq(a.data(), b.data(), 768), scalar_.l2_sq(a.data(), b.data(), 768));
  std::vector<uint8_t> codes(768);
  for (uint8_t& c : codes) c = static_cast<uint8_t>(rng.below(256));
  EXPECT_EQ(table_->rerank_l2_u8(a.data(), codes.data(), 768, 0.5f), scalar_.rerank_l2_u8(a.data(), codes.data(), 768, 0.5f));
}

TEST_P(SimdKernel, ScaleSearchSumsEqualScalar) {
  XorShift64 rng(14);
  for (size_t n : {64u, 128u, 768u}) {
    std::vector<float> y(n);
    for (float& v : y) v = static_cast<float>(rng.uniform());
    for (float t : {0.5f, 1.3f, 2.9f, 77.0f}) {
      for (float k_max : {0.0f, 1.0f, 7.0f, 127.0f}) {
        float want_ip[8], want_nn[8], got_ip[8], got_nn[8];
        scalar_.scale_sums(y.data(), n, t, k_max, want_ip, want_nn);
        table_->scale_sums(y.data(), n, t, k_max, got_ip, got_nn);
        for (int l = 0; l < 8; ++l) {
          ASSERT_EQ(got_ip[l], want_ip[l]) << "n " << n << " t " << t << " k_max " << k_max;
          ASSERT_EQ(got_nn[l], want_nn[l]) << "n " << n << " t " << t << " k_max " << k_max;
        }
      }
    }
  }
}

TEST_P(SimdKernel, CentroidPanelDistancesEqualScalar) {
  XorShift64 rng(13);
  for (size_t dim : {1u, 3u, 17u, 128u}) {
    const std::vector<float> panel = GaussianVector(dim * kPanelWidth, rng);
    const std::vector<float> panel_norms = GaussianVector(kPanelWidth, rng, 10.0);
    for (size_t n_points : {1u, 5u, 6u, 8u, 13u, 32u}) {
      const std::vector<float> x = GaussianVector(n_points * (dim + 2), rng);
      const std::vector<float> x_norms = GaussianVector(n_points, rng, 10.0);
      // Rows of 40 values: each call fills 16 of them.
      std::vector<float> want(n_points * 40, -1.0f), got(n_points * 40, -1.0f);
      scalar_.distance_panel(x.data(), dim + 2, x_norms.data(), n_points, dim, panel.data(),
                             panel_norms.data(), want.data() + 3, 40);
      table_->distance_panel(x.data(), dim + 2, x_norms.data(), n_points, dim, panel.data(),
                             panel_norms.data(), got.data() + 3, 40);
      ASSERT_EQ(got, want) << "dim " << dim << " points " << n_points;
    }
  }
}

// 32 rows of arbitrary code bytes (every nibble value, not only what the
// encoder writes) as a block, with factors, and a query prepared for them.
// `extreme`: every code bit set and the query's values all 15 but one, the
// largest sums there are.
struct Block {
  std::vector<uint8_t> rows, block;
  std::vector<RowFactors> factors;
  QueryLut lut;
};

Block make_block(size_t D, unsigned bits, uint64_t seed, bool extreme) {
  Block b;
  XorShift64 rng(seed);
  const size_t row_bytes = code_bytes_for(D, bits);
  b.rows.resize(kBlockRows * row_bytes);
  for (uint8_t& c : b.rows) c = extreme ? 0xff : static_cast<uint8_t>(rng.next());
  b.block.resize(b.rows.size() + 1);  // at an odd address, as in a file map
  block_codes(b.rows.data(), row_bytes, b.block.data() + 1);
  for (size_t r = 0; r < kBlockRows; ++r) {
    const std::vector<float> f = GaussianVector(4, rng);
    b.factors.push_back({std::abs(f[0]), 1.0f + std::abs(f[1]), static_cast<float>(r * D / 3), std::abs(f[3])});
  }
  std::vector<float> q = GaussianVector(D, rng, 0.7);
  if (extreme) std::fill(q.begin() + 1, q.end(), 1.0f), q[0] = -1.0f;
  b.lut.prepare(q.data(), D, bits, 0.49f * static_cast<float>(D));
  return b;
}

TEST_P(SimdKernel, QueryTablesEqualScalar) {
  XorShift64 rng(3);
  for (size_t D : {64u, 192u, 1024u}) {
    std::vector<uint8_t> qq(D);
    for (uint8_t& v : qq) v = static_cast<uint8_t>(rng.below(16));
    std::vector<uint64_t> want_planes(D / 16), got_planes(D / 16);
    std::vector<uint8_t> want_lut(4 * D), got_lut(4 * D);
    scalar_.query_tables(qq.data(), D, want_planes.data(), want_lut.data());
    table_->query_tables(qq.data(), D, got_planes.data(), got_lut.data());
    ASSERT_EQ(got_planes, want_planes) << "D " << D;
    ASSERT_EQ(got_lut, want_lut) << "D " << D;
  }
}

// Dimensions past 4096 take the SIMD kernels' second chunk of groups.
TEST_P(SimdKernel, BlockEstimatesEqualScalar) {
  for (size_t D : {64u, 128u, 192u, 384u, 4160u}) {
    for (unsigned bits = 1; bits <= 8; ++bits) {
      for (bool extreme : {false, true}) {
        const Block b = make_block(D, bits, D * 10 + bits, extreme);
        const EstimatorQuery q = b.lut.kernel_query();
        std::vector<float> want(kBlockRows), got(kBlockRows);
        scalar_.block_estimate(q, b.block.data() + 1, b.factors.data(), want.data());
        table_->block_estimate(q, b.block.data() + 1, b.factors.data(), got.data());
        ASSERT_EQ(got, want) << "D " << D << " bits " << bits << " extreme " << extreme;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllIsas, SimdKernel, ::testing::Values(Isa::kAvx2, Isa::kAvx512), [](const auto& info) {
                           return std::string(info.param == Isa::kAvx2 ? "Avx2" : "Avx512");
                         });

TEST(Kernels, PopcountSumIsTheCodeQueryProduct) {
  // S = sum_i u_i * qq_i on unpacked values rather than bit-planes; the
  // SIMD tables are held to the scalar one above.
  for (size_t D : {64u, 128u, 384u}) {
    for (unsigned bits : {1u, 3u, 8u}) {
      const List l = make_list(D, bits, 9, D + bits);
      const EstimatorQuery q = l.lut.kernel_query();
      std::vector<uint8_t> qq(D, 0), u(D);
      for (unsigned k = 0; k < 4; ++k) {
        for (size_t i = 0; i < D; ++i) qq[i] |= ((q.planes[k * (D / 64) + i / 64] >> (i % 64)) & 1) << k;
      }
      std::vector<uint64_t> sums(l.n);
      kScalarTable.popcount_sums(q, l.codes, l.n, sums.data());
      for (size_t r = 0; r < l.n; ++r) {
        unpack_codes(l.codes + r * code_bytes_for(D, bits), D, bits, u.data());
        uint64_t want = 0;
        for (size_t i = 0; i < D; ++i) want += static_cast<uint64_t>(u[i]) * qq[i];
        EXPECT_EQ(sums[r], want) << "D " << D << " bits " << bits;
      }
    }
  }
}

// The block's table lookups give the popcount estimator's very floats.
TEST(Kernels, BlockEstimateEqualsTheRowByRowEstimate) {
  for (size_t D : {64u, 192u, 4160u}) {
    for (unsigned bits = 1; bits <= 8; ++bits) {
      for (bool extreme : {false, true}) {
        const Block b = make_block(D, bits, D + bits, extreme);
        const EstimatorQuery q = b.lut.kernel_query();
        std::vector<float> want(kBlockRows), got(kBlockRows);
        kScalarTable.estimate(q, b.rows.data(), b.factors.data(), kBlockRows, want.data(), nullptr);
        kScalarTable.block_estimate(q, b.block.data() + 1, b.factors.data(), got.data());
        ASSERT_EQ(got, want) << "D " << D << " bits " << bits << " extreme " << extreme;
        // The one-lookup-at-a-time reference, which this processor's
        // portable table may not use.
        std::vector<uint64_t> want_sums(kBlockRows), got_sums(kBlockRows);
        kScalarTable.popcount_sums(q, b.rows.data(), kBlockRows, want_sums.data());
        block_sums_plain(q, b.block.data() + 1, got_sums.data());
        ASSERT_EQ(got_sums, want_sums) << "D " << D << " bits " << bits << " extreme " << extreme;
      }
    }
  }
}

TEST(Kernels, ActiveTableIsTheBestSupported) {
  const KernelTable* best = table_for(Isa::kAvx512);
  if (!best) best = table_for(Isa::kAvx2);
  if (!best) best = &kScalarTable;
  EXPECT_EQ(&active(), best);
}

TEST(Kernels, RerankDistanceDequantisesCodesAroundOneHundredTwentyEight) {
  const float q[3] = {0.0f, 1.0f, -2.0f};
  const uint8_t codes[3] = {128, 255, 1};  // 0, +scale, -scale
  EXPECT_DOUBLE_EQ(rerank_l2_u8(q, codes, 3, 2.0f), 0.0 + 1.0 + 0.0);
}

}  // namespace
}  // namespace nimbrel::kernels
