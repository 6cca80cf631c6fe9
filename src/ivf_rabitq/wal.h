// The write-ahead log, wal.bin (docs/format.md, "wal.bin").
//
// A log is a 16-byte header (magic "NBWL", u32 version 1, u64 log id)
// followed by frames, one per operation: u32 record length, u32 CRC-32 of
// the record, the record. A log id names one incarnation of the file: a
// checkpoint replaces the log by an empty one with a fresh id, and
// delta.bin records which log, up to which offset, it has folded in.
//
// Appends come from many processes at once: every frame is one write() on
// a descriptor opened for appending, so frames never interleave. Readers
// resynchronise after damage: a frame that does not check out is skipped
// up to the next offset where a whole frame does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ivf_rabitq/status.h"
#include "platform/fs.h"

namespace nimbrel {

// One logged operation.
struct WalOp {
  enum class Kind : uint32_t { kAdd = 0, kDelete = 1 };
  Kind kind = Kind::kAdd;
  std::string id;
  std::vector<float> vector;                       // Add only
  std::string meta;                                // Add only: JSON text
  std::vector<std::pair<uint32_t, float>> sparse;  // Add only

  static WalOp Delete(std::string id) {
    WalOp op;
    op.kind = Kind::kDelete;
    op.id = std::move(id);
    return op;
  }
};

namespace wal {

inline constexpr char kMagic[4] = {'N', 'B', 'W', 'L'};
inline constexpr uint32_t kVersion = 1;
inline constexpr size_t kHeaderBytes = 16;
inline constexpr size_t kFrameHeaderBytes = 8;

// The record encoding of an operation, and the frame around it. A record
// longer than 4 GiB - 1 cannot be framed: encode_frame returns empty.
std::vector<uint8_t> encode_record(const WalOp& op);
std::vector<uint8_t> encode_frame(const WalOp& op);
// Decodes a record; false when it is not a whole, valid record.
bool decode_record(const uint8_t* data, size_t len, WalOp* op);

std::vector<uint8_t> encode_header(uint64_t log_id);
// A new random log id (never 0).
uint64_t fresh_log_id();

// What a scan of a log's bytes found.
struct Scan {
  bool has_header = false;   // false: empty or shorter than a header
  uint64_t log_id = 0;
  struct Frame {
    uint64_t offset;  // of the frame header
    uint64_t end;     // one past the frame
    WalOp op;
  };
  std::vector<Frame> frames;
  // Byte ranges [begin, end) skipped between valid frames.
  std::vector<std::pair<uint64_t, uint64_t>> damaged;
  // Bytes after the last valid frame that hold no whole frame: a frame
  // cut short by a crash, or one still being appended by another process.
  std::optional<std::pair<uint64_t, uint64_t>> tail;
};

// Scans `data` (a whole log) from offset `start` (at least the header's
// end). With `dim` not 0, an add whose vector has another length is not a
// frame of this segment's log: it counts as damage. A header that is
// present but wrong is kCorrupt "corrupt index: wal.bin: ...". Never reads
// outside the buffer; time linear in the log's size for damage of any
// kind but a crafted one (bytes whose lengths all add up but whose CRC
// fails, at many offsets).
Result<Scan> scan(const uint8_t* data, size_t len, uint64_t start, uint64_t dim = 0);

// The appending side of one log file, owned by one segment and used under
// its log mutex. The file is opened lazily; before every append it checks
// that the name still refers to the file it holds open (a checkpoint of
// another handle or process replaces the file), and reopens otherwise.
class Writer {
 public:
  explicit Writer(std::string path) : path_(std::move(path)) {}

  // Appends one encoded frame with a single write. Creates the log (with
  // its header, atomically: no appender ever sees a log without one) when
  // the file does not exist. On failure nothing whole was appended.
  // *created_id is set when this call created the log.
  Status append(const std::vector<uint8_t>& frame, std::optional<uint64_t>* created_id);
  // Flushes the open file to the device; nothing to do when none is open.
  Status sync();
  bool is_open() const { return file_.is_open(); }
  void close() { (void)file_.Close(); }

 private:
  Status ensure_open(std::optional<uint64_t>* created_id);
  std::string path_;
  platform::File file_;
  platform::FileId id_;
};

// Creates the log at `path` with a fresh header unless a file exists there
// already (several processes may race to create it: one wins, the others
// use its file). Returns the id of the log this call created, if it did.
Result<std::optional<uint64_t>> create_if_missing(const std::string& path);
// Replaces the log at `path` by an empty one with a fresh id, atomically
// (temporary file, device flush, rename, directory flush). Returns the id.
Result<uint64_t> reset(const std::string& path);

}  // namespace wal
}  // namespace nimbrel
