// The write path of one segment: the log append, the in-RAM apply of add
// and delete, the group commit with its flush-failure latch, and the
// checkpoint. docs/write-path.md gives the order of every step and why a
// crash at any of them loses or repeats nothing.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "ivf_rabitq/index.h"
#include "ivf_rabitq/json_text.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/segment_writer.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel {
namespace {

constexpr char kLatchMessage[] =
    "WAL fsync previously failed; call sync()/flush() to recover durability before confirming this op";

std::string U(uint64_t v) { return std::to_string(v); }

}  // namespace

Status IvfIndex::check_slot_space(uint64_t adding) const {
  uint64_t existing;
  {
    std::shared_lock<RwLock> delta_lock(delta_mu_);
    existing = manifest_.n + delta_.size();
  }
  if (!slot_space_ok(existing, adding)) {
    return Status::InvalidArgument("slot space exhausted: " + U(existing) + " existing + " + U(adding) +
                                   " new rows exceed the u32 slot capacity");
  }
  return Status::Ok();
}

// ---- the log -------------------------------------------------------------------

wal::Writer& IvfIndex::wal_writer_locked() {
  if (!wal_writer_) {
    wal_writer_ = std::make_unique<wal::Writer>(platform::JoinPath(path_, segment::kWalFile), manifest_.dim);
    // It goes on from where the replay stopped, without reading the log again.
    if (wal_id_ != 0 && wal_seen_ != kWalSeenUnknown) {
      wal_writer_->expect(wal_id_, wal_seen_, wal_durable_, wal_folded_);
    }
  }
  return *wal_writer_;
}

void IvfIndex::note_written(const wal::Written& w) {
  if (w.created) {
    // This segment made the log: it has seen all of it, the header.
    wal_id_ = w.log_id;
    wal_version_ = wal::kVersion;
    wal_seen_ = wal_durable_ = wal::kHeaderBytes;
    wal_folded_ = false;
    wal_damaged_.clear();
  }
  // Written right after what this segment applied: it still has all of the
  // log. Anywhere else, others' frames lie between, which it has not applied.
  wal_seen_ = w.log_id == wal_id_ && w.offset == wal_seen_ ? wal_seen_ + w.bytes : kWalSeenUnknown;
}

Status IvfIndex::wal_write(const WalOp& op) {
  std::vector<uint8_t> frame = wal::frame_body(op);
  if (frame.empty()) {
    return Status::InvalidArgument("add: the record of id of " + U(op.id.size()) +
                                   " bytes is larger than a log frame can hold (4 GiB)");
  }
  std::lock_guard<std::mutex> lock(wal_mu_);
  wal::Written w;
  NIMBREL_RETURN_IF_ERROR(wal_writer_locked().append(std::move(frame), &w));
  note_written(w);
  return Status::Ok();
}

uint32_t IvfIndex::wal_version() const {
  std::lock_guard<std::mutex> lock(wal_mu_);
  return wal_version_;
}

Status IvfIndex::sync_wal_locked() { return wal_writer_locked().sync(); }

// Called with wal_mu_ held.
Status IvfIndex::latch_on_failure(Status st) {
  if (!st.ok()) {
    // The kernel may have dropped the pages it failed to write: a later
    // flush that succeeds would not mean they are on the device. Only a
    // checkpoint, which writes the state from memory, clears this.
    wal_failed_.store(true);
    if (wal_writer_) wal_writer_->close();
  }
  return st;
}

Status IvfIndex::flush_wal_locked() {
  Status st;
  {
    std::lock_guard<std::mutex> lock(wal_mu_);
    st = latch_on_failure(sync_wal_locked());
  }
  if (st.ok()) wal_flush_count.fetch_add(1);
  return st;
}

Status IvfIndex::wal_group_commit() {
  if (wal_failed_.load()) return Status(Code::kIoError, kLatchMessage);
  const uint64_t period_ms = wal_sync_ms.load();
  if (period_ms > 0) {
    const uint64_t now = platform::MonotonicNanos();
    {
      std::lock_guard<std::mutex> lock(last_sync_mu_);
      const uint64_t period_ns = period_ms > UINT64_MAX / 1000000 ? UINT64_MAX : period_ms * 1000000;
      if (now - last_sync_ns_ < period_ns) return Status::Ok();
      last_sync_ns_ = now;
    }
    return flush_wal_locked();
  }
  const uint32_t interval = std::max<uint32_t>(group_commit_interval.load(), 1);
  if (++pending_ops_ < interval) return Status::Ok();
  pending_ops_ = 0;
  return flush_wal_locked();
}

Status IvfIndex::sync_wal() {
  std::lock_guard<std::mutex> lock(wal_mu_);
  // The writer flushes the file under the name, not necessarily the one it
  // held: that may be a log a checkpoint elsewhere replaced, and the
  // current one holds other handles' appends too.
  return latch_on_failure(sync_wal_locked());
}

// ---- apply -----------------------------------------------------------------------

const CentroidRanker& IvfIndex::ranker() const {
  std::call_once(ranker_once_, [&] {
    ranker_ = CentroidRanker(manifest_.centroids.data(), manifest_.n_lists, manifest_.dim);
  });
  return ranker_;
}

void IvfIndex::encode_row(const WalOp& op, DeltaRow* out, std::optional<uint32_t> known_list) const {
  const size_t dim = manifest_.dim;
  out->rerank.resize(dim + 1);
  segment_writer::encode_rerank(op.vector.data(), dim, out->rerank.data());
  const size_t n_lists = manifest_.n_lists;
  if (n_lists == 0) {
    out->list = kNoList;
    out->code.clear();
    out->factors = RowFactors{};
    return;
  }
  const float* x = op.vector.data();
  const uint32_t list = known_list ? *known_list : ranker().nearest(x);
  const float* c = manifest_.centroids.data() + static_cast<size_t>(list) * dim;
  // Per-thread scratch: a replay encodes from many threads, an add from one.
  thread_local std::vector<float> residual, rotated;
  residual.resize(dim);
  rotated.resize(padded_dim_);
  for (size_t i = 0; i < dim; ++i) residual[i] = x[i] - c[i];
  rotator_.rotate(residual.data(), rotated.data());
  out->list = list;
  out->code.resize(code_bytes_);
  encode_rotated_residual(rotated.data(), padded_dim_, manifest_.n_bits, out->code.data(), &out->factors);
}

bool IvfIndex::append_typed_cells(const nlohmann::json* meta) {
  for (auto& col : delta_.str) col.push_back(kNoCode);
  for (auto& col : delta_.num) col.push_back(std::numeric_limits<double>::quiet_NaN());
  bool changed = false;
  if (meta != nullptr && meta->is_object()) {
    const size_t row = delta_.size() - 1;
    for (const auto& [name, value] : meta->items()) {
      if (skip_.count(name) != 0) continue;
      auto it = field_number_.find(name);
      if (it == field_number_.end()) {
        // A field no row had: a new column, empty for the rows before. Not
        // past 256 typed columns (the ones this handle skips count: the main
        // rows' values of a field beyond them live in their metadata text,
        // where filters read them, and a column would hide them).
        if (typed_fields_ >= kMaxTypedFields) continue;
        ++typed_fields_;
        FieldSchema f;
        f.name = name;
        f.numeric = value.is_number();
        fields_.push_back(f);
        field_column_.push_back(-1);
        if (f.numeric) {
          it = field_number_.emplace(name, std::make_pair(true, main_rows_.num.size())).first;
          main_rows_.num.push_back(nullptr);
          delta_.num.emplace_back(delta_.size(), std::numeric_limits<double>::quiet_NaN());
        } else {
          it = field_number_.emplace(name, std::make_pair(false, main_rows_.str.size())).first;
          string_field_at_.push_back(fields_.size() - 1);
          main_rows_.str.push_back(nullptr);
          reverse_dicts_.emplace_back();
          delta_.str.emplace_back(delta_.size(), kNoCode);
        }
        changed = true;
      }
      const auto [numeric, number] = it->second;
      if (value.is_null()) continue;
      if (numeric) {
        // A value that is not a number has no cell in a numeric column.
        if (value.is_number()) delta_.num[number][row] = value.get<double>();
        continue;
      }
      FieldSchema* field = &fields_[string_field_at_[number]];
      std::string key = predicate::dict_key_for(value);
      auto [entry, inserted] = field->dict.emplace(std::move(key), static_cast<uint32_t>(field->dict.size()));
      if (inserted) {
        std::vector<const std::string*>& reverse = reverse_dicts_[number];
        if (reverse.size() <= entry->second) reverse.resize(entry->second + 1, nullptr);
        reverse[entry->second] = &entry->first;
        changed = true;
      }
      delta_.str[number][row] = entry->second;
    }
  }
  delta_rows_.str.resize(delta_.str.size());
  delta_rows_.num.resize(delta_.num.size());
  for (size_t i = 0; i < delta_.str.size(); ++i) delta_rows_.str[i] = delta_.str[i].data();
  for (size_t i = 0; i < delta_.num.size(); ++i) delta_rows_.num[i] = delta_.num[i].data();
  return changed;
}

void IvfIndex::apply_encoded(DeltaRow&& row, const nlohmann::json* meta) {
  const std::string id = row.id;
  bool schema_changed;
  std::optional<uint32_t> previous;
  {
    // The new row and the tombstone of the one it replaces appear together:
    // a search, which holds the tombstones and the delta shared, sees
    // either neither or both, never the id twice. Taken in the readers'
    // order (tombstones before delta), so no search can deadlock with it.
    std::unique_lock<RwLock> schema_lock(schema_mu_);
    std::unique_lock<RwLock> idmap_lock(idmap_mu_);
    std::unique_lock<RwLock> tomb_lock(tomb_mu_);
    std::unique_lock<RwLock> delta_lock(delta_mu_);
    previous = slot_of_locked(id);
    delta_.append(std::move(row), manifest_.dim, delta_code_bytes());
    schema_changed = append_typed_cells(meta);
    if (previous) tombstones_.add(*previous);
  }
  // Compiled filters hold dictionary codes and field numbers of the schema
  // they were compiled against. Cleared after the schema lock is released:
  // compiling takes the cache mutex first and the schema lock second.
  if (schema_changed) {
    std::lock_guard<std::mutex> lock(filter_cache_mu_);
    filter_cache_.clear();
  }
  mutation_seq_.fetch_add(1);
}

std::optional<uint32_t> IvfIndex::newest_slot(const std::string& id, std::optional<uint32_t> main_slot) const {
  auto it = delta_.newest.find(id);
  if (it != delta_.newest.end()) return static_cast<uint32_t>(manifest_.n + it->second);
  return main_slot;
}

void IvfIndex::replay_add(DeltaRow&& row, const nlohmann::json* meta, std::optional<uint32_t> main_slot) {
  const std::optional<uint32_t> previous = newest_slot(row.id, main_slot);
  delta_.append(std::move(row), manifest_.dim, delta_code_bytes());
  (void)append_typed_cells(meta);  // the filter cache is empty before the segment is shared
  if (previous) tombstones_.add(*previous);
}

void IvfIndex::replay_delete(const std::string& id, std::optional<uint32_t> main_slot) {
  if (const std::optional<uint32_t> slot = newest_slot(id, main_slot)) tombstones_.add(*slot);
}

Status IvfIndex::apply_add(const WalOp& op, const nlohmann::json* meta) {
  if (op.vector.size() != manifest_.dim) {
    return Status::InvalidArgument("add: vector length " + U(op.vector.size()) + " != index dim " +
                                   U(manifest_.dim));
  }
  nlohmann::json parsed;
  if (meta == nullptr) {
    parsed = op.meta.empty() ? nlohmann::json() : parse_json_text(op.meta);
    if (!parsed.is_discarded()) meta = &parsed;
  }
  DeltaRow row;
  encode_row(op, &row);
  row.id = op.id;
  row.meta = op.meta.empty() ? "null" : op.meta;
  row.sparse = op.sparse;
  apply_encoded(std::move(row), meta);
  return Status::Ok();
}

bool IvfIndex::apply_delete(std::string_view id) {
  std::optional<uint32_t> slot;
  {
    std::shared_lock<RwLock> idmap_lock(idmap_mu_);
    std::shared_lock<RwLock> delta_lock(delta_mu_);
    slot = slot_of_locked(id);
  }
  if (!slot) return false;
  bool added;
  {
    std::unique_lock<RwLock> tomb_lock(tomb_mu_);
    added = tombstones_.add(*slot);
  }
  if (added) mutation_seq_.fetch_add(1);
  return added;
}

Status IvfIndex::add(WalOp op, const nlohmann::json* parsed) {
  if (op.vector.size() != manifest_.dim) {
    return Status::InvalidArgument("add: vector length " + U(op.vector.size()) + " != index dim " +
                                   U(manifest_.dim));
  }
  nlohmann::json own;
  if (parsed == nullptr) {
    const std::string_view text = op.meta.empty() ? std::string_view("null") : std::string_view(op.meta);
    own = parse_json_text(text);
    if (own.is_discarded()) {
      return Status::InvalidData("add: metadata is not valid JSON (" + json_parse_error(text) + ")");
    }
    if (nested_deeper_than(own, kMaxMetadataDepth)) {
      return Status::InvalidData("add: metadata is nested more than " + U(kMaxMetadataDepth) + " levels deep");
    }
    // The log and the delta hold the canonical text, as the build stores it.
    op.meta = canonical_json(own);
    parsed = &own;
  }
  std::unique_lock<std::mutex> writer = lock_writer();
  if (deleted_stale_.load()) {
    return Status(Code::kIoError, "deleted.bin names rows past the segment and could not be rewritten when it was "
                                  "opened; call flush() before adding rows");
  }
  // Under the writer mutex: two adds at the last free slot must not both pass.
  NIMBREL_RETURN_IF_ERROR(check_slot_space(1));
  NIMBREL_RETURN_IF_ERROR(wal_write(op));
  NIMBREL_RETURN_IF_ERROR(apply_add(op, parsed));
  return wal_group_commit();
}

Result<bool> IvfIndex::remove(const std::string& id) {
  // Ids without a live row cost a lookup: no log write, no flush.
  const std::optional<uint32_t> slot = slot_of(id);
  if (!slot) return false;
  {
    std::shared_lock<RwLock> tomb_lock(tomb_mu_);
    if (tombstones_.contains(*slot)) return false;
  }
  std::unique_lock<std::mutex> writer = lock_writer();
  NIMBREL_RETURN_IF_ERROR(wal_write(WalOp::Delete(id)));
  const bool removed = apply_delete(id);
  NIMBREL_RETURN_IF_ERROR(wal_group_commit());
  return removed;
}

// ---- wal.corrupt.bin --------------------------------------------------------------

namespace {

constexpr size_t kLogIdBytes = 8;

// Appends `entries` to wal.corrupt.bin at `path`. The file keeps every
// damaged range since the segment was built and may be large: it is never
// read whole. An earlier try of these same entries (a checkpoint that
// failed after this step, or a crash, perhaps halfway through this write)
// left them at the file's end, where only as many bytes as they take are
// read back: what the file already ends with of them is not written again,
// the rest completes them. A piece shorter than a log id is not taken for
// theirs (an entry's last bytes could match that much by chance): the
// entries follow it whole, and every entry before it reads as written.
Status AppendKept(const std::string& path, const std::vector<uint8_t>& entries) {
  NIMBREL_ASSIGN_OR_RETURN(platform::File f, platform::File::Open(path, platform::File::kReadWriteCreate));
  NIMBREL_ASSIGN_OR_RETURN(const uint64_t size, f.Size());
  std::vector<uint8_t> tail(static_cast<size_t>(std::min<uint64_t>(size, entries.size())));
  NIMBREL_RETURN_IF_ERROR(f.PReadExact(tail.data(), tail.size(), size - tail.size()));
  size_t done = 0;
  for (size_t at = 0; at + kLogIdBytes <= tail.size(); ++at) {
    if (std::memcmp(tail.data() + at, entries.data(), tail.size() - at) == 0) {
      done = tail.size() - at;
      break;
    }
  }
  if (done == entries.size()) return Status::Ok();
  Status st = f.PWriteAll(entries.data() + done, entries.size() - done, size);
  if (st.ok()) st = f.Sync();
  if (!st.ok()) {
    // Whatever landed is taken back, so the retry starts from the old end.
    (void)f.Truncate(size);
    return st;
  }
  return storage::sync_parent_dir(path);
}

// Copies the file `from` to the new file `to` and flushes it.
Status CopyFile(const std::string& from, const std::string& to) {
  NIMBREL_ASSIGN_OR_RETURN(platform::File in, platform::File::Open(from, platform::File::kRead));
  NIMBREL_ASSIGN_OR_RETURN(platform::File out, platform::File::Open(to, platform::File::kWriteTruncate));
  std::vector<uint8_t> buffer(1 << 20);
  for (;;) {
    NIMBREL_ASSIGN_OR_RETURN(const size_t got, in.Read(buffer.data(), buffer.size()));
    if (got == 0) break;
    NIMBREL_RETURN_IF_ERROR(out.WriteAll(buffer.data(), got));
  }
  return out.Sync();
}

}  // namespace

Status IvfIndex::keep_damaged_locked() const {
  if (wal_damaged_.empty()) return Status::Ok();
  // Only the damaged ranges are read from the log.
  NIMBREL_ASSIGN_OR_RETURN(platform::File log, platform::File::Open(platform::JoinPath(path_, segment::kWalFile),
                                                                    platform::File::kRead));
  NIMBREL_ASSIGN_OR_RETURN(const uint64_t log_size, log.Size());
  record::Writer out;
  std::string bytes;
  for (const auto& [begin, end] : wal_damaged_) {
    if (end > log_size) continue;
    bytes.resize(end - begin);
    NIMBREL_RETURN_IF_ERROR(log.PReadExact(bytes.data(), bytes.size(), begin));
    out.u64(wal_id_);
    out.u64(begin);
    out.str(bytes);
  }
  if (out.bytes().empty()) return Status::Ok();
  return AppendKept(platform::JoinPath(path_, segment::kWalCorruptFile), out.bytes());
}

Status IvfIndex::carry_damaged_log(const std::string& dir) const {
  {
    std::lock_guard<std::mutex> log_lock(wal_mu_);
    NIMBREL_RETURN_IF_ERROR(keep_damaged_locked());
  }
  // A second name rather than a copy: the file may be large, and this
  // directory is about to be swapped out, which leaves the new name alone.
  const std::string kept = platform::JoinPath(path_, segment::kWalCorruptFile);
  const std::string carried = platform::JoinPath(dir, segment::kWalCorruptFile);
  if (!platform::PathIdentity(kept).ok()) return Status::Ok();  // nothing was ever skipped
  if (Status st = platform::LinkNoReplace(kept, carried); !st.ok()) {
    const int err = st.os_errno();
    if (err != EPERM && err != EMLINK && err != EXDEV && err != EOPNOTSUPP) return st;
    NIMBREL_RETURN_IF_ERROR(CopyFile(kept, carried));  // a file system that does not link this file
  }
  return platform::SyncDirectory(dir);
}

// ---- checkpoint ------------------------------------------------------------------

bool IvfIndex::matches_disk() const {
  std::lock_guard<std::mutex> lock(wal_mu_);
  const std::string wal_path = platform::JoinPath(path_, segment::kWalFile);
  Result<platform::FileStamp> wal = platform::Stamp(wal_path);
  if (!wal.ok()) {
    if (wal.status().code() != Code::kNotFound || wal_id_ != 0) return false;
  } else {
    // Exactly as long as what this segment applied (a torn tail it did not
    // apply counts against it: a fresh view is the safe way round it).
    if (wal_id_ == 0 || wal->size != wal_seen_) return false;
    // The same length is not the same log: compare the ids.
    Result<platform::File> f = platform::File::Open(wal_path, platform::File::kRead);
    uint8_t header[wal::kLegacyHeaderBytes];
    if (!f.ok() || !f->PReadExact(header, sizeof header, 0).ok()) return false;
    if (load_le<uint64_t>(header + 8) != wal_id_) return false;
  }
  Result<platform::FileStamp> delta = platform::Stamp(platform::JoinPath(path_, segment::kDeltaFile));
  if (!delta.ok()) return delta.status().code() == Code::kNotFound && delta_stamp_.size == 0 &&
                            delta_stamp_.mtime_ns == 0;
  return delta->size == delta_stamp_.size && delta->mtime_ns == delta_stamp_.mtime_ns;
}

Status IvfIndex::checkpoint(uint64_t new_generation) {
  std::unique_lock<std::mutex> writer = lock_writer();
  std::lock_guard<std::mutex> log_lock(wal_mu_);
  const std::string wal_path = platform::JoinPath(path_, segment::kWalFile);

  // 0. delta.bin will say the log is folded in up to its end, and
  //    deleted.bin may name rows only the log's frames create: the log must
  //    be on the device first. (A latched segment does not trust the log's
  //    flush, and writes its state from memory all the same; replay then
  //    copes with a log that came back shorter.)
  //    delta.bin folds in what this segment applied, which that flush
  //    put on the device.
  const uint64_t folded = wal_seen_;
  if (!wal_failed_.load() && wal_id_ != 0) NIMBREL_RETURN_IF_ERROR(latch_on_failure(sync_wal_locked()));
  if (wal_seen_ == kWalSeenUnknown) {
    return Status(Code::kIoError, "checkpoint: wal.bin holds operations of other writers that this segment has "
                                  "not applied; a fresh open of the directory must checkpoint it");
  }

  // 1. Damaged log ranges this segment's replay skipped are kept, before
  //    the log that holds them is emptied.
  NIMBREL_RETURN_IF_ERROR(keep_damaged_locked());

  // 2. The state, tombstones before delta: a crash between the two leaves
  //    newer tombstones beside an older delta, which replaying the log
  //    brings level again (docs/write-path.md).
  std::vector<uint8_t> tomb_bytes, delta_bytes;
  const FoldStamp stamp{wal_id_, wal_id_ == 0 ? 0 : folded};
  {
    std::shared_lock<RwLock> tomb_lock(tomb_mu_);
    std::shared_lock<RwLock> delta_lock(delta_mu_);
    tomb_bytes = tombstones_.encode();
    delta_bytes = delta_file::encode(delta_, manifest_.n, manifest_.dim, delta_code_bytes(), stamp);
  }
  NIMBREL_RETURN_IF_ERROR(storage::write_bytes(platform::JoinPath(path_, segment::kDeletedFile), tomb_bytes));
  const std::string delta_path = platform::JoinPath(path_, segment::kDeltaFile);
  NIMBREL_RETURN_IF_ERROR(storage::write_bytes(delta_path, delta_bytes));
  Result<platform::FileStamp> written = platform::Stamp(delta_path);
  delta_stamp_ = written.ok() ? *written : platform::FileStamp{};

  // 3. The new generation tells every other handle to reopen.
  NIMBREL_RETURN_IF_ERROR(storage::write_generation(path_, new_generation));

  // 4. The log is emptied last: until then, delta.bin's stamp says which
  //    of its frames are folded in. The new log's header says a checkpoint
  //    started it, so that a delta.bin or deleted.bin lost later is noticed.
  NIMBREL_ASSIGN_OR_RETURN(uint64_t id, wal::reset(wal_path, wal::kStartedByCheckpoint));
  wal_id_ = id;
  wal_version_ = wal::kVersion;
  wal_seen_ = wal_durable_ = wal::kHeaderBytes;
  wal_folded_ = false;
  if (wal_writer_) {
    wal_writer_->close();
    wal_writer_->expect(id, wal::kHeaderBytes, wal::kHeaderBytes);
  }
  wal_damaged_.clear();
  pending_ops_ = 0;
  wal_failed_.store(false);
  deleted_stale_.store(false);
  return Status::Ok();
}

}  // namespace nimbrel
