#include "ivf_rabitq/rotation.h"

#include <cmath>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ivf_rabitq/random.h"

namespace nimbrel {
namespace {

std::vector<float> gaussian_vector(size_t n, XorShift64& rng, double scale = 1.0) {
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(rng.gaussian() * scale);
  return v;
}

double dot(const float* a, const float* b, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += static_cast<double>(a[i]) * b[i];
  return s;
}

TEST(PaddedDim, RoundsUpToWholeWords) {
  EXPECT_EQ(padded_dim_for(1), 64u);
  EXPECT_EQ(padded_dim_for(64), 64u);
  EXPECT_EQ(padded_dim_for(65), 128u);
  EXPECT_EQ(padded_dim_for(768), 768u);
}

// (format version, dim)
class RotatorTest : public ::testing::TestWithParam<std::tuple<uint32_t, size_t>> {};

TEST_P(RotatorTest, PreservesNormsAndInnerProducts) {
  const auto [version, dim] = GetParam();
  const Rotator r = Rotator::Create(dim, 42, version);
  ASSERT_EQ(r.dim(), dim);
  ASSERT_EQ(r.padded_dim(), padded_dim_for(dim));
  EXPECT_EQ(r.is_structured(), version >= 3);
  XorShift64 rng(7);
  const size_t D = r.padded_dim();
  for (int trial = 0; trial < 5; ++trial) {
    const std::vector<float> x = gaussian_vector(dim, rng, 3.0), y = gaussian_vector(dim, rng);
    std::vector<float> px(D), py(D);
    r.rotate(x.data(), px.data());
    r.rotate(y.data(), py.data());
    const double nx = dot(x.data(), x.data(), dim), ny = dot(y.data(), y.data(), dim);
    EXPECT_NEAR(dot(px.data(), px.data(), D), nx, 1e-5 * nx);
    EXPECT_NEAR(dot(px.data(), py.data(), D), dot(x.data(), y.data(), dim),
                1e-5 * std::sqrt(nx * ny));
  }
}

TEST_P(RotatorTest, UnrotateInvertsRotate) {
  const auto [version, dim] = GetParam();
  const Rotator r = Rotator::Create(dim, 9, version);
  XorShift64 rng(11);
  const std::vector<float> x = gaussian_vector(dim, rng);
  std::vector<float> px(r.padded_dim()), back(dim);
  r.rotate(x.data(), px.data());
  r.unrotate(px.data(), back.data());
  const double scale = std::sqrt(dot(x.data(), x.data(), dim));
  for (size_t i = 0; i < dim; ++i) EXPECT_NEAR(back[i], x[i], 1e-5 * scale) << "coordinate " << i;
}

TEST_P(RotatorTest, MatrixIsFixedBySeedAndDiffersAcrossSeeds) {
  const auto [version, dim] = GetParam();
  const Rotator a = Rotator::Create(dim, 5, version);
  const Rotator b = Rotator::Create(dim, 5, version);
  const Rotator c = Rotator::Create(dim, 6, version);
  XorShift64 rng(3);
  const std::vector<float> x = gaussian_vector(dim, rng);
  std::vector<float> pa(a.padded_dim()), pb(a.padded_dim()), pc(a.padded_dim());
  a.rotate(x.data(), pa.data());
  b.rotate(x.data(), pb.data());
  c.rotate(x.data(), pc.data());
  EXPECT_EQ(pa, pb);
  EXPECT_NE(pa, pc);
}

INSTANTIATE_TEST_SUITE_P(BothVariants, RotatorTest,
                         ::testing::Combine(::testing::Values(2u, 3u),
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
