// The compiled form of a filter: a branch program over column tests.
//
// Each step tests one column cell of the row and jumps to `on_true` or
// `on_false`: the index of the next step, or kAccept / kReject. AND, OR and
// NOT exist only as jump targets, so evaluation is a loop over a flat array
// with short-circuiting, no recursion, no allocation and no virtual call
// per test. A program has one step per leaf test of the folded filter.
#pragma once

#include <cstdint>
#include <vector>

#include "ivf_rabitq/filter_ast.h"
#include "ivf_rabitq/kernels.h"
#include "ivf_rabitq/predicate.h"

namespace nimbrel::filter {

inline constexpr int32_t kAccept = -1;
inline constexpr int32_t kReject = -2;

enum class StepKind : uint8_t {
  kStrHasValue,  // string column: the cell holds a value
  kStrCodeList,  // string column: the code is one of codes[first, first + count)
  kStrCodeBits,  // string column: bit `code` of bits[first, first + count) is set
  kNumHasValue,  // numeric column: the cell is not NaN
  kNumRange,     // numeric column: cell <op> bound
  kNumList,      // numeric column: the cell equals one of numbers[first, first + count)
  kJson,         // field without a column: json_conditions[first] on the row's JSON
};

struct Step {
  StepKind kind = StepKind::kStrHasValue;
  TestOp range_op = TestOp::kGt;  // kNumRange
  bool no_value = false;          // result when the cell holds no value; a has-value
                                  // step gives the opposite for a value
  bool negate = false;            // list and bits steps: invert membership
  uint32_t column = 0;            // string or numeric field number
  uint32_t first = 0;
  uint32_t count = 0;
  double bound = 0.0;             // kNumRange
  int32_t on_true = kAccept;
  int32_t on_false = kReject;
};

class CompiledFilter final : public Predicate {
 public:
  bool eval(const RowSource& rows, uint32_t row) const override;
  uint64_t eval_block(const RowSource& rows, uint32_t first, uint32_t count) const override;
  bool accepts_all() const override { return entry_ == kAccept; }
  // The instruction set whole 64-row blocks of numbers are compared with
  // (tests reach every one; a set the processor lacks must not be given).
  // Returns the previous one.
  static kernels::Isa set_compare_isa(kernels::Isa isa);

  // Filled by the compiler.
  int32_t entry_ = kAccept;
  std::vector<Step> steps_;
  std::vector<uint32_t> codes_;     // sorted code lists
  std::vector<uint64_t> bits_;      // code bitmaps
  std::vector<double> numbers_;     // sorted number lists
  std::vector<FieldCondition> json_conditions_;

 private:
  bool column_test(const Step& step, const RowSource& rows, uint32_t row) const;
  // column_test for the rows of a block, bit i for row first + i.
  uint64_t column_block(const Step& step, const RowSource& rows, uint32_t first, uint32_t count) const;
  bool json_test(const Step& step, const RowSource& rows, uint32_t row, nlohmann::json* doc,
                 bool* doc_loaded) const;
};

}  // namespace nimbrel::filter
