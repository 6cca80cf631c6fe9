// The segment header, stored in manifest.bin (see docs/format.md).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ivf_rabitq/field_schema.h"
#include "ivf_rabitq/status.h"

namespace nimbrel {

// The largest vector dimension a segment may have. Far beyond any real
// vector, it keeps every size derived from dim (the padded dimension, the
// rotation's tables) clear of 64-bit overflow, so that a damaged or hostile
// manifest of an empty segment cannot make open loop or write out of bounds.
inline constexpr uint64_t kMaxDim = 0x7FFFFFFFull;

struct Manifest {
  uint64_t dim = 0;
  uint64_t n = 0;              // main rows
  uint64_t fit_count = 0;      // rows the last k-means fit used
  float quant_scale = 0.0f;    // global scale of the 8-bit rerank codes
  uint32_t n_bits = 0;         // bits per dimension of the bit-plane codes (1..8)
  uint64_t seed = 0;           // segment seed (rotation)
  uint64_t n_lists = 0;        // IVF lists (0 only for an empty segment)
  std::vector<float> centroids;          // n_lists * dim
  std::vector<uint64_t> list_offsets;    // n_lists + 1, first 0, last n, non-decreasing
  std::vector<float> pca_mean;           // dim values or empty (stored as given)
  std::vector<float> pca_comps;          // 3 * dim values or empty (stored as given)
  std::vector<FieldSchema> fields;       // typed columns, in column order
  std::vector<std::string> skip_fields;  // fields the build gave no typed column
  // Legacy sparse postings (term -> (row, weight)); empty when sparse.bin exists.
  std::map<uint32_t, std::vector<std::pair<uint32_t, float>>> sparse_postings;
  // How the rows were encoded: their rotation and the layout of their
  // codes (segment::kBlockedRowFormat ...). Kept here because the manifest
  // is always checksummed and read whole: a lost or replaced format.bin
  // must not make the rows be read with another rotation, and format.bin's
  // number alone does not tell the code layout. 0: not recorded (a
  // manifest written before this field existed).
  uint32_t row_format = 0;
};

std::vector<uint8_t> encode_manifest(const Manifest& m);
// Decodes and checks internal consistency; errors are kCorrupt "corrupt index: manifest.bin: ...".
Result<Manifest> decode_manifest(const uint8_t* data, size_t len);
// The whole of manifest.bin, header included, as mapped: checks the header
// and decodes the body, refusing a file longer than its record allows
// before the CRC reads the excess. Errors as decode_manifest's.
Result<Manifest> decode_manifest_file(const uint8_t* file, size_t len);

}  // namespace nimbrel
