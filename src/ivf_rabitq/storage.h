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
#include "platform/fs.h"

namespace nimbrel {

// CRC-32 with the IEEE polynomial (check value of "123456789": cbf43926).
// Incremental: crc32_ieee(b, nb, crc32_ieee(a, na)) is the CRC of a then b.
uint32_t crc32_ieee(const void* data, size_t len, uint32_t crc = 0);

// "File header with checksum": 4-byte magic, u32 CRC-32 of the body, body.
std::vector<uint8_t> wrap_with_header(const char magic[4], const std::vector<uint8_t>& body);
// Checks length, magic and CRC; returns the body. Errors are kCorrupt and
// name the file: "corrupt index: {file}: ...".
Result<std::vector<uint8_t>> unwrap_header(const char magic[4], const std::vector<uint8_t>& file,
                                           std::string_view file_name);
// unwrap_header's checks on bytes in place (a map), in two steps for a
// caller that checks the size between them: the length and the magic,
// then the CRC of the body.
Status check_header_magic(const char magic[4], const uint8_t* file, size_t len, std::string_view file_name);
Status check_header_crc(const uint8_t* file, size_t len, std::string_view file_name);

// The largest size a header file can have, checked before it is read:
// what this build writes at most, plus this much room for fields a later
// version may append (readers accept trailing bytes). A longer file was
// grown by damage, and reading it whole would only cost memory and time.
inline constexpr uint64_t kHeaderRoomBytes = 64 * 1024;
// format.bin: the header and the u32 version.
inline constexpr uint64_t kFormatFileMaxBytes = 8 + 4 + kHeaderRoomBytes;
// crcs.bin of a segment with `typed_columns` num_<i>.bin and str_<i>.bin:
// one entry (a name of at most 255 bytes, its CRC) per data file, with room
// for data files a later version adds.
uint64_t crcs_file_max_bytes(uint64_t typed_columns);

// "corrupt index: {file}: {what}": the refusal of a damaged segment file.
Status corrupt_file(const std::string& file, const std::string& what);
// An error about one file of a segment directory, naming it: "ids.bin:
// Permission denied (os error 13)", kind and errno kept. Something other
// than a regular file under the name is damage: "corrupt index: ...".
Status about_file(const std::string& file, const Status& st);
// The bytes of the segment file `name` in `dir`, or empty with *missing set
// when it does not exist; one larger than `max_bytes` is refused unread.
// Other errors name the file (about_file).
Result<std::vector<uint8_t>> read_segment_file(const std::string& dir, const char* name, bool* missing,
                                               uint64_t max_bytes = UINT64_MAX);

namespace storage {
// Every temporary file of an atomic write ends in this; recovery removes
// such leftovers.
inline constexpr std::string_view kTempSuffix = ".writing.tmp";
// Writes to "<target stem>.writing.tmp" beside the target (mode 0666,
// truncated), flushes it to the device, renames it over the target, and
// flushes the parent directory.
Status write_bytes(const std::string& path, const void* data, size_t len);
inline Status write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  return write_bytes(path, bytes.data(), bytes.size());
}
// The temporary path write_bytes uses for `path`.
std::string temp_path_for(const std::string& path);
// A temporary path for `path` of this process and moment only ("<stem>.<pid>-
// <clock>.writing.tmp"), for files several processes may write at once.
std::string private_temp_path_for(const std::string& path);
// Flushes the parent directory of `path`; failing to open it counts as success.
Status sync_parent_dir(const std::string& path);
// The u64 in <dir>/generation; 0 when missing, short or unreadable.
uint64_t read_generation(const std::string& dir);
Status write_generation(const std::string& dir, uint64_t gen);
// CRC-32 of a whole file, read sequentially through the caller's 64 KiB
// buffer (an empty buffer is grown to 64 KiB).
Result<uint32_t> crc32_file_with_buffer(const std::string& path, std::vector<uint8_t>& buffer);

// The atomic write of a file too big to hold in one buffer: the bytes are
// streamed to the temporary file (CRC-32 computed on the way), and only
// Commit() makes them visible under the target's name. Commit() flushes the
// file and renames it; it does not flush the directory, so a caller writing
// many files flushes it once (SyncDirectory) after the last one. A writer
// destroyed without Commit() removes its temporary file.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(AtomicFileWriter&& o) noexcept;
  AtomicFileWriter& operator=(AtomicFileWriter&& o) noexcept;

  // `temp` overrides the temporary path (default: temp_path_for(path)).
  static Result<AtomicFileWriter> Create(const std::string& path, const std::string& temp = "");
  Status Append(const void* data, size_t len);
  // Flushes to the device and renames over the target; returns the CRC-32
  // of everything appended.
  Result<uint32_t> Commit();
  uint64_t bytes_written() const { return written_; }

 private:
  Status Drain();
  void Abandon();
  platform::File file_;
  std::string path_, temp_;
  std::vector<uint8_t> buf_;
  uint32_t crc_ = 0;
  uint64_t written_ = 0;
  bool committed_ = false;
};

// Like write_bytes, through an explicit temporary path (still ending in
// ".writing.tmp", so an interrupted write is cleaned up the same way).
Status write_bytes_via(const std::string& path, const std::string& temp, const void* data,
                       size_t len);
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
uint64_t merge_sample();      // NIMBREL_MERGE_SAMPLE, default 1000000 (0 or invalid: the default)
bool parse_u64_setting(std::string_view text, uint64_t* out);
bool parse_switch_setting(std::string_view text);  // the on/off rule

// Tests only: forget the cached environment settings (the residency
// switches go back to undecided), so the next read consults the
// environment again.
void reset_cached_settings_for_testing();

}  // namespace nimbrel
