// Compiled metadata filters.
//
// A filter is a JSON object; all its keys are ANDed. See docs/filters.md
// for the language. compile_filter() resolves every field condition
// against the segment's typed columns once, so evaluating a row only reads
// column cells (a string-column condition becomes a table of accepted
// dictionary codes); a field beyond the typed ones reads the row's JSON.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ivf_rabitq/bits.h"
#include "ivf_rabitq/field_schema.h"
#include "ivf_rabitq/status.h"

namespace nimbrel {

// The typed columns and metadata texts of a run of rows (the main rows of a
// segment, or its delta), as a compiled filter reads them. A column that is
// present holds a cell for every row of the run; an absent column (null, or
// past the end of its vector) holds no value for any row.
struct RowSource {
  std::vector<const uint32_t*> str;  // per string field number; null: column absent
  std::vector<const double*> num;    // per numeric field number; null: column absent
  // The metadata JSON text of a row ("" or "null": no fields). Only called
  // for fields without a typed column, i.e. once the schema is full; a null
  // function means no row has such fields.
  std::string_view (*meta_text)(const void* ctx, uint32_t row) = nullptr;
  const void* ctx = nullptr;
};

// Immutable once compiled, so one instance is shared by every thread.
class Predicate {
 public:
  virtual ~Predicate() = default;
  // True when the filter holds for row `row` of `rows` (row below the run's
  // row count). Any cell content is safe: an unknown code equals none of
  // the filter's operands.
  virtual bool eval(const RowSource& rows, uint32_t row) const = 0;
  // eval for rows first .. first + count - 1 (count at most 64) at once:
  // bit i of the result for row first + i. This default asks row by row.
  virtual uint64_t eval_block(const RowSource& rows, uint32_t first, uint32_t count) const;
  // True when the filter accepts every row whatever its metadata ("{}").
  virtual bool accepts_all() const = 0;

  // The rows 0 .. n - 1 of `rows` that pass, ascending, when at most
  // min(n / kFewDivisor, kMostRemembered) do; null when more do. Worked out
  // on the first call and remembered for that run (its address and n),
  // which the caller promises never changes, as a segment's main rows do
  // not while it is open: a filter a query sends again then costs what it
  // selects. (A segment keeps up to 1,024 compiled filters, so at most
  // 64 MB of such lists.) A call for another run is worked out afresh and
  // not remembered.
  static constexpr uint32_t kFewDivisor = 16;
  static constexpr uint32_t kMostRemembered = 16384;
  std::shared_ptr<const std::vector<uint32_t>> passing_rows(const RowSource& rows, uint32_t n) const;

 private:
  std::shared_ptr<const std::vector<uint32_t>> work_out_passing(const RowSource& rows, uint32_t n) const;

  mutable std::mutex memo_mu_;
  mutable const RowSource* memo_rows_ = nullptr;  // null: nothing remembered yet
  mutable uint32_t memo_n_ = 0;
  mutable std::shared_ptr<const std::vector<uint32_t>> memo_;
};

// Calls each(group_first, bits) for rows [begin, end) of `rows` in groups of
// up to 64: bit i of `bits` is set when row group_first + i passes `filter`
// (every row when `filter` is null).
template <typename Each>
void for_each_group(const Predicate* filter, const RowSource& rows, uint64_t begin, uint64_t end, Each&& each) {
  for (uint64_t first = begin; first < end; first += 64) {
    const uint32_t count = static_cast<uint32_t>(end - first < 64 ? end - first : 64);
    each(first, filter != nullptr ? filter->eval_block(rows, static_cast<uint32_t>(first), count) : low_bits(count));
  }
}

// Compiles `text` against `fields` (the segment's effective schema; field
// numbers of RowSource follow it). A condition on a field in `skip` is
// refused. Errors are Status::InvalidArgument with the user-facing message
// ("bad filter: ...", "filter must be an object, got ...", ...). The result
// reflects the dictionaries of `fields` at this moment: recompile after any
// of them changes.
Result<std::shared_ptr<const Predicate>> compile_filter(std::string_view text,
                                                        const std::vector<FieldSchema>& fields,
                                                        const std::set<std::string>& skip);

}  // namespace nimbrel
