#include "ivf_rabitq/rotation.h"

#include <cmath>
#include <cstring>

#include "ivf_rabitq/random.h"

namespace nimbrel {
namespace {

// Four floats operated on together (GCC/Clang vector extension: one SSE2 or
// NEON register, plain code elsewhere).
typedef float Float4 __attribute__((vector_size(16)));

inline Float4 load4(const float* p) {
  Float4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store4(float* p, Float4 v) { std::memcpy(p, &v, sizeof v); }

// In-place Walsh-Hadamard transform of n (a power of two, at least 64)
// values, scaled by 1/sqrt(n) so that it is orthogonal (and its own
// inverse). Stage h pairs v[j] with v[j + h] into (a + b, a - b).
void normalised_fwht(float* v, size_t n) {
  // Stages 1 and 2 inside each group of four.
  for (size_t i = 0; i < n; i += 4) {
    const float a0 = v[i] + v[i + 1], a1 = v[i] - v[i + 1];
    const float a2 = v[i + 2] + v[i + 3], a3 = v[i + 2] - v[i + 3];
    v[i] = a0 + a2;
    v[i + 1] = a1 + a3;
    v[i + 2] = a0 - a2;
    v[i + 3] = a1 - a3;
  }
  // Wider stages four lanes at a time.
  for (size_t h = 4; h < n; h <<= 1) {
    for (size_t i = 0; i < n; i += 2 * h) {
      for (size_t j = i; j < i + h; j += 4) {
        const Float4 a = load4(v + j), b = load4(v + j + h);
        store4(v + j, a + b);
        store4(v + j + h, a - b);
      }
    }
  }
  const float scale = static_cast<float>(1.0 / std::sqrt(static_cast<double>(n)));
  for (size_t i = 0; i < n; ++i) v[i] *= scale;
}

size_t largest_pow2_at_most(size_t n) {
  size_t p = 1;
  while (p * 2 <= n) p *= 2;
  return p;
}

// padded x padded Gaussian rows orthonormalised by modified Gram-Schmidt.
std::vector<float> dense_orthogonal(size_t padded, XorShift64& rng) {
  std::vector<double> m(padded * padded);
  for (double& v : m) v = rng.gaussian();
  std::vector<double> fallback(padded);
  for (size_t i = 0; i < padded; ++i) {
    double* row = &m[i * padded];
    // A Gaussian row is independent of the previous ones with probability
    // 1; the fallback (the first unit vector that is not) only keeps a
    // freak draw from producing a non-orthogonal matrix.
    for (size_t attempt = 0; attempt <= padded; ++attempt) {
      if (attempt > 0) {
        for (size_t j = 0; j < padded; ++j) row[j] = (j == attempt - 1) ? 1.0 : 0.0;
      }
      for (size_t k = 0; k < i; ++k) {
        const double* prev = &m[k * padded];
        double dot = 0;
        for (size_t j = 0; j < padded; ++j) dot += row[j] * prev[j];
        for (size_t j = 0; j < padded; ++j) row[j] -= dot * prev[j];
      }
      double norm2 = 0;
      for (size_t j = 0; j < padded; ++j) norm2 += row[j] * row[j];
      if (norm2 > (attempt == 0 ? 1e-20 : 0.25)) {
        const double inv = 1.0 / std::sqrt(norm2);
        for (size_t j = 0; j < padded; ++j) row[j] *= inv;
        break;
      }
    }
  }
  return std::vector<float>(m.begin(), m.end());
}

}  // namespace

size_t padded_dim_for(size_t dim) { return (dim + 63) / 64 * 64; }

Rotator Rotator::Create(size_t dim, uint64_t seed, uint32_t format_version) {
  Rotator r;
  r.dim_ = dim;
  r.padded_ = padded_dim_for(dim);
  r.pow2_ = r.padded_ == 0 ? 0 : largest_pow2_at_most(r.padded_);
  r.structured_ = format_version >= 3;
  XorShift64 rng(rotation_seed(seed));
  if (r.structured_) {
    r.signs_.resize(3 * r.padded_);
    for (float& s : r.signs_) s = (rng.next() >> 63) ? -1.0f : 1.0f;
  } else {
    r.dense_ = dense_orthogonal(r.padded_, rng);
  }
  return r;
}

void Rotator::rotate(const float* x, float* out) const {
  const size_t D = padded_;
  if (structured_) {
    for (size_t i = 0; i < dim_; ++i) out[i] = x[i];
    for (size_t i = dim_; i < D; ++i) out[i] = 0.0f;
    for (size_t round = 0; round < 3; ++round) {
      const float* s = &signs_[round * D];
      for (size_t i = 0; i < D; ++i) out[i] *= s[i];
      normalised_fwht(out, pow2_);
      if (D != pow2_) normalised_fwht(out + (D - pow2_), pow2_);
    }
    return;
  }
  for (size_t i = 0; i < D; ++i) {
    const float* row = &dense_[i * D];
    double acc = 0;
    for (size_t j = 0; j < dim_; ++j) acc += static_cast<double>(row[j]) * x[j];
    out[i] = static_cast<float>(acc);
  }
}

void Rotator::unrotate(const float* y, float* out) const {
  const size_t D = padded_;
  if (structured_) {
    // Every step is orthogonal and symmetric or diagonal: undo them in
    // reverse order, each with itself.
    std::vector<float> v(y, y + D);
    for (size_t round = 3; round-- > 0;) {
      if (D != pow2_) normalised_fwht(v.data() + (D - pow2_), pow2_);
      normalised_fwht(v.data(), pow2_);
      const float* s = &signs_[round * D];
      for (size_t i = 0; i < D; ++i) v[i] *= s[i];
    }
    for (size_t i = 0; i < dim_; ++i) out[i] = v[i];
    return;
  }
  std::vector<double> acc(dim_, 0.0);
  for (size_t i = 0; i < D; ++i) {
    const float* row = &dense_[i * D];
    for (size_t j = 0; j < dim_; ++j) acc[j] += static_cast<double>(row[j]) * y[i];
  }
  for (size_t j = 0; j < dim_; ++j) out[j] = static_cast<float>(acc[j]);
}

}  // namespace nimbrel
