// Random orthogonal rotation of (zero-padded) vectors.
//
// Vectors of `dim` values are padded with zeros to `padded_dim` =
// dim rounded up to a multiple of 64 (one u64 word per 64 dimensions in the
// bit-plane codes) and rotated by a seeded orthogonal matrix P. Because P is
// orthogonal, ||P x - P y|| = ||x - y||: distances survive the rotation,
// while the coordinates of a residual become near-Gaussian, which is what
// makes a per-coordinate quantiser with one scale per row accurate.
//
// Two variants, chosen by the segment's format version:
//  - format 3 (what we write): structured, O(d log d) per vector. Three
//    rounds of (random sign flip of every coordinate, normalised fast
//    Walsh-Hadamard transform of the first P coordinates, then of the last
//    P coordinates when padded_dim != P), where P is the largest power of
//    two <= padded_dim. Every step is orthogonal, so the product is too.
//  - formats 1 and 2: a dense padded_dim x padded_dim random orthogonal
//    matrix (Gaussian entries orthonormalised by modified Gram-Schmidt).
// Both are drawn from XorShift64(rotation_seed(seed)) in a fixed order, so
// the same (dim, seed, version) always gives the same matrix:
//  - structured: 3 * padded_dim draws, round by round and coordinate by
//    coordinate; the top bit of a draw set means the sign -1;
//  - dense: padded_dim^2 XorShift64::gaussian() values, row by row; the rows
//    are then orthonormalised in order (in double precision), so row i of P
//    is the i-th Gram-Schmidt vector.
// Format versions above 3 are treated as 3; the reader refuses unknown
// versions before it gets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nimbrel {

size_t padded_dim_for(size_t dim);

class Rotator {
 public:
  Rotator() = default;
  // `seed` is the segment seed; the derivation is applied inside.
  static Rotator Create(size_t dim, uint64_t seed, uint32_t format_version);

  size_t dim() const { return dim_; }
  size_t padded_dim() const { return padded_; }
  bool is_structured() const { return structured_; }

  // out[0..padded_dim) = P * (x[0..dim) padded with zeros). `out` must not alias `x`.
  void rotate(const float* x, float* out) const;
  // out[0..dim) = first dim values of P^T y (the inverse rotation, for tests
  // and for reconstructing a vector from a rotated one).
  void unrotate(const float* y, float* out) const;

 private:
  size_t dim_ = 0;
  size_t padded_ = 0;
  size_t pow2_ = 0;
  bool structured_ = true;
  std::vector<float> signs_;   // structured: 3 * padded_ values of +-1
  std::vector<float> dense_;   // dense: padded_ * padded_, row-major
};

}  // namespace nimbrel
