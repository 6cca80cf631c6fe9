// Encoding and checked decoding of the segment header.
#include "ivf_rabitq/manifest.h"

#include <set>

#include "ivf_rabitq/record.h"
#include "ivf_rabitq/segment_format.h"
#include "ivf_rabitq/storage.h"

namespace nimbrel {
namespace {

// The smallest encoded sizes, for checking counts before allocating.
constexpr size_t kMinStringBytes = 8;               // u64 length
constexpr size_t kMinFieldBytes = 8 + 1 + 8;        // name, numeric flag, dictionary count
constexpr size_t kMinDictEntryBytes = 8 + 4;        // key, code
constexpr size_t kMinPostingListBytes = 4 + 8;      // term, posting count
constexpr size_t kPostingBytes = 4 + 4;             // row, weight

bool ReadField(record::Reader& r, FieldSchema* f) {
  if (!r.str(&f->name) || !r.boolean(&f->numeric)) return false;
  uint64_t entries;
  if (!r.count(&entries, kMinDictEntryBytes)) return false;
  for (uint64_t i = 0; i < entries; ++i) {
    std::string key;
    uint32_t code;
    if (!r.str(&key) || !r.u32(&code)) return false;
    if (!f->dict.emplace(std::move(key), code).second) {
      return r.fail("field '" + f->name + "': duplicate dictionary key");
    }
  }
  return true;
}

bool ReadManifest(record::Reader& r, Manifest* m) {
  if (!r.u64(&m->dim) || !r.u64(&m->n) || !r.u64(&m->fit_count) || !r.f32(&m->quant_scale) ||
      !r.u32(&m->n_bits) || !r.u64(&m->seed) || !r.u64(&m->n_lists)) {
    return false;
  }
  if (!r.seq(&m->centroids) || !r.seq(&m->list_offsets) || !r.seq(&m->pca_mean) ||
      !r.seq(&m->pca_comps)) {
    return false;
  }
  uint64_t n_fields;
  if (!r.count(&n_fields, kMinFieldBytes)) return false;
  m->fields.resize(static_cast<size_t>(n_fields));
  for (FieldSchema& f : m->fields) {
    if (!ReadField(r, &f)) return false;
  }
  uint64_t n_skip;
  if (!r.count(&n_skip, kMinStringBytes)) return false;
  m->skip_fields.resize(static_cast<size_t>(n_skip));
  for (std::string& s : m->skip_fields) {
    if (!r.str(&s)) return false;
  }
  uint64_t n_terms;
  if (!r.count(&n_terms, kMinPostingListBytes)) return false;
  for (uint64_t t = 0; t < n_terms; ++t) {
    uint32_t term;
    uint64_t n_postings;
    if (!r.u32(&term) || !r.count(&n_postings, kPostingBytes)) return false;
    auto [it, fresh] = m->sparse_postings.try_emplace(term);
    if (!fresh) return r.fail("duplicate sparse term " + std::to_string(term));
    it->second.resize(static_cast<size_t>(n_postings));
    for (auto& [row, weight] : it->second) {
      if (!r.u32(&row) || !r.f32(&weight)) return false;
    }
  }
  // Appended later: older manifests end here, and readers ignore any bytes
  // after the field (fewer than four of them included).
  if (r.remaining() >= 4 && !r.u32(&m->row_format)) return false;
  return true;
}

// The checks that make every later use of the manifest safe: array lengths
// agree with dim and the list count, list offsets partition [0, n), and
// dictionary codes are a permutation of 0..size-1.
bool CheckManifest(record::Reader& r, const Manifest& m) {
  auto fail = [&](const std::string& what) { return r.fail(what); };
  if (m.dim == 0) return fail("dim is 0");
  if (m.dim > kMaxDim) return fail("dim " + std::to_string(m.dim) + " exceeds " + std::to_string(kMaxDim));
  if (m.n >= 0xFFFFFFFFull) return fail("row count " + std::to_string(m.n) + " exceeds the u32 slot capacity");
  if (m.n > 0 && (m.n_bits < 1 || m.n_bits > 8)) {
    return fail("n_bits " + std::to_string(m.n_bits) + " is not between 1 and 8");
  }
  if (m.n_bits > 8) return fail("n_bits " + std::to_string(m.n_bits) + " is not between 1 and 8");
  if (m.n > 0 && m.n_lists == 0) return fail("rows without lists");
  const unsigned __int128 centroid_values = static_cast<unsigned __int128>(m.n_lists) * m.dim;
  if (centroid_values != m.centroids.size()) {
    return fail(std::to_string(m.centroids.size()) + " centroid values for " +
                std::to_string(m.n_lists) + " lists of dim " + std::to_string(m.dim));
  }
  if (m.list_offsets.size() != m.n_lists + 1) {
    return fail(std::to_string(m.list_offsets.size()) + " list offsets for " +
                std::to_string(m.n_lists) + " lists");
  }
  if (m.list_offsets.front() != 0 || m.list_offsets.back() != m.n) {
    return fail("list offsets do not run from 0 to the row count");
  }
  for (size_t i = 1; i < m.list_offsets.size(); ++i) {
    if (m.list_offsets[i] < m.list_offsets[i - 1]) return fail("list offsets decrease at list " + std::to_string(i - 1));
  }
  // The PCA basis is stored as the build was given it, whatever its
  // lengths: nothing here reads it, and refusing it would make a segment
  // that built fine unopenable.
  std::set<std::string_view> names;
  for (const FieldSchema& f : m.fields) {
    if (!names.insert(f.name).second) return fail("field '" + f.name + "' appears twice");
    if (f.numeric && !f.dict.empty()) return fail("numeric field '" + f.name + "' has a dictionary");
    std::vector<bool> seen(f.dict.size(), false);
    for (const auto& [key, code] : f.dict) {
      if (code >= f.dict.size() || seen[code]) {
        return fail("field '" + f.name + "': dictionary code " + std::to_string(code) + " is out of range or repeated");
      }
      seen[code] = true;
    }
  }
  for (const auto& [term, postings] : m.sparse_postings) {
    for (const auto& [row, weight] : postings) {
      if (row >= m.n) return fail("sparse term " + std::to_string(term) + " names row " + std::to_string(row));
    }
  }
  return true;
}

}  // namespace

std::vector<uint8_t> encode_manifest(const Manifest& m) {
  record::Writer w;
  w.u64(m.dim);
  w.u64(m.n);
  w.u64(m.fit_count);
  w.f32(m.quant_scale);
  w.u32(m.n_bits);
  w.u64(m.seed);
  w.u64(m.n_lists);
  w.seq(m.centroids);
  w.seq(m.list_offsets);
  w.seq(m.pca_mean);
  w.seq(m.pca_comps);
  w.count(m.fields.size());
  for (const FieldSchema& f : m.fields) {
    w.str(f.name);
    w.boolean(f.numeric);
    w.count(f.dict.size());
    for (const auto& [key, code] : f.dict) {
      w.str(key);
      w.u32(code);
    }
  }
  w.count(m.skip_fields.size());
  for (const std::string& s : m.skip_fields) w.str(s);
  w.count(m.sparse_postings.size());
  for (const auto& [term, postings] : m.sparse_postings) {
    w.u32(term);
    w.count(postings.size());
    for (const auto& [row, weight] : postings) {
      w.u32(row);
      w.f32(weight);
    }
  }
  if (m.row_format != 0) w.u32(m.row_format);
  return w.take();
}

Result<Manifest> decode_manifest(const uint8_t* data, size_t len) {
  record::Reader r(data, len);
  Manifest m;
  if (!ReadManifest(r, &m) || !CheckManifest(r, m)) {
    return Status::Corrupt("corrupt index: manifest.bin: " + r.error());
  }
  return m;
}

// Nothing bounds the manifest's size in advance (the PCA basis and the
// dictionaries are as long as they are), so its record does: the body may
// hold the record and, for fields a later version appends, as many bytes
// again plus kHeaderRoomBytes. A longer file was grown by damage, and is
// refused having read no more than the record. So the record is decoded
// before the CRC is checked, which the decoder allows: it checks every
// count against the bytes left. A body that does not decode is damaged
// whatever its CRC; the CRC still names the damage, as for the other
// header files, unless that would read more than a large manifest.
Result<Manifest> decode_manifest_file(const uint8_t* file, size_t len) {
  constexpr uint64_t kLargestUndecodableChecked = uint64_t{64} << 20;
  NIMBREL_RETURN_IF_ERROR(check_header_magic(segment::kManifestMagic, file, len, segment::kManifestFile));
  const size_t body = len - 8;
  record::Reader r(file + 8, body);
  Manifest m;
  const bool decoded = ReadManifest(r, &m) && CheckManifest(r, m);
  const uint64_t record = r.position();
  if (decoded && body - record > record + kHeaderRoomBytes) {
    return corrupt_file(segment::kManifestFile, "size " + std::to_string(len) + " (at most " +
                                                    std::to_string(8 + 2 * record + kHeaderRoomBytes) + ")");
  }
  if (decoded || body <= kLargestUndecodableChecked) {
    NIMBREL_RETURN_IF_ERROR(check_header_crc(file, len, segment::kManifestFile));
  }
  if (!decoded) return Status::Corrupt("corrupt index: manifest.bin: " + r.error());
  return m;
}

}  // namespace nimbrel
