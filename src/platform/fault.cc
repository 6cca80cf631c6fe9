// The test hooks: fault injection at the durable steps, and the trace of
// every change to files and directories.
#include <atomic>

#include "platform/fault_point.h"
#include "platform/fs.h"

namespace nimbrel::platform {
namespace {
// Constant-initialised: no code runs before main.
std::atomic<FaultHook> g_fault_hook{nullptr};
std::atomic<TraceHook> g_trace_hook{nullptr};
}  // namespace

void SetFaultHook(FaultHook hook) { g_fault_hook.store(hook, std::memory_order_release); }

int InjectedFault(const char* op, const std::string& path) {
  FaultHook hook = g_fault_hook.load(std::memory_order_acquire);
  return hook == nullptr ? 0 : hook(op, path);
}

void SetTraceHook(TraceHook hook) { g_trace_hook.store(hook, std::memory_order_release); }

bool Tracing() { return g_trace_hook.load(std::memory_order_acquire) != nullptr; }

void Trace(const TraceEvent& event) {
  if (TraceHook hook = g_trace_hook.load(std::memory_order_acquire)) hook(event);
}

}  // namespace nimbrel::platform
