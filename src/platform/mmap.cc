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
  NIMBREL_ASSIGN_OR_RETURN(int fd, OpenRegular(path, O_RDONLY, 0));
  Result<MappedFile> m = MapDescriptor(fd, access, prewarm, lock_in_ram);
  // The map keeps its own reference to the file.
  ::close(fd);
  return m;
}

Result<MappedFile> MappedFile::Map(const File& file, Access access, bool prewarm, bool lock_in_ram) {
  return MapDescriptor(file.fd(), access, prewarm, lock_in_ram);
}

Result<MappedFile> MappedFile::MapDescriptor(int fd, Access access, bool prewarm, bool lock_in_ram) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return Status::FromErrno(errno);
  MappedFile m;
  // mmap refuses a length of 0; an empty file simply has no pages.
  if (st.st_size == 0) return m;
  const size_t size = static_cast<size_t>(st.st_size);
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return Status::FromErrno(errno);
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
