// IvfIndex::merge: one new segment from the live rows of several segment
// directories. The inputs are opened, their live rows walked in the
// caller's order, ids deleted elsewhere left out and an id live in several
// inputs taken from the later one; then the rows are built into a new
// segment (fresh k-means and encoding), their vectors read back from the
// inputs' 8-bit copies a chunk at a time as the build needs them.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <memory>
#include <string_view>
#include <unordered_set>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"
#include "platform/fs.h"

namespace nimbrel {
namespace {

std::string U(uint64_t v) { return std::to_string(v); }

// A path as its components: "a//b/./" and "a/b" are one path, a leading
// "/" is a component of its own, ".." is kept as written.
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> out = platform::PathComponents(path);
  if (!path.empty() && path.front() == '/') out.insert(out.begin(), "/");
  return out;
}

// Where `out` may turn out to be: resolved as it stands, and resolved once
// its ".." are taken out as written. The two differ when a ".." follows a
// symlink, or a directory that is not there yet: the build creates that
// one as a real directory, so "missing/../a" is "a" by then, though
// resolving it now fails. Either reading that names an input is refused.
// Empty when neither resolves: what `out` names cannot be told.
std::vector<std::string> OutPlaces(const std::string& out) {
  std::vector<std::string> places;
  if (Result<std::string> real = platform::ResolvePath(out); real.ok()) places.push_back(std::move(real).value());
  if (Result<std::string> lexical = platform::LexicallyAbsolute(out); lexical.ok()) {
    Result<std::string> real = platform::ResolvePath(*lexical);
    if (real.ok() && (places.empty() || *real != places.front())) places.push_back(std::move(real).value());
  }
  return places;
}

// The merge writes a new segment and takes no lock on `out`: written over
// an input it would read what it is replacing, and written over a live
// segment it would take acknowledged rows away from its handles, which
// would go on serving the old ones. Both are refused before anything is
// opened.
Status CheckOutput(const IvfIndex::MergeInput& in) {
  const Status is_input = Status::InvalidArgument("merge: output dir must not be one of the input dirs");
  const std::vector<std::string> out = Components(in.out);
  for (const std::string& dir : in.dirs) {
    if (Components(dir) == out) return is_input;
  }
  // Spelled differently, the same directory: relative against absolute,
  // through "..", a symlink or another mount of it.
  const std::vector<std::string> places = OutPlaces(in.out);
  if (places.empty() && !in.dirs.empty()) {
    // In doubt (a path nothing can resolve: too long, looping links, no
    // permission): refused, saying why.
    return Status::InvalidArgument("merge: cannot tell whether output dir " + in.out +
                                   " is one of the input dirs (" + platform::ResolvePath(in.out).status().message() +
                                   ")");
  }
  for (const std::string& place : places) {
    const Result<platform::FileId> place_id = platform::PathIdentity(place);
    for (const std::string& dir : in.dirs) {
      const Result<std::string> real = platform::ResolvePath(dir);
      if (!real.ok()) continue;  // its open fails below
      const Result<platform::FileId> id = platform::PathIdentity(*real);
      if (*real == place || (place_id.ok() && id.ok() && *id == *place_id)) return is_input;
    }
  }
  // A segment's files, the write path's included (they hold rows too, and
  // the build removes them), and a segment whose swap a crash cut between
  // its two renames, which the next handle puts back from "<dir>.old". A
  // failed merge leaves none of them (data files, no manifest.bin): its
  // directory is written over.
  auto held = [&](const std::string& file) {
    return Status::InvalidArgument("merge: output dir " + in.out + " already holds a segment (" + file + ")");
  };
  for (const std::string& place : places) {
    for (const char* name : {segment::kManifestFile, segment::kWalFile, segment::kDeltaFile, segment::kDeletedFile}) {
      if (platform::PathIdentity(platform::JoinPath(place, name)).ok()) return held(name);
    }
    const std::string old = platform::JoinPath(place + ".old", segment::kManifestFile);
    if (platform::PathIdentity(old).ok()) return held(old);
  }
  return Status::Ok();
}

// One row of an input that goes into the merge.
struct Source {
  uint32_t input;
  uint32_t row;
};

}  // namespace

Result<IvfIndex::MergeResult> IvfIndex::merge(const MergeInput& in) {
  if (in.n_bits < 1 || in.n_bits > 8) {
    return Status::InvalidArgument("merge: n_bits must be between 1 and 8, got " + U(in.n_bits));
  }
  NIMBREL_RETURN_IF_ERROR(CheckOutput(in));
  try {
    std::vector<std::shared_ptr<IvfIndex>> inputs;
    for (const std::string& dir : in.dirs) {
      NIMBREL_ASSIGN_OR_RETURN(std::shared_ptr<IvfIndex> x,
                               in.open_input ? in.open_input(dir) : open_with_skip(dir, std::nullopt));
      if (!inputs.empty() && x->dim() != inputs.front()->dim()) {
        return Status::InvalidData("merge: segment dim " + U(x->dim()) + " != expected " +
                                   U(inputs.front()->dim()) +
                                   " (cannot merge segments of differing dimensionality)");
      }
      inputs.push_back(std::move(x));
    }
    const uint64_t dim = inputs.empty() ? 0 : inputs.front()->dim();

    // The live rows, in order; the build keeps the last row of an id,
    // which is the later input's.
    MergeResult result;
    std::vector<Source> rows;
    BuildInput b;
    for (uint32_t i = 0; i < inputs.size(); ++i) {
      const IvfIndex& x = *inputs[i];
      const uint64_t total = x.manifest_.n + x.delta_.size();
      for (uint64_t r = 0; r < total; ++r) {
        const uint32_t row = static_cast<uint32_t>(r);
        if (x.tombstones_.contains(row)) continue;
        std::string id = x.ext_of(row);
        if (in.tombstones.count(id) != 0) {
          result.dropped.push_back(std::move(id));
          continue;
        }
        rows.push_back({i, row});
        b.ids.push_back(std::move(id));
      }
    }
    const uint64_t n = rows.size();
    if (n == 0) return result;  // nothing survives: nothing is written
    if (!slot_space_ok(0, n)) {
      return Status::InvalidArgument("slot space exhausted: 0 existing + " + U(n) +
                                     " new rows exceed the u32 slot capacity");
    }

    // Metadata parsed once (its canonical text and typed columns are the
    // build's), sparse terms copied; vectors are not read here.
    b.metadata.resize(n);
    std::vector<std::vector<SparsePairs>> main_sparse(inputs.size());
    bool has_sparse = false;
    for (size_t i = 0; i < inputs.size(); ++i) {
      main_sparse[i] = inputs[i]->main_sparse_rows();
      has_sparse = has_sparse || !main_sparse[i].empty();
      for (const SparsePairs& s : inputs[i]->delta_.sparse) has_sparse = has_sparse || !s.empty();
    }
    if (has_sparse) b.sparse.resize(n);
    tbb::parallel_for(tbb::blocked_range<uint64_t>(0, n, 256), [&](const tbb::blocked_range<uint64_t>& r) {
      for (uint64_t k = r.begin(); k < r.end(); ++k) {
        const IvfIndex& x = *inputs[rows[k].input];
        const uint32_t row = rows[k].row;
        b.metadata[k] = parse_json_text(x.row_meta_str(row));
        if (b.metadata[k].is_discarded()) b.metadata[k] = nullptr;
        if (!has_sparse) continue;
        if (row >= x.manifest_.n) {
          b.sparse[k] = x.delta_.sparse[row - x.manifest_.n];
        } else if (!main_sparse[rows[k].input].empty()) {
          b.sparse[k] = main_sparse[rows[k].input][row];
        }
      }
    });
    main_sparse.clear();

    b.dir = in.out;
    b.n = n;
    b.dim = dim;
    b.row_vector = [&](uint64_t k, float* out) { inputs[rows[k].input]->stored_vector(rows[k].row, out); };
    b.max_sample = merge_sample();
    b.skip = in.skip;
    b.pca_mean = in.pca_mean;
    b.pca_comps = in.pca_comps;
    b.n_clusters = in.n_clusters;
    b.n_bits = in.n_bits;
    b.seed = in.seed;
    b.quant_scale = in.scale;
    // The build keeps one row per id: those are the rows written.
    b.stored_rows = &result.rows;
    NIMBREL_RETURN_IF_ERROR(build(b));
    return result;
  } catch (const std::bad_alloc&) {
    return Status(Code::kIoError, "merge: out of memory");
  } catch (const std::exception& e) {
    return Status(Code::kIoError, std::string("merge: ") + e.what());
  }
}

}  // namespace nimbrel
