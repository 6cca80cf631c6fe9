// Bringing an opened segment up to date with the write path's files: the
// rows of delta.bin, the tombstones of deleted.bin, then every operation
// of wal.bin that delta.bin has not folded in. Runs inside open, before
// the segment is shared, so nothing here races with readers.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <span>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel {
namespace {

// Operations are decoded, encoded (in parallel) and applied this many at
// a time, so replaying a long log does not hold all of it encoded at once.
constexpr size_t kReplayBatch = 1 << 14;

std::string U(uint64_t v) { return std::to_string(v); }

}  // namespace

class WalReplayer {
 public:
  explicit WalReplayer(IvfIndex& x) : x_(x) {}

  Status Run() {
    NIMBREL_RETURN_IF_ERROR(LoadTombstones());
    NIMBREL_RETURN_IF_ERROR(LoadDelta());
    NIMBREL_RETURN_IF_ERROR(ReplayLog());
    return CheckTombstones();
  }

 private:
  Status LoadTombstones() {
    bool missing;
    NIMBREL_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, read_segment_file(x_.path_, segment::kDeletedFile, &missing,
                                                                          Tombstones::kMaxFileBytes));
    deleted_present_ = !missing;
    if (missing) return Status::Ok();
    NIMBREL_ASSIGN_OR_RETURN(x_.tombstones_, Tombstones::decode(bytes));
    return Status::Ok();
  }

  Status LoadDelta() {
    bool missing;
    NIMBREL_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, read_segment_file(x_.path_, segment::kDeltaFile, &missing));
    delta_present_ = !missing;
    if (missing) return Status::Ok();
    // Every checkpoint writes deleted.bin before delta.bin: without it the
    // rows it tombstoned would come back.
    if (!deleted_present_) return corrupt_file(segment::kDeletedFile, "missing, though delta.bin was written after it");
    NIMBREL_ASSIGN_OR_RETURN(delta_file::Decoded d,
                             delta_file::decode(bytes, x_.manifest_.n, x_.manifest_.dim, x_.delta_code_bytes(),
                                                x_.manifest_.n_lists));
    Result<platform::FileStamp> stamp = platform::Stamp(platform::JoinPath(x_.path_, segment::kDeltaFile));
    if (stamp.ok()) x_.delta_stamp_ = *stamp;
    folded_ = d.stamp;
    const size_t n = d.rows.size();
    std::vector<nlohmann::json> metas(n);
    std::vector<std::optional<uint32_t>> main_slots(n);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, n, 256), [&](const tbb::blocked_range<size_t>& r) {
      for (size_t i = r.begin(); i < r.end(); ++i) {
        metas[i] = parse_json_text(d.rows[i].meta);
        main_slots[i] = x_.main_slot_of(d.rows[i].id);
      }
    });
    for (size_t i = 0; i < n; ++i) {
      Sanitise(&metas[i], &d.rows[i].meta, segment::kDeltaFile, "row " + U(i));
      x_.replay_add(std::move(d.rows[i]), metas[i].is_discarded() ? nullptr : &metas[i], main_slots[i]);
    }
    return Status::Ok();
  }

  Status ReplayLog() {
    const std::string path = platform::JoinPath(x_.path_, segment::kWalFile);
    const std::string where = "Nimbrel: " + path + ": ";
    Result<platform::File> file = platform::File::Open(path, platform::File::kRead);
    if (!file.ok()) {
      if (file.status().code() != Code::kNotFound) return about_file(segment::kWalFile, file.status());
      // A checkpoint always leaves a log behind it: the frames after its
      // fold point went with this one.
      if (folded_.log_id != 0) return corrupt_file(segment::kWalFile, "missing, though delta.bin folds in one");
      return Status::Ok();
    }
    // Appends hold this lock exclusively: the scan sees whole frames only,
    // and no writer cuts a torn tail off under the map.
    if (Status st = platform::LockFile(*file, platform::LockKind::kShared); !st.ok()) {
      return about_file(segment::kWalFile, st);
    }
    // Mapped, not read: a long log is scanned once, in place.
    Result<platform::MappedFile> mapped = platform::MappedFile::Map(*file, platform::MappedFile::Access::kHot, true, false);
    if (!mapped.ok()) return about_file(segment::kWalFile, mapped.status());
    const std::span<const uint8_t> log(mapped->data(), mapped->size());
    NIMBREL_ASSIGN_OR_RETURN(wal::Header header, wal::parse_header(log.data(), log.size()));
    if (header.version == 0) {
      if (folded_.log_id != 0) return corrupt_file(segment::kWalFile, "empty, though delta.bin folds in a log");
      return Status::Ok();
    }
    if ((header.flags & wal::kStartedByCheckpoint) != 0) {
      // The checkpoint that started this log had written both files first.
      if (!delta_present_) return corrupt_file(segment::kDeltaFile, "missing, though wal.bin was started by a checkpoint");
      if (!deleted_present_) {
        return corrupt_file(segment::kDeletedFile, "missing, though wal.bin was started by a checkpoint");
      }
    }
    // Frames before delta.bin's fold point are in delta.bin already, and
    // were on the device before it was written; only the log that stamp
    // names has them (an emptied log has a new id).
    uint64_t start = header.bytes, durable = header.bytes;
    if (folded_.log_id != 0 && header.log_id == folded_.log_id) {
      // Shorter than what delta.bin folded in: the log's tail never reached
      // the device (a power cut after a checkpoint of frames that were not
      // flushed). delta.bin holds all of them.
      start = std::clamp<uint64_t>(folded_.log_offset, header.bytes, log.size());
      durable = folded_.log_offset;
      if (folded_.log_offset > log.size()) {
        platform::PrintNotice(where + U(log.size()) + " bytes, shorter than the " + U(folded_.log_offset) +
                              " bytes delta.bin has folded in; all of its frames are in delta.bin, and the "
                              "next write starts a new log");
        x_.wal_folded_ = true;
      }
    }
    wal::Scan scan = wal::scan_frames(header, log.data() + start, start, log.size(), x_.manifest_.dim, durable);
    mapped = platform::MappedFile();
    (void)platform::UnlockFile(*file);
    x_.wal_id_ = header.log_id;
    x_.wal_version_ = header.version;
    x_.wal_seen_ = scan.end;
    x_.wal_durable_ = scan.durable;
    x_.wal_damaged_ = scan.damaged;
    for (const auto& [begin, end] : scan.damaged) {
      platform::PrintNotice(where + "skipped " + U(end - begin) + " damaged bytes at offset " + U(begin) +
                            " and replayed the frames after them (the next checkpoint keeps the bytes in "
                            "wal.corrupt.bin)");
    }
    if (scan.tail) {
      platform::PrintNotice(where + "ignored " + U(scan.tail->second - scan.tail->first) + " bytes at offset " +
                            U(scan.tail->first) + ", from the first frame after the last device flush that " +
                            "does not check out (a write never completed): the operations there and after it " +
                            "were never made durable");
    }
    const size_t dim = x_.manifest_.dim;

    std::vector<DeltaRow> rows;
    std::vector<nlohmann::json> metas;
    std::vector<float> vectors;
    std::vector<uint32_t> add_index;  // frame j of the batch -> its add's number
    std::vector<std::optional<uint32_t>> main_slots;
    for (size_t first = 0; first < scan.frames.size(); first += kReplayBatch) {
      const size_t count = std::min(kReplayBatch, scan.frames.size() - first);
      // The batch's adds find their lists together: one blocked pass over
      // the centroids, in parallel (and before the loop below, whose tasks
      // must not wait on anything lazily built).
      vectors.clear();
      add_index.assign(count, 0);
      for (size_t j = 0; j < count; ++j) {
        const WalOp& op = scan.frames[first + j].op;
        if (op.kind != WalOp::Kind::kAdd) continue;
        add_index[j] = static_cast<uint32_t>(vectors.size() / dim);
        vectors.insert(vectors.end(), op.vector.begin(), op.vector.end());
      }
      const std::vector<uint32_t> lists =
          x_.manifest_.n_lists > 0 ? x_.ranker().assign(vectors.data(), vectors.size() / dim) : std::vector<uint32_t>();
      rows.assign(count, DeltaRow());
      metas.assign(count, nlohmann::json());
      main_slots.assign(count, std::nullopt);
      tbb::parallel_for(tbb::blocked_range<size_t>(0, count, 64), [&](const tbb::blocked_range<size_t>& r) {
        for (size_t j = r.begin(); j < r.end(); ++j) {
          WalOp& op = scan.frames[first + j].op;
          // Looking an id up among the main rows reads the id table at
          // random: done here in parallel, not in the ordered apply below.
          main_slots[j] = x_.main_slot_of(op.id);
          if (op.kind != WalOp::Kind::kAdd) continue;
          x_.encode_row(op, &rows[j], lists.empty() ? std::nullopt : std::optional<uint32_t>(lists[add_index[j]]));
          metas[j] = std::move(scan.frames[first + j].meta);  // parsed and checked by the scan
          // The frame is not read again: its texts move into the row.
          rows[j].id = std::move(op.id);
          rows[j].meta = op.meta.empty() ? std::string("null") : std::move(op.meta);
          rows[j].sparse = std::move(op.sparse);
        }
      });
      for (size_t j = 0; j < count; ++j) {
        const wal::Scan::Frame& f = scan.frames[first + j];
        if (f.op.kind == WalOp::Kind::kDelete) {
          x_.replay_delete(f.op.id, main_slots[j]);
          continue;
        }
        if (x_.manifest_.n + x_.delta_.size() + 1 >= kSlotCapacity) {
          return Status::Corrupt("corrupt index: wal.bin: replaying it would exceed the u32 row space");
        }
        x_.replay_add(std::move(rows[j]), &metas[j], main_slots[j]);
      }
    }
    return Status::Ok();
  }

  // deleted.bin may name rows that only the log's replay re-creates (it is
  // written before delta.bin). Rows past them remain only when the log
  // lost the frames that add them (its tail never reached the device):
  // those tombstones are dropped, or rows added later would be born
  // deleted. deleted.bin loses them too, before anything is added: the next
  // add takes the first of those row numbers, and an open that replays it
  // from the log would put it back under the tombstone the file still held.
  Status CheckTombstones() {
    const uint64_t rows = x_.manifest_.n + x_.delta_.size();
    if (x_.tombstones_.empty() || x_.tombstones_.max() < rows) return Status::Ok();
    const uint64_t dropped = x_.tombstones_.remove_from(static_cast<uint32_t>(rows));
    const std::string path = platform::JoinPath(x_.path_, segment::kDeletedFile);
    // The file's own set (the log's deletes are the log's), read again now:
    // other processes may be opening beside this one (only a checkpoint,
    // which waits for the exclusive lock, adds to the file), and one of
    // them may have rewritten it and added a row at the first of these
    // numbers since this open read it; each rewrite only removes, from what
    // is there, tombstones past the rows its open replayed.
    Result<std::vector<uint8_t>> now = platform::ReadFileAtMost(path, Tombstones::kMaxFileBytes);
    Result<Tombstones> on_disk = now.ok() ? Tombstones::decode(*now) : Result<Tombstones>(now.status());
    Status st = on_disk.status();
    if (st.ok()) {
      on_disk->remove_from(static_cast<uint32_t>(rows));
      const std::vector<uint8_t> bytes = on_disk->encode();
      // Through a temporary file of its own: several may rewrite at once.
      st = storage::write_bytes_via(path, storage::private_temp_path_for(path), bytes.data(), bytes.size());
    }
    x_.deleted_stale_ = !st.ok();
    platform::PrintNotice("Nimbrel: " + path + ": dropped " + U(dropped) + " tombstones of rows past the segment's " +
                          U(rows) + " rows (their adds were lost from the log)" +
                          (st.ok() ? " and rewrote it"
                                   : "; could not rewrite it (" + st.message() +
                                         "), so the segment takes no adds until a checkpoint"));
    return Status::Ok();
  }

  // Metadata nested deeper than an add accepts can only come from damage;
  // the code that writes metadata out recurses, so such a row keeps null.
  void Sanitise(nlohmann::json* meta, std::string* text, const char* file, const std::string& where) {
    if (meta->is_discarded() || !nested_deeper_than(*meta, kMaxMetadataDepth)) return;
    *meta = nullptr;
    *text = "null";
    platform::PrintNotice("Nimbrel: " + platform::JoinPath(x_.path_, file) + ": the metadata of " + where +
                          " nests deeper than " + U(kMaxMetadataDepth) + " levels; it is read as null");
  }

  IvfIndex& x_;
  FoldStamp folded_;
  bool deleted_present_ = false;
  bool delta_present_ = false;
};

Status LoadWriteState(IvfIndex& x) { return WalReplayer(x).Run(); }

}  // namespace nimbrel
