// The meaning of field tests, and the evaluation of a compiled filter on
// one row or on a block of up to 64 consecutive rows.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "ivf_rabitq/bits.h"
#include "ivf_rabitq/filter_program.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace nimbrel {

uint64_t Predicate::eval_block(const RowSource& rows, uint32_t first, uint32_t count) const {
  uint64_t out = 0;
  for (uint32_t i = 0; i < count; ++i) out |= static_cast<uint64_t>(eval(rows, first + i)) << i;
  return out;
}

std::shared_ptr<const std::vector<uint32_t>> Predicate::work_out_passing(const RowSource& rows, uint32_t n) const {
  const uint64_t limit = std::min<uint64_t>(n / kFewDivisor, kMostRemembered);
  auto found = std::make_shared<std::vector<uint32_t>>();
  bool too_many = false;
  for_each_group(this, rows, 0, n, [&](uint64_t first, uint64_t pass) {
    for (; pass != 0 && !too_many; pass &= pass - 1) {
      too_many = found->size() >= limit;
      if (!too_many) found->push_back(static_cast<uint32_t>(first) + static_cast<uint32_t>(__builtin_ctzll(pass)));
    }
  });
  return too_many ? nullptr : found;
}

std::shared_ptr<const std::vector<uint32_t>> Predicate::passing_rows(const RowSource& rows, uint32_t n) const {
  // Threads asking at once wait for the first one's answer.
  std::lock_guard<std::mutex> lock(memo_mu_);
  if (memo_rows_ == &rows && memo_n_ == n) return memo_;
  if (memo_rows_ != nullptr) return work_out_passing(rows, n);
  memo_ = work_out_passing(rows, n);
  memo_rows_ = &rows;
  memo_n_ = n;
  return memo_;
}

}  // namespace nimbrel

namespace nimbrel::filter {

using nlohmann::json;

bool ScalarSet::contains_number(double x) const {
  auto it = std::lower_bound(numbers.begin(), numbers.end(), x);
  return it != numbers.end() && *it == x;
}

bool ScalarSet::contains(const json& value) const {
  switch (value.type()) {
    case json::value_t::boolean:
      return value.get<bool>() ? has_true : has_false;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return contains_number(value.get<double>());
    case json::value_t::string:
      return std::binary_search(strings.begin(), strings.end(), value.get_ref<const std::string&>());
    default:  // arrays and objects equal no scalar
      return false;
  }
}

bool range_holds(TestOp op, double x, double bound) {
  switch (op) {
    case TestOp::kGt: return x > bound;
    case TestOp::kGte: return x >= bound;
    case TestOp::kLt: return x < bound;
    case TestOp::kLte: return x <= bound;
    default: return false;
  }
}

bool holds_without_value(const FieldTest& test) {
  switch (test.op) {
    case TestOp::kNotIn: return true;
    case TestOp::kExists: return !test.want;
    default: return false;  // membership and ranges need a value
  }
}

bool test_holds(const FieldTest& test, const json* value) {
  if (value == nullptr || value->is_null()) return holds_without_value(test);
  switch (test.op) {
    case TestOp::kIn: return test.set.contains(*value);
    case TestOp::kNotIn: return !test.set.contains(*value);
    case TestOp::kExists: return test.want;
    default: return value->is_number() && range_holds(test.op, value->get<double>(), test.bound);
  }
}

bool condition_holds(const FieldCondition& condition, const json* value) {
  for (const FieldTest& test : condition.tests) {
    if (!test_holds(test, value)) return false;
  }
  return true;
}

namespace {

// Short lists are scanned; longer ones are sorted and searched.
constexpr uint32_t kLinearScanMax = 8;

template <typename T>
bool list_contains(const T* list, uint32_t count, T x) {
  if (count <= kLinearScanMax) {
    for (uint32_t i = 0; i < count; ++i) {
      if (list[i] == x) return true;
    }
    return false;
  }
  const T* it = std::lower_bound(list, list + count, x);
  return it != list + count && *it == x;
}

}  // namespace

// One test on a column cell. Tests on fields without a column go through
// json_test, which the program only holds when the schema is full.
bool CompiledFilter::column_test(const Step& step, const RowSource& rows, uint32_t row) const {
  switch (step.kind) {
    case StepKind::kStrHasValue:
    case StepKind::kStrCodeList:
    case StepKind::kStrCodeBits: {
      // An absent column holds no value for any row.
      const uint32_t* column = step.column < rows.str.size() ? rows.str[step.column] : nullptr;
      const uint32_t code = column != nullptr ? column[row] : kNoCode;
      if (code == kNoCode) return step.no_value;
      if (step.kind == StepKind::kStrHasValue) return !step.no_value;
      bool found;
      if (step.kind == StepKind::kStrCodeList) {
        found = list_contains(codes_.data() + step.first, step.count, code);
      } else {
        // Codes past the bitmap were unknown when the filter was compiled.
        found = code / 64 < step.count && ((bits_[step.first + code / 64] >> (code % 64)) & 1) != 0;
      }
      return found != step.negate;
    }
    case StepKind::kNumHasValue:
    case StepKind::kNumRange:
    case StepKind::kNumList: {
      const double* column = step.column < rows.num.size() ? rows.num[step.column] : nullptr;
      const double x = column != nullptr ? column[row] : std::numeric_limits<double>::quiet_NaN();
      if (std::isnan(x)) return step.no_value;
      if (step.kind == StepKind::kNumHasValue) return !step.no_value;
      if (step.kind == StepKind::kNumRange) return range_holds(step.range_op, x, step.bound);
      return list_contains(numbers_.data() + step.first, step.count, x) != step.negate;
    }
    case StepKind::kJson:
      break;
  }
  return false;
}

namespace {

// Bit i set when pred(i), for i below count: written so that the compiler
// can vectorise the tests.
template <typename Pred>
uint64_t BitsOf(uint32_t count, Pred&& pred) {
  // The tests go to bytes (a loop the compiler vectorises), the bytes to
  // bits 16 at a time.
  alignas(16) uint8_t held[64] = {};
  for (uint32_t i = 0; i < count; ++i) held[i] = pred(i) ? 1 : 0;
  return bit_k_of_bytes(held, 0);
}

enum class Cmp { kGt, kGe, kLt, kLe, kEq, kNaN };

// The instruction set of the block comparisons: the kernels' choice (any
// table above the portable one implies AVX2), or a test's.
std::atomic<kernels::Isa> compare_isa{kernels::active().isa};

#if defined(__x86_64__)
// A full block of 64 with AVX-512 (8 values per comparison, straight into
// a mask) or AVX2 (4 per comparison), on processors that have them; these
// functions use intrinsics only. The predicates are the ordered, quiet
// ones: false for a NaN, as C's comparisons are.
template <Cmp C>
constexpr int kPredicate = C == Cmp::kGt   ? _CMP_GT_OQ
                           : C == Cmp::kGe ? _CMP_GE_OQ
                           : C == Cmp::kLt ? _CMP_LT_OQ
                           : C == Cmp::kLe ? _CMP_LE_OQ
                           : C == Cmp::kEq ? _CMP_EQ_OQ
                                           : _CMP_UNORD_Q;

template <Cmp C>
__attribute__((target("avx512f"))) uint64_t CompareBlock512(const double* x, double b) {
  const __m512d bound = _mm512_set1_pd(b);
  uint64_t out = 0;
  for (unsigned j = 0; j < 8; ++j) {
    const __m512d v = _mm512_loadu_pd(x + 8 * j);
    const __mmask8 m = C == Cmp::kNaN ? _mm512_cmp_pd_mask(v, v, kPredicate<C>) : _mm512_cmp_pd_mask(v, bound, kPredicate<C>);
    out |= static_cast<uint64_t>(m) << (8 * j);
  }
  return out;
}

__attribute__((target("avx512f"))) uint64_t EqualBlock512(const uint32_t* x, uint32_t v) {
  const __m512i value = _mm512_set1_epi32(static_cast<int>(v));
  uint64_t out = 0;
  for (unsigned j = 0; j < 4; ++j) {
    const __m512i c = _mm512_loadu_si512(x + 16 * j);
    out |= static_cast<uint64_t>(_mm512_cmpeq_epi32_mask(c, value)) << (16 * j);
  }
  return out;
}

__attribute__((target("avx2"))) uint64_t EqualBlock256(const uint32_t* x, uint32_t v) {
  const __m256i value = _mm256_set1_epi32(static_cast<int>(v));
  uint64_t out = 0;
  for (unsigned j = 0; j < 8; ++j) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 8 * j));
    const __m256i m = _mm256_cmpeq_epi32(c, value);
    out |= static_cast<uint64_t>(_mm256_movemask_ps(_mm256_castsi256_ps(m))) << (8 * j);
  }
  return out;
}

template <Cmp C>
__attribute__((target("avx2"))) uint64_t CompareBlock256(const double* x, double b) {
  const __m256d bound = _mm256_set1_pd(b);
  uint64_t out = 0;
  for (unsigned j = 0; j < 16; ++j) {
    const __m256d v = _mm256_loadu_pd(x + 4 * j);
    const __m256d m = C == Cmp::kNaN ? _mm256_cmp_pd(v, v, kPredicate<C>) : _mm256_cmp_pd(v, bound, kPredicate<C>);
    out |= static_cast<uint64_t>(_mm256_movemask_pd(m)) << (4 * j);
  }
  return out;
}
#endif

// Bit i set when x[i] <cmp> b (kNaN: when x[i] is NaN), for i below count.
// A full block of 64 goes to the widest comparisons the processor has
// (two values per SSE2 comparison at least), where the compiler leaves a
// byte loop over doubles scalar.
template <Cmp C>
uint64_t CompareBits(const double* x, uint32_t count, double b) {
#if defined(__x86_64__)
  if (count == 64) {
    const kernels::Isa isa = compare_isa.load(std::memory_order_relaxed);
    if (isa == kernels::Isa::kAvx512) return CompareBlock512<C>(x, b);
    if (isa == kernels::Isa::kAvx2) return CompareBlock256<C>(x, b);
  }
#endif
#if defined(__SSE2__)
  if (count == 64) {
    const __m128d bound = _mm_set1_pd(b);
    uint64_t out = 0;
    for (unsigned j = 0; j < 32; ++j) {
      const __m128d v = _mm_loadu_pd(x + 2 * j);
      __m128d m;
      if constexpr (C == Cmp::kGt) m = _mm_cmpgt_pd(v, bound);
      if constexpr (C == Cmp::kGe) m = _mm_cmpge_pd(v, bound);
      if constexpr (C == Cmp::kLt) m = _mm_cmplt_pd(v, bound);
      if constexpr (C == Cmp::kLe) m = _mm_cmple_pd(v, bound);
      if constexpr (C == Cmp::kEq) m = _mm_cmpeq_pd(v, bound);
      if constexpr (C == Cmp::kNaN) m = _mm_cmpunord_pd(v, v);
      out |= static_cast<uint64_t>(_mm_movemask_pd(m)) << (2 * j);
    }
    return out;
  }
#endif
  return BitsOf(count, [&](uint32_t i) {
    if constexpr (C == Cmp::kGt) return x[i] > b;
    if constexpr (C == Cmp::kGe) return x[i] >= b;
    if constexpr (C == Cmp::kLt) return x[i] < b;
    if constexpr (C == Cmp::kLe) return x[i] <= b;
    if constexpr (C == Cmp::kEq) return x[i] == b;
    return x[i] != x[i];
  });
}

// Bit i set when x[i] == v, for i below count (string codes).
uint64_t EqualBits(const uint32_t* x, uint32_t count, uint32_t v) {
#if defined(__x86_64__)
  if (count == 64) {
    const kernels::Isa isa = compare_isa.load(std::memory_order_relaxed);
    if (isa == kernels::Isa::kAvx512) return EqualBlock512(x, v);
    if (isa == kernels::Isa::kAvx2) return EqualBlock256(x, v);
  }
#endif
  return BitsOf(count, [&](uint32_t i) { return x[i] == v; });
}

}  // namespace

kernels::Isa CompiledFilter::set_compare_isa(kernels::Isa isa) { return compare_isa.exchange(isa); }

uint64_t CompiledFilter::column_block(const Step& step, const RowSource& rows, uint32_t first,
                                      uint32_t count) const {
  switch (step.kind) {
    case StepKind::kNumList:
      if (step.count > kLinearScanMax) break;
      [[fallthrough]];
    case StepKind::kNumHasValue:
    case StepKind::kNumRange: {
      const double* column = step.column < rows.num.size() ? rows.num[step.column] : nullptr;
      if (column == nullptr) return step.no_value ? low_bits(count) : 0;
      const double* x = column + first;
      // Comparisons with NaN are false already: the missing values need a
      // pass of their own only when they must come out true, or be kept
      // out of a negation or a has-value test.
      const bool need_nan = step.no_value || step.negate || step.kind == StepKind::kNumHasValue;
      const uint64_t nan = need_nan ? CompareBits<Cmp::kNaN>(x, count, 0.0) : 0;
      uint64_t held;
      if (step.kind == StepKind::kNumHasValue) {
        held = step.no_value ? 0 : low_bits(count);
      } else if (step.kind == StepKind::kNumList) {
        // A short list: one vectorisable pass per listed number.
        held = 0;
        for (uint32_t k = 0; k < step.count; ++k) {
          const double v = numbers_[step.first + k];
          held |= CompareBits<Cmp::kEq>(x, count, v);
        }
        if (step.negate) held = ~held & low_bits(count);
      } else {
        const double b = step.bound;
        switch (step.range_op) {
          case TestOp::kGt: held = CompareBits<Cmp::kGt>(x, count, b); break;
          case TestOp::kGte: held = CompareBits<Cmp::kGe>(x, count, b); break;
          case TestOp::kLt: held = CompareBits<Cmp::kLt>(x, count, b); break;
          case TestOp::kLte: held = CompareBits<Cmp::kLe>(x, count, b); break;
          default: held = 0;
        }
      }
      return (held & ~nan) | (step.no_value ? nan : 0);
    }
    case StepKind::kStrCodeList:
      if (step.count > kLinearScanMax) break;
      [[fallthrough]];
    case StepKind::kStrHasValue:
    case StepKind::kStrCodeBits: {
      const uint32_t* column = step.column < rows.str.size() ? rows.str[step.column] : nullptr;
      if (column == nullptr) return step.no_value ? low_bits(count) : 0;
      const uint32_t* code = column + first;
      const uint64_t none = EqualBits(code, count, kNoCode);
      uint64_t held;
      if (step.kind == StepKind::kStrHasValue) {
        held = step.no_value ? 0 : low_bits(count);
      } else if (step.kind == StepKind::kStrCodeList) {
        held = 0;
        for (uint32_t k = 0; k < step.count; ++k) {
          const uint32_t v = codes_[step.first + k];
          held |= EqualBits(code, count, v);
        }
        if (step.negate) held = ~held & low_bits(count);
      } else {
        // Codes past the bitmap were unknown when the filter was compiled.
        const uint64_t* bits = bits_.data() + step.first;
        const uint64_t words = step.count;
        held = BitsOf(count, [&](uint32_t i) {
          const uint32_t c = code[i];
          return c / 64 < words && ((bits[c / 64] >> (c % 64)) & 1) != 0;
        });
        if (step.negate) held = ~held & low_bits(count);
      }
      return (held & ~none) | (step.no_value ? none : 0);
    }
    default:
      break;
  }
  return BitsOf(count, [&](uint32_t i) { return column_test(step, rows, first + i); });
}

uint64_t CompiledFilter::eval_block(const RowSource& rows, uint32_t first, uint32_t count) const {
  const uint64_t all = low_bits(count);
  if (entry_ == kAccept) return all;
  if (entry_ == kReject) return 0;
  // A row's JSON is parsed once per evaluation; row by row keeps that.
  if (!json_conditions_.empty()) return Predicate::eval_block(rows, first, count);
  // The rows reaching each step; jumps go to lower steps only.
  constexpr size_t kInline = 32;
  uint64_t inline_reach[kInline];
  std::vector<uint64_t> heap_reach;
  uint64_t* reach = inline_reach;
  if (steps_.size() > kInline) {
    heap_reach.assign(steps_.size(), 0);
    reach = heap_reach.data();
  } else {
    std::fill(inline_reach, inline_reach + steps_.size(), 0);
  }
  uint64_t accepted = 0;
  auto route = [&](int32_t to, uint64_t rows_going) {
    if (to >= 0) {
      reach[to] |= rows_going;
    } else if (to == kAccept) {
      accepted |= rows_going;
    }
  };
  reach[entry_] = all;
  for (int32_t at = entry_; at >= 0; --at) {
    const uint64_t here = reach[at];
    if (here == 0) continue;
    const Step& step = steps_[static_cast<size_t>(at)];
    const uint64_t held = column_block(step, rows, first, count) & here;
    route(step.on_true, held);
    route(step.on_false, here & ~held);
  }
  return accepted;
}

bool CompiledFilter::json_test(const Step& step, const RowSource& rows, uint32_t row, json* doc,
                               bool* doc_loaded) const {
  // Parse the row's metadata once per evaluation, however many such tests
  // the program holds.
  if (!*doc_loaded) {
    *doc_loaded = true;
    if (rows.meta_text != nullptr) {
      *doc = parse_json_text(rows.meta_text(rows.ctx, row));
    }
  }
  const FieldCondition& condition = json_conditions_[step.first];
  const json* value = nullptr;
  if (doc->is_object()) {
    auto it = doc->find(condition.field);
    if (it != doc->end()) value = &*it;
  }
  return condition_holds(condition, value);
}

bool CompiledFilter::eval(const RowSource& rows, uint32_t row) const {
  int32_t at = entry_;
  if (json_conditions_.empty()) {
    while (at >= 0) {
      const Step& step = steps_[static_cast<size_t>(at)];
      at = column_test(step, rows, row) ? step.on_true : step.on_false;
    }
    return at == kAccept;
  }
  json doc;
  bool doc_loaded = false;
  while (at >= 0) {
    const Step& step = steps_[static_cast<size_t>(at)];
    const bool holds = step.kind == StepKind::kJson ? json_test(step, rows, row, &doc, &doc_loaded)
                                                     : column_test(step, rows, row);
    at = holds ? step.on_true : step.on_false;
  }
  return at == kAccept;
}

}  // namespace nimbrel::filter
