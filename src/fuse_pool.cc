#include "fuse_pool.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

namespace nimbrel::fuse {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// IEEE total order on values that are not NaN: numeric order, and -0.0
// before +0.0.
bool TotalLess(double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); }

size_t TotalHits(const std::vector<Clause>& clauses) {
  size_t n = 0;
  for (const Clause& clause : clauses) n += clause.hits.size();
  return n;
}

}  // namespace

RowTable::RowTable(size_t expected) {
  size_t capacity = 16;
  while (capacity < 2 * expected) capacity *= 2;  // at most half full
  mask_ = capacity - 1;
  hashes_.assign(capacity, 0);
  rows_.assign(capacity, kNone);
}

size_t RowTable::find(std::string_view id, const std::vector<std::string_view>& ids) const {
  const uint64_t h = std::hash<std::string_view>()(id);
  for (size_t i = h & mask_;; i = (i + 1) & mask_) {
    if (rows_[i] == kNone) return kNone;
    if (hashes_[i] == h && ids[rows_[i]] == id) return rows_[i];
  }
}

size_t RowTable::insert(std::string_view id, size_t next, const std::vector<std::string_view>& ids, bool* added) {
  const uint64_t h = std::hash<std::string_view>()(id);
  for (size_t i = h & mask_;; i = (i + 1) & mask_) {
    if (rows_[i] == kNone) {
      hashes_[i] = h;
      rows_[i] = next;
      *added = true;
      return next;
    }
    if (hashes_[i] == h && ids[rows_[i]] == id) {
      *added = false;
      return rows_[i];
    }
  }
}

Pool::Pool(size_t n_cols, const std::vector<Clause>& clauses, std::vector<double> divs,
           const std::vector<std::string>& ban, const std::optional<Gates>& gates, bool has_should)
    : n_cols_(n_cols), divs_(std::move(divs)), row_of_(TotalHits(clauses)) {
  // Rows in the order their ids are first named, clause by clause; each
  // hit's row is kept for the cell pass.
  std::vector<size_t> hit_rows;
  hit_rows.reserve(TotalHits(clauses));
  for (size_t k = 0; k < clauses.size(); ++k) {
    const std::vector<Hit>& hits = clauses[k].hits;
    for (size_t p = 0; p < hits.size(); ++p) {
      bool added = false;
      hit_rows.push_back(row_of_.insert(hits[p].id, ids_.size(), ids_, &added));
      if (added) {
        ids_.push_back(hits[p].id);
        origin_.emplace_back(k, p);
      }
    }
  }

  const size_t n_rows = ids_.size();
  const size_t n_cells = n_rows * n_cols_;
  dist_.assign(n_cells, kNaN);
  weight_.assign(n_cells, 0.0);
  matched_.assign(n_cells, 0);
  filled_.assign(n_cells, 0);
  excluded_.assign(n_rows, 0);
  worst_.assign(n_cols_, std::nullopt);
  // Gate bookkeeping, only when there are gates: the columns in which a
  // required clause hit each row, and how many distinct should clauses did.
  std::vector<uint8_t> required_hit;
  std::vector<uint64_t> should_count;
  std::vector<size_t> last_should_clause;
  if (gates) {
    required_hit.assign(n_cells, 0);
    should_count.assign(n_rows, 0);
    last_should_clause.assign(n_rows, std::numeric_limits<size_t>::max());
  }

  const size_t* next_row = hit_rows.data();
  for (size_t k = 0; k < clauses.size(); ++k) {
    const Clause& clause = clauses[k];
    const size_t c = clause.column;
    const double w = clause.weight;
    double clause_max = 0.0;
    bool have_max = false;
    for (const Hit& hit : clause.hits) {
      const size_t r = *next_row++;
      const size_t i = cell(r, c);
      const double d = hit.distance / divs_[c];
      // The smallest distance wins; a tie keeps the earlier clause's weight,
      // and a NaN never displaces a value (but stays when it came first).
      if (matched_[i] == 0 || d < dist_[i]) {
        dist_[i] = d;
        weight_[i] = w;
      }
      matched_[i] = 1;
      if (gates) {
        if (clause.required) {
          required_hit[i] = 1;
        } else if (last_should_clause[r] != k) {
          // A should clause counts once per row, however many hits name it.
          last_should_clause[r] = k;
          ++should_count[r];
        }
      }
      if (!std::isnan(d) && (!have_max || d > clause_max)) {
        clause_max = d;
        have_max = true;
      }
    }
    if (have_max && (!worst_[c] || worst_[c]->distance < clause_max)) worst_[c] = Worst{w, clause_max};
  }

  for (const std::string& id : ban) {
    const size_t r = row_of_.find(id, ids_);
    if (r != RowTable::kNone) excluded_[r] = 1;
  }
  if (gates) apply_gates(required_hit, should_count, *gates, has_should);
}

void Pool::apply_gates(const std::vector<uint8_t>& required_hit, const std::vector<uint64_t>& should_count,
                       const Gates& gates, bool has_should) {
  // Signed comparisons throughout, so that zero or negative thresholds (and
  // a column count beyond the signed range) never exclude a row.
  const auto required_columns = static_cast<int64_t>(gates.required_columns);
  for (size_t r = 0; r < n_rows(); ++r) {
    int64_t count = 0;
    for (size_t c = 0; c < n_cols_; ++c) count += required_hit[cell(r, c)];
    bool out = (required_columns != 0 && count < required_columns) ||
               (gates.minimum_required_match && count < *gates.minimum_required_match);
    if (!out && has_should && gates.minimum_should_match != 0) {
      out = static_cast<int64_t>(should_count[r]) < gates.minimum_should_match;
    }
    if (out) excluded_[r] = 1;
  }
}

std::vector<Missing> Pool::missing() const {
  std::vector<Missing> out;
  for (size_t c = 0; c < n_cols_; ++c) {
    if (!worst_[c]) continue;
    Missing m{c, {}};
    for (size_t r = 0; r < n_rows(); ++r) {
      if (matched_[cell(r, c)] == 0 && excluded_[r] == 0) m.rows.push_back(r);
    }
    if (!m.rows.empty()) out.push_back(std::move(m));
  }
  return out;
}

void Pool::fill(size_t column, const std::vector<size_t>& rows, const std::vector<double>& distance,
                const std::vector<double>& weight) {
  const Worst& worst = *worst_[column];
  for (size_t j = 0; j < rows.size(); ++j) {
    const size_t i = cell(rows[j], column);
    const double d = distance[j] / divs_[column];
    if (std::isnan(d)) {
      dist_[i] = worst.distance;
      weight_[i] = worst.weight;
    } else {
      dist_[i] = d;
      weight_[i] = weight[j];
    }
    filled_[i] = 1;
  }
}

Scored Pool::score(const std::vector<Prefer>& prefers, uint64_t top) const {
  const size_t n_rows = this->n_rows();
  Scored out;

  // Per-row sums, each accumulated in column order: a column-major walk
  // visits every row's cells in that order.
  std::vector<double> wm(n_rows, 0.0), sm(n_rows, 0.0), dm(n_rows, 0.0);
  std::vector<double> wf(n_rows, 0.0), sf(n_rows, 0.0), df(n_rows, 0.0);
  std::vector<uint64_t> nm(n_rows, 0), nf(n_rows, 0);
  for (size_t c = 0; c < n_cols_; ++c) {
    const size_t base = n_rows * c;
    for (size_t r = 0; r < n_rows; ++r) {
      const size_t i = base + r;
      const double d = dist_[i], w = weight_[i];
      if (matched_[i] != 0) {
        wm[r] += w;
        sm[r] += w * d;
        dm[r] += d;
        ++nm[r];
      } else if (filled_[i] != 0) {
        wf[r] += w;
        sf[r] += w * d;
        df[r] += d;
        ++nf[r];
      }
    }
  }
  out.scores.resize(n_rows);
  for (size_t r = 0; r < n_rows; ++r) {
    const double total_weight = wf[r] + wm[r];
    // Weights that are all zero, or cancel, fall back to the plain mean
    // (every row has at least its pooling hit's cell, so no 0 / 0).
    out.scores[r] = total_weight != 0.0 ? (sf[r] + sm[r]) / total_weight
                                        : (df[r] + dm[r]) / static_cast<double>(nm[r] + nf[r]);
  }

  if (n_rows != 0) {
    std::vector<double> e;
    for (const Prefer& prefer : prefers) {
      if (prefer.hits.empty()) continue;
      e.clear();
      for (const Hit& hit : prefer.hits) e.push_back(hit.distance / prefer.divisor);
      double lo = e[0], hi = e[0];
      for (size_t j = 1; j < e.size(); ++j) {
        if (e[j] < lo) lo = e[j];
        if (e[j] > hi) hi = e[j];
      }
      double range = hi - lo;
      if (range == 0.0) range = 1.0;
      for (size_t j = 0; j < e.size(); ++j) {
        const size_t r = row_of_.find(prefer.hits[j].id, ids_);
        if (r == RowTable::kNone) continue;
        const double ej = e[j] < 0.0 ? 0.0 : e[j];
        const double closeness = 1.0 - (ej - lo) / range;
        // Unbounded on purpose: a factor above 1 may turn a score negative.
        if (closeness > 0.5) out.scores[r] *= 1.0 - closeness * prefer.factor;
      }
    }
  }

  std::vector<size_t>& returned = out.returned;
  bool any_nan = false;
  for (size_t r = 0; r < n_rows; ++r) {
    if (excluded_[r] != 0) continue;
    returned.push_back(r);
    any_nan = any_nan || std::isnan(out.scores[r]);
  }
  if (top == 0 || returned.size() <= top || any_nan) return out;
  std::vector<double> candidate_scores;
  candidate_scores.reserve(returned.size());
  for (size_t r : returned) candidate_scores.push_back(out.scores[r]);
  const double threshold = nth_smallest(&candidate_scores, static_cast<size_t>(top));
  // Every row tying with the threshold stays, so more than `top` may.
  returned.erase(std::remove_if(returned.begin(), returned.end(),
                                [&](size_t r) { return !(out.scores[r] <= threshold); }),
                 returned.end());
  return out;
}

double nth_smallest(std::vector<double>* values, size_t top) {
  if (top == 1) return *std::min_element(values->begin(), values->end(), TotalLess);
  auto nth = values->begin() + static_cast<std::ptrdiff_t>(top - 1);
  std::nth_element(values->begin(), nth, values->end(), TotalLess);
  return *nth;
}

}  // namespace nimbrel::fuse
