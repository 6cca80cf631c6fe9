// A model of one directory on a disk that can lose power, rebuilt from the
// platform layer's trace of the changes made to it, and the states the
// disk may come back in after a cut at any point of that trace.
//
// Files are inodes; the directory's names point at them. What a sync made
// durable survives; what came after it may survive whole, in part, torn,
// zeroed or with pages or sectors missing, as a disk with a volatile cache
// and a file system that orders nothing without a flush allow:
// - an inode's data and size are durable as of its last sync of any
//   descriptor; the writes and truncations since are pending, in order;
// - the directory's entry changes (a create, rename, link, unlink) are
//   pending until the directory itself is synced; a cut keeps a prefix of
//   them, in order.
// Only names directly inside the directory are followed. An event the
// model cannot interpret that touches the directory is an error: a model
// that quietly ignored it would vouch for states it never considered.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ivf_rabitq/random.h"
#include "platform/fs.h"

namespace nimbrel::power_cut {

using Bytes = std::vector<uint8_t>;
using Op = platform::TraceEvent::Op;

// A traced event that owns its bytes (the traced pointer is only valid
// during the call).
struct Event {
  Op op;
  int fd = -1;
  platform::File::Mode mode = platform::File::kRead;
  std::string path, to;
  uint64_t offset = 0;
  Bytes data;
};

inline std::string Describe(const Event& e) {
  auto base = [](const std::string& p) { return p.substr(p.rfind('/') + 1); };
  const std::string fd = "fd " + std::to_string(e.fd);
  switch (e.op) {
    case Op::kOpen: {
      const char* mode = e.mode == platform::File::kRead               ? "read"
                         : e.mode == platform::File::kReadWriteCreate ? "read-write-create"
                         : e.mode == platform::File::kWriteTruncate   ? "write-truncate"
                         : e.mode == platform::File::kAppendCreate    ? "append-create"
                                                                      : "read-write";
      return "open " + base(e.path) + " (" + mode + ") as " + fd;
    }
    case Op::kClose: return "close " + fd;
    case Op::kWrite:
      return "write " + std::to_string(e.data.size()) + " bytes at " + std::to_string(e.offset) + " to " + fd;
    case Op::kTruncate: return "truncate " + fd + " to " + std::to_string(e.offset);
    case Op::kSync: return "sync " + fd;
    case Op::kRename: return "rename " + base(e.path) + " -> " + base(e.to);
    case Op::kLink: return "link " + base(e.path) + " -> " + base(e.to);
    case Op::kUnlink: return "unlink " + base(e.path);
    case Op::kSyncDir: return "sync directory " + e.path;
    case Op::kCreateDirectories: return "create directories " + e.path;
    case Op::kRemoveAll: return "remove all " + e.path;
  }
  return "unknown event";
}

// Records every traced event of the process while alive. One at a time.
class Recorder {
 public:
  Recorder() {
    std::lock_guard<std::mutex> lock(mu());
    current() = this;
    platform::SetTraceHook(&Hook);
  }
  ~Recorder() { Stop(); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  void Stop() {
    platform::SetTraceHook(nullptr);
    std::lock_guard<std::mutex> lock(mu());
    if (current() == this) current() = nullptr;
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mu());
    return events_.size();
  }
  const std::vector<Event>& events() const { return events_; }

 private:
  static std::mutex& mu() {
    static std::mutex m;
    return m;
  }
  static Recorder*& current() {
    static Recorder* r = nullptr;
    return r;
  }
  static void Hook(const platform::TraceEvent& t) {
    std::lock_guard<std::mutex> lock(mu());
    if (current() == nullptr) return;
    Event e{t.op, t.fd, t.mode, t.path, t.to, t.offset, {}};
    if (t.data != nullptr) e.data.assign(t.data, t.data + t.len);
    current()->events_.push_back(std::move(e));
  }
  std::vector<Event> events_;
};

// One state a cut may leave: every name of the directory with its content,
// and how it was drawn.
struct CrashState {
  std::map<std::string, Bytes> files;
  std::string variant;
};

class DiskModel {
 public:
  // `files`: the directory's content when the trace starts, all durable.
  DiskModel(std::string dir, const std::map<std::string, Bytes>& files) : dir_(std::move(dir)) {
    for (const auto& [name, content] : files) {
      names_[name] = static_cast<int>(inodes_.size());
      inodes_.push_back(Inode{content, content, {}});
    }
    durable_names_ = names_;
  }

  // Applies one event. True when it changed what a cut may leave; false
  // for reads, closes and flushes of nothing. An event the model cannot
  // interpret sets *error.
  bool Apply(const Event& e, std::string* error) {
    error->clear();
    switch (e.op) {
      case Op::kOpen: return Open(e, error);
      case Op::kClose:
        if (fds_.erase(e.fd) == 0) *error = "close of a descriptor never opened";
        return false;
      case Op::kWrite:
      case Op::kTruncate:
      case Op::kSync: {
        auto it = fds_.find(e.fd);
        if (it == fds_.end()) {
          *error = "descriptor never opened";
          return false;
        }
        if (!it->second) return false;  // a file outside the directory
        Inode& ino = inodes_[*it->second];
        if (e.op == Op::kSync) {
          if (ino.pending.empty()) return false;
          ino.durable = ino.current;
          ino.pending.clear();
          return true;
        }
        Change c{e.op == Op::kTruncate, e.offset, e.data};
        Perform(c, &ino.current);
        ino.pending.push_back(std::move(c));
        return true;
      }
      case Op::kRename:
      case Op::kLink: {
        const bool from_in = Inside(e.path), to_in = Inside(e.to);
        if (!from_in && !to_in && !Touches(e.path) && !Touches(e.to)) return false;
        if (!from_in || !to_in) {
          *error = "moves a name into or out of the directory";
          return false;
        }
        auto from = names_.find(Base(e.path));
        if (from == names_.end() || (e.op == Op::kLink && names_.count(Base(e.to)) != 0)) {
          *error = "names the model does not hold as expected";
          return false;
        }
        const int inode = from->second;
        if (e.op == Op::kRename) names_.erase(from);
        names_[Base(e.to)] = inode;
        dir_ops_.push_back({e.op, Base(e.path), Base(e.to), inode});
        return true;
      }
      case Op::kUnlink: {
        if (!Inside(e.path)) {
          if (Touches(e.path)) *error = "outside the names the model follows";
          return false;
        }
        if (names_.erase(Base(e.path)) == 0) {
          *error = "unlink of a name the model does not hold";
          return false;
        }
        dir_ops_.push_back({e.op, Base(e.path), "", -1});
        return true;
      }
      case Op::kSyncDir:
        if (e.path != dir_) {
          if (Touches(e.path)) *error = "a directory inside the segment directory";
          return false;
        }
        if (dir_ops_.empty()) return false;
        durable_names_ = names_;
        dir_ops_.clear();
        return true;
      case Op::kCreateDirectories:
        if (Touches(e.path)) *error = "creates the directory or one inside it";
        return false;
      case Op::kRemoveAll:
        if (Touches(e.path) || dir_.rfind(e.path + "/", 0) == 0) *error = "removes the directory or part of it";
        return false;
    }
    *error = "an event kind the model does not know";
    return false;
  }

  // What reads see now: every name with its content.
  std::map<std::string, Bytes> Current() const {
    std::map<std::string, Bytes> out;
    for (const auto& [name, inode] : names_) out[name] = inodes_[inode].current;
    return out;
  }

  // One state the disk may come back in after a cut now.
  CrashState Cut(XorShift64& rng) const {
    CrashState s;
    std::map<std::string, int> names = durable_names_;
    const size_t kept = rng.below(dir_ops_.size() + 1);
    for (size_t i = 0; i < kept; ++i) {
      const DirOp& d = dir_ops_[i];
      if (d.op == Op::kOpen || d.op == Op::kLink) names[d.to] = d.inode;
      if (d.op == Op::kRename) {
        names.erase(d.name);
        names[d.to] = d.inode;
      }
      if (d.op == Op::kUnlink) names.erase(d.name);
    }
    if (!dir_ops_.empty()) {
      s.variant = "directory: " + std::to_string(kept) + " of " + std::to_string(dir_ops_.size()) + " entry changes";
    }
    std::map<int, Bytes> content;
    for (const auto& [name, inode] : names) {
      if (content.count(inode) == 0) {
        std::string how;
        content[inode] = Recover(inodes_[inode], rng, &how);
        if (!how.empty()) s.variant += (s.variant.empty() ? "" : "; ") + name + ": " + how;
      }
      s.files[name] = content[inode];
    }
    if (s.variant.empty()) s.variant = "everything durable";
    return s;
  }

 private:
  // A pending change of an inode: bytes written at `offset`, or the size
  // cut or extended to `offset`.
  struct Change {
    bool truncate;
    uint64_t offset;
    Bytes data;
  };
  struct Inode {
    Bytes durable;  // on the device as of the last sync
    Bytes current;  // what reads see
    std::vector<Change> pending;
  };
  // A pending entry change; kOpen stands for the create of `to`.
  struct DirOp {
    Op op;
    std::string name, to;
    int inode;
  };

  static void Perform(const Change& c, Bytes* content) {
    if (c.truncate) {
      content->resize(c.offset);
      return;
    }
    if (content->size() < c.offset + c.data.size()) content->resize(c.offset + c.data.size());
    std::copy(c.data.begin(), c.data.end(), content->begin() + static_cast<ptrdiff_t>(c.offset));
  }

  // The blocks of `size` bytes the pending writes touched, in order.
  static std::vector<uint64_t> Touched(const Inode& ino, uint64_t size) {
    std::set<uint64_t> blocks;
    for (const Change& c : ino.pending) {
      if (c.truncate || c.data.empty()) continue;
      for (uint64_t b = c.offset / size; b <= (c.offset + c.data.size() - 1) / size; ++b) blocks.insert(b);
    }
    return {blocks.begin(), blocks.end()};
  }

  // Bytes [begin, end) of `out` back to what the device held (zeros past
  // its durable size).
  static void Revert(const Inode& ino, uint64_t begin, uint64_t end, Bytes* out) {
    for (uint64_t b = begin; b < std::min<uint64_t>(out->size(), end); ++b) {
      (*out)[b] = b < ino.durable.size() ? ino.durable[b] : 0;
    }
  }

  // An inode's content after a cut, drawn among the ways its pending
  // changes may have reached the device; `how` says which.
  static Bytes Recover(const Inode& ino, XorShift64& rng, std::string* how) {
    if (ino.pending.empty()) return ino.current;
    const std::string of = " of " + std::to_string(ino.pending.size()) + " pending changes (" +
                           std::to_string(ino.current.size()) + " bytes, " + std::to_string(ino.durable.size()) +
                           " durable)";
    switch (rng.below(6)) {
      case 0:
        *how = "none" + of;
        return ino.durable;
      case 1:
        *how = "all" + of;
        return ino.current;
      case 2: {
        *how = "size only, bytes zeroed," + of;
        Bytes out = ino.current;
        for (const Change& c : ino.pending) {
          if (c.truncate || c.offset >= out.size()) continue;
          const uint64_t end = std::min<uint64_t>(out.size(), c.offset + c.data.size());
          std::fill(out.begin() + static_cast<ptrdiff_t>(c.offset), out.begin() + static_cast<ptrdiff_t>(end), 0);
        }
        return out;
      }
      case 3: {
        // Torn at one point of the pending changes, counted in bytes
        // written (a truncation counts one): what came before it reached
        // the device, nothing after it did.
        uint64_t points = 0;
        for (const Change& c : ino.pending) points += c.truncate ? 1 : c.data.size();
        const uint64_t tear = rng.below(points);
        Bytes out = ino.durable;
        uint64_t before = 0;
        for (const Change& c : ino.pending) {
          const uint64_t size = c.truncate ? 1 : c.data.size();
          if (before + size > tear) {
            if (!c.truncate) {
              Perform({false, c.offset, Bytes(c.data.begin(), c.data.begin() + static_cast<ptrdiff_t>(tear - before))},
                      &out);
            }
            break;
          }
          Perform(c, &out);
          before += size;
        }
        *how = "torn at point " + std::to_string(tear) + " of " + std::to_string(points) + "," + of;
        return out;
      }
      case 4: {
        // Every change applied but one 4 KiB page, which still holds what
        // the device had before: the page cache writes pages back in any
        // order, so pages after a lost one may be there. Not the last page
        // touched: losing that one is a torn end, drawn above.
        const std::vector<uint64_t> pages = Touched(ino, 4096);
        if (pages.empty()) {
          *how = "all (no page written)" + of;
          return ino.current;
        }
        const uint64_t lost = pages[pages.size() > 1 ? rng.below(pages.size() - 1) : 0];
        Bytes out = ino.current;
        Revert(ino, lost * 4096, (lost + 1) * 4096, &out);
        *how = "all, but page " + std::to_string(lost) + " of pages " + std::to_string(pages.front()) + " to " +
               std::to_string(pages.back()) + " lost," + of;
        return out;
      }
      default: {
        // Every change applied, but some of the 512-byte sectors they
        // touched still hold what the device had before.
        Bytes out = ino.current;
        const std::vector<uint64_t> sectors = Touched(ino, 512);
        std::string reverted;
        for (uint64_t s : sectors) {
          if (rng.below(2) == 0) continue;
          Revert(ino, s * 512, (s + 1) * 512, &out);
          reverted += (reverted.empty() ? "" : ",") + std::to_string(s);
        }
        *how = "all, but sectors {" + reverted + "} of " + std::to_string(sectors.size()) + " reverted," + of;
        return out;
      }
    }
  }

  bool Open(const Event& e, std::string* error) {
    if (fds_.count(e.fd) != 0) {
      *error = "descriptor opened twice without a close";
      return false;
    }
    if (!Inside(e.path)) {
      if (Touches(e.path)) *error = "outside the names the model follows";
      fds_[e.fd] = std::nullopt;
      return false;
    }
    const std::string name = Base(e.path);
    auto it = names_.find(name);
    if (it != names_.end()) {
      fds_[e.fd] = it->second;
      if (e.mode != platform::File::kWriteTruncate) return false;
      Inode& ino = inodes_[it->second];
      Change c{true, 0, {}};
      Perform(c, &ino.current);
      ino.pending.push_back(std::move(c));
      return true;
    }
    if (!Creates(e.mode)) {
      *error = "open without create of a name the model does not hold";
      return false;
    }
    const int inode = static_cast<int>(inodes_.size());
    inodes_.push_back(Inode{});
    names_[name] = inode;
    fds_[e.fd] = inode;
    dir_ops_.push_back({Op::kOpen, "", name, inode});
    return true;
  }

  static bool Creates(platform::File::Mode m) {
    return m == platform::File::kReadWriteCreate || m == platform::File::kWriteTruncate ||
           m == platform::File::kAppendCreate;
  }
  bool Touches(const std::string& p) const { return p == dir_ || p.rfind(dir_ + "/", 0) == 0; }
  bool Inside(const std::string& p) const {
    return p.size() > dir_.size() + 1 && Touches(p) && p.find('/', dir_.size() + 1) == std::string::npos;
  }
  std::string Base(const std::string& p) const { return p.substr(dir_.size() + 1); }

  std::string dir_;
  std::vector<Inode> inodes_;
  std::map<std::string, int> names_;          // as reads see them
  std::map<std::string, int> durable_names_;  // as of the last directory sync
  std::vector<DirOp> dir_ops_;                // since then, in order
  std::map<int, std::optional<int>> fds_;     // descriptor -> inode; none: outside the directory
};

}  // namespace nimbrel::power_cut
