// Internal to the platform layer: the check of every call that hands a
// path to the system.
#pragma once

#include <string>

#include "ivf_rabitq/status.h"

namespace nimbrel::platform {

// The system reads a path up to its first NUL byte, so "notes.txt\0.old"
// would name notes.txt itself: such a path must fail (EINVAL) before any
// call, never act on a shorter name.
inline bool HasNul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Opens `path` with open(2) `flags` when it names a regular file itself
// (not a symlink to one); anything else is refused without blocking and
// before anything is read (see File::Open). Returns the descriptor.
Result<int> OpenRegular(const std::string& path, int flags, unsigned perm);

}  // namespace nimbrel::platform
