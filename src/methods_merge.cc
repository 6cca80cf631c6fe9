// merge_segments(out, dirs, tombstones, n_clusters, scale, skip, pca, n_bits, seed=42)
//
// The arguments are converted with the interpreter lock held; the merge
// itself runs without it, on the maintenance pool, so that its k-means and
// encoding leave the shared pool to live queries. No row passes through
// Python: only the argument lists and the result do.
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "convert.h"
#include "handle.h"
#include "maint_pool.h"

namespace nimbrel::py {

PyObject* MergeSegments(PyObject*, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"out", "dirs", "tombstones", "n_clusters", "scale", "skip", "pca", "n_bits",
                                    "seed", nullptr};
  PyObject *py_out = nullptr, *py_dirs = nullptr, *py_tombstones = nullptr, *py_clusters = nullptr,
           *py_scale = nullptr, *py_skip = nullptr, *py_pca = nullptr, *py_bits = nullptr, *py_seed = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OOOOOOOO|O:merge_segments", const_cast<char**>(kKeywords), &py_out,
                                   &py_dirs, &py_tombstones, &py_clusters, &py_scale, &py_skip, &py_pca, &py_bits,
                                   &py_seed)) {
    return nullptr;
  }
  IvfIndex::MergeInput in;
  std::vector<std::string> tombstones;
  Pca pca;
  if (!ToString(py_out, "out", &in.out) || !ToStringVec(py_dirs, "dirs", &in.dirs) ||
      !ToStringVec(py_tombstones, "tombstones", &tombstones) || !ToU64(py_clusters, "n_clusters", &in.n_clusters) ||
      !ToF32(py_scale, "scale", &in.scale) || !ToStringVec(py_skip, "skip", &in.skip) ||
      !ToPca(py_pca, "pca", &pca) || !ToU64(py_bits, "n_bits", &in.n_bits)) {
    return nullptr;
  }
  if (py_seed != nullptr && !ToU64(py_seed, "seed", &in.seed)) return nullptr;
  in.tombstones = std::unordered_set<std::string>(std::make_move_iterator(tombstones.begin()),
                                                  std::make_move_iterator(tombstones.end()));
  in.pca_mean = std::move(pca.mean);
  in.pca_comps = std::move(pca.comps);
  // Each input is opened under its directory's shared lock, as a handle
  // opens it, so that no build, compact or checkpoint of another process
  // replaces its files halfway through the open (the new segment would
  // mix two versions of the input's rows). Once open, the mapped files
  // stay as they were; the lock is not held for the rest of the merge, so
  // writers of the inputs are held up only for the opens. A directory that
  // is not there gets no lock file: its open fails anyway.
  in.open_input = [](const std::string& dir) -> Result<std::shared_ptr<IvfIndex>> {
    std::optional<platform::File> lock;
    if (platform::IsDirectory(dir)) {
      Result<platform::File> locked = locked_directory(dir, platform::LockKind::kShared);
      if (!locked.ok()) return locked.status();
      lock.emplace(std::move(locked).value());
    }
    return IvfIndex::open_with_skip(dir, std::nullopt);
  };

  Result<IvfIndex::MergeResult> merged = Status(Code::kIoError, "merge: did not run");
  if (!WithoutGil([&] {
        run_on_maintenance_pool([&] { merged = CallCore([&] { return IvfIndex::merge(in); }); });
      })) {
    return nullptr;
  }
  // Every failure of the merge is a plain OSError, whatever its kind.
  if (!merged.ok()) return io_err(merged.status().message());
  PyObject* dropped = TextList(merged->dropped);
  if (dropped == nullptr) return nullptr;
  return Py_BuildValue("(KN)", static_cast<unsigned long long>(merged->rows), dropped);
}

}  // namespace nimbrel::py
