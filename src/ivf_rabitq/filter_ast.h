// The parsed form of a metadata filter and the meaning of a field test on
// one JSON value. The parser (filter_parse.cc) checks the whole language,
// so the compiler only resolves fields against the columns.
//
// Every operator is reduced to one of three tests: membership ($eq x is
// $in [x], $ne x is $nin [x]), a range bound, or $exists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "ivf_rabitq/status.h"

namespace nimbrel::filter {

// Filters nested deeper than this are refused, which bounds every
// recursion over the filter (the JSON library's own writer recurses too).
inline constexpr int kMaxFilterDepth = 64;

// The scalars of an $in / $nin list (or of one $eq / $ne operand). Null
// matches nothing, so it is not kept; numbers compare as f64.
struct ScalarSet {
  bool has_true = false;
  bool has_false = false;
  std::vector<double> numbers;      // sorted, unique
  std::vector<std::string> strings;  // sorted, unique
  bool empty() const { return !has_true && !has_false && numbers.empty() && strings.empty(); }
  // True when `value` (not null) equals one of the scalars.
  bool contains(const nlohmann::json& value) const;
  bool contains_number(double x) const;
};

enum class TestOp : uint8_t { kIn, kNotIn, kGt, kGte, kLt, kLte, kExists };

struct FieldTest {
  TestOp op = TestOp::kIn;
  ScalarSet set;       // kIn, kNotIn
  double bound = 0.0;  // range ops
  bool want = false;   // kExists
};

// The tests on one field, all ANDed (none: every row passes).
struct FieldCondition {
  std::string field;
  std::vector<FieldTest> tests;
};

struct FilterNode {
  enum class Kind : uint8_t { kAnd, kOr, kNot, kField };
  Kind kind = Kind::kAnd;
  std::vector<FilterNode> children;  // kAnd, kOr: any number; kNot: one
  FieldCondition condition;          // kField
};

// Parses and checks filter text. Refusals are InvalidArgument with the
// user-facing message.
Result<FilterNode> parse_filter(std::string_view text);

// Whether `test` holds for a field value; null pointer or JSON null means
// the row has no value for the field.
bool test_holds(const FieldTest& test, const nlohmann::json* value);
bool condition_holds(const FieldCondition& condition, const nlohmann::json* value);

// Whether a test holds when the row has no value for the field.
bool holds_without_value(const FieldTest& test);

// Whether a range test holds for the number x.
bool range_holds(TestOp op, double x, double bound);

}  // namespace nimbrel::filter
