// Internal to the platform layer: the check every durable step makes
// against the test hook (see SetFaultHook in fs.h).
#pragma once

#include <string>

namespace nimbrel::platform {

// 0 when the step may proceed, else the errno it must fail with.
int InjectedFault(const char* op, const std::string& path);

struct TraceEvent;
// Whether a trace hook is set (events cost nothing to skip otherwise).
bool Tracing();
void Trace(const TraceEvent& event);

}  // namespace nimbrel::platform
