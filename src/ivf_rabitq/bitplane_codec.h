// b-bit quantisation of rotated residuals, stored as bit-planes.
//
// A main row x assigned to centroid c has residual r = x - c; the codec
// sees o = P r (rotated, padded_dim = D values). It picks integer codes
// u_i in [0, 2^b - 1] whose centred vector  cv_i = u_i - m,  m = (2^b - 1)/2,
// points as closely as possible in the direction of o (the scale that maps
// o onto the grid is searched per row; for b = 1 this is u_i = [o_i > 0]).
//
// The search: with y_i = |o_i| / max|o| and a scale T, coordinate i gets
// the grid magnitude |cv_i| = k_i + 1/2, k_i = min(floor(T * y_i), 2^(b-1) - 1),
// and the sign of o_i (o_i = 0 counts as negative), i.e. u_i = 2^(b-1) + k_i
// or 2^(b-1) - 1 - k_i. The cosine is piecewise constant in T; T = 1/2
// (the sign code) and 16 geometric steps of T over [2^(b-2), 2^(b+1)] are
// tried, then 12 finer steps between the neighbours of the best. For
// near-Gaussian coordinates (what the rotation produces) the best T lies
// around 2^(b-1) to 2^b, and this lands within about 1e-5 of the best
// cosine on average (1e-4 at worst) at a fixed cost of 29 passes.
//
// Bit-plane layout of one row (b * D / 8 bytes): plane j (0 <= j < b) is
// D / 64 little-endian u64 words; bit i % 64 of word i / 64 of plane j holds
// bit j of u_i. Planes follow each other, plane 0 first.
//
// Four factors per row (RowFactors, 16 bytes) feed the estimator:
//   norm     = ||r|| (computed as ||o||, the same up to rounding)
//   ip_scale = ||r|| / (<o_hat, cv_hat> * ||cv||), with o_hat = o/||o||,
//              cv_hat = cv/||cv||; multiplies <q', cv> to estimate <q', o>
//   code_sum = sum_i u_i
//   err      = ||r|| * sqrt(1 - ip^2) / ip / sqrt(D - 1), ip = <o_hat, cv_hat>;
//              the standard deviation of the estimate of <q', o> per unit ||q'||
// A zero residual gets norm = ip_scale = err = 0 (its estimate is exact).
// See docs/estimator.md for the derivation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace nimbrel {

struct RowFactors {
  float norm;
  float ip_scale;
  float code_sum;
  float err;
};
static_assert(sizeof(RowFactors) == 16);

inline size_t code_bytes_for(size_t padded_dim, unsigned bits) { return padded_dim / 8 * bits; }

// Encodes one rotated residual `o` (padded_dim values, a multiple of 64).
// `code` receives code_bytes_for(padded_dim, bits) bytes. bits in [1, 8].
// Thread-safe; allocates only the first time a thread sees a larger row.
void encode_rotated_residual(const float* o, size_t padded_dim, unsigned bits, uint8_t* code,
                             RowFactors* factors);

// The integer codes u_i back from the planes (tests and debugging).
void unpack_codes(const uint8_t* code, size_t padded_dim, unsigned bits, uint8_t* u_out);

// Stored codes are scanned 32 rows at a time by 4-bit table lookups, so a
// list keeps its rows in blocks of 32 with their codes interleaved: the
// first floor(rows / 32) * 32 rows of a list form blocks, and the last
// rows (fewer than 32) follow one row after another in the layout above.
// A block takes exactly the bytes of its 32 rows, so a row's list starts
// at the same offset either way.
//
// Block layout. Read each row's code as 2 * code_bytes nibbles, nibble t
// being the low (t even) or high (t odd) half of code byte t / 2: nibble t
// holds bits 4g .. 4g + 3 of plane j, for t = j * (D / 4) + g. The block
// stores, for every t in order, 16 bytes: byte i holds nibble t of row i
// in its low half and nibble t of row 16 + i in its high half.
inline constexpr size_t kBlockRows = 32;
// Rows of a list of `rows` rows that sit in whole blocks.
inline uint64_t blocked_rows(uint64_t rows) { return rows / kBlockRows * kBlockRows; }
// The block of 32 consecutive row codes (`rows`, 32 * code_bytes bytes).
// `block` must not overlap `rows`.
void block_codes(const uint8_t* rows, size_t code_bytes, uint8_t* block);
// Row `lane` (below 32) of a block back as its code.
void unblock_row(const uint8_t* block, size_t lane, size_t code_bytes, uint8_t* code);
// The code of row `pos` of a list of `list_rows` rows stored from
// `list_codes` as above (`blocked` false: every row one after another).
void list_row_code(const uint8_t* list_codes, uint64_t list_rows, uint64_t pos, size_t code_bytes,
                   bool blocked, uint8_t* code);

// Arranges codes given one row at a time, in row order, in the stored
// layout of lists with the given offsets (list l holds rows offsets[l] to
// offsets[l + 1] - 1).
class CodeArranger {
 public:
  CodeArranger(const uint64_t* offsets, size_t n_lists, size_t code_bytes)
      : offsets_(offsets), n_lists_(n_lists), code_bytes_(code_bytes), rows_(kBlockRows * code_bytes),
        block_(kBlockRows * code_bytes) {}
  // Takes the next row's code; returns the bytes now due in the file, in
  // order: nothing, a whole block, or this row's code (the `code` pointer).
  std::pair<const uint8_t*, size_t> add(const uint8_t* code);

 private:
  const uint64_t* offsets_;
  size_t n_lists_;
  size_t code_bytes_;
  uint64_t row_ = 0;   // the row `add` takes next
  size_t list_ = 0;    // its list
  std::vector<uint8_t> rows_, block_;
};

}  // namespace nimbrel
