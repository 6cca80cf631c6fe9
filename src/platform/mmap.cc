// Read-only shared maps of whole segment files, with residency advice.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs.h"
#include "platform/path_guard.h"

namespace nimbrel::platform {

void MappedFile::Unmap() {
  if (data_ != nullptr) {
    if (locked_) ::munlock(const_cast<uint8_t*>(data_), size_);
    ::munmap(const_cast<uint8_t*>(data_), size_);
  }
  data_ = nullptr;
  size_ = 0;
  locked_ = prewarmed_ = false;
}

MappedFile::~MappedFile() { Unmap(); }

MappedFile::MappedFile(MappedFile&& o) noexcept
    : data_(o.data_), size_(o.size_), locked_(o.locked_), prewarmed_(o.prewarmed_) {
  o.data_ = nullptr;
  o.size_ = 0;
  o.locked_ = o.prewarmed_ = false;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    Unmap();
    data_ = o.data_;
    size_ = o.size_;
    locked_ = o.locked_;
    prewarmed_ = o.prewarmed_;
    o.data_ = nullptr;
    o.size_ = 0;
    o.locked_ = o.prewarmed_ = false;
  }
  return *this;
}

Result<MappedFile> MappedFile::Map(const std::string& path, Access access, bool prewarm,
                                   bool lock_in_ram) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Status::FromErrno(errno);
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return Status::FromErrno(err);
  }
  MappedFile m;
  // mmap refuses a length of 0; an empty file simply has no pages.
  if (st.st_size == 0) {
    ::close(fd);
    return m;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  int err = errno;
  // The map keeps its own reference to the file.
  ::close(fd);
  if (p == MAP_FAILED) return Status::FromErrno(err);
  m.data_ = static_cast<const uint8_t*>(p);
  m.size_ = size;
  if (access == Access::kRandom) {
    // Lookups touch a few bytes here and there: read-ahead would only
    // evict useful pages.
    ::madvise(p, size, MADV_RANDOM);
  } else {
    if (prewarm) {
      ::madvise(p, size, MADV_WILLNEED);
      m.prewarmed_ = true;
    }
    // A failed mlock (RLIMIT_MEMLOCK) leaves a working, unlocked map.
    if (lock_in_ram && ::mlock(p, size) == 0) m.locked_ = true;
  }
  return m;
}

}  // namespace nimbrel::platform
