#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/fs.h"

namespace nimbrel::platform {

bool GetEnv(const char* name, std::string* value) {
  const char* v = std::getenv(name);
  if (v == nullptr) {
    value->clear();
    return false;
  }
  value->assign(v);
  return true;
}

uint64_t MonotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t ProcessId() { return static_cast<uint64_t>(::getpid()); }

void PrintNotice(const std::string& line) {
  std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace nimbrel::platform
