// Storage primitives shared by build, open and the write path: CRC-32,
// the checksummed file header, the atomic whole-file write, the generation
// file, and the process-wide residency switches.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ivf_rabitq/status.h"

namespace nimbrel {

// CRC-32 with the IEEE polynomial (check value of "123456789": cbf43926).
uint32_t crc32_ieee(const void* data, size_t len, uint32_t crc = 0);

// "File header with checksum": 4-byte magic, u32 CRC-32 of the body, body.
std::vector<uint8_t> wrap_with_header(const char magic[4], const std::vector<uint8_t>& body);
// Checks magic and CRC; returns the body. Errors name `file` ("corrupt index: {file}: ...").
Result<std::vector<uint8_t>> unwrap_header(const char magic[4], const std::vector<uint8_t>& file,
                                           std::string_view file_name);

namespace storage {
// Writes to "<target stem>.writing.tmp" beside the target (mode 0666,
// truncated), flushes it to the device, renames it over the target, and
// flushes the parent directory.
Status write_bytes(const std::string& path, const void* data, size_t len);
inline Status write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  return write_bytes(path, bytes.data(), bytes.size());
}
// The temporary path write_bytes uses for `path`.
std::string temp_path_for(const std::string& path);
// Flushes the parent directory of `path`; failing to open it counts as success.
Status sync_parent_dir(const std::string& path);
// The u64 in <dir>/generation; 0 when missing, short or unreadable.
uint64_t read_generation(const std::string& dir);
Status write_generation(const std::string& dir, uint64_t gen);
// CRC-32 of a whole file, read sequentially through the caller's 64 KiB buffer.
Result<uint32_t> crc32_file_with_buffer(const std::string& path, std::vector<uint8_t>& buffer);
}  // namespace storage

// Residency switches: 0 undecided, 1 off, 2 on. While 0, the first map that
// needs one reads NIMBREL_PREWARM / NIMBREL_MLOCK once.
extern std::atomic<uint8_t> PREWARM_STATE;
extern std::atomic<uint8_t> MLOCK_STATE;
bool prewarm_enabled();
bool mlock_enabled();

// Settings from the environment, read once and cached. Numeric values
// accept surrounding white space and a leading "+".
uint64_t verify_max_bytes();  // NIMBREL_VERIFY_MAX_BYTES, default 64 MiB
bool parse_u64_setting(std::string_view text, uint64_t* out);
bool parse_switch_setting(std::string_view text);  // the on/off rule

}  // namespace nimbrel
