// Directories and names: create, list, remove, rename, unlink, and the
// directory flush that makes a rename or a new file durable.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/fault_point.h"
#include "platform/fs.h"

namespace nimbrel::platform {
namespace {

Status FromErrorCode(const std::error_code& ec) { return Status::FromErrno(ec.value()); }

}  // namespace

Status CreateDirectories(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return FromErrorCode(ec);
  return Status::Ok();
}

Status Rename(const std::string& from, const std::string& to) {
  if (HasNul(from) || HasNul(to)) return Status::FromErrno(EINVAL);
  if (int err = InjectedFault("rename", to)) return Status::FromErrno(err);
  if (::rename(from.c_str(), to.c_str()) != 0) return Status::FromErrno(errno);
  return Status::Ok();
}

Status Unlink(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  if (::unlink(path.c_str()) != 0) return Status::FromErrno(errno);
  return Status::Ok();
}

Status RemoveAll(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec && ec.value() != ENOENT) return FromErrorCode(ec);
  return Status::Ok();
}

Result<std::vector<std::string>> ListDirectory(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
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
  if (HasNul(path)) return Status::FromErrno(EINVAL);
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

Result<std::string> ResolvePath(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  std::string absolute = path;
  if (absolute.empty() || absolute.front() != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return Status::FromErrno(errno);
    absolute = JoinPath(cwd, path);
    std::free(cwd);
  }
  std::vector<std::string> parts;
  for (size_t at = 0; at <= absolute.size();) {
    size_t slash = absolute.find('/', at);
    if (slash == std::string::npos) slash = absolute.size();
    std::string part = absolute.substr(at, slash - at);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    at = slash + 1;
  }
  // The longest leading part that exists is resolved by the system
  // (symlinks, ".." after a symlink); what lies below the first missing
  // component cannot hold a symlink, so it is appended as written.
  std::string resolved;
  size_t kept = parts.size();
  for (;;) {
    std::string prefix = "/";
    for (size_t i = 0; i < kept; ++i) prefix = JoinPath(prefix, parts[i]);
    char* real = ::realpath(prefix.c_str(), nullptr);
    if (real != nullptr) {
      resolved = real;
      std::free(real);
      break;
    }
    const int err = errno;
    if ((err != ENOENT && err != ENOTDIR) || kept == 0) return Status::FromErrno(err);
    --kept;
  }
  for (size_t i = kept; i < parts.size(); ++i) {
    if (parts[i] == "..") {
      const std::string parent = ParentPath(resolved);
      resolved = parent.empty() ? std::string("/") : parent;
    } else {
      resolved = JoinPath(resolved, parts[i]);
    }
  }
  return resolved;
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
