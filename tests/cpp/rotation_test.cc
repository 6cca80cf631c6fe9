#include "ivf_rabitq/rotation.h"

#include <cmath>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace nimbrel {
namespace {

double dot(const float* a, const float* b, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += static_cast<double>(a[i]) * b[i];
  return s;
}

// (format version, dim)
class RotatorTest : public ::testing::TestWithParam<std::tuple<uint32_t, size_t>> {};

TEST_P(RotatorTest, PreservesInnerProductsAndUnrotateInvertsIt) {
  const auto [version, dim] = GetParam();
  const Rotator r = Rotator::Create(dim, 42, version);
  ASSERT_EQ(r.dim(), dim);
  ASSERT_EQ(padded_dim_for(dim), (dim + 63) / 64 * 64);  // whole 64-bit words
  ASSERT_EQ(r.padded_dim(), padded_dim_for(dim));
  EXPECT_EQ(r.is_structured(), version >= 3);
  XorShift64 rng(7);
  const size_t D = r.padded_dim();
  for (int trial = 0; trial < 5; ++trial) {
    const std::vector<float> x = GaussianVector(dim, rng, 3.0), y = GaussianVector(dim, rng);
    std::vector<float> px(D), py(D), back(dim);
    r.rotate(x.data(), px.data());
    r.rotate(y.data(), py.data());
    const double nx = dot(x.data(), x.data(), dim), ny = dot(y.data(), y.data(), dim);
    EXPECT_NEAR(dot(px.data(), px.data(), D), nx, 1e-5 * nx);
    EXPECT_NEAR(dot(px.data(), py.data(), D), dot(x.data(), y.data(), dim), 1e-5 * std::sqrt(nx * ny));
    r.unrotate(px.data(), back.data());
    for (size_t i = 0; i < dim; ++i) ASSERT_NEAR(back[i], x[i], 1e-5 * std::sqrt(nx)) << "coordinate " << i;
  }
}

TEST_P(RotatorTest, MatrixIsFixedBySeedAndDiffersAcrossSeeds) {
  const auto [version, dim] = GetParam();
  XorShift64 rng(3);
  const std::vector<float> x = GaussianVector(dim, rng);
  auto rotated = [&](uint64_t seed) {
    const Rotator r = Rotator::Create(dim, seed, version);
    std::vector<float> out(r.padded_dim());
    r.rotate(x.data(), out.data());
    return out;
  };
  EXPECT_EQ(rotated(5), rotated(5));
  EXPECT_NE(rotated(5), rotated(6));
}

INSTANTIATE_TEST_SUITE_P(BothVariants, RotatorTest, ::testing::Combine(::testing::Values(2u, 3u),
                                            ::testing::Values(1, 7, 64, 100, 128, 384, 768)));

TEST(Rotator, StructuredRotationSpreadsAUnitVector) {
  // The point of rotating: a residual concentrated on one axis becomes many
  // small coordinates, which a per-row scale quantises well.
  const Rotator r = Rotator::Create(100, 42, 3);
  std::vector<float> e(100, 0.0f), pe(r.padded_dim());
  e[3] = 1.0f;
  r.rotate(e.data(), pe.data());
  float largest = 0;
  for (float v : pe) largest = std::max(largest, std::fabs(v));
  EXPECT_LT(largest, 0.5f);
}

}  // namespace
}  // namespace nimbrel
