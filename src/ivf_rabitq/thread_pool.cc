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
  // Decided on first use, never at load time. Without a usable setting TBB's
  // default (the processor count) stands and nothing is capped; with one,
  // the control object lives for the rest of the process, since destroying
  // it would lift the cap. Should creating it fail (out of memory), the
  // default stands.
  static std::once_flag once;
  static size_t size = 0;
  try {
    std::call_once(once, [] {
      const size_t processors = static_cast<size_t>(std::max(1, tbb::info::default_concurrency()));
      std::string value;
      uint64_t want = 0;
      size_t chosen = processors;
      if (platform::GetEnv("RAYON_NUM_THREADS", &value) && parse_u64_setting(value, &want) && want != 0) {
        // TBB counts threads in an int; no machine comes near this cap.
        const size_t capped = static_cast<size_t>(std::min<uint64_t>(want, 1u << 20));
        try {
          new tbb::global_control(tbb::global_control::max_allowed_parallelism, capped);
          chosen = capped;
        } catch (...) {
        }
      }
      size = chosen;
    });
  } catch (...) {
  }
  return size;
}

}  // namespace nimbrel
