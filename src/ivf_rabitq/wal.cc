#include "ivf_rabitq/wal.h"

#include <random>

#include "ivf_rabitq/record.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel::wal {
namespace {

// The smallest record: a u32 tag and an empty id (its u64 length).
constexpr size_t kMinRecordBytes = 4 + 8;

Status CorruptWal(const std::string& what) { return Status::Corrupt("corrupt index: wal.bin: " + what); }

// Whether the record's own lengths add up to exactly `len` bytes (and an
// add's vector has `dim` values, when dim is not 0). Reads a handful of
// fields, whatever the record's size: while resynchronising over damage
// almost every offset fails here, so the CRC, which reads the whole
// record, runs only where a frame is likely, and skipping megabytes of
// garbage stays linear.
bool Plausible(const uint8_t* rec, uint64_t len, uint64_t dim) {
  const uint32_t tag = load_le<uint32_t>(rec);
  if (tag > static_cast<uint32_t>(WalOp::Kind::kDelete)) return false;
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
  if (tag == static_cast<uint32_t>(WalOp::Kind::kDelete)) return at == len;
  if (!skip(4, &n) || (dim != 0 && n != dim)) return false;  // vector
  return skip(1, &n) && skip(8, &n) && at == len;            // metadata, sparse pairs
}

// Whether a whole, valid frame starts at `p`; its end in *end.
bool FrameAt(const uint8_t* data, size_t len, size_t p, uint64_t dim, WalOp* op, size_t* end) {
  if (len - p < kFrameHeaderBytes) return false;
  const uint32_t rec_len = load_le<uint32_t>(data + p);
  if (rec_len < kMinRecordBytes || rec_len > len - p - kFrameHeaderBytes) return false;
  const uint8_t* rec = data + p + kFrameHeaderBytes;
  if (!Plausible(rec, rec_len, dim)) return false;
  if (crc32_ieee(rec, rec_len) != load_le<uint32_t>(data + p + 4)) return false;
  if (!decode_record(rec, rec_len, op)) return false;
  *end = p + kFrameHeaderBytes + rec_len;
  return true;
}

}  // namespace

std::vector<uint8_t> encode_record(const WalOp& op) {
  record::Writer w;
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
  return w.take();
}

std::vector<uint8_t> encode_frame(const WalOp& op) {
  std::vector<uint8_t> rec = encode_record(op);
  if (rec.size() > UINT32_MAX) return {};
  std::vector<uint8_t> frame(kFrameHeaderBytes + rec.size());
  store_le<uint32_t>(frame.data(), static_cast<uint32_t>(rec.size()));
  store_le<uint32_t>(frame.data() + 4, crc32_ieee(rec.data(), rec.size()));
  std::copy(rec.begin(), rec.end(), frame.begin() + kFrameHeaderBytes);
  return frame;
}

bool decode_record(const uint8_t* data, size_t len, WalOp* op) {
  record::Reader r(data, len);
  uint32_t tag;
  if (!r.tag(&tag) || tag > static_cast<uint32_t>(WalOp::Kind::kDelete)) return false;
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

std::vector<uint8_t> encode_header(uint64_t log_id) {
  std::vector<uint8_t> h(kHeaderBytes);
  std::copy(kMagic, kMagic + 4, h.begin());
  store_le<uint32_t>(h.data() + 4, kVersion);
  store_le<uint64_t>(h.data() + 8, log_id);
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

Result<Scan> scan(const uint8_t* data, size_t len, uint64_t start, uint64_t dim) {
  Scan out;
  if (len == 0) return out;
  if (len < kHeaderBytes) {
    return CorruptWal("size " + std::to_string(len) + " is shorter than its " +
                      std::to_string(kHeaderBytes) + "-byte header");
  }
  if (!std::equal(kMagic, kMagic + 4, data)) return CorruptWal("bad magic");
  const uint32_t version = load_le<uint32_t>(data + 4);
  if (version != kVersion) return CorruptWal("unsupported log version " + std::to_string(version));
  out.has_header = true;
  out.log_id = load_le<uint64_t>(data + 8);
  if (start < kHeaderBytes) start = kHeaderBytes;
  if (start > len) return CorruptWal("offset " + std::to_string(start) + " lies past its end");

  size_t p = start;
  WalOp op;
  while (p < len) {
    size_t end;
    if (FrameAt(data, len, p, dim, &op, &end)) {
      out.frames.push_back({p, end, std::move(op)});
      op = WalOp();
      p = end;
      continue;
    }
    size_t q = p + 1;
    while (q < len && !FrameAt(data, len, q, dim, &op, &end)) ++q;
    if (q >= len) {
      out.tail = std::make_pair(static_cast<uint64_t>(p), static_cast<uint64_t>(len));
      break;
    }
    out.damaged.emplace_back(p, q);
    p = q;  // the frame at q is parsed again by the loop: cheap, and simpler
  }
  return out;
}

// ---- files -------------------------------------------------------------------

Result<std::optional<uint64_t>> create_if_missing(const std::string& path) {
  if (platform::Exists(path)) return std::optional<uint64_t>();
  const uint64_t id = fresh_log_id();
  const std::vector<uint8_t> header = encode_header(id);
  // A private temporary name: several processes may create at once.
  const std::string temp = path + "." + std::to_string(platform::ProcessId()) + "-" +
                           std::to_string(platform::MonotonicNanos()) + std::string(storage::kTempSuffix);
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

Result<uint64_t> reset(const std::string& path) {
  const uint64_t id = fresh_log_id();
  NIMBREL_RETURN_IF_ERROR(storage::write_bytes(path, encode_header(id)));
  return id;
}

Status Writer::ensure_open(std::optional<uint64_t>* created_id) {
  if (file_.is_open()) {
    Result<platform::FileId> now = platform::PathIdentity(path_);
    if (now.ok() && *now == id_) return Status::Ok();
    (void)file_.Close();
  }
  NIMBREL_ASSIGN_OR_RETURN(*created_id, create_if_missing(path_));
  NIMBREL_ASSIGN_OR_RETURN(platform::File f, platform::File::Open(path_, platform::File::kAppendCreate));
  NIMBREL_ASSIGN_OR_RETURN(id_, f.Identity());
  file_ = std::move(f);
  return Status::Ok();
}

Status Writer::append(const std::vector<uint8_t>& frame, std::optional<uint64_t>* created_id) {
  created_id->reset();
  NIMBREL_RETURN_IF_ERROR(ensure_open(created_id));
  return file_.WriteOnce(frame.data(), frame.size());
}

Status Writer::sync() {
  if (!file_.is_open()) return Status::Ok();
  return file_.Sync();
}

}  // namespace nimbrel::wal
