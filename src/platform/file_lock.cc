// Advisory whole-file locks. flock locks belong to the open file
// description, so two descriptors of one process exclude each other just
// as two processes do: every handle locks through its own descriptor.
#include <sys/file.h>

#include <cerrno>

#include "platform/fs.h"

namespace nimbrel::platform {

Status LockFile(const File& f, LockKind kind) {
  const int op = kind == LockKind::kShared ? LOCK_SH : LOCK_EX;
  for (;;) {
    if (::flock(f.fd(), op) == 0) return Status::Ok();
    if (errno != EINTR) return Status::FromErrno(errno);
  }
}

Status UnlockFile(const File& f) {
  if (::flock(f.fd(), LOCK_UN) != 0) return Status::FromErrno(errno);
  return Status::Ok();
}

}  // namespace nimbrel::platform
