// CRC-32, checksummed headers, atomic file writes and the generation file.
#include "ivf_rabitq/storage.h"

#include <isa-l/crc.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"

namespace nimbrel {

uint32_t crc32_ieee(const void* data, size_t len, uint32_t crc) {
  return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), len);
}

std::vector<uint8_t> wrap_with_header(const char magic[4], const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out(8 + body.size());
  std::memcpy(out.data(), magic, 4);
  store_le<uint32_t>(out.data() + 4, crc32_ieee(body.data(), body.size()));
  if (!body.empty()) std::memcpy(out.data() + 8, body.data(), body.size());
  return out;
}

Status check_header_magic(const char magic[4], const uint8_t* file, size_t len, std::string_view file_name) {
  if (len < 8) {
    return corrupt_file(std::string(file_name),
                        "file of " + std::to_string(len) + " bytes is shorter than its 8-byte header");
  }
  if (std::memcmp(file, magic, 4) != 0) return corrupt_file(std::string(file_name), "bad magic");
  return Status::Ok();
}

Status check_header_crc(const uint8_t* file, size_t len, std::string_view file_name) {
  if (crc32_ieee(file + 8, len - 8) != load_le<uint32_t>(file + 4)) {
    return corrupt_file(std::string(file_name), "checksum mismatch");
  }
  return Status::Ok();
}

Result<std::vector<uint8_t>> unwrap_header(const char magic[4], const std::vector<uint8_t>& file,
                                           std::string_view file_name) {
  NIMBREL_RETURN_IF_ERROR(check_header_magic(magic, file.data(), file.size(), file_name));
  NIMBREL_RETURN_IF_ERROR(check_header_crc(file.data(), file.size(), file_name));
  return std::vector<uint8_t>(file.begin() + 8, file.end());
}

uint64_t crcs_file_max_bytes(uint64_t typed_columns) {
  // This build records at most 10 data files besides the typed columns.
  constexpr uint64_t kOtherFiles = 64;
  constexpr uint64_t kEntryBytes = 8 + 255 + 4;
  return 8 + 8 + (kOtherFiles + typed_columns) * kEntryBytes + kHeaderRoomBytes;
}

Status corrupt_file(const std::string& file, const std::string& what) {
  return Status::Corrupt("corrupt index: " + file + ": " + what);
}

Status about_file(const std::string& file, const Status& st) {
  if (st.code() == Code::kCorrupt) return corrupt_file(file, st.message());
  return Status(st.code(), file + ": " + st.message(), st.os_errno());
}

Result<std::vector<uint8_t>> read_segment_file(const std::string& dir, const char* name, bool* missing,
                                               uint64_t max_bytes) {
  *missing = false;
  Result<std::vector<uint8_t>> bytes = platform::ReadFileAtMost(platform::JoinPath(dir, name), max_bytes);
  if (bytes.ok()) return bytes;
  if (bytes.status().code() == Code::kNotFound) {
    *missing = true;
    return std::vector<uint8_t>();
  }
  return about_file(name, bytes.status());
}

namespace storage {
namespace {

// Data is streamed to disk in pieces of this size: large enough that the
// write calls cost nothing next to the copy, small enough to stay in cache.
constexpr size_t kStreamBufferBytes = 1 << 20;
constexpr size_t kCrcBufferBytes = 64 * 1024;

}  // namespace

std::string temp_path_for(const std::string& path) {
  // The target's name with its extension replaced: manifest.bin ->
  // manifest.writing.tmp, generation -> generation.writing.tmp. A leading
  // dot starts a name, not an extension.
  const size_t slash = path.rfind('/');
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= name_at) return path + std::string(kTempSuffix);
  return path.substr(0, dot) + std::string(kTempSuffix);
}

std::string private_temp_path_for(const std::string& path) {
  const std::string temp = temp_path_for(path);
  // (Built by append: GCC 12 warns falsely about insert and operator+ here.)
  std::string out(temp, 0, temp.size() - kTempSuffix.size());
  out.append(".").append(std::to_string(platform::ProcessId())).append("-");
  out.append(std::to_string(platform::MonotonicNanos())).append(kTempSuffix);
  return out;
}

Status sync_parent_dir(const std::string& path) {
  const std::string parent = platform::ParentPath(path);
  return platform::SyncDirectory(parent.empty() ? std::string(".") : parent, /*open_failure_is_ok=*/true);
}

Status write_bytes_via(const std::string& path, const std::string& temp, const void* data,
                       size_t len) {
  NIMBREL_ASSIGN_OR_RETURN(AtomicFileWriter w, AtomicFileWriter::Create(path, temp));
  NIMBREL_RETURN_IF_ERROR(w.Append(data, len));
  Result<uint32_t> crc = w.Commit();
  if (!crc.ok()) return crc.status();
  return sync_parent_dir(path);
}

Status write_bytes(const std::string& path, const void* data, size_t len) {
  return write_bytes_via(path, temp_path_for(path), data, len);
}

// ---- AtomicFileWriter -------------------------------------------------------

void AtomicFileWriter::Abandon() {
  if (!committed_ && !temp_.empty()) {
    (void)file_.Close();
    (void)platform::Unlink(temp_);
  }
  temp_.clear();
}

AtomicFileWriter::~AtomicFileWriter() { Abandon(); }

AtomicFileWriter::AtomicFileWriter(AtomicFileWriter&& o) noexcept
    : file_(std::move(o.file_)),
      path_(std::move(o.path_)),
      temp_(std::exchange(o.temp_, std::string())),
      buf_(std::move(o.buf_)),
      crc_(o.crc_),
      written_(o.written_),
      committed_(o.committed_) {}

AtomicFileWriter& AtomicFileWriter::operator=(AtomicFileWriter&& o) noexcept {
  if (this != &o) {
    Abandon();
    file_ = std::move(o.file_);
    path_ = std::move(o.path_);
    temp_ = std::exchange(o.temp_, std::string());
    buf_ = std::move(o.buf_);
    crc_ = o.crc_;
    written_ = o.written_;
    committed_ = o.committed_;
  }
  return *this;
}

Result<AtomicFileWriter> AtomicFileWriter::Create(const std::string& path, const std::string& temp) {
  AtomicFileWriter w;
  w.path_ = path;
  w.temp_ = temp.empty() ? temp_path_for(path) : temp;
  Result<platform::File> f = platform::File::Open(w.temp_, platform::File::kWriteTruncate, 0666);
  if (!f.ok()) {
    w.temp_.clear();  // nothing of ours to remove
    return f.status();
  }
  w.file_ = std::move(f).value();
  w.buf_.reserve(kStreamBufferBytes);
  return w;
}

Status AtomicFileWriter::Drain() {
  if (buf_.empty()) return Status::Ok();
  Status st = file_.WriteAll(buf_.data(), buf_.size());
  buf_.clear();
  return st;
}

Status AtomicFileWriter::Append(const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  crc_ = crc32_ieee(p, len, crc_);
  written_ += len;
  if (len >= kStreamBufferBytes) {
    NIMBREL_RETURN_IF_ERROR(Drain());
    return file_.WriteAll(p, len);
  }
  if (buf_.size() + len > kStreamBufferBytes) NIMBREL_RETURN_IF_ERROR(Drain());
  buf_.insert(buf_.end(), p, p + len);
  return Status::Ok();
}

Result<uint32_t> AtomicFileWriter::Commit() {
  NIMBREL_RETURN_IF_ERROR(Drain());
  NIMBREL_RETURN_IF_ERROR(file_.Sync());
  NIMBREL_RETURN_IF_ERROR(file_.Close());
  NIMBREL_RETURN_IF_ERROR(platform::Rename(temp_, path_));
  committed_ = true;
  return crc_;
}

// ---- generation and whole-file CRCs -----------------------------------------

uint64_t read_generation(const std::string& dir) {
  // Only the first 8 bytes count: every query's staleness check reads this
  // file, and a damaged, huge one must not make each of them read it all.
  Result<platform::File> f = platform::File::Open(platform::JoinPath(dir, segment::kGenerationFile),
                                                  platform::File::kRead);
  uint8_t bytes[8];
  if (!f.ok() || !f->PReadExact(bytes, sizeof bytes, 0).ok()) return 0;
  return load_le<uint64_t>(bytes);
}

Status write_generation(const std::string& dir, uint64_t gen) {
  uint8_t bytes[8];
  store_le<uint64_t>(bytes, gen);
  const std::string path = platform::JoinPath(dir, segment::kGenerationFile);
  Status st = write_bytes(path, bytes, sizeof bytes);
  // Named: a bare "Is a directory" from a flush would not say what is.
  if (!st.ok()) return Status(st.code(), path + ": " + st.message(), st.os_errno());
  return st;
}

Result<uint32_t> crc32_file_with_buffer(const std::string& path, std::vector<uint8_t>& buffer) {
  if (buffer.empty()) buffer.resize(kCrcBufferBytes);
  NIMBREL_ASSIGN_OR_RETURN(platform::File f, platform::File::Open(path, platform::File::kRead));
  // No further than the size the caller checked against its budget.
  NIMBREL_ASSIGN_OR_RETURN(uint64_t left, f.Size());
  uint32_t crc = 0;
  while (left > 0) {
    NIMBREL_ASSIGN_OR_RETURN(size_t got, f.Read(buffer.data(), std::min<uint64_t>(buffer.size(), left)));
    if (got == 0) break;
    crc = crc32_ieee(buffer.data(), got, crc);
    left -= got;
  }
  return crc;
}

}  // namespace storage
}  // namespace nimbrel
