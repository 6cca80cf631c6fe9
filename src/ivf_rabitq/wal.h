// The write-ahead log, wal.bin (docs/format.md, "wal.bin"; the recovery
// argument is in docs/write-path.md).
//
// A log is a 24-byte header (magic "NBWL", u32 version 2, u64 log id, u32
// flags, u32 CRC-32 of the header's first 20 bytes) followed by frames:
// u32 record length, u32 checksum, the record. A frame's checksum covers
// the log id and the frame's own offset besides its bytes, so a frame is
// valid only in its own log and at its own place: bytes a caller hands in
// (a vector, an id, a metadata text) can never be read back as a frame,
// whatever they hold. A log id names one incarnation of the file: a
// checkpoint replaces the log by an empty one with a fresh id, and
// delta.bin records which log, up to which offset, it has folded in.
//
// A writer's next frame after a device flush comes with a mark: "the log
// up to here was on the device". A replay skips damage inside that durable
// part (bit rot) and keeps going; damage past it can only be a write the
// device never completed, so the replay stops there, and what it applies is
// always a prefix of the operations. Appends hold an exclusive lock on the
// log file, and a writer first cuts off a torn tail no replay would read,
// so nothing valid is ever written after it. Only appends write to a log.
//
// Logs of version 1 (16-byte header, checksum of the record alone, no
// marks) are still replayed, but take no new frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

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
inline constexpr uint32_t kVersion = 2;        // written
inline constexpr uint32_t kLegacyVersion = 1;  // replayed only
inline constexpr size_t kHeaderBytes = 24;
inline constexpr size_t kLegacyHeaderBytes = 16;
inline constexpr size_t kFrameHeaderBytes = 8;
// Header flag: a checkpoint started this log, after it had written
// delta.bin and deleted.bin (so both must exist beside it).
inline constexpr uint32_t kStartedByCheckpoint = 1;

// The record encoding of an operation.
std::vector<uint8_t> encode_record(const WalOp& op);
// Decodes a record; false when it is not a whole, valid record.
bool decode_record(const uint8_t* data, size_t len, WalOp* op);
// Whether a decoded operation is one add() or remove() could have logged:
// a UTF-8 id; for an add, `dim` finite components (any count when dim is
// 0), finite sparse weights and a metadata text that is JSON (parsed into
// *meta; empty text stands for null) nested no deeper than metadata may be.
bool valid_op(const WalOp& op, uint64_t dim, nlohmann::json* meta);

// A frame under construction: room for its 8-byte header, then the
// record. seal() writes the header for the frame's place in a log; a
// record longer than 4 GiB - 1 cannot be framed (the body is then empty).
std::vector<uint8_t> frame_body(const WalOp& op);
void seal(std::vector<uint8_t>* frame, uint64_t log_id, uint64_t offset);
// The frame of a mark at `offset`: the log was on the device up to `durable`.
std::vector<uint8_t> mark_frame(uint64_t durable, uint64_t log_id, uint64_t offset);

std::vector<uint8_t> encode_header(uint64_t log_id, uint32_t flags);
// A new random log id (never 0).
uint64_t fresh_log_id();

struct Header {
  uint32_t version = 0;  // 0: an empty file, no header
  uint64_t log_id = 0;
  uint32_t flags = 0;
  uint64_t bytes = 0;    // the header's size; frames start here
};
// The header at the start of a log's bytes. A header that is present but
// wrong (too short, magic, version, checksum) is kCorrupt "corrupt index:
// wal.bin: ...".
Result<Header> parse_header(const uint8_t* data, size_t len);

// What a scan of a log found.
struct Scan {
  Header header;
  struct Frame {
    uint64_t offset;      // of the frame header
    uint64_t end;         // one past the frame
    WalOp op;
    nlohmann::json meta;  // an add's metadata, parsed (null without)
  };
  // The operations to apply, in log order.
  std::vector<Frame> frames;
  // Damaged ranges [begin, end) inside the durable part, skipped.
  std::vector<std::pair<uint64_t, uint64_t>> damaged;
  // From the first damage past the durable part to the end of the file:
  // a tail the device never completed, dropped whole.
  std::optional<std::pair<uint64_t, uint64_t>> tail;
  // How much of the log is known to have reached the device: the largest
  // mark found, or what the caller knew (at least the header).
  uint64_t durable = 0;
  // Where the applied frames end: the start of the tail, or the file's end.
  // The next frame belongs here.
  uint64_t end = 0;
};

// Scans the frames of a log whose header is `header`. `window` holds the
// file's bytes from offset `begin` (at least the header's end) to `len`,
// the file's size. `dim` not 0: an add with another vector length is not a
// frame of this segment. `durable`: how much of the log is known durable
// already (delta.bin's fold point, or an earlier scan's marks). Never reads
// outside the window. Time linear in the window's size, short of bytes
// crafted to pass the cheap checks at many offsets.
Scan scan_frames(const Header& header, const uint8_t* window, uint64_t begin, uint64_t len, uint64_t dim,
                 uint64_t durable);
// The same over a whole log's bytes from offset `start`, after checking its
// header (an empty file is an empty log).
Result<Scan> scan(const uint8_t* data, size_t len, uint64_t start, uint64_t dim = 0, uint64_t durable = 0);

// Where an append went (with the mark before it, if one was due), for the
// segment's account of the log.
struct Written {
  uint64_t log_id = 0;
  uint64_t offset = 0;
  uint64_t bytes = 0;
  bool created = false;  // this call created the log
};

// The appending side of one log file, owned by one segment and used under
// its log mutex. The file is opened lazily; every append and flush first
// checks that the name still refers to the file it holds (a checkpoint of
// another handle or process replaces the log), reopening otherwise.
class Writer {
 public:
  Writer(std::string path, uint64_t dim) : path_(std::move(path)), dim_(dim) {}

  // What this segment knows of the log `log_id` (from its replay, or from
  // the checkpoint that made it): its frames end at `end`, and it is
  // durable up to `durable`. Used while the file is that log; another log
  // is read from its header on. `folded`: delta.bin has folded in more of
  // this log than it holds (its tail was lost to a power cut after a
  // checkpoint): a replay starts past its end, so nothing may be appended
  // to it; the first append replaces it by a fresh log.
  void expect(uint64_t log_id, uint64_t end, uint64_t durable, bool folded = false);

  // Appends one frame (see frame_body; sealed here for its place), under
  // the file's exclusive lock, preceded by the mark of the last flush when
  // one is due. Creates the log (header and all, atomically) when it does
  // not exist. On failure nothing was appended.
  Status append(std::vector<uint8_t> frame, Written* out);
  // Flushes the log under the name to the device (nothing to do when there
  // is none). What that made durable of the log this writer knows is
  // marked with its next append: a mark is durable only after the next
  // flush either way, and so a flush writes nothing to the log itself.
  Status sync();
  // Where the next frame goes, as far as this writer knows.
  uint64_t end() const { return end_; }
  bool is_open() const { return file_.is_open(); }
  void close() { (void)file_.Close(); }

 private:
  // Opens the log under the name (creating it first when `create`) and
  // reads its header.
  Status open_log(bool create, bool* created);
  // The exclusive lock of the file under the name (opened as needed), and
  // that file's size. For an append, the log is created when missing, and
  // one that takes no frames is replaced first.
  Status lock_current(bool append, bool* created, uint64_t* size);
  // With the lock held and the file `size` bytes long: reads what other
  // writers appended since end_, and cuts off a torn tail.
  Status catch_up(uint64_t size);
  // With the lock held: writes `frame` (and a due mark before it) at end_.
  Status write_locked(std::vector<uint8_t>* frame, Written* out);

  std::string path_;
  uint64_t dim_;
  platform::File file_;
  platform::FileId id_;
  Header header_;  // of the file held open
  // What this writer knows of the log `log_id_`: where its frames end and
  // how much of it is durable.
  uint64_t log_id_ = 0;
  uint64_t end_ = 0;
  uint64_t durable_ = 0;
  uint64_t folded_log_id_ = 0;  // a log that takes no more frames (see expect)
  uint64_t pending_mark_ = 0;   // flushed up to here; marked by the next append
};

// Creates the log at `path` with a fresh header unless a file exists there
// already (several processes may race to create it: one wins, the others
// use its file). Returns the id of the log this call created, if it did.
Result<std::optional<uint64_t>> create_if_missing(const std::string& path);
// Replaces the log at `path` by an empty one with a fresh id, atomically
// (temporary file, device flush, rename, directory flush). Returns the id.
Result<uint64_t> reset(const std::string& path, uint32_t flags);

}  // namespace wal
}  // namespace nimbrel
