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

// The rotation and the bit-plane layout follow the format version: 3 is
// what this build writes; 1 and 2 are read.
inline constexpr uint32_t kOldestReadableFormat = 1;

}  // namespace nimbrel::segment
