// The table behind the multi-column fusion (nmql_fuse): the clause hits of
// a query over several vector columns pooled into one row per distinct id
// and one cell per (row, column), the ban list and the gates, the cells
// filled from the columns' segments, the scores and the cut to `top`.
//
// Nothing here touches Python or a segment: the call converts its
// arguments into these records, runs the lookups itself and hands their
// distances to Pool::fill.
//
// Distances in the cells are normalised (divided by their column's
// divisor); lower is better everywhere. Non-finite values are not refused:
// they follow IEEE arithmetic and the comparison rules written at each
// step, because the host relies on exactly these results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel::fuse {

struct Hit {
  std::string id;
  double distance = 0.0;  // raw: not yet divided by the divisor
};

// One match, must or should clause; its index in the clause list counts
// every clause, with hits or without.
struct Clause {
  std::vector<Hit> hits;
  size_t column = 0;  // below the pool's column count
  double weight = 0.0;
  bool required = false;  // counts toward the required gates, else the should gate
};

struct Prefer {
  std::vector<Hit> hits;
  double factor = 0.0;
  double divisor = 1.0;
};

struct Gates {
  // Distinct columns carrying required clauses when the query's mode is
  // "all", else 0 (off).
  uint64_t required_columns = 0;
  std::optional<int64_t> minimum_required_match;
  int64_t minimum_should_match = 0;  // 0: off; only with has_should
};

// A column's worst hit: what a row that its segments cannot answer gets.
struct Worst {
  double weight = 0.0;
  double distance = 0.0;
};

// The rows of one column that no clause hit and no rule excluded.
struct Missing {
  size_t column = 0;
  std::vector<size_t> rows;  // ascending
};

struct Scored {
  std::vector<double> scores;  // every pooled row's, excluded rows included
  std::vector<size_t> returned;  // ascending
};

// Row numbers by id: open addressing over the pool's own id views, which
// is what a table of a few thousand short ids built once per call wants.
class RowTable {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  explicit RowTable(size_t expected);
  // The row of `id` among `ids`, or kNone.
  size_t find(std::string_view id, const std::vector<std::string_view>& ids) const;
  // The row of `id`, or `next` newly recorded for it (then `*added`).
  size_t insert(std::string_view id, size_t next, const std::vector<std::string_view>& ids, bool* added);

 private:
  size_t mask_;
  std::vector<uint64_t> hashes_;
  std::vector<size_t> rows_;  // kNone: an empty slot
};

class Pool {
 public:
  // Pools the hits (a row per distinct id, in first-hit order), keeps per
  // cell the smallest normalised distance with its clause's weight and per
  // column the worst hit, then excludes the rows named in `ban` and the
  // rows the gates turn away. The ids are viewed, not copied: `clauses`
  // must outlive the pool. `divs` holds n_cols values.
  Pool(size_t n_cols, const std::vector<Clause>& clauses, std::vector<double> divs,
       const std::vector<std::string>& ban, const std::optional<Gates>& gates, bool has_should);

  size_t n_rows() const { return ids_.size(); }
  size_t n_cols() const { return n_cols_; }
  size_t cell(size_t row, size_t column) const { return row + ids_.size() * column; }

  // Columns with a worst hit whose unmatched, unexcluded rows need a
  // lookup, columns in order; a column with no such row is left out.
  std::vector<Missing> missing() const;

  // Fills the given rows of a column from their lookups: `distance[j]` is
  // the raw distance found for rows[j] (NaN: none) and `weight[j]` the
  // weight of the query entry that found it. A row whose normalised
  // distance is NaN takes the column's worst hit. The column must have one.
  void fill(size_t column, const std::vector<size_t>& rows, const std::vector<double>& distance,
            const std::vector<double>& weight);

  // Scores every row, applies the prefer boosts and picks the rows to
  // return: the unexcluded ones, cut to the `top` best (0: no cut; rows
  // tying with the last one kept stay; a NaN score switches the cut off).
  Scored score(const std::vector<Prefer>& prefers, uint64_t top) const;

  const std::vector<std::string_view>& ids() const { return ids_; }
  // (clause index, hit position) of the hit that first named each row.
  const std::vector<std::pair<size_t, size_t>>& origin() const { return origin_; }
  const std::vector<double>& dist() const { return dist_; }
  const std::vector<double>& weight() const { return weight_; }
  const std::vector<uint8_t>& matched() const { return matched_; }
  const std::vector<uint8_t>& filled() const { return filled_; }
  const std::vector<uint8_t>& excluded() const { return excluded_; }
  const std::optional<Worst>& worst(size_t column) const { return worst_[column]; }

 private:
  void apply_gates(const std::vector<uint8_t>& required_hit, const std::vector<uint64_t>& should_count,
                   const Gates& gates, bool has_should);

  size_t n_cols_;
  std::vector<std::string_view> ids_;
  std::vector<std::pair<size_t, size_t>> origin_;
  // Cells, column-major: row r of column c at r + n_rows * c.
  std::vector<double> dist_;
  std::vector<double> weight_;
  std::vector<uint8_t> matched_;
  std::vector<uint8_t> filled_;
  std::vector<uint8_t> excluded_;  // per row
  std::vector<std::optional<Worst>> worst_;  // per column
  std::vector<double> divs_;
  RowTable row_of_;
};

// The `top`-th smallest of `values` (1-based, 1 <= top <= size) in the
// IEEE total order, where -0.0 comes before +0.0; no value may be NaN.
// Reorders `values`.
double nth_smallest(std::vector<double>* values, size_t top);

}  // namespace nimbrel::fuse
