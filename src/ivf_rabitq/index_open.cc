// IvfIndex::open_with_skip: validation, repair, bounded CRC verification
// and the memory maps of one segment directory.
//
// Open trusts nothing it reads: every size and count from disk is checked
// against the manifest and the actual file sizes before it is used, so a
// damaged directory gives a "corrupt index: " error, never a crash or an
// out-of-bounds read. The one derivable file, idhash.bin, is rebuilt
// instead of refused.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "ivf_rabitq/id_hash.h"
#include "ivf_rabitq/index.h"
#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel {

std::atomic<uint64_t> OPEN_COUNT{0};

// index_replay.cc
Status LoadWriteState(IvfIndex& x);

namespace {

using platform::MappedFile;
using segment::kOffsetBytes;

std::string U(uint64_t v) { return std::to_string(v); }

// The dense rotation of formats 1 and 2 is a padded_dim x padded_dim
// matrix built by Gram-Schmidt at every open: quadratic memory and cubic
// time in the dimension. Past this dimension (128 MiB of matrix, minutes
// of work per open) this build does not serve such a segment.
constexpr uint64_t kMaxDenseRotationDim = 4096;

// The path as a quoted string literal, for the dim-mismatch message.
std::string Quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string DimMismatch(const std::string& dir, uint64_t expected, uint64_t stored) {
  return "dim mismatch: opened with dim=" + U(expected) + " but the index at " + Quoted(dir) +
         " was built with dim=" + U(stored);
}

// A name from crcs.bin must name a file inside the directory.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

class IvfIndexOpener {
 public:
  IvfIndexOpener(const std::string& dir, const std::optional<std::set<std::string>>& skip,
                 uint64_t expected_dim)
      : dir_(dir), skip_(skip), expected_dim_(expected_dim), idx_(new IvfIndex()) {}

  Result<std::shared_ptr<IvfIndex>> Run() {
    idx_->path_ = dir_;
    NIMBREL_RETURN_IF_ERROR(ReadFormat());
    NIMBREL_RETURN_IF_ERROR(ReadManifest());
    // Decoding the manifest allocated only what its own bytes hold; nothing
    // is sized by its dimension before it is checked here.
    const uint64_t dim = idx_->manifest_.dim;
    if (expected_dim_ != 0 && dim != expected_dim_) {
      return Status::InvalidArgument(DimMismatch(dir_, expected_dim_, dim));
    }
    NIMBREL_RETURN_IF_ERROR(ReconcileFormat());
    NIMBREL_RETURN_IF_ERROR(ReadCrcs());
    NIMBREL_RETURN_IF_ERROR(MapDataFiles());
    NIMBREL_RETURN_IF_ERROR(VerifyChecksums());
    NIMBREL_RETURN_IF_ERROR(LoadIdHash());
    NIMBREL_RETURN_IF_ERROR(BuildTermDirectory());
    SetUpCodec();
    SetUpSchema();
    NIMBREL_RETURN_IF_ERROR(LoadWriteState(*idx_));
    return std::move(idx_);
  }

 private:
  std::string PathOf(const std::string& name) const { return platform::JoinPath(dir_, name); }

  // A header-checked file, refused unread when larger than `max_bytes`;
  // *missing tells a missing file apart.
  Result<std::vector<uint8_t>> ReadHeaderFile(const char* name, const char magic[4], uint64_t max_bytes,
                                              bool* missing) {
    NIMBREL_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, read_segment_file(dir_, name, missing, max_bytes));
    if (*missing) return bytes;
    return unwrap_header(magic, bytes, name);
  }

  static std::string Unsupported(const char* what, uint32_t version, uint32_t newest) {
    return std::string("unsupported ") + what + " " + U(version) + " (this build reads " +
           U(segment::kOldestReadableFormat) + " to " + U(newest) + ")";
  }

  Status ReadFormat() {
    bool missing;
    NIMBREL_ASSIGN_OR_RETURN(
        std::vector<uint8_t> body,
        ReadHeaderFile(segment::kFormatFile, segment::kFormatMagic, kFormatFileMaxBytes, &missing));
    if (missing) return Status::Ok();
    record::Reader r(body.data(), body.size());
    uint32_t version;
    if (!r.u32(&version)) return corrupt_file(segment::kFormatFile, r.error());
    if (version < segment::kOldestReadableFormat || version > segment::kNewestReadableFormat) {
      return corrupt_file(segment::kFormatFile, Unsupported("format version", version, segment::kNewestReadableFormat));
    }
    format_file_version_ = version;
    return Status::Ok();
  }

  // format.bin and the row format the manifest records must agree; the
  // row format chooses the code layout. Only a manifest that records none
  // (written before it did) may lack format.bin, which then means version
  // 1, the format that predates the file; such a manifest's rows follow
  // format.bin's number.
  Status ReconcileFormat() {
    uint32_t row_format = idx_->manifest_.row_format;
    if (row_format == 0) {
      idx_->format_version_ = format_file_version_ != 0 ? format_file_version_ : 1;
      row_format = idx_->format_version_;
    } else if (row_format < segment::kOldestReadableFormat || row_format > segment::kNewestRowFormat) {
      return corrupt_file(segment::kManifestFile, Unsupported("row format", row_format, segment::kNewestRowFormat));
    } else if (format_file_version_ == 0) {
      return corrupt_file(segment::kFormatFile, "missing (manifest.bin records row format " + U(row_format) + ")");
    } else if (!segment::format_agrees_with_row_format(format_file_version_, row_format)) {
      return corrupt_file(segment::kFormatFile, "version " + U(format_file_version_) + " contradicts row format " +
                                               U(row_format) + " recorded in manifest.bin");
    } else {
      idx_->format_version_ = format_file_version_;
    }
    idx_->blocked_codes_ = row_format == segment::kBlockedRowFormat;
    const Manifest& m = idx_->manifest_;
    if (idx_->format_version_ < 3 && m.n_lists > 0 && m.dim > kMaxDenseRotationDim) {
      return Status::InvalidData("unsupported segment: format " + U(idx_->format_version_) + " with dim " +
                                 U(m.dim) + " needs a dense rotation above the " + U(kMaxDenseRotationDim) +
                                 " dimensions this build supports");
    }
    return Status::Ok();
  }

  // Mapped, not read: only the manifest's record says how long the file
  // may be, and the excess of a longer one is never read.
  Status ReadManifest() {
    Result<MappedFile> file = MappedFile::Map(PathOf(segment::kManifestFile), MappedFile::Access::kRandom,
                                              /*prewarm=*/false, /*lock_in_ram=*/false);
    if (!file.ok()) {
      if (file.status().code() == Code::kNotFound) return corrupt_file(segment::kManifestFile, "missing");
      return about_file(segment::kManifestFile, file.status());
    }
    NIMBREL_ASSIGN_OR_RETURN(idx_->manifest_, decode_manifest_file(file->data(), file->size()));
    return Status::Ok();
  }

  // No crcs.bin: a segment written before checksums were recorded.
  Status ReadCrcs() {
    bool missing;
    const uint64_t max_bytes = crcs_file_max_bytes(idx_->manifest_.fields.size());
    NIMBREL_ASSIGN_OR_RETURN(std::vector<uint8_t> body,
                             ReadHeaderFile(segment::kCrcsFile, segment::kCrcsMagic, max_bytes, &missing));
    if (missing) return Status::Ok();
    record::Reader r(body.data(), body.size());
    uint64_t entries;
    if (!r.count(&entries, 8 + 4)) return corrupt_file(segment::kCrcsFile, r.error());
    for (uint64_t i = 0; i < entries; ++i) {
      std::string name;
      uint32_t crc;
      if (!r.str(&name) || !r.u32(&crc)) return corrupt_file(segment::kCrcsFile, r.error());
      if (!IsPlainFileName(name)) return corrupt_file(segment::kCrcsFile, "entry " + U(i) + " is not a file name");
      if (!idx_->crcs_.emplace(name, crc).second) return corrupt_file(segment::kCrcsFile, "repeated entry " + name);
    }
    return Status::Ok();
  }

  bool Recorded(const std::string& name) const { return idx_->crcs_.count(name) != 0; }

  // How a missing file is taken: refused; accepted when crcs.bin does not
  // record it (a segment written before the file existed); or accepted
  // always, since open can derive it again.
  enum Need { kRequired, kOptional, kDerivable };

  // Maps `name` into *out; *present says whether the file was there.
  Status Map(const std::string& name, MappedFile::Access access, Need need, MappedFile* out,
             bool* present = nullptr) {
    const bool hot = access == MappedFile::Access::kHot;
    Result<MappedFile> m = MappedFile::Map(PathOf(name), access, hot && prewarm_enabled(), hot && mlock_enabled());
    if (!m.ok()) {
      if (m.status().code() != Code::kNotFound) return about_file(name, m.status());
      if (need == kRequired || (need == kOptional && Recorded(name))) return corrupt_file(name, "missing");
      if (present != nullptr) *present = false;
      return Status::Ok();
    }
    *out = std::move(m).value();
    if (present != nullptr) *present = true;
    mapped_[name] = out;
    return Status::Ok();
  }

  Status CheckSize(const std::string& name, const MappedFile& m, unsigned __int128 expected) {
    if (static_cast<unsigned __int128>(m.size()) == expected) return Status::Ok();
    const std::string want = expected > UINT64_MAX ? "more than 2^64 - 1" : U(static_cast<uint64_t>(expected));
    return corrupt_file(name, "size " + U(m.size()) + " (expected " + want + ")");
  }

  // An offsets file of n + 1 u64 whose first entry is 0 and whose last is
  // the size of the file it indexes. The entries between are checked when
  // a row is read.
  Status CheckOffsets(const std::string& name, const MappedFile& offsets, const MappedFile& target) {
    const uint64_t n = idx_->manifest_.n;
    NIMBREL_RETURN_IF_ERROR(CheckSize(name, offsets, static_cast<unsigned __int128>(n + 1) * kOffsetBytes));
    const uint64_t first = load_le<uint64_t>(offsets.data());
    const uint64_t last = load_le<uint64_t>(offsets.data() + n * kOffsetBytes);
    if (first != 0 || last != target.size()) {
      return corrupt_file(name, "offsets run from " + U(first) + " to " + U(last) + ", not from 0 to " + U(target.size()));
    }
    return Status::Ok();
  }

  Status MapDataFiles() {
    IvfIndex& x = *idx_;
    const Manifest& m = x.manifest_;
    using A = MappedFile::Access;
    const unsigned __int128 n = m.n;
    x.padded_dim_ = padded_dim_for(m.dim);
    x.code_bytes_ = code_bytes_for(x.padded_dim_, m.n_bits);

    NIMBREL_RETURN_IF_ERROR(Map(segment::kCodesFile, A::kHot, kRequired, &x.codes_));
    NIMBREL_RETURN_IF_ERROR(CheckSize(segment::kCodesFile, x.codes_, n * x.code_bytes_));
    NIMBREL_RETURN_IF_ERROR(Map(segment::kFactorsFile, A::kHot, kRequired, &x.metas_));
    NIMBREL_RETURN_IF_ERROR(CheckSize(segment::kFactorsFile, x.metas_, n * segment::kFactorsBytes));
    NIMBREL_RETURN_IF_ERROR(Map(segment::kRerankFile, A::kHot, kRequired, &x.orig_));
    NIMBREL_RETURN_IF_ERROR(CheckSize(segment::kRerankFile, x.orig_, n * m.dim));
    bool has_scales;
    NIMBREL_RETURN_IF_ERROR(Map(segment::kRerankScaleFile, A::kHot, kOptional, &x.origscale_, &has_scales));
    if (has_scales) {
      NIMBREL_RETURN_IF_ERROR(CheckSize(segment::kRerankScaleFile, x.origscale_, n * segment::kScaleRecordBytes));
    }

    NIMBREL_RETURN_IF_ERROR(Map(segment::kIdsFile, A::kRandom, kRequired, &x.ids_));
    NIMBREL_RETURN_IF_ERROR(Map(segment::kIdOffsetsFile, A::kRandom, kRequired, &x.ids_off_));
    NIMBREL_RETURN_IF_ERROR(CheckOffsets(segment::kIdOffsetsFile, x.ids_off_, x.ids_));

    // idhash.bin can be derived again: problems with it are noted, not refused.
    bool has_idhash;
    NIMBREL_RETURN_IF_ERROR(Map(segment::kIdHashFile, A::kRandom, kDerivable, &x.idhash_, &has_idhash));
    if (!has_idhash) {
      idhash_problem_ = "missing";
    } else if (static_cast<unsigned __int128>(x.idhash_.size()) != n * segment::kIdHashEntryBytes) {
      idhash_problem_ = "size " + U(x.idhash_.size()) + " (expected " +
                        U(static_cast<uint64_t>(n * segment::kIdHashEntryBytes)) + ")";
    }
    // The map stays registered for the CRC pass only when usable.
    if (!idhash_problem_.empty()) mapped_.erase(segment::kIdHashFile);

    // meta.bin and meta_off.bin come as a pair; without them a row's
    // metadata is rebuilt from its typed columns.
    bool has_meta, has_meta_off;
    NIMBREL_RETURN_IF_ERROR(Map(segment::kMetaFile, A::kRandom, kOptional, &x.meta_, &has_meta));
    NIMBREL_RETURN_IF_ERROR(Map(segment::kMetaOffsetsFile, A::kRandom, kOptional, &x.meta_off_, &has_meta_off));
    if (has_meta != has_meta_off) {
      return corrupt_file(has_meta ? segment::kMetaOffsetsFile : segment::kMetaFile, "missing");
    }
    if (has_meta) NIMBREL_RETURN_IF_ERROR(CheckOffsets(segment::kMetaOffsetsFile, x.meta_off_, x.meta_));

    NIMBREL_RETURN_IF_ERROR(Map(segment::kSparseFile, A::kRandom, kOptional, &x.sparse_, &has_sparse_));

    size_t n_num = 0, n_str = 0;
    for (const FieldSchema& f : m.fields) (f.numeric ? n_num : n_str)++;
    x.num_cols_.resize(n_num);
    x.str_cols_.resize(n_str);
    for (size_t i = 0; i < n_num; ++i) {
      const std::string name = segment::numeric_column_file(i);
      NIMBREL_RETURN_IF_ERROR(Map(name, A::kRandom, kRequired, &x.num_cols_[i]));
      NIMBREL_RETURN_IF_ERROR(CheckSize(name, x.num_cols_[i], n * sizeof(double)));
    }
    for (size_t i = 0; i < n_str; ++i) {
      const std::string name = segment::string_column_file(i);
      NIMBREL_RETURN_IF_ERROR(Map(name, A::kRandom, kRequired, &x.str_cols_[i]));
      NIMBREL_RETURN_IF_ERROR(CheckSize(name, x.str_cols_[i], n * sizeof(uint32_t)));
    }
    return Status::Ok();
  }

  // Every recorded file no larger than the budget is checked against its
  // CRC-32; larger ones are left to verify_integrity, so that opening a
  // big segment does not read all of it. idhash.bin is checked whatever
  // its size: replay, delete and upsert take its misses as "no such row",
  // so a damaged entry would drop a logged delete or leave an upserted
  // row's old version live. Its CRC costs about as much as reading it
  // once, a small share of the segment (16 bytes a row).
  Status VerifyChecksums() {
    const uint64_t budget = verify_max_bytes();
    std::vector<uint8_t> buffer;
    for (const auto& [name, want] : idx_->crcs_) {
      uint32_t got;
      auto it = mapped_.find(name);
      if (it != mapped_.end()) {
        if (it->second->size() > budget && name != segment::kIdHashFile) continue;
        got = crc32_ieee(it->second->data(), it->second->size());
      } else {
        if (name == segment::kIdHashFile) continue;  // already found unusable; rebuilt below
        Result<uint64_t> size = platform::FileSize(PathOf(name));
        if (!size.ok()) {
          if (size.status().code() == Code::kNotFound) return corrupt_file(name, "missing");
          return about_file(name, size.status());
        }
        if (*size > budget) continue;
        Result<uint32_t> crc = storage::crc32_file_with_buffer(PathOf(name), buffer);
        if (!crc.ok()) return about_file(name, crc.status());
        got = *crc;
      }
      if (got == want) continue;
      if (name == segment::kIdHashFile) {
        idhash_problem_ = "checksum mismatch";
        continue;
      }
      return corrupt_file(name, "checksum mismatch");
    }
    return Status::Ok();
  }

  // Uses idhash.bin as mapped, or rebuilds it from ids.bin and ids_off.bin
  // (checked above) and writes it back for the next open. Without a
  // recorded CRC (a segment older than crcs.bin) the table is derived
  // anyway and the file used only when it matches, for the same reason
  // the CRC is checked whatever the budget.
  Status LoadIdHash() {
    IvfIndex& x = *idx_;
    const uint64_t n = x.manifest_.n;
    if (idhash_problem_.empty() && !Recorded(segment::kIdHashFile)) {
      x.idhash_rebuilt_ = build_id_hash_table(x.ids_.data(), x.ids_.size(), x.ids_off_.data(), n);
      if (x.idhash_rebuilt_.empty() ||
          std::memcmp(x.idhash_rebuilt_.data(), x.idhash_.data(), x.idhash_rebuilt_.size()) == 0) {
        x.idhash_rebuilt_ = std::vector<uint8_t>();
      } else {
        idhash_problem_ = "does not match ids.bin";
      }
    }
    if (idhash_problem_.empty()) {
      x.idhash_data_ = x.idhash_.data();
      return Status::Ok();
    }
    x.idhash_ = MappedFile();
    if (x.idhash_rebuilt_.empty()) {
      x.idhash_rebuilt_ = build_id_hash_table(x.ids_.data(), x.ids_.size(), x.ids_off_.data(), n);
    }
    x.idhash_data_ = x.idhash_rebuilt_.data();
    // A private temporary name: several processes may repair the same
    // directory at once, and must not write into one temporary file.
    Status st = storage::write_bytes_via(PathOf(segment::kIdHashFile),
                                         storage::private_temp_path_for(PathOf(segment::kIdHashFile)),
                                         x.idhash_rebuilt_.data(), x.idhash_rebuilt_.size());
    std::string notice = "Nimbrel: " + PathOf(segment::kIdHashFile) + ": " + idhash_problem_ +
                         "; rebuilt from ids.bin and ids_off.bin";
    notice += st.ok() ? " and rewritten" : " in memory (could not rewrite it: " + st.message() + ")";
    platform::PrintNotice(notice);
    return Status::Ok();
  }

  // sparse.bin: u64 term count, count (u32 term, u32 postings) entries in
  // ascending term order, then the postings, 8 bytes each.
  Status BuildTermDirectory() {
    IvfIndex& x = *idx_;
    if (!has_sparse_) return Status::Ok();
    const MappedFile& f = x.sparse_;
    const char* name = segment::kSparseFile;
    if (f.size() < 8) return corrupt_file(name, "size " + U(f.size()) + " is shorter than its 8-byte count");
    const uint64_t count = load_le<uint64_t>(f.data());
    if (count > (f.size() - 8) / 8) return corrupt_file(name, U(count) + " terms do not fit in " + U(f.size()) + " bytes");
    // Up to 2^61 terms of up to 2^32 - 1 postings each: the total is
    // counted in 128 bits, so no count can wrap around into a matching size.
    unsigned __int128 postings = 0;
    int64_t previous = -1;
    for (uint64_t i = 0; i < count; ++i) {
      const uint8_t* e = f.data() + 8 + i * 8;
      const uint32_t term = load_le<uint32_t>(e);
      const uint32_t n_postings = load_le<uint32_t>(e + 4);
      if (static_cast<int64_t>(term) <= previous) return corrupt_file(name, "terms are not in ascending order");
      previous = term;
      x.term_dir_.emplace_hint(x.term_dir_.end(), term, std::make_pair(static_cast<uint64_t>(postings), n_postings));
      postings += n_postings;
    }
    const unsigned __int128 want = 8 + static_cast<unsigned __int128>(8) * count + 8 * postings;
    if (want != f.size()) {
      return corrupt_file(name, "size " + U(f.size()) + " does not match its " + U(count) + " terms and " +
                               U(static_cast<uint64_t>(postings)) + " postings");
    }
    x.sparse_postings_ = f.data() + 8 + count * 8;
    return Status::Ok();
  }

  // A segment without lists has nothing to rotate: the rotation is built
  // only when centroids exist, whose bytes in the manifest bound the
  // dimension it is sized by.
  void SetUpCodec() {
    IvfIndex& x = *idx_;
    const Manifest& m = x.manifest_;
    if (m.n_lists == 0) return;
    x.rotator_ = Rotator::Create(m.dim, m.seed, x.format_version_);
    const size_t lists = m.n_lists, dim = m.dim, padded = x.padded_dim_;
    x.rotated_centroids_.assign(lists * padded, 0.0f);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, lists, 16), [&](const tbb::blocked_range<size_t>& r) {
      for (size_t l = r.begin(); l < r.end(); ++l) {
        x.rotator_.rotate(m.centroids.data() + l * dim, x.rotated_centroids_.data() + l * padded);
      }
    });
  }

  // The effective schema: the manifest's fields minus the skipped ones
  // (skipped at build, or by this handle), with the row source pointing at
  // their mapped columns.
  void SetUpSchema() {
    IvfIndex& x = *idx_;
    const Manifest& m = x.manifest_;
    x.skip_.insert(m.skip_fields.begin(), m.skip_fields.end());
    if (skip_) x.skip_.insert(skip_->begin(), skip_->end());
    size_t num_col = 0, str_col = 0;
    for (const FieldSchema& f : m.fields) {
      const size_t col = f.numeric ? num_col++ : str_col++;
      if (x.skip_.count(f.name) != 0) continue;
      x.fields_.push_back(f);
      x.field_column_.push_back(static_cast<int>(col));
      x.field_number_.emplace(f.name, std::make_pair(f.numeric, f.numeric ? x.main_rows_.num.size()
                                                                            : x.main_rows_.str.size()));
      if (f.numeric) {
        x.main_rows_.num.push_back(reinterpret_cast<const double*>(x.num_cols_[col].data()));
      } else {
        x.main_rows_.str.push_back(reinterpret_cast<const uint32_t*>(x.str_cols_[col].data()));
        x.reverse_dicts_.emplace_back(f.dict.size(), nullptr);
        x.string_field_at_.push_back(x.fields_.size() - 1);
      }
    }
    // Filled only now that fields_ has stopped growing: the entries point
    // at the effective schema's own keys.
    size_t s = 0;
    for (const FieldSchema& f : x.fields_) {
      if (f.numeric) continue;
      for (const auto& [key, code] : f.dict) x.reverse_dicts_[s][code] = &key;
      ++s;
    }
    x.main_rows_.meta_text = &IvfIndex::main_meta_text;
    x.main_rows_.ctx = &x;
    x.delta_.reset(m.n_lists);
    x.delta_.num.assign(x.main_rows_.num.size(), std::vector<double>());
    x.delta_.str.assign(x.main_rows_.str.size(), std::vector<uint32_t>());
    x.delta_rows_.num.assign(x.main_rows_.num.size(), nullptr);
    x.delta_rows_.str.assign(x.main_rows_.str.size(), nullptr);
    x.delta_rows_.meta_text = &IvfIndex::delta_meta_text;
    x.delta_rows_.ctx = &x;
    x.typed_fields_ = m.fields.size();
  }

  std::string dir_;
  const std::optional<std::set<std::string>>& skip_;
  const uint64_t expected_dim_;  // 0: any
  std::shared_ptr<IvfIndex> idx_;
  uint32_t format_file_version_ = 0;  // 0: no format.bin
  std::map<std::string, const MappedFile*> mapped_;  // file name -> its map, for the CRC pass
  std::string idhash_problem_;                       // empty: idhash.bin usable
  bool has_sparse_ = false;
};

Result<std::shared_ptr<IvfIndex>> IvfIndex::open_with_skip(
    const std::string& dir, const std::optional<std::set<std::string>>& skip, uint64_t expected_dim) {
  OPEN_COUNT.fetch_add(1, std::memory_order_relaxed);
  try {
    return IvfIndexOpener(dir, skip, expected_dim).Run();
  } catch (const std::bad_alloc&) {
    return Status(Code::kIoError, "open " + dir + ": out of memory");
  } catch (const std::exception& e) {
    return Status(Code::kIoError, "open " + dir + ": " + e.what());
  }
}

}  // namespace nimbrel
