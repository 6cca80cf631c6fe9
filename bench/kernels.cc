// Per-row cost of the estimator kernels of every table this processor
// runs: the popcount kernel over rows stored one after another, the block
// kernel over the same rows in 32-row blocks, and the query preparation.
//
//   build/cpp/nimbrel_kernel_bench
//
// Rows stay in L2 (8,192 per pass); the fastest of 20 passes counts.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "ivf_rabitq/kernels.h"
#include "ivf_rabitq/query_lut.h"

using namespace nimbrel;
using namespace nimbrel::kernels;

namespace {

template <typename F>
double best_ns(int passes, F&& f) {
  double best = 1e300;
  for (int p = 0; p < passes; ++p) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
  }
  return best;
}

}  // namespace

int main() {
  std::mt19937_64 rng(1);
  std::normal_distribution<float> normal;
  constexpr size_t kRows = 8192;
  std::printf("%5s %2s %-7s %18s %16s %14s\n", "D", "b", "kernels", "popcount ns/row", "blocks ns/row", "tables ns");
  for (const auto& [D, bits] : std::vector<std::pair<size_t, unsigned>>{{128, 1}, {128, 2}, {128, 4}, {384, 2}, {768, 2}}) {
    const size_t row_bytes = code_bytes_for(D, bits);
    std::vector<uint8_t> codes(kRows * row_bytes), blocked(codes.size());
    for (uint8_t& c : codes) c = static_cast<uint8_t>(rng());
    for (size_t b = 0; b < kRows; b += kBlockRows) block_codes(codes.data() + b * row_bytes, row_bytes, blocked.data() + b * row_bytes);
    std::vector<RowFactors> factors(kRows, RowFactors{1, 1, 1, 1});
    std::vector<float> q(D), est(kRows);
    for (float& v : q) v = normal(rng);
    QueryLut lut;
    lut.prepare(q.data(), D, bits, 1.0f);
    const EstimatorQuery kq = lut.kernel_query();
    std::vector<uint8_t> qq(D, 7), tables(4 * D);
    std::vector<uint64_t> planes(D / 16);
    for (Isa isa : {Isa::kScalar, Isa::kAvx2, Isa::kAvx512}) {
      const KernelTable* t = table_for(isa);
      if (t == nullptr) continue;
      const double flat = best_ns(20, [&] { t->estimate(kq, codes.data(), factors.data(), kRows, est.data(), nullptr); });
      const double blocks = best_ns(20, [&] {
        for (size_t b = 0; b < kRows; b += kBlockRows) {
          t->block_estimate(kq, blocked.data() + b * row_bytes, factors.data() + b, est.data() + b);
        }
      });
      const double prep = best_ns(2000, [&] { t->query_tables(qq.data(), D, planes.data(), tables.data()); });
      std::printf("%5zu %2u %-7s %18.2f %16.2f %14.0f\n", D, bits, t->name, flat / kRows, blocks / kRows, prep);
    }
    const double whole = best_ns(2000, [&] { lut.prepare(q.data(), D, bits, 1.0f); });
    std::printf("%5zu %2u whole QueryLut::prepare (active kernels): %.0f ns\n", D, bits, whole);
  }
}
