// The operating-system layer. Every OS call of the system goes through
// here, so the core and the Python layer include no OS header and hold no
// #ifdef. Errors come back as Status values carrying errno and the bare
// display text "{description} (os error {n})", without the path: callers
// quote that text inside their own messages ("ids.bin: unreadable (...)"),
// and add the file name where it helps.
//
// Implementation files: file.cc (File, whole-file reads, stat), dir.cc
// (directories, rename, unlink, directory flush), file_lock.cc (flock),
// mmap.cc (MappedFile), env.cc (environment, clock), fault.cc (the hook).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ivf_rabitq/status.h"

namespace nimbrel::platform {

// The system's description of an errno value ("No such file or directory").
std::string ErrorDescription(int err);

// ---- files ---------------------------------------------------------------
// A file's identity: device and inode. Two opens of one file agree; a file
// renamed over the name gives another identity.
struct FileId {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool operator==(const FileId&) const = default;
};

class File {
 public:
  File() = default;
  ~File();
  File(File&& o) noexcept;
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  enum Mode { kRead, kReadWrite, kReadWriteCreate, kWriteTruncate, kAppendCreate };
  // Opens a regular file. Anything else under the name (a symlink, a FIFO,
  // a device, a socket) is refused without blocking and before anything is
  // read or written: a kCorrupt status "not a regular file ({what it is})";
  // a directory gives the system's EISDIR. Symlinks are not followed: a
  // segment's files are its own, and a link could lead anywhere.
  static Result<File> Open(const std::string& path, Mode mode, unsigned perm = 0666);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  Status Close();
  Result<uint64_t> Size() const;
  Status WriteAll(const void* data, size_t len);
  // Which file the descriptor refers to (device and inode).
  Result<FileId> Identity() const;
  Status PWriteAll(const void* data, size_t len, uint64_t offset);
  // Reads exactly len bytes at offset; a file that ends first is an I/O
  // error "failed to fill whole buffer".
  Status PReadExact(void* data, size_t len, uint64_t offset) const;
  // Reads up to len bytes; returns how many were read (0 at end of file).
  Result<size_t> Read(void* data, size_t len);
  // Flushes the file's data to the device: F_FULLFSYNC on macOS, fsync elsewhere.
  Status Sync();
  // Cuts the file to `len` bytes (ftruncate).
  Status Truncate(uint64_t len);

 private:
  explicit File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

// A whole regular file, read no further than the size it had when it was
// opened (a file that grows meanwhile is not chased; one that shrinks
// gives what is left).
Result<std::vector<uint8_t>> ReadFile(const std::string& path);
// ReadFile for a file whose format bounds its size: one larger than
// `max_bytes` is damage, refused before anything is read (a kCorrupt
// status "size {size} (at most {max_bytes})"), so a file grown to any size
// costs no memory and no time.
Result<std::vector<uint8_t>> ReadFileAtMost(const std::string& path, uint64_t max_bytes);
// Stat-based checks; every failure counts as "no".
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
Result<uint64_t> FileSize(const std::string& path);
// (size, mtime in nanoseconds) of a file.
struct FileStamp { uint64_t size = 0; int64_t mtime_ns = 0; };
Result<FileStamp> Stamp(const std::string& path);

Status CreateDirectories(const std::string& path);  // like mkdir -p
Status Rename(const std::string& from, const std::string& to);
// Gives the file `from` the second name `to`; fails with EEXIST when `to`
// exists (never replaces it).
Status LinkNoReplace(const std::string& from, const std::string& to);
// The identity of what a path names (a symlink itself, not followed), and
// its size when `size` is given.
Result<FileId> PathIdentity(const std::string& path, uint64_t* size = nullptr);
Status Unlink(const std::string& path);              // ENOENT is an error too
Status RemoveAll(const std::string& path);           // ENOENT is success
Result<std::vector<std::string>> ListDirectory(const std::string& path);  // names, no . or ..
// Flushes a directory's entries to the device (after a rename or create).
// With `open_failure_is_ok`, a directory that cannot be opened counts as
// flushed; a failed flush is always an error.
Status SyncDirectory(const std::string& path, bool open_failure_is_ok = false);

// The absolute path of `path` with symlinks (dangling ones included), "."
// and ".." resolved, without a trailing separator: every spelling of one
// directory gives one result. Below the first component that does not
// exist the rest is appended as written; a ".." there fails with that
// component's error, as does an empty path (ENOENT).
Result<std::string> ResolvePath(const std::string& path);
// The absolute path of `path` with "." and ".." taken out as written, not
// as the system would read them: a ".." drops the component before it
// (a symlink's or a missing directory's alike; at the root it stays
// there). What a path names once every missing directory on it has been
// created as a real one; a relative path starts at the working directory.
Result<std::string> LexicallyAbsolute(const std::string& path);
// The non-empty components of a path other than "." ("a//./b/" gives a,
// b); ".." is kept as written, and nothing marks a leading "/".
std::vector<std::string> PathComponents(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
std::string ParentPath(const std::string& path);  // "" for a bare name

// ---- advisory whole-file locks (flock) ----------------------------------
enum class LockKind { kShared, kExclusive };
Status LockFile(const File& f, LockKind kind);  // blocking
Status UnlockFile(const File& f);

// ---- memory maps -----------------------------------------------------------
// A read-only shared map of a whole file. An empty file maps to no memory
// (data() is null, size() 0).
class MappedFile {
 public:
  enum class Access { kRandom, kHot };  // kHot: subject to prewarm / mlock
  MappedFile() = default;
  ~MappedFile();
  MappedFile(MappedFile&& o) noexcept;
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps `path`, which must be a regular file (as File::Open). For Access::kHot, applies will-need advice when `prewarm`
  // and locks the pages in RAM when `lock_in_ram` (a failed mlock is not
  // an error: the map works, only unlocked). kRandom gets random-access advice.
  static Result<MappedFile> Map(const std::string& path, Access access, bool prewarm,
                                bool lock_in_ram);
  // Maps the whole of an open file (its size now), as Map does.
  static Result<MappedFile> Map(const File& file, Access access, bool prewarm, bool lock_in_ram);
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool locked() const { return locked_; }
  bool prewarmed() const { return prewarmed_; }

 private:
  static Result<MappedFile> MapDescriptor(int fd, Access access, bool prewarm, bool lock_in_ram);
  void Unmap();
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool locked_ = false;
  bool prewarmed_ = false;
};

// ---- environment, clocks, process -----------------------------------------
// getenv, copied into *value; false (and *value cleared) when unset.
bool GetEnv(const char* name, std::string* value);
uint64_t MonotonicNanos();
uint64_t ProcessId();
// Writes one line (a newline is appended) to standard error, unbuffered:
// the repair notices.
void PrintNotice(const std::string& line);
// The calling thread's name as the system shows it (at most 15 bytes on
// Linux, longer names are cut); false when it cannot be read or set.
bool CurrentThreadName(std::string* name);
bool SetCurrentThreadName(const std::string& name);

// ---- fault injection (tests only) -----------------------------------------
// When set, each durable step named by `op` ("sync", "sync_dir", "rename",
// "write") first asks the hook; a non-zero return fails the step with that
// errno. Process-wide; null by default.
using FaultHook = int (*)(const char* op, const std::string& path);
void SetFaultHook(FaultHook hook);

// ---- tracing (tests only) --------------------------------------------------
// When set, every call that changes a file or a directory reports what it
// did, once it succeeded: the power-cut tests rebuild from these events
// the states a machine may come back in after losing power. Opens and
// closes of every File are reported too, so a descriptor can be followed
// to its file. Process-wide; null by default.
struct TraceEvent {
  enum class Op {
    kOpen,      // fd, path, mode
    kClose,     // fd
    kWrite,     // fd, offset, data, len: the bytes that landed there
    kTruncate,  // fd, offset: the new length
    kSync,      // fd
    kRename,    // path -> to
    kLink,      // path -> to
    kUnlink,    // path
    kSyncDir,   // path
    kCreateDirectories,  // path
    kRemoveAll,          // path
  };
  Op op;
  int fd = -1;
  File::Mode mode = File::kRead;
  std::string path, to;
  uint64_t offset = 0;
  const uint8_t* data = nullptr;
  size_t len = 0;
};
using TraceHook = void (*)(const TraceEvent& event);
void SetTraceHook(TraceHook hook);

}  // namespace nimbrel::platform
