// calibrate_nprobe: the probe count that reaches a wanted recall on the
// handle's own segment. Arguments are converted with the interpreter lock
// held; the lock is released once, around the refresh of the segment and
// the whole measurement, which runs on the calling thread or, with
// background=True, on the maintenance pool. Either way the call waits for
// the answer.
#include <cstdint>
#include <string>
#include <vector>

#include "convert.h"
#include "handle.h"
#include "maint_pool.h"

namespace nimbrel::py {

PyObject* MethodCalibrateNprobe(PyObject* self, PyObject* args, PyObject* kw) {
  static const char* kKeywords[] = {"n_samples", "k", "target_recall", "grid", "rerank", "seed", "background",
                                    nullptr};
  PyObject *py_samples = nullptr, *py_k = nullptr, *py_target = nullptr, *py_grid = nullptr, *py_rerank = nullptr,
           *py_seed = nullptr, *py_background = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "OOOO|OOO:calibrate_nprobe", const_cast<char**>(kKeywords),
                                   &py_samples, &py_k, &py_target, &py_grid, &py_rerank, &py_seed, &py_background)) {
    return nullptr;
  }
  Handle* h = HandleOf(self);
  if (h == nullptr) return nullptr;

  // No range checks beyond the conversions: an empty grid, a target above
  // 1, no samples or k 0 all have an answer.
  uint64_t n_samples = 0, k = 0, rerank = 500, seed = 1234;
  float target_recall = 0.0f;
  std::vector<uint64_t> grid;
  bool background = false;
  if (!ToU64(py_samples, "n_samples", &n_samples) || !ToU64(py_k, "k", &k) ||
      !ToF32(py_target, "target_recall", &target_recall) || !ToU64Vec(py_grid, "grid", &grid)) {
    return nullptr;
  }
  if (py_rerank != nullptr && !ToU64(py_rerank, "rerank", &rerank)) return nullptr;
  if (py_seed != nullptr && !ToU64(py_seed, "seed", &seed)) return nullptr;
  if (py_background != nullptr && !ToBool(py_background, "background", &background)) return nullptr;

  uint64_t chosen = 0;
  std::optional<SearchErr> err;
  // A C++ exception from the measurement, on whichever thread it was
  // thrown, reaches this thread and is raised as the panic exception.
  if (!WithoutGil([&] {
        SegmentOrErr seg = opened_search(*h);
        if (seg.err) {
          err = std::move(seg.err);
          return;
        }
        auto job = [&] { chosen = seg.segment->calibrate_nprobe(n_samples, k, target_recall, rerank, grid, seed); };
        if (background) {
          run_on_maintenance_pool(job);
        } else {
          job();
        }
      })) {
    return nullptr;
  }
  if (err) return map_search_err(std::move(*err));
  return PyLong_FromUnsignedLongLong(chosen);
}

}  // namespace nimbrel::py
