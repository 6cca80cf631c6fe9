// Directories and names: create, list, remove, rename, unlink, and the
// directory flush that makes a rename or a new file durable.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/fault_point.h"
#include "platform/fs.h"

namespace nimbrel::platform {
namespace {

Status FromErrorCode(const std::error_code& ec) { return Status::FromErrno(ec.value()); }

}  // namespace

Status CreateDirectories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return FromErrorCode(ec);
  return Status::Ok();
}

Status Rename(const std::string& from, const std::string& to) {
  if (int err = InjectedFault("rename", to)) return Status::FromErrno(err);
  if (::rename(from.c_str(), to.c_str()) != 0) return Status::FromErrno(errno);
  return Status::Ok();
}

Status Unlink(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Status::FromErrno(errno);
  return Status::Ok();
}

Status RemoveAll(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec && ec.value() != ENOENT) return FromErrorCode(ec);
  return Status::Ok();
}

Result<std::vector<std::string>> ListDirectory(const std::string& path) {
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return Status::FromErrno(errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (e == nullptr) {
      int err = errno;
      ::closedir(d);
      if (err != 0) return Status::FromErrno(err);
      break;
    }
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  return names;
}

Status SyncDirectory(const std::string& path, bool open_failure_is_ok) {
  if (int err = InjectedFault("sync_dir", path)) return Status::FromErrno(err);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return open_failure_is_ok ? Status::Ok() : Status::FromErrno(errno);
  int rc = -1;
#if defined(__APPLE__)
  // On macOS fsync() stops at the drive's cache; F_FULLFSYNC flushes it.
  rc = ::fcntl(fd, F_FULLFSYNC);
#endif
  if (rc != 0) rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  if (rc != 0) return Status::FromErrno(err);
  return Status::Ok();
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string ParentPath(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  p.resize(slash);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

}  // namespace nimbrel::platform
