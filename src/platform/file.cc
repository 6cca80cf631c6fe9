// Files: open modes, positional and sequential I/O, the full-device flush,
// whole-file reads and stat-based queries.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/fault_point.h"
#include "platform/path_guard.h"
#include "platform/fs.h"

namespace nimbrel::platform {
namespace {

Status ShortRead() {
  // The file ended before the bytes its caller needed: not an OS error,
  // so no errno, but still an I/O failure rather than damage, since the
  // callers that can tell damage apart check sizes first.
  return Status(Code::kIoError, "failed to fill whole buffer");
}

// What a name refers to when it is not a regular file, for the refusal.
Status NotRegular(mode_t m) {
  // A directory keeps the system's own error, as reading one would give.
  if (S_ISDIR(m)) return Status::FromErrno(EISDIR);
  const char* what = S_ISLNK(m)    ? "a symbolic link"
                     : S_ISFIFO(m) ? "a FIFO"
                     : S_ISCHR(m)  ? "a character device"
                     : S_ISBLK(m)  ? "a block device"
                     : S_ISSOCK(m) ? "a socket"
                                   : "of an unknown kind";
  return Status(Code::kCorrupt, std::string("not a regular file (") + what + ")");
}

// `len` bytes written at `offset`, or where the descriptor's position was
// before the write (it now stands after them, appends included).
void TraceWrite(int fd, const void* data, size_t len, std::optional<uint64_t> offset = std::nullopt) {
  TraceEvent e;
  e.op = TraceEvent::Op::kWrite;
  e.fd = fd;
  e.offset = offset ? *offset : static_cast<uint64_t>(::lseek(fd, 0, SEEK_CUR)) - len;
  e.data = static_cast<const uint8_t*>(data);
  e.len = len;
  Trace(e);
}

void TraceFd(TraceEvent::Op op, int fd, uint64_t offset = 0) {
  TraceEvent e;
  e.op = op;
  e.fd = fd;
  e.offset = offset;
  Trace(e);
}

}  // namespace

Result<int> OpenRegular(const std::string& path, int flags, unsigned perm) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  // Not through a symlink (it could lead to a device), and without waiting:
  // opening a FIFO waits for its other end, for ever if none comes.
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW, static_cast<mode_t>(perm));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    struct stat st{};
    if ((err == ELOOP || err == ENXIO) && ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      return NotRegular(st.st_mode);
    }
    return Status::FromErrno(err);
  }
  // Nothing is read before this look at what was opened.
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return Status::FromErrno(err);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return NotRegular(st.st_mode);
  }
  // O_NONBLOCK stays: it only guarded the open, and changes nothing for a
  // regular file's reads, writes and locks.
  return fd;
}

File::~File() {
  if (fd_ >= 0) {
    if (Tracing()) TraceFd(TraceEvent::Op::kClose, fd_);
    ::close(fd_);
  }
}

File::File(File&& o) noexcept : fd_(o.fd_), path_(std::move(o.path_)) { o.fd_ = -1; }

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) {
      if (Tracing()) TraceFd(TraceEvent::Op::kClose, fd_);
      ::close(fd_);
    }
    fd_ = o.fd_;
    path_ = std::move(o.path_);
    o.fd_ = -1;
  }
  return *this;
}

Result<File> File::Open(const std::string& path, Mode mode, unsigned perm) {
  int flags = 0;
  switch (mode) {
    case kRead: flags = O_RDONLY; break;
    case kReadWrite: flags = O_RDWR; break;
    case kReadWriteCreate: flags = O_RDWR | O_CREAT; break;
    case kWriteTruncate: flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case kAppendCreate: flags = O_WRONLY | O_APPEND | O_CREAT; break;
  }
  NIMBREL_ASSIGN_OR_RETURN(int fd, OpenRegular(path, flags, perm));
  if (Tracing()) {
    TraceEvent e;
    e.op = TraceEvent::Op::kOpen;
    e.fd = fd;
    e.mode = mode;
    e.path = path;
    Trace(e);
  }
  return File(fd, path);
}

Status File::Close() {
  if (fd_ < 0) return Status::Ok();
  int fd = fd_;
  fd_ = -1;
  if (Tracing()) TraceFd(TraceEvent::Op::kClose, fd);
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(fd) != 0 && errno != EINTR) return Status::FromErrno(errno);
  return Status::Ok();
}

Result<uint64_t> File::Size() const {
  struct stat st{};
  if (::fstat(fd_, &st) != 0) return Status::FromErrno(errno);
  return static_cast<uint64_t>(st.st_size);
}

Status File::WriteAll(const void* data, size_t len) {
  if (int err = InjectedFault("write", path_)) return Status::FromErrno(err);
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t w = ::write(fd_, p, len);
    if (w < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno);
    }
    if (Tracing()) TraceWrite(fd_, p, static_cast<size_t>(w));
    p += w;
    len -= static_cast<size_t>(w);
  }
  return Status::Ok();
}

Result<FileId> File::Identity() const {
  struct stat st{};
  if (::fstat(fd_, &st) != 0) return Status::FromErrno(errno);
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

Result<FileId> PathIdentity(const std::string& path, uint64_t* size) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  struct stat st{};
  // The name itself, as the opens (which follow no symlink) see it.
  if (::lstat(path.c_str(), &st) != 0) return Status::FromErrno(errno);
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

Status File::PWriteAll(const void* data, size_t len, uint64_t offset) {
  if (int err = InjectedFault("write", path_)) return Status::FromErrno(err);
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t w = ::pwrite(fd_, p, len, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno);
    }
    if (Tracing()) TraceWrite(fd_, p, static_cast<size_t>(w), offset);
    p += w;
    len -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return Status::Ok();
}

Status File::PReadExact(void* data, size_t len, uint64_t offset) const {
  char* p = static_cast<char*>(data);
  while (len > 0) {
    ssize_t r = ::pread(fd_, p, len, static_cast<off_t>(offset));
    if (r < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno);
    }
    if (r == 0) return ShortRead();
    p += r;
    len -= static_cast<size_t>(r);
    offset += static_cast<uint64_t>(r);
  }
  return Status::Ok();
}

Result<size_t> File::Read(void* data, size_t len) {
  for (;;) {
    ssize_t r = ::read(fd_, data, len);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EINTR) return Status::FromErrno(errno);
  }
}

Status File::Sync() {
  if (int err = InjectedFault("sync", path_)) return Status::FromErrno(err);
#if defined(__APPLE__)
  // On macOS fsync() stops at the drive's cache; F_FULLFSYNC flushes it.
  // Some file systems (network, FUSE) refuse it: fall back to fsync.
  if (::fcntl(fd_, F_FULLFSYNC) == 0) {
    if (Tracing()) TraceFd(TraceEvent::Op::kSync, fd_);
    return Status::Ok();
  }
#endif
  // A failed fsync is not retried, EINTR included: the kernel may already
  // have dropped the dirty pages, so a later success would lie.
  if (::fsync(fd_) != 0) return Status::FromErrno(errno);
  if (Tracing()) TraceFd(TraceEvent::Op::kSync, fd_);
  return Status::Ok();
}

Status File::Truncate(uint64_t len) {
  if (int err = InjectedFault("write", path_)) return Status::FromErrno(err);
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(len));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Status::FromErrno(errno);
  if (Tracing()) TraceFd(TraceEvent::Op::kTruncate, fd_, len);
  return Status::Ok();
}

Result<std::vector<uint8_t>> ReadFile(const std::string& path) { return ReadFileAtMost(path, UINT64_MAX); }

Result<std::vector<uint8_t>> ReadFileAtMost(const std::string& path, uint64_t max_bytes) {
  NIMBREL_ASSIGN_OR_RETURN(File f, File::Open(path, File::kRead));
  NIMBREL_ASSIGN_OR_RETURN(uint64_t size, f.Size());
  if (size > max_bytes) {
    return Status(Code::kCorrupt, "size " + std::to_string(size) + " (at most " + std::to_string(max_bytes) + ")");
  }
  if (size > SIZE_MAX) return Status::FromErrno(EFBIG);
  std::vector<uint8_t> out(static_cast<size_t>(size));
  size_t used = 0;
  while (used < out.size()) {
    NIMBREL_ASSIGN_OR_RETURN(size_t got, f.Read(out.data() + used, out.size() - used));
    if (got == 0) break;  // shorter now than when it was opened
    used += got;
  }
  out.resize(used);
  return out;
}

bool Exists(const std::string& path) {
  struct stat st{};
  return !HasNul(path) && ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st{};
  return !HasNul(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<uint64_t> FileSize(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return Status::FromErrno(errno);
  return static_cast<uint64_t>(st.st_size);
}

Result<FileStamp> Stamp(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return Status::FromErrno(errno);
  FileStamp s;
  s.size = static_cast<uint64_t>(st.st_size);
#if defined(__APPLE__)
  s.mtime_ns = static_cast<int64_t>(st.st_mtimespec.tv_sec) * 1000000000 + st.st_mtimespec.tv_nsec;
#else
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#endif
  return s;
}

}  // namespace nimbrel::platform
