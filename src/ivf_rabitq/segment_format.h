// File names and fixed values of a segment directory. docs/format.md
// describes every file byte by byte; this header mirrors it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nimbrel::segment {

// Files with a checksummed header (4-byte magic, u32 CRC-32 of the body).
inline constexpr char kFormatFile[] = "format.bin";
inline constexpr char kManifestFile[] = "manifest.bin";
inline constexpr char kCrcsFile[] = "crcs.bin";
inline constexpr char kFormatMagic[4] = {'N', 'B', 'F', 'V'};
inline constexpr char kManifestMagic[4] = {'N', 'B', 'M', 'F'};
inline constexpr char kCrcsMagic[4] = {'N', 'B', 'C', 'K'};

// The generation counter: 8 bytes, u64, no header.
inline constexpr char kGenerationFile[] = "generation";

// Data files: raw arrays, no header; their CRC-32s are in crcs.bin.
inline constexpr char kCodesFile[] = "codes.bin";            // bit-plane codes
inline constexpr char kFactorsFile[] = "metas.bin";          // RowFactors per row
inline constexpr char kRerankFile[] = "orig.bin";            // dim u8 codes per row
inline constexpr char kRerankScaleFile[] = "origscale.bin";  // 8 bytes per row
inline constexpr char kIdsFile[] = "ids.bin";
inline constexpr char kIdOffsetsFile[] = "ids_off.bin";
inline constexpr char kIdHashFile[] = "idhash.bin";
inline constexpr char kMetaFile[] = "meta.bin";
inline constexpr char kMetaOffsetsFile[] = "meta_off.bin";
inline constexpr char kSparseFile[] = "sparse.bin";
inline std::string numeric_column_file(size_t i) { return "num_" + std::to_string(i) + ".bin"; }
inline std::string string_column_file(size_t i) { return "str_" + std::to_string(i) + ".bin"; }

// Files of the write path, removed by a build.
inline constexpr char kDeltaFile[] = "delta.bin";
inline constexpr char kDeletedFile[] = "deleted.bin";
inline constexpr char kWalFile[] = "wal.bin";
inline constexpr char kWalCorruptFile[] = "wal.corrupt.bin";

inline constexpr size_t kFactorsBytes = 16;      // per row in metas.bin
inline constexpr size_t kScaleRecordBytes = 8;   // per row in origscale.bin
inline constexpr size_t kScaleExponentAt = 4;    // the exponent code's byte in a record
inline constexpr size_t kIdHashEntryBytes = 16;  // u64 hash, u32 row, u32 zero
inline constexpr size_t kOffsetBytes = 8;        // u64 entries of ids_off.bin / meta_off.bin

// format.bin holds the format version callers see. This build writes 3
// and reads 1 to 4: 4 was written by builds that gave the 32-row code
// blocks a version number of their own.
inline constexpr uint32_t kOldestReadableFormat = 1;
inline constexpr uint32_t kNewestReadableFormat = 4;

// The manifest's row format says how the rows were encoded: 1 and 2 the
// dense rotation, 3 the structured rotation with codes one row after
// another, 4 the structured rotation with each list's codes in 32-row
// blocks, which this build writes. Format 3 comes with row format 3 or 4,
// so it is the row format that chooses the layout. It is the manifest's
// old format-version field, not a new one after it: earlier builds skip
// trailing manifest bytes but check this field (equal to format.bin's
// version, and at most their newest), so they refuse row format 4 beside
// format 3 rather than read the blocks as rows.
inline constexpr uint32_t kBlockedRowFormat = 4;
inline constexpr uint32_t kNewestRowFormat = 4;

// The format version written beside a row format.
inline constexpr uint32_t format_of_row_format(uint32_t row_format) {
  return row_format == kBlockedRowFormat ? 3 : row_format;
}

// Whether format.bin's version may stand beside the manifest's row format:
// the version written with it, or 4 beside blocked codes written under
// their own number.
inline constexpr bool format_agrees_with_row_format(uint32_t format, uint32_t row_format) {
  return format == format_of_row_format(row_format) || (row_format == kBlockedRowFormat && format == 4);
}

}  // namespace nimbrel::segment
