#include "ivf_rabitq/thread_pool.h"

#include <tbb/global_control.h>
#include <tbb/info.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>

#include "ivf_rabitq/storage.h"
#include "platform/fs.h"

namespace nimbrel {

size_t shared_pool_size() noexcept {
  // Created on first use, never at load time. The control object lives for
  // the rest of the process: destroying it would lift the cap. Should
  // anything here fail (out of memory), the pool stays at TBB's default.
  static std::once_flag once;
  static size_t size = 0;
  try {
    std::call_once(once, [] {
      std::string value;
      uint64_t want = 0;
      if (!platform::GetEnv("RAYON_NUM_THREADS", &value) || !parse_u64_setting(value, &want) || want == 0) {
        want = static_cast<uint64_t>(std::max(1, tbb::info::default_concurrency()));
      }
      // TBB counts threads in an int; no machine comes near this cap.
      size = static_cast<size_t>(std::min<uint64_t>(want, 1u << 20));
      new tbb::global_control(tbb::global_control::max_allowed_parallelism, size);
    });
  } catch (...) {
  }
  return size;
}

}  // namespace nimbrel
