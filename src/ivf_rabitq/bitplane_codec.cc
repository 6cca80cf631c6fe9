#include "ivf_rabitq/bitplane_codec.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "ivf_rabitq/kernels.h"

namespace nimbrel {
namespace {

constexpr size_t kCoarseSteps = 16;
constexpr size_t kFineSteps = 12;

// ip^2 / nn for the code of scale T, where ip = sum y_i (2k_i + 1) and
// nn = sum (2k_i + 1)^2: the squared cosine between |o| and the code, up
// to constant factors. The kernel keeps eight float partial sums (the
// (2k + 1)^2 are exact integers); they are folded here in a fixed order.
double scale_score(const kernels::KernelTable& k, const float* y, size_t n, float T, float k_max) {
  float ip[8], nn[8];
  k.scale_sums(y, n, T, k_max, ip, nn);
  const auto fold = [](const float* v) {  // a tree: short dependency chains
    return ((double{v[0]} + v[1]) + (double{v[2]} + v[3])) +
           ((double{v[4]} + v[5]) + (double{v[6]} + v[7]));
  };
  const double ip_sum = fold(ip);
  return ip_sum * ip_sum / fold(nn);
}

// Grid ratios as literals, not pow() results: libm may round differently
// from one machine to the next, and the codes must not.
constexpr double kCoarseRatio = 0x1.2611186bae675p+0;  // 2^(1/5): 15 steps span a factor 8
constexpr double kFineRatio = 0x1.0584bcd0e0dddp+0;    // 2^(2/65): 13 steps span kCoarseRatio^2

// Scale T in max-units that maximises the cosine (see bitplane_codec.h).
float search_scale(const float* y, size_t n, unsigned bits) {
  const kernels::KernelTable& kt = kernels::active();
  const float k_max = static_cast<float>((1 << (bits - 1)) - 1);
  double best_t = 0.5;  // every |cv_i| = 1/2: the sign code
  double best = scale_score(kt, y, n, 0.5f, k_max);
  bool on_grid = false;
  double t = std::ldexp(1.0, static_cast<int>(bits) - 2);
  for (size_t s = 0; s < kCoarseSteps; ++s, t *= kCoarseRatio) {
    const double score = scale_score(kt, y, n, static_cast<float>(t), k_max);
    if (score > best) {
      best = score;
      best_t = t;
      on_grid = true;
    }
  }
  if (!on_grid) return static_cast<float>(best_t);
  // Refine between the neighbours of the best grid point.
  t = best_t / kCoarseRatio;
  for (size_t s = 0; s < kFineSteps; ++s) {
    t *= kFineRatio;
    const double score = scale_score(kt, y, n, static_cast<float>(t), k_max);
    if (score > best) {
      best = score;
      best_t = t;
    }
  }
  return static_cast<float>(best_t);
}

// Writes bit j of u[i] to plane j (layout in bitplane_codec.h): bit i % 8
// of byte i / 8 of the plane. For 8 codes at a time, the mask keeps bit j
// of each byte and the multiply gathers those 8 bits into the top byte
// (byte k's bit lands on bit 56 + k; nothing else reaches that byte).
void pack_planes(const uint8_t* u, size_t padded_dim, unsigned bits, uint8_t* code) {
  const size_t plane_bytes = padded_dim / 8;
  for (size_t g = 0; g < plane_bytes; ++g) {
    uint64_t eight;
    std::memcpy(&eight, u + 8 * g, 8);
    if constexpr (std::endian::native == std::endian::big) eight = __builtin_bswap64(eight);
    for (unsigned j = 0; j < bits; ++j) {
      const uint64_t lsbs = (eight >> j) & 0x0101010101010101ULL;
      code[j * plane_bytes + g] = static_cast<uint8_t>((lsbs * 0x0102040810204080ULL) >> 56);
    }
  }
}

struct Scratch {
  std::vector<float> y;
  std::vector<uint8_t> u;
};

}  // namespace

void encode_rotated_residual(const float* o, size_t padded_dim, unsigned bits, uint8_t* code,
                             RowFactors* factors) {
  thread_local Scratch scratch;
  if (scratch.y.size() < padded_dim) {
    scratch.y.resize(padded_dim);
    scratch.u.resize(padded_dim);
  }
  float* y = scratch.y.data();
  uint8_t* u = scratch.u.data();
  const unsigned half = 1u << (bits - 1);  // u_i >= half <=> cv_i > 0

  // Sums in lanes (fixed order) so the loops vectorise.
  double norm2_lanes[4] = {};
  float a_max_lanes[4] = {};
  for (size_t i = 0; i < padded_dim; i += 4) {
    for (size_t l = 0; l < 4; ++l) {
      norm2_lanes[l] += static_cast<double>(o[i + l]) * o[i + l];
      const float a = std::fabs(o[i + l]);
      a_max_lanes[l] = a > a_max_lanes[l] ? a : a_max_lanes[l];
    }
  }
  const double norm2 = (norm2_lanes[0] + norm2_lanes[1]) + (norm2_lanes[2] + norm2_lanes[3]);
  const float a_max =
      std::max(std::max(a_max_lanes[0], a_max_lanes[1]), std::max(a_max_lanes[2], a_max_lanes[3]));

  float t = 0.5f;  // the sign code for b = 1 and for a zero row
  if (bits > 1 && a_max > 0 && std::isfinite(norm2)) {
    const float inv = 1.0f / a_max;
    for (size_t i = 0; i < padded_dim; ++i) y[i] = std::fabs(o[i]) * inv;
    t = search_scale(y, padded_dim, bits);
  } else {
    for (size_t i = 0; i < padded_dim; ++i) y[i] = 0.0f;
  }
  const int k_max = static_cast<int>(half) - 1;
  for (size_t i = 0; i < padded_dim; ++i) {
    int k = static_cast<int>(t * y[i]);
    k = k < 0 ? 0 : (k > k_max ? k_max : k);
    u[i] = static_cast<uint8_t>(o[i] > 0 ? half + k : half - 1 - k);
  }
  pack_planes(u, padded_dim, bits, code);

  // With c_i = 2 u_i - (2^b - 1) = 2 cv_i (an integer): nn = sum c_i^2 / 4,
  // ip = sum o_i c_i / 2.
  const int32_t top = static_cast<int32_t>((1u << bits) - 1);
  double ip_lanes[4] = {};
  int64_t cc = 0, code_sum = 0;
  for (size_t i = 0; i < padded_dim; i += 4) {
    for (size_t l = 0; l < 4; ++l) {
      const int32_t c = 2 * static_cast<int32_t>(u[i + l]) - top;
      ip_lanes[l] += static_cast<double>(o[i + l]) * c;
      cc += c * c;
      code_sum += u[i + l];
    }
  }
  const double ip = ((ip_lanes[0] + ip_lanes[1]) + (ip_lanes[2] + ip_lanes[3])) / 2.0;
  const double nn = static_cast<double>(cc) / 4.0;
  factors->code_sum = static_cast<float>(code_sum);
  if (!(norm2 > 0) || !(ip > 0) || !std::isfinite(norm2)) {
    // A zero residual: its estimate ||q'||^2 is exact without any code.
    factors->norm = 0.0f;
    factors->ip_scale = 0.0f;
    factors->err = 0.0f;
    return;
  }
  const double norm = std::sqrt(norm2);
  const double cosine = ip / (norm * std::sqrt(nn));
  const double sine2 = 1.0 - cosine * cosine;
  factors->norm = static_cast<float>(norm);
  factors->ip_scale = static_cast<float>(norm2 / ip);
  factors->err = static_cast<float>(norm * std::sqrt(sine2 > 0 ? sine2 : 0.0) / cosine /
                                    std::sqrt(static_cast<double>(padded_dim) - 1.0));
}

void unpack_codes(const uint8_t* code, size_t padded_dim, unsigned bits, uint8_t* u_out) {
  const size_t words = padded_dim / 64;
  std::memset(u_out, 0, padded_dim);
  for (unsigned j = 0; j < bits; ++j) {
    for (size_t w = 0; w < words; ++w) {
      uint64_t word = 0;
      const uint8_t* src = code + 8 * (j * words + w);
      for (size_t b = 0; b < 8; ++b) word |= static_cast<uint64_t>(src[b]) << (8 * b);
      for (size_t i = 0; i < 64; ++i) {
        u_out[w * 64 + i] |= static_cast<uint8_t>(((word >> i) & 1u) << j);
      }
    }
  }
}

void block_codes(const uint8_t* rows, size_t code_bytes, uint8_t* block) {
  for (size_t t = 0; t < 2 * code_bytes; ++t) {
    const size_t at = t / 2;
    const unsigned shift = (t % 2) * 4;
    uint8_t* out = block + 16 * t;
    for (size_t i = 0; i < 16; ++i) {
      const uint8_t lo = (rows[i * code_bytes + at] >> shift) & 0x0f;
      const uint8_t hi = (rows[(i + 16) * code_bytes + at] >> shift) & 0x0f;
      out[i] = static_cast<uint8_t>(lo | (hi << 4));
    }
  }
}

void unblock_row(const uint8_t* block, size_t lane, size_t code_bytes, uint8_t* code) {
  const size_t i = lane % 16;
  const unsigned half = lane < 16 ? 0 : 4;
  for (size_t at = 0; at < code_bytes; ++at) {
    const uint8_t lo = (block[16 * (2 * at) + i] >> half) & 0x0f;
    const uint8_t hi = (block[16 * (2 * at + 1) + i] >> half) & 0x0f;
    code[at] = static_cast<uint8_t>(lo | (hi << 4));
  }
}

void list_row_code(const uint8_t* list_codes, uint64_t list_rows, uint64_t pos, size_t code_bytes,
                   bool blocked, uint8_t* code) {
  if (blocked && pos < blocked_rows(list_rows)) {
    const uint8_t* block = list_codes + (pos / kBlockRows) * kBlockRows * code_bytes;
    unblock_row(block, pos % kBlockRows, code_bytes, code);
  } else {
    std::memcpy(code, list_codes + pos * code_bytes, code_bytes);
  }
}

std::pair<const uint8_t*, size_t> CodeArranger::add(const uint8_t* code) {
  while (list_ < n_lists_ && row_ >= offsets_[list_ + 1]) ++list_;
  const uint64_t row = row_++;
  if (list_ >= n_lists_) return {code, code_bytes_};
  const uint64_t begin = offsets_[list_];
  const uint64_t pos = row - begin;
  if (pos >= blocked_rows(offsets_[list_ + 1] - begin)) return {code, code_bytes_};
  const size_t lane = pos % kBlockRows;
  std::memcpy(rows_.data() + lane * code_bytes_, code, code_bytes_);
  if (lane + 1 < kBlockRows) return {nullptr, 0};
  block_codes(rows_.data(), code_bytes_, block_.data());
  return {block_.data(), block_.size()};
}

}  // namespace nimbrel
