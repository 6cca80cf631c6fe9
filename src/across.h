// Pieces shared by the calls that look ids up across a column's segments
// (distances_to_many, and the fill lookups of the multi-column fusion).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <vector>

#include "handle.h"

namespace nimbrel::py {

// The query vectors of one column as one owned run of float32 values:
// `queries` (the content of a bytes object) must hold whole vectors of the
// first source's dim, every source having that dim; the values must be
// finite and their squared norm, all vectors together, within the float32
// distance limit (require_finite). No sources: empty, the bytes unread.
// Interpreter lock held; false with ValueError set on failure.
bool source_queries(const std::vector<Handle*>& sources, std::string_view queries, std::vector<float>* out);

}  // namespace nimbrel::py
