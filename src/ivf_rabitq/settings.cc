// Process-wide settings from the environment, each read once on first use
// and cached, and the residency switches that set_residency overrides.
// Everything here is constant-initialised: no code runs at load time.
#include <atomic>
#include <cctype>
#include <string>

#include "ivf_rabitq/storage.h"
#include "platform/fs.h"

namespace nimbrel {

std::atomic<uint8_t> PREWARM_STATE{0};
std::atomic<uint8_t> MLOCK_STATE{0};

namespace {

constexpr uint8_t kUndecided = 0, kOff = 1, kOn = 2;
constexpr uint64_t kDefaultVerifyMaxBytes = 64ull << 20;

std::atomic<bool> g_verify_read{false};
std::atomic<uint64_t> g_verify_max{kDefaultVerifyMaxBytes};
constexpr uint64_t kDefaultMergeSample = 1000000;
std::atomic<bool> g_merge_sample_read{false};
std::atomic<uint64_t> g_merge_sample{kDefaultMergeSample};

std::string_view Trim(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

// While the switch is undecided, the environment decides it, once; a value
// stored meanwhile by set_residency wins over the environment.
bool SwitchOn(std::atomic<uint8_t>& state, const char* env_name) {
  uint8_t s = state.load(std::memory_order_acquire);
  if (s == kUndecided) {
    std::string value;
    const bool on = platform::GetEnv(env_name, &value) && parse_switch_setting(value);
    uint8_t expected = kUndecided;
    state.compare_exchange_strong(expected, on ? kOn : kOff, std::memory_order_acq_rel);
    s = state.load(std::memory_order_acquire);
  }
  return s == kOn;
}

}  // namespace

bool parse_u64_setting(std::string_view text, uint64_t* out) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;  // overflow
    v = v * 10 + digit;
  }
  *out = v;
  return true;
}

bool parse_switch_setting(std::string_view text) {
  text = Trim(text);
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !(lower.empty() || lower == "0" || lower == "no" || lower == "off" || lower == "false");
}

bool prewarm_enabled() { return SwitchOn(PREWARM_STATE, "NIMBREL_PREWARM"); }
bool mlock_enabled() { return SwitchOn(MLOCK_STATE, "NIMBREL_MLOCK"); }

uint64_t verify_max_bytes() {
  if (!g_verify_read.load(std::memory_order_acquire)) {
    // Two threads may both get here; they compute the same value.
    std::string value;
    uint64_t v = kDefaultVerifyMaxBytes;
    if (!platform::GetEnv("NIMBREL_VERIFY_MAX_BYTES", &value) || !parse_u64_setting(value, &v)) {
      v = kDefaultVerifyMaxBytes;
    }
    g_verify_max.store(v, std::memory_order_relaxed);
    g_verify_read.store(true, std::memory_order_release);
  }
  return g_verify_max.load(std::memory_order_relaxed);
}

uint64_t merge_sample() {
  if (!g_merge_sample_read.load(std::memory_order_acquire)) {
    std::string value;
    uint64_t v = 0;
    if (!platform::GetEnv("NIMBREL_MERGE_SAMPLE", &value) || !parse_u64_setting(value, &v) || v == 0) {
      v = kDefaultMergeSample;
    }
    g_merge_sample.store(v, std::memory_order_relaxed);
    g_merge_sample_read.store(true, std::memory_order_release);
  }
  return g_merge_sample.load(std::memory_order_relaxed);
}

void reset_cached_settings_for_testing() {
  g_verify_read.store(false, std::memory_order_release);
  g_merge_sample_read.store(false, std::memory_order_release);
  PREWARM_STATE.store(kUndecided);
  MLOCK_STATE.store(kUndecided);
}

}  // namespace nimbrel
