// Bit-plane codes and the popcount estimator, checked against plain
// floating-point arithmetic.
#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "ivf_rabitq/bitplane_codec.h"
#include "ivf_rabitq/query_lut.h"
#include "ivf_rabitq/rotation.h"
#include "test_util.h"

namespace nimbrel {
namespace {

// Cosine between o and the centred code of u.
double code_cosine(const std::vector<float>& o, const std::vector<uint8_t>& u, unsigned bits) {
  const double m = ((1u << bits) - 1) / 2.0;
  double ip = 0, nn = 0, oo = 0;
  for (size_t i = 0; i < o.size(); ++i) {
    ip += o[i] * (u[i] - m);
    nn += (u[i] - m) * (u[i] - m);
    oo += static_cast<double>(o[i]) * o[i];
  }
  return ip / std::sqrt(nn * oo);
}

struct Encoded {
  std::vector<uint8_t> code, u;
  RowFactors f;
};

Encoded encode(const std::vector<float>& o, unsigned bits) {
  Encoded e{std::vector<uint8_t>(code_bytes_for(o.size(), bits)), std::vector<uint8_t>(o.size()), {}};
  encode_rotated_residual(o.data(), o.size(), bits, e.code.data(), &e.f);
  unpack_codes(e.code.data(), o.size(), bits, e.u.data());
  return e;
}

TEST(BitplaneCodec, PlanesHoldBitJOfEachCodeInCoordinateOrder) {
  // The worked example of docs/estimator.md: D = 64, b = 2, u = (1, 2, 3, 0, ...).
  std::vector<uint8_t> code(code_bytes_for(64, 2), 0);
  code[0] = 0b101;  // plane 0, word 0: bit 0 of u_0 and u_2
  code[8] = 0b110;  // plane 1, word 0: bit 1 of u_1 and u_2
  std::vector<uint8_t> u(64);
  unpack_codes(code.data(), 64, 2, u.data());
  EXPECT_EQ(u[0], 1);
  EXPECT_EQ(u[1], 2);
  EXPECT_EQ(u[2], 3);
  EXPECT_EQ(std::count(u.begin() + 3, u.end(), 0), 61);
}

TEST(BitplaneCodec, CodesFollowTheResidualAndFactorsMatchThem) {
  XorShift64 rng(1);
  for (unsigned bits = 1; bits <= 8; ++bits) {
    for (size_t D : {64u, 128u, 384u}) {
      const std::vector<float> o = GaussianVector(D, rng, 0.3);
      const Encoded e = encode(o, bits);
      const unsigned half = 1u << (bits - 1);
      const double m = ((1u << bits) - 1) / 2.0;
      const auto mag = [&](size_t k) { return e.u[k] >= half ? e.u[k] - half : half - 1 - e.u[k]; };
      double norm2 = 0, code_sum = 0, cv2 = 0;
      for (size_t i = 0; i < D; ++i) {
        ASSERT_LT(e.u[i], 1u << bits);
        EXPECT_EQ(e.u[i] >= half, o[i] > 0) << "sign of coordinate " << i;  // 1 bit: the sign itself
        // Larger magnitudes never get a smaller grid magnitude.
        if (i > 0 && std::fabs(o[i]) > std::fabs(o[i - 1])) {
          EXPECT_GE(mag(i), mag(i - 1));
        }
        norm2 += static_cast<double>(o[i]) * o[i];
        code_sum += e.u[i];
        cv2 += (e.u[i] - m) * (e.u[i] - m);
      }
      // The factors of docs/estimator.md. A wrong ip_scale biases only the
      // cross term, which averages out over independent queries, so the
      // estimator tests below would not see it.
      const double cosine = code_cosine(o, e.u, bits), norm = std::sqrt(norm2);
      EXPECT_EQ(e.f.code_sum, static_cast<float>(code_sum));
      EXPECT_NEAR(e.f.norm, norm, 1e-6 * norm);
      EXPECT_NEAR(e.f.ip_scale, norm / (cosine * std::sqrt(cv2)), 1e-5 * e.f.ip_scale);
      EXPECT_NEAR(e.f.err, norm * std::sqrt(1 - cosine * cosine) / cosine / std::sqrt(D - 1.0), 1e-4 * e.f.err + 1e-9);
    }
  }
}

// The best cosine over every scale, by trying each point where some
// coordinate's grid magnitude changes.
double best_cosine_exhaustive(const std::vector<float>& o, unsigned bits) {
  const int k_max = (1 << (bits - 1)) - 1;
  float a_max = 0;
  for (float v : o) a_max = std::max(a_max, std::fabs(v));
  std::vector<double> ts = {0.5};
  for (float v : o) {
    const double y = std::fabs(static_cast<double>(v)) / a_max;
    for (int k = 1; k <= k_max; ++k) ts.push_back(k / y * (1 + 1e-9));
  }
  double best = 0;
  for (double t : ts) {
    double ip = 0, nn = 0;
    for (float v : o) {
      const double c = std::min<double>(std::floor(t * std::fabs(v) / a_max), k_max) + 0.5;
      ip += std::fabs(v) * c;
      nn += c * c;
    }
    best = std::max(best, ip / std::sqrt(nn));
  }
  double oo = 0;
  for (float v : o) oo += static_cast<double>(v) * v;
  return best / std::sqrt(oo);
}

// Lists of every awkward length, arranged a row at a time, read back row
// by row; a run of them estimated through the blocks equals the estimate of
// the plain rows.
TEST(BitplaneCodec, ListsArrangedInBlocksGiveBackEveryRowAndItsEstimate) {
  const size_t D = 128;
  const unsigned bits = 3;
  const size_t row_bytes = code_bytes_for(D, bits);
  const std::vector<uint64_t> offsets = {0, 0, 1, 32, 63, 127, 127, 192, 257};
  const size_t n = offsets.back();
  XorShift64 rng(5);
  std::vector<uint8_t> rows(n * row_bytes), stored;
  for (uint8_t& c : rows) c = static_cast<uint8_t>(rng.next());
  std::vector<RowFactors> factors(n, RowFactors{1.0f, 2.0f, 3.0f, 0.5f});
  CodeArranger arranger(offsets.data(), offsets.size() - 1, row_bytes);
  for (size_t r = 0; r < n; ++r) {
    const auto [bytes, size] = arranger.add(rows.data() + r * row_bytes);
    stored.insert(stored.end(), bytes, bytes + size);
  }
  ASSERT_EQ(stored.size(), rows.size());
  const std::vector<float> q = GaussianVector(D, rng);
  QueryLut lut;
  lut.prepare(q.data(), D, bits, 1.0f);
  std::vector<uint8_t> code(row_bytes);
  for (size_t l = 0; l + 1 < offsets.size(); ++l) {
    const uint64_t begin = offsets[l], len = offsets[l + 1] - begin;
    const uint8_t* list = stored.data() + begin * row_bytes;
    for (uint64_t p = 0; p < len; ++p) {
      list_row_code(list, len, p, row_bytes, true, code.data());
      ASSERT_TRUE(std::equal(code.begin(), code.end(), rows.begin() + (begin + p) * row_bytes)) << l << " " << p;
    }
    std::vector<float> want(len), got(len);
    lut.estimate(rows.data() + begin * row_bytes, factors.data(), len, want.data(), nullptr);
    lut.estimate_run(list, factors.data(), len, blocked_rows(len), got.data());
    EXPECT_EQ(got, want) << "list " << l;
  }
}

TEST(BitplaneCodec, ScaleSearchComesWithinAHairOfTheBestCosine) {
  XorShift64 rng(3);
  for (unsigned bits : {2u, 3u, 4u}) {
    const int trials = 40;
    double total_loss = 0;
    for (int trial = 0; trial < trials; ++trial) {
      const std::vector<float> o = GaussianVector(128, rng);
      const double got = code_cosine(o, encode(o, bits).u, bits);
      const double best = best_cosine_exhaustive(o, bits);
      EXPECT_LE(got, best + 1e-9);
      EXPECT_GT(got, best - 5e-4) << "bits " << bits;
      total_loss += best - got;
    }
    EXPECT_LT(total_loss / trials, 2e-5) << "bits " << bits;
  }
}

TEST(BitplaneCodec, ZeroResidualGetsZeroFactorsAndAnExactEstimate) {
  const Encoded e = encode(std::vector<float>(128, 0.0f), 2);
  EXPECT_EQ(e.f.norm, 0.0f);
  EXPECT_EQ(e.f.ip_scale, 0.0f);
  EXPECT_EQ(e.f.err, 0.0f);
  XorShift64 rng(4);
  const std::vector<float> q = GaussianVector(128, rng);
  float q2 = 0;
  for (float v : q) q2 += v * v;
  QueryLut lut;
  lut.prepare(q.data(), 128, 2, q2);
  float lb = 0;
  EXPECT_EQ(lut.estimate_one(e.code.data(), e.f, &lb), q2);
  EXPECT_EQ(lb, q2);
}

TEST(QueryLut, PlanesHoldBitKOfEachQuantisedCoordinate) {
  // Every dimension count the codec pads to, spreads that use all 16
  // levels, a constant residual (delta 0) and one with an infinity.
  XorShift64 rng(11);
  for (size_t dim : {64, 128, 192, 384, 1024}) {
    for (int shape = 0; shape < 3; ++shape) {
      std::vector<float> q = GaussianVector(dim, rng);
      if (shape == 1) std::fill(q.begin(), q.end(), 0.75f);
      if (shape == 2) q[dim / 3] = INFINITY;
      QueryLut lut;
      lut.prepare(q.data(), dim, 2, 1.0f);
      const kernels::EstimatorQuery kq = lut.kernel_query();
      // The quantisation as written out plainly.
      float lo = q[0], hi = q[0];
      for (float v : q) lo = std::min(lo, v), hi = std::max(hi, v);
      float delta = (hi - lo) / 15.0f;
      if (!std::isfinite(lo) || !std::isfinite(delta) || !(delta > 0)) {
        delta = 0;
        if (!std::isfinite(lo)) lo = 0;
      }
      const size_t words = dim / 64;
      uint64_t sum = 0;
      double err2 = 0;
      for (size_t i = 0; i < dim; ++i) {
        int qq = delta > 0 ? static_cast<int>((q[i] - lo) * (1.0f / delta) + 0.5f) : 0;
        qq = std::clamp(qq, 0, 15);
        sum += static_cast<uint64_t>(qq);
        const double e = static_cast<double>(q[i]) - (static_cast<double>(lo) + static_cast<double>(delta) * qq);
        err2 += e * e;
        for (unsigned k = 0; k < 4; ++k) {
          ASSERT_EQ((kq.planes[k * words + i / 64] >> (i % 64)) & 1, static_cast<uint64_t>((qq >> k) & 1))
              << "dim " << dim << " shape " << shape << " at " << i << " bit " << k;
        }
      }
      // The sum of the quantised values (in coef_0 = -2 m sum, m = 1.5) and
      // the rounding error (in lb_err = 2 k (||q'|| + ||e||), ||q'|| = 1).
      EXPECT_EQ(kq.coef_0, -3.0f * static_cast<float>(static_cast<double>(lo) * dim + static_cast<double>(delta) * sum));
      const double round_err = std::isfinite(err2) ? std::sqrt(err2) : 0.0;
      EXPECT_NEAR(kq.lb_err / (2 * QueryLut::kConfidence) - 1.0, round_err, 1e-5 * (1 + round_err)) << dim << " " << shape;
    }
  }
}

// Rows and queries around one centroid, with unequal spreads per input
// dimension (like real residuals), rotated as the index does.
struct Scenario {
  std::vector<double> err;  // est - true
  std::vector<double> truth;
  size_t below_bound = 0;
};

Scenario run_scenario(size_t dim, unsigned bits, size_t n_rows, size_t n_queries, uint64_t seed) {
  Scenario sc;
  const Rotator rot = Rotator::Create(dim, seed, 3);
  const size_t D = padded_dim_for(dim), row_bytes = code_bytes_for(D, bits);
  XorShift64 rng(seed * 31 + bits);
  std::vector<double> spread(dim);
  for (size_t i = 0; i < dim; ++i) spread[i] = 0.2 + 2.0 / (1.0 + static_cast<double>(i));
  const std::vector<float> centroid = GaussianVector(dim, rng, 5.0);
  std::vector<float> pc(D);
  rot.rotate(centroid.data(), pc.data());

  auto around = [&]() {
    std::vector<float> v(dim);
    const double radius = 0.5 + rng.uniform();  // rows at different distances
    for (size_t i = 0; i < dim; ++i) v[i] = centroid[i] + static_cast<float>(rng.gaussian() * spread[i] * radius);
    return v;
  };
  std::vector<std::vector<float>> rows(n_rows);
  std::vector<uint8_t> codes(n_rows * row_bytes);
  std::vector<RowFactors> factors(n_rows);
  std::vector<float> residual(dim), o(D);
  for (size_t r = 0; r < n_rows; ++r) {
    rows[r] = around();
    for (size_t i = 0; i < dim; ++i) residual[i] = rows[r][i] - centroid[i];
    rot.rotate(residual.data(), o.data());
    encode_rotated_residual(o.data(), D, bits, &codes[r * row_bytes], &factors[r]);
  }
  std::vector<float> est(n_rows), lb(n_rows), pq(D), qres(D);
  QueryLut lut;
  for (size_t qi = 0; qi < n_queries; ++qi) {
    const std::vector<float> q = around();
    rot.rotate(q.data(), pq.data());
    double q2 = 0;
    for (size_t i = 0; i < D; ++i) {
      qres[i] = pq[i] - pc[i];
      q2 += static_cast<double>(qres[i]) * qres[i];
    }
    lut.prepare(qres.data(), D, bits, static_cast<float>(q2));
    lut.estimate(codes.data(), factors.data(), n_rows, est.data(), lb.data());
    // The single-row path gives the batch's numbers exactly.
    const size_t one = qi % n_rows;
    float one_lb = 0;
    EXPECT_EQ(lut.estimate_one(&codes[one * row_bytes], factors[one], &one_lb), est[one]);
    EXPECT_EQ(one_lb, lb[one]);
    for (size_t r = 0; r < n_rows; ++r) {
      double truth = 0;
      for (size_t i = 0; i < dim; ++i) {
        const double d = static_cast<double>(q[i]) - rows[r][i];
        truth += d * d;
      }
      EXPECT_LE(lb[r], est[r]);
      sc.err.push_back(est[r] - truth);
      sc.truth.push_back(truth);
      if (truth < lb[r]) ++sc.below_bound;
    }
  }
  return sc;
}

double mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}
double stddev(const std::vector<double>& v) {
  const double m = mean(v);
  double s = 0;
  for (double x : v) s += (x - m) * (x - m);
  return std::sqrt(s / static_cast<double>(v.size()));
}

TEST(Estimator, IsNearlyUnbiasedAndSharpensWithMoreBits) {
  double previous_rms = 1e300;
  for (unsigned bits : {1u, 2u, 4u, 8u}) {
    const Scenario sc = run_scenario(128, bits, 400, 50, 5);
    const double bias = mean(sc.err), sd = stddev(sc.err);
    // The mean error is a small fraction of the error's spread, which is
    // itself a small fraction of the distances' spread.
    EXPECT_LT(std::fabs(bias), 0.05 * sd) << "bits " << bits;
    EXPECT_LT(sd, 0.2 * stddev(sc.truth)) << "bits " << bits;
    const double rms = std::sqrt(bias * bias + sd * sd);
    // Beyond 4 bits the query's own 4-bit rounding takes over the error,
    // so the last step gains less.
    EXPECT_LT(rms, (bits <= 4 ? 0.75 : 0.9) * previous_rms) << "bits " << bits;
    previous_rms = rms;
  }
}

TEST(Estimator, TrueDistanceIsAlmostNeverBelowTheLowerBound) {
  for (size_t dim : {40u, 100u, 128u, 384u}) {
    for (unsigned bits : {1u, 2u, 3u, 4u, 8u}) {
      const Scenario sc = run_scenario(dim, bits, 300, 30, 6);
      const double fraction = static_cast<double>(sc.below_bound) / static_cast<double>(sc.err.size());
      EXPECT_LT(fraction, 0.01) << "dim " << dim << " bits " << bits;
    }
  }
}

}  // namespace
}  // namespace nimbrel
