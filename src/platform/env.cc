#include <pthread.h>
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

bool CurrentThreadName(std::string* name) {
  char buf[64];
  if (pthread_getname_np(pthread_self(), buf, sizeof buf) != 0) return false;
  *name = buf;
  return true;
}

bool SetCurrentThreadName(const std::string& name) {
#if defined(__APPLE__)
  return pthread_setname_np(name.substr(0, 63).c_str()) == 0;  // macOS names only the calling thread
#else
  return pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()) == 0;  // 16 bytes with the NUL
#endif
}

}  // namespace nimbrel::platform
