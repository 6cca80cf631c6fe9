#include "ivf_rabitq/wal.h"

#include <simdjson.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <cmath>
#include <cstring>
#include <random>

#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel::wal {
namespace {

// Record tags: the two operations, and the mark of a device flush.
constexpr uint32_t kTagAdd = static_cast<uint32_t>(WalOp::Kind::kAdd);
constexpr uint32_t kTagDelete = static_cast<uint32_t>(WalOp::Kind::kDelete);
constexpr uint32_t kTagMark = 2;
// The smallest record: a u32 tag and a u64 (an empty id's length, or a mark).
constexpr size_t kMinRecordBytes = 4 + 8;
constexpr size_t kHeaderCrcAt = 20;

std::string U(uint64_t v) { return std::to_string(v); }

Status CorruptWal(const std::string& what) { return Status::Corrupt("corrupt index: wal.bin: " + what); }

// Whether the record's own lengths add up to exactly `len` bytes (and an
// add's vector has `dim` values, when dim is not 0). Reads a handful of
// fields, whatever the record's size: while resynchronising over damage
// almost every offset fails here, so the checksum, which reads the whole
// record, runs only where a frame is likely, and skipping megabytes of
// garbage stays linear.
bool Plausible(const uint8_t* rec, uint64_t len, uint64_t dim, bool marks) {
  const uint32_t tag = load_le<uint32_t>(rec);
  if (tag == kTagMark) return marks && len == kMinRecordBytes;
  if (tag > kTagDelete) return false;
  uint64_t at = 4;
  // A length field followed by `n` elements of `size` bytes.
  auto skip = [&](uint64_t size, uint64_t* n) {
    if (len - at < 8) return false;
    *n = load_le<uint64_t>(rec + at);
    at += 8;
    if (*n > (len - at) / size) return false;
    at += *n * size;
    return true;
  };
  uint64_t n;
  if (!skip(1, &n)) return false;  // id
  if (tag == kTagDelete) return at == len;
  if (!skip(4, &n) || (dim != 0 && n != dim)) return false;  // vector
  return skip(1, &n) && skip(8, &n) && at == len;            // metadata, sparse pairs
}

// The checksum of a version-2 frame: the log id and the frame's offset
// come first, so the same bytes anywhere else, or in another log, fail it.
uint32_t FrameCrc(uint64_t log_id, uint64_t offset, const uint8_t* rec, uint32_t len) {
  uint8_t place[20];
  store_le<uint64_t>(place, log_id);
  store_le<uint64_t>(place + 8, offset);
  store_le<uint32_t>(place + 16, len);
  return crc32_ieee(rec, len, crc32_ieee(place, sizeof place));
}

// The log's bytes [begin, len) as seen through a window that starts at
// `begin`: offsets stay those of the file.
struct Window {
  const uint8_t* data;
  uint64_t begin;
  uint64_t len;
  const uint8_t* at(uint64_t offset) const { return data + (offset - begin); }
};

// What starts at one offset.
struct Found {
  enum Kind { kNone, kOp, kMark } kind = kNone;
  uint64_t end = 0;
  uint64_t mark = 0;  // kMark: the durable length it vouches for
};

// Whether a whole frame, whose checksum and structure hold, starts at `p`.
// Operations are decoded into *op and checked, except their metadata text,
// which the caller checks for all frames at once.
Found FrameAt(const Header& h, const Window& w, uint64_t p, uint64_t dim, WalOp* op) {
  Found none;
  if (w.len - p < kFrameHeaderBytes) return none;
  const uint32_t rec_len = load_le<uint32_t>(w.at(p));
  if (rec_len < kMinRecordBytes || rec_len > w.len - p - kFrameHeaderBytes) return none;
  const uint8_t* rec = w.at(p) + kFrameHeaderBytes;
  const bool v2 = h.version == kVersion;
  if (!Plausible(rec, rec_len, dim, v2)) return none;
  const uint32_t crc = v2 ? FrameCrc(h.log_id, p, rec, rec_len) : crc32_ieee(rec, rec_len);
  if (crc != load_le<uint32_t>(w.at(p) + 4)) return none;
  Found f;
  f.end = p + kFrameHeaderBytes + rec_len;
  if (load_le<uint32_t>(rec) == kTagMark) {
    f.mark = load_le<uint64_t>(rec + 4);
    // A mark vouches only for bytes written before it.
    if (f.mark > p) return none;
    f.kind = Found::kMark;
    return f;
  }
  if (!decode_record(rec, rec_len, op)) return none;
  f.kind = Found::kOp;
  return f;
}

bool Finite(float v) { return std::isfinite(v); }

}  // namespace

// ---- records and frames --------------------------------------------------------

namespace {

void WriteRecord(record::Writer& w, const WalOp& op) {
  w.tag(static_cast<uint32_t>(op.kind));
  w.str(op.id);
  if (op.kind == WalOp::Kind::kAdd) {
    w.seq(op.vector);
    w.str(op.meta);
    w.count(op.sparse.size());
    for (const auto& [term, weight] : op.sparse) {
      w.u32(term);
      w.f32(weight);
    }
  }
}

}  // namespace

std::vector<uint8_t> encode_record(const WalOp& op) {
  record::Writer w;
  WriteRecord(w, op);
  return w.take();
}

bool decode_record(const uint8_t* data, size_t len, WalOp* op) {
  record::Reader r(data, len);
  uint32_t tag;
  if (!r.tag(&tag) || tag > kTagDelete) return false;
  op->kind = static_cast<WalOp::Kind>(tag);
  op->vector.clear();
  op->meta.clear();
  op->sparse.clear();
  if (!r.str(&op->id)) return false;
  if (op->kind == WalOp::Kind::kAdd) {
    uint64_t n;
    if (!r.seq(&op->vector) || !r.str(&op->meta) || !r.count(&n, 8)) return false;
    op->sparse.resize(n);
    for (auto& [term, weight] : op->sparse) {
      if (!r.u32(&term) || !r.f32(&weight)) return false;
    }
  }
  // The frame's length is the record's: trailing bytes mean a damaged frame.
  return r.remaining() == 0;
}

bool valid_op(const WalOp& op, uint64_t dim, nlohmann::json* meta) {
  if (!simdjson::validate_utf8(op.id.data(), op.id.size())) return false;
  if (op.kind == WalOp::Kind::kDelete) return true;
  if (dim != 0 && op.vector.size() != dim) return false;
  for (float v : op.vector) {
    if (!Finite(v)) return false;
  }
  for (const auto& [term, weight] : op.sparse) {
    if (!Finite(weight)) return false;
  }
  if (op.meta.empty()) {
    *meta = nullptr;
    return true;
  }
  *meta = parse_json_text(op.meta);
  return !meta->is_discarded() && !nested_deeper_than(*meta, kMaxMetadataDepth);
}

std::vector<uint8_t> frame_body(const WalOp& op) {
  record::Writer w;
  w.u32(0);  // the length and the checksum, written by seal()
  w.u32(0);
  WriteRecord(w, op);
  std::vector<uint8_t> frame = w.take();
  if (frame.size() - kFrameHeaderBytes > UINT32_MAX) return {};
  return frame;
}

void seal(std::vector<uint8_t>* frame, uint64_t log_id, uint64_t offset) {
  const uint32_t len = static_cast<uint32_t>(frame->size() - kFrameHeaderBytes);
  store_le<uint32_t>(frame->data(), len);
  store_le<uint32_t>(frame->data() + 4, FrameCrc(log_id, offset, frame->data() + kFrameHeaderBytes, len));
}

std::vector<uint8_t> mark_frame(uint64_t durable, uint64_t log_id, uint64_t offset) {
  std::vector<uint8_t> frame(kFrameHeaderBytes + kMinRecordBytes);
  store_le<uint32_t>(frame.data() + kFrameHeaderBytes, kTagMark);
  store_le<uint64_t>(frame.data() + kFrameHeaderBytes + 4, durable);
  seal(&frame, log_id, offset);
  return frame;
}

std::vector<uint8_t> encode_header(uint64_t log_id, uint32_t flags) {
  std::vector<uint8_t> h(kHeaderBytes);
  std::copy(kMagic, kMagic + 4, h.begin());
  store_le<uint32_t>(h.data() + 4, kVersion);
  store_le<uint64_t>(h.data() + 8, log_id);
  store_le<uint32_t>(h.data() + 16, flags);
  store_le<uint32_t>(h.data() + kHeaderCrcAt, crc32_ieee(h.data(), kHeaderCrcAt));
  return h;
}

uint64_t fresh_log_id() {
  std::random_device rd;
  uint64_t id = 0;
  while (id == 0) {
    id = (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ platform::MonotonicNanos() ^
         (platform::ProcessId() << 17);
  }
  return id;
}

Result<Header> parse_header(const uint8_t* data, size_t len) {
  Header h;
  if (len == 0) return h;
  const auto too_short = [&](size_t need) {
    return CorruptWal("size " + U(len) + " is shorter than its " + U(need) + "-byte header");
  };
  if (len < kLegacyHeaderBytes) return too_short(kLegacyHeaderBytes);
  if (!std::equal(kMagic, kMagic + 4, data)) return CorruptWal("bad magic");
  h.version = load_le<uint32_t>(data + 4);
  h.log_id = load_le<uint64_t>(data + 8);
  if (h.version == kLegacyVersion) {
    h.bytes = kLegacyHeaderBytes;
    return h;
  }
  if (h.version != kVersion) return CorruptWal("unsupported log version " + U(h.version));
  if (len < kHeaderBytes) return too_short(kHeaderBytes);
  if (crc32_ieee(data, kHeaderCrcAt) != load_le<uint32_t>(data + kHeaderCrcAt)) {
    return CorruptWal("header checksum mismatch");
  }
  h.flags = load_le<uint32_t>(data + 16);
  h.bytes = kHeaderBytes;
  return h;
}

// ---- scanning ---------------------------------------------------------------------

Scan scan_frames(const Header& header, const uint8_t* window, uint64_t begin, uint64_t len, uint64_t dim,
                 uint64_t durable) {
  Scan out;
  out.header = header;
  const Window w{window, begin, len};
  const bool v2 = header.version == kVersion;

  // Pass 1: every offset that holds a frame, in order, and the ranges
  // between that do not. Marks anywhere count, even past damage: each was
  // written only after the flush it reports had completed.
  struct Piece {
    uint64_t begin, end;
    int64_t frame;  // index into out.frames; -1: damage; -2: a mark
  };
  std::vector<Piece> pieces;
  uint64_t best_mark = 0;
  WalOp op;
  auto take = [&](uint64_t p, const Found& f) {
    if (f.kind == Found::kMark) {
      best_mark = std::max(best_mark, f.mark);
      pieces.push_back({p, f.end, -2});  // a mark applies nothing
      return;
    }
    pieces.push_back({p, f.end, static_cast<int64_t>(out.frames.size())});
    out.frames.push_back({p, f.end, std::move(op), nullptr});
    op = WalOp();
  };
  uint64_t p = begin;
  while (p < len) {
    Found f = FrameAt(header, w, p, dim, &op);
    if (f.kind != Found::kNone) {
      take(p, f);
      p = f.end;
      continue;
    }
    // A version-1 frame whose length runs past the end of the file is the
    // last append, cut short: nothing inside it is looked at (it could be
    // a caller's vector bytes). Version 2 needs no such rule (nothing a
    // caller wrote can pass for a frame) and looks on, for marks.
    if (!v2 && (len - p < kFrameHeaderBytes ||
                load_le<uint32_t>(w.at(p)) > len - p - kFrameHeaderBytes)) {
      pieces.push_back({p, len, -1});
      break;
    }
    uint64_t q = p + 1;
    while (q < len && (f = FrameAt(header, w, q, dim, &op)).kind == Found::kNone) ++q;
    pieces.push_back({p, q, -1});
    if (q >= len) break;
    take(q, f);
    p = f.end;
  }

  // An operation must be one add() or remove() could have logged; the
  // metadata texts, the costly part, are parsed in parallel (and kept).
  // Isolated: callers hold the log's lock, and a worker waiting here must
  // not pick up an unrelated task that could want it.
  std::vector<uint8_t> bad(out.frames.size(), 0);
  tbb::this_task_arena::isolate([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, out.frames.size(), 256),
                      [&](const tbb::blocked_range<size_t>& r) {
                        for (size_t i = r.begin(); i < r.end(); ++i) {
                          Scan::Frame& f = out.frames[i];
                          bad[i] = valid_op(f.op, dim, &f.meta) ? 0 : 1;
                        }
                      });
  });

  // Pass 2: apply in order. Damage inside the durable part is skipped; the
  // first damage past it ends the log. A version-1 log knows nothing of
  // durability: its damage is skipped wherever it lies, except at the end.
  out.durable = std::max({durable, best_mark, header.bytes});
  std::vector<Scan::Frame> applied;
  applied.reserve(out.frames.size());
  out.end = begin;
  auto damage = [&](uint64_t a, uint64_t b) {
    if (v2 ? b <= out.durable : b < len) {
      if (!out.damaged.empty() && out.damaged.back().second == a) {
        out.damaged.back().second = b;
      } else {
        out.damaged.emplace_back(a, b);
      }
      out.end = b;
      return true;
    }
    out.tail = std::make_pair(a, len);
    out.end = a;
    return false;
  };
  for (const Piece& piece : pieces) {
    const bool is_bad = piece.frame == -1 || (piece.frame >= 0 && bad[piece.frame]);
    if (is_bad) {
      if (!damage(piece.begin, piece.end)) break;
      continue;
    }
    if (piece.frame >= 0) applied.push_back(std::move(out.frames[piece.frame]));
    out.end = piece.end;
  }
  out.frames = std::move(applied);
  return out;
}

Result<Scan> scan(const uint8_t* data, size_t len, uint64_t start, uint64_t dim, uint64_t durable) {
  NIMBREL_ASSIGN_OR_RETURN(Header h, parse_header(data, len));
  if (h.version == 0) {
    Scan empty;
    return empty;
  }
  if (start < h.bytes) start = h.bytes;
  if (start > len) return CorruptWal("offset " + U(start) + " lies past its end");
  return scan_frames(h, data + start, start, len, dim, durable);
}

// ---- files -------------------------------------------------------------------

Result<std::optional<uint64_t>> create_if_missing(const std::string& path) {
  if (platform::Exists(path)) return std::optional<uint64_t>();
  const uint64_t id = fresh_log_id();
  const std::vector<uint8_t> header = encode_header(id, 0);
  // A private temporary name: several processes may create it at once.
  const std::string temp = storage::private_temp_path_for(path);
  {
    NIMBREL_ASSIGN_OR_RETURN(platform::File f, platform::File::Open(temp, platform::File::kWriteTruncate));
    Status st = f.WriteAll(header.data(), header.size());
    if (st.ok()) st = f.Sync();
    if (!st.ok()) {
      (void)f.Close();
      (void)platform::Unlink(temp);
      return st;
    }
  }
  // link() never replaces: the first creator wins, and a log that exists
  // is never seen without its header.
  Status linked = platform::LinkNoReplace(temp, path);
  (void)platform::Unlink(temp);
  if (!linked.ok()) {
    if (linked.os_errno() == EEXIST) return std::optional<uint64_t>();
    return linked;
  }
  NIMBREL_RETURN_IF_ERROR(storage::sync_parent_dir(path));
  return std::optional<uint64_t>(id);
}

Result<uint64_t> reset(const std::string& path, uint32_t flags) {
  const uint64_t id = fresh_log_id();
  NIMBREL_RETURN_IF_ERROR(storage::write_bytes(path, encode_header(id, flags)));
  return id;
}

void Writer::expect(uint64_t log_id, uint64_t end, uint64_t durable, bool folded) {
  log_id_ = log_id;
  end_ = end;
  durable_ = durable;
  folded_log_id_ = folded ? log_id : 0;
  pending_mark_ = 0;
}

Status Writer::open_log(bool create, bool* created) {
  if (create) {
    NIMBREL_ASSIGN_OR_RETURN(std::optional<uint64_t> made, create_if_missing(path_));
    if (made) {
      *created = true;
      expect(*made, kHeaderBytes, kHeaderBytes);
    }
  }
  Result<platform::File> opened = platform::File::Open(path_, platform::File::kReadWrite);
  if (!opened.ok()) {
    if (opened.status().code() == Code::kCorrupt) return CorruptWal(opened.status().message());
    return opened.status();
  }
  platform::File f = std::move(opened).value();
  NIMBREL_ASSIGN_OR_RETURN(uint64_t size, f.Size());
  uint8_t bytes[kHeaderBytes];
  const size_t n = static_cast<size_t>(std::min<uint64_t>(size, kHeaderBytes));
  NIMBREL_RETURN_IF_ERROR(f.PReadExact(bytes, n, 0));
  // A header, once there, never changes: reading it unlocked is safe.
  NIMBREL_ASSIGN_OR_RETURN(Header h, parse_header(bytes, n));
  // The log this writer knew goes on where it left off; any other is read
  // from its first frame on.
  if (h.version == 0 || h.log_id != log_id_) expect(h.log_id, h.bytes, h.bytes);
  header_ = h;
  NIMBREL_ASSIGN_OR_RETURN(id_, f.Identity());
  file_ = std::move(f);
  return Status::Ok();
}

Status Writer::lock_current(bool append, bool* created, uint64_t* size) {
  *created = false;
  // Rarely more than one round: only when the name is given to another
  // file (a checkpoint elsewhere) while this writer holds the old one.
  for (int round = 0; round < 64; ++round) {
    if (!file_.is_open()) {
      bool made = false;
      NIMBREL_RETURN_IF_ERROR(open_log(/*create=*/append, &made));
      *created = *created || made;
    }
    NIMBREL_RETURN_IF_ERROR(platform::LockFile(file_, platform::LockKind::kExclusive));
    // Checked under the lock: the file locked is the one under the name.
    // The same look gives its size, where the frames others wrote end.
    Result<platform::FileId> now = platform::PathIdentity(path_, size);
    if (now.ok() && *now == id_) {
      const bool empty = header_.version == 0;
      const bool folded = append && !empty && header_.log_id == folded_log_id_;
      if (!empty && !folded) return Status::Ok();
      // An empty file under the name (nothing of ours leaves one) needs its
      // header before any frame, and gets it whole. A log delta.bin has
      // folded in beyond its end is replaced by a fresh one (it follows a
      // checkpoint), so that new frames land where a replay reads them.
      Status st = storage::write_bytes(path_, encode_header(fresh_log_id(), folded ? kStartedByCheckpoint : 0));
      (void)platform::UnlockFile(file_);
      (void)file_.Close();
      NIMBREL_RETURN_IF_ERROR(st);
      *created = true;
      folded_log_id_ = 0;
      continue;
    }
    (void)platform::UnlockFile(file_);
    (void)file_.Close();
  }
  return Status(Code::kIoError, "wal.bin: the log kept being replaced while this writer waited for it");
}

Status Writer::catch_up(uint64_t size) {
  if (size == end_) return Status::Ok();
  if (size < end_) {
    // Shorter than what this writer saw: trust none of what it knew.
    expect(header_.log_id, header_.bytes, header_.bytes);
  }
  // Mapped, not read: under the lock nobody cuts the file, and a writer
  // that reads a log from its start does not copy all of it.
  NIMBREL_ASSIGN_OR_RETURN(platform::MappedFile map, platform::MappedFile::Map(file_, platform::MappedFile::Access::kRandom,
                                                                               false, false));
  size = std::min<uint64_t>(size, map.size());
  if (size < end_) return Status(Code::kIoError, "wal.bin: shrank while locked");
  const Scan s = scan_frames(header_, map.data() + end_, end_, size, dim_, durable_);
  if (s.end < size) {
    // A tail no replay reads (a write that a killed process or the device
    // never completed): nothing may be appended after it, or a later replay
    // could not tell it from a hole in what was written.
    platform::PrintNotice("Nimbrel: " + path_ + ": cut off " + U(size - s.end) + " bytes at offset " + U(s.end) +
                          " that hold no whole frame (a write cut short) before appending");
    map = platform::MappedFile();
    NIMBREL_RETURN_IF_ERROR(file_.Truncate(s.end));
  }
  end_ = s.end;
  durable_ = std::max(durable_, s.durable);
  return Status::Ok();
}

Status Writer::write_locked(std::vector<uint8_t>* frame, Written* out) {
  const uint64_t at = end_;
  const bool mark = pending_mark_ > durable_;
  std::vector<uint8_t> with_mark;
  if (mark) with_mark = mark_frame(pending_mark_, header_.log_id, at);
  seal(frame, header_.log_id, at + with_mark.size());
  if (mark) with_mark.insert(with_mark.end(), frame->begin(), frame->end());
  const std::vector<uint8_t>& bytes = mark ? with_mark : *frame;
  Status st = file_.PWriteAll(bytes.data(), bytes.size(), at);
  if (!st.ok()) {
    // Whatever part landed is cut off again, so the log still ends in a
    // whole frame.
    (void)file_.Truncate(at);
    return st;
  }
  if (mark) durable_ = pending_mark_;
  *out = Written{header_.log_id, at, bytes.size(), false};
  end_ = at + bytes.size();
  return Status::Ok();
}

Status Writer::append(std::vector<uint8_t> frame, Written* out) {
  bool created;
  uint64_t size;
  NIMBREL_RETURN_IF_ERROR(lock_current(/*append=*/true, &created, &size));
  Status st = header_.version != kVersion
                  ? Status(Code::kIoError, "wal.bin: a log of version " + U(header_.version) +
                                               " is only replayed, it takes no new operations (flush() "
                                               "replaces it by a current one)")
                  : catch_up(size);
  if (st.ok()) st = write_locked(&frame, out);
  (void)platform::UnlockFile(file_);
  if (st.ok()) out->created = created;
  return st;
}

Status Writer::sync() {
  // The file under the name: the one held may be a log a checkpoint
  // elsewhere replaced, and the current one holds other writers' frames.
  if (file_.is_open()) {
    Result<platform::FileId> now = platform::PathIdentity(path_);
    if (!now.ok() || *now != id_) (void)file_.Close();
  }
  if (!file_.is_open()) {
    bool created = false;
    Status st = open_log(/*create=*/false, &created);
    if (st.code() == Code::kNotFound) return Status::Ok();  // no log: nothing to flush
    NIMBREL_RETURN_IF_ERROR(st);
  }
  // Everything up to `covered`, whole frames this writer knows, was written
  // before the flush starts, so the flush puts it on the device. (A log it
  // did not know is read from its header on: nothing of it is marked.)
  const uint64_t covered = end_;
  NIMBREL_RETURN_IF_ERROR(file_.Sync());
  if (header_.version == kVersion && header_.log_id != folded_log_id_ && covered > durable_) {
    pending_mark_ = std::max(pending_mark_, covered);
  }
  return Status::Ok();
}

}  // namespace nimbrel::wal
