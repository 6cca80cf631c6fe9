// The one random generator of the system: xorshift64. Every seeded choice
// (rotation, k-means sampling and seeding, calibration samples) draws from
// it, so a segment built twice from the same input with the same seed is
// byte-identical.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace nimbrel {

class XorShift64 {
 public:
  explicit XorShift64(uint64_t state) : state_(state) {}

  // Steps first, then returns the new state.
  uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  // Uniform in [0, 1) from the top 53 bits of one draw.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Uniform in [0, n) for n >= 1 (multiply-shift; the bias is below 2^-32 for n < 2^32).
  uint64_t below(uint64_t n) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
  }
  // Standard normal by Box-Muller; two draws per value, the pair's second half discarded.
  double gaussian() {
    double u1 = uniform();
    double u2 = uniform();
    if (u1 < 1e-300) u1 = 1e-300;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  }
  uint64_t state() const { return state_; }

 private:
  uint64_t state_;
};

// Seed derivations. The OR with 1 keeps a zero seed from freezing the generator.
inline uint64_t rotation_seed(uint64_t seed) { return (seed ^ 0x5241424954513171ULL) | 1; }
inline uint64_t kmeans_seed(uint64_t seed) { return seed | 1; }
inline uint64_t calibration_seed(uint64_t seed) { return seed ^ 0x9e3779b97f4a7c15ULL; }

}  // namespace nimbrel
