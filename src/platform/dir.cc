// Directories and names: create, list, remove, rename, unlink, and the
// directory flush that makes a rename or a new file durable.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/fault_point.h"
#include "platform/path_guard.h"
#include "platform/fs.h"

namespace nimbrel::platform {
namespace {

Status FromErrorCode(const std::error_code& ec) { return Status::FromErrno(ec.value()); }

Status Traced(TraceEvent::Op op, const std::string& path, const std::string& to = "") {
  if (Tracing()) {
    TraceEvent e;
    e.op = op;
    e.path = path;
    e.to = to;
    Trace(e);
  }
  return Status::Ok();
}

}  // namespace

std::vector<std::string> PathComponents(const std::string& path) {
  std::vector<std::string> components;
  for (size_t at = 0; at <= path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    std::string c = path.substr(at, slash - at);
    if (!c.empty() && c != ".") components.push_back(std::move(c));
    at = slash + 1;
  }
  return components;
}

Status CreateDirectories(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return FromErrorCode(ec);
  return Traced(TraceEvent::Op::kCreateDirectories, path);
}

Status Rename(const std::string& from, const std::string& to) {
  if (HasNul(from) || HasNul(to)) return Status::FromErrno(EINVAL);
  if (int err = InjectedFault("rename", to)) return Status::FromErrno(err);
  if (::rename(from.c_str(), to.c_str()) != 0) return Status::FromErrno(errno);
  return Traced(TraceEvent::Op::kRename, from, to);
}

Status LinkNoReplace(const std::string& from, const std::string& to) {
  if (HasNul(from) || HasNul(to)) return Status::FromErrno(EINVAL);
  if (int err = InjectedFault("rename", to)) return Status::FromErrno(err);
  if (::link(from.c_str(), to.c_str()) != 0) return Status::FromErrno(errno);
  return Traced(TraceEvent::Op::kLink, from, to);
}

Status Unlink(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  if (::unlink(path.c_str()) != 0) return Status::FromErrno(errno);
  return Traced(TraceEvent::Op::kUnlink, path);
}

Status RemoveAll(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec && ec.value() != ENOENT) return FromErrorCode(ec);
  return Traced(TraceEvent::Op::kRemoveAll, path);
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
  return Traced(TraceEvent::Op::kSyncDir, path);
}

namespace {

// Symlinks followed by hand before giving up with ELOOP, as the system does.
constexpr int kMaxSymlinkHops = 40;

}  // namespace

Result<std::string> ResolvePath(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  if (path.empty()) return Status::FromErrno(ENOENT);  // as the system reads ""
  std::string pending = path;
  if (pending.front() != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return Status::FromErrno(errno);
    pending = JoinPath(cwd, path);
    std::free(cwd);
  }
  for (int hops = 0;; ++hops) {
    const std::vector<std::string> components = PathComponents(pending);
    // The longest leading part that exists is resolved by the system.
    std::string resolved;
    size_t kept = components.size();
    int err = 0;
    for (;;) {
      std::string prefix = "/";
      for (size_t i = 0; i < kept; ++i) prefix = JoinPath(prefix, components[i]);
      char* real = ::realpath(prefix.c_str(), nullptr);
      if (real != nullptr) {
        resolved = real;
        std::free(real);
        break;
      }
      err = errno;
      if ((err != ENOENT && err != ENOTDIR) || kept == 0) return Status::FromErrno(err);
      --kept;
    }
    if (kept == components.size()) return resolved;
    // The first component that does not resolve may be a symlink whose
    // target is missing (not built yet, or between the two renames of
    // another process's directory swap): it is followed all the same, so
    // that the link and its target share one lock.
    const std::string first_missing = JoinPath(resolved, components[kept]);
    struct stat st{};
    if (::lstat(first_missing.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      if (hops == kMaxSymlinkHops) return Status::FromErrno(ELOOP);
      std::vector<char> target(std::max<size_t>(static_cast<size_t>(st.st_size), PATH_MAX) + 1);
      const ssize_t len = ::readlink(first_missing.c_str(), target.data(), target.size());
      if (len < 0) return Status::FromErrno(errno);
      if (static_cast<size_t>(len) >= target.size()) return Status::FromErrno(ENAMETOOLONG);  // changed meanwhile
      const std::string to(target.data(), static_cast<size_t>(len));
      pending = to.starts_with("/") ? to : JoinPath(resolved, to);
      for (size_t i = kept + 1; i < components.size(); ++i) pending = JoinPath(pending, components[i]);
      continue;
    }
    // Nothing below a missing component exists, so the rest is taken as
    // written; a ".." there would climb out of something that is not
    // there, which the system refuses too.
    for (size_t i = kept; i < components.size(); ++i) {
      if (components[i] == "..") return Status::FromErrno(err);
      resolved = JoinPath(resolved, components[i]);
    }
    return resolved;
  }
}

Result<std::string> LexicallyAbsolute(const std::string& path) {
  if (HasNul(path)) return Status::FromErrno(EINVAL);
  if (path.empty()) return Status::FromErrno(ENOENT);
  std::vector<std::string> kept;
  if (path.front() != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return Status::FromErrno(errno);
    kept = PathComponents(cwd);
    std::free(cwd);
  }
  for (std::string& c : PathComponents(path)) {
    if (c != "..") {
      kept.push_back(std::move(c));
    } else if (!kept.empty()) {
      kept.pop_back();
    }
  }
  std::string out = "/";
  for (const std::string& c : kept) out = JoinPath(out, c);
  return out;
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
