// The OS layer: error texts, the atomic write under injected faults,
// advisory locks between descriptors, and memory maps.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "ivf_rabitq/storage.h"
#include "platform/fs.h"
#include "test_util.h"

namespace nimbrel {
namespace {

using platform::File;

TEST(OsError, DisplayTextIsDescriptionThenErrorNumber) {
  Status bare = Status::FromErrno(ENOENT);
  EXPECT_EQ(bare.message(), "No such file or directory (os error 2)");
  EXPECT_EQ(bare.code(), Code::kNotFound);
  EXPECT_EQ(bare.os_errno(), ENOENT);
  Status prefixed = Status::FromErrno(EACCES, "open /x");
  EXPECT_EQ(prefixed.message(), "open /x: Permission denied (os error 13)");
  EXPECT_EQ(prefixed.code(), Code::kIoError);
}

TEST(Files, MissingFilesAndShortReadsAreErrorsWithTheSystemText) {
  TempDir dir;
  Result<std::vector<uint8_t>> r = platform::ReadFile(dir.file("absent"));
  EXPECT_EQ(r.status().code(), Code::kNotFound);
  EXPECT_EQ(r.status().message(), "No such file or directory (os error 2)");
  EXPECT_FALSE(platform::Exists(dir.file("absent")));
  EXPECT_TRUE(platform::RemoveAll(dir.file("absent")).ok());

  WriteBytes(dir.file("f"), {1, 2, 3});
  auto f = File::Open(dir.file("f"), File::kRead);
  ASSERT_TRUE(f.ok());
  uint8_t buf[4];
  EXPECT_TRUE(f->PReadExact(buf, 2, 1).ok());
  EXPECT_EQ(buf[0], 2);
  EXPECT_EQ(f->PReadExact(buf, 4, 0).message(), "failed to fill whole buffer");
}

TEST(Paths, ParentAndJoinHandleSlashesAndBareNames) {
  EXPECT_EQ(platform::ParentPath("/a/b/c.bin"), "/a/b");
  EXPECT_EQ(platform::ParentPath("/a/b/"), "/a");
  EXPECT_EQ(platform::ParentPath("/a"), "/");
  EXPECT_EQ(platform::ParentPath("name"), "");
  EXPECT_EQ(platform::JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(platform::JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(platform::JoinPath("", "b"), "b");
}

// Every spelling of one directory resolves to one path (the lock file and
// the siblings are derived from it); below the first missing component
// the path is taken as written.
TEST(Paths, ResolveGivesOnePathForEverySpellingOfADirectory) {
  TempDir dir;
  const std::string real = std::filesystem::canonical(dir.path()).string();
  std::filesystem::create_directories(real + "/data/seg");
  std::filesystem::create_directory_symlink(real + "/data/seg", real + "/current");
  std::filesystem::create_directory_symlink("data", real + "/rel");
  const std::string seg = real + "/data/seg";
  for (const std::string& spelling :
       {seg, seg + "/", seg + "//.", real + "/current", real + "/current/", real + "/rel/seg",
        real + "/data/../data/./seg", real + "/current/../seg"}) {
    EXPECT_EQ(*platform::ResolvePath(spelling), seg) << spelling;
  }
  EXPECT_EQ(*platform::ResolvePath(real + "/current/new/x/"), seg + "/new/x");
  EXPECT_EQ(*platform::ResolvePath("/"), "/");
  const std::string cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(seg);
  EXPECT_EQ(*platform::ResolvePath("."), seg);
  EXPECT_EQ(*platform::ResolvePath("sub"), seg + "/sub");
  EXPECT_EQ(*platform::ResolvePath(".."), real + "/data");
  std::filesystem::current_path(cwd);

  // A dangling link (its target not built yet, or away between the two
  // renames of a directory swap) still leads to its target.
  std::filesystem::create_directory_symlink(real + "/data/next", real + "/pending");
  std::filesystem::create_directory_symlink("pending", real + "/chained");
  EXPECT_EQ(*platform::ResolvePath(real + "/pending"), real + "/data/next");
  EXPECT_EQ(*platform::ResolvePath(real + "/chained/"), real + "/data/next");
  EXPECT_EQ(*platform::ResolvePath(real + "/chained/a/b"), real + "/data/next/a/b");

  // What the system itself refuses is refused: "" and a ".." that climbs
  // out of a missing directory or out of a file, and links that loop.
  WriteBytes(real + "/notes.txt", {1});
  EXPECT_EQ(platform::ResolvePath("").status().os_errno(), ENOENT);
  EXPECT_EQ(platform::ResolvePath(real + "/missing/..").status().os_errno(), ENOENT);
  EXPECT_EQ(platform::ResolvePath(real + "/missing/../current").status().os_errno(), ENOENT);
  EXPECT_EQ(platform::ResolvePath(real + "/notes.txt/..").status().os_errno(), ENOTDIR);
  std::filesystem::create_symlink(real + "/loop", real + "/loop");
  EXPECT_EQ(platform::ResolvePath(real + "/loop/seg").status().os_errno(), ELOOP);
  EXPECT_EQ(platform::ResolvePath(real + "/loop").status().os_errno(), ELOOP);
}

// The system reads a path only up to a NUL byte; every call refuses such a
// path instead of acting on the shorter name.
TEST(Paths, APathWithANulByteIsRefusedByEveryCall) {
  TempDir dir;
  WriteBytes(dir.file("notes.txt"), {1, 2, 3});
  const std::string nul = dir.file("notes.txt") + std::string(1, '\0') + ".old";
  EXPECT_EQ(platform::RemoveAll(nul).os_errno(), EINVAL);
  EXPECT_EQ(platform::Unlink(nul).os_errno(), EINVAL);
  EXPECT_EQ(platform::Rename(nul, dir.file("moved")).os_errno(), EINVAL);
  EXPECT_EQ(File::Open(nul, File::kWriteTruncate).status().os_errno(), EINVAL);
  EXPECT_EQ(platform::MappedFile::Map(nul, platform::MappedFile::Access::kRandom, false, false).status().os_errno(),
            EINVAL);
  EXPECT_EQ(platform::ResolvePath(nul).status().os_errno(), EINVAL);
  EXPECT_FALSE(platform::Exists(nul));
  EXPECT_EQ(ReadBytes(dir.file("notes.txt")), (std::vector<uint8_t>{1, 2, 3}));
}

// ---- atomic write ----------------------------------------------------------------

TEST(AtomicWrite, TemporaryNameReplacesTheExtension) {
  EXPECT_EQ(storage::temp_path_for("/d/manifest.bin"), "/d/manifest.writing.tmp");
  EXPECT_EQ(storage::temp_path_for("/d/generation"), "/d/generation.writing.tmp");
  EXPECT_EQ(storage::temp_path_for("/d.x/generation"), "/d.x/generation.writing.tmp");
  EXPECT_EQ(storage::temp_path_for("/d/wal.corrupt.bin"), "/d/wal.corrupt.writing.tmp");
  EXPECT_EQ(storage::temp_path_for("/d/.hidden"), "/d/.hidden.writing.tmp");
}

// Fails every step named `g_failing_op` with EIO.
const char* g_failing_op = nullptr;
int FailNamedStep(const char* op, const std::string&) {
  return g_failing_op != nullptr && std::strcmp(op, g_failing_op) == 0 ? EIO : 0;
}

TEST(AtomicWrite, FailedStepsKeepTheOldContentAndNoTemporaryFileIsLeft) {
  TempDir dir;
  const std::string target = dir.file("generation");
  platform::SetFaultHook(&FailNamedStep);
  for (const char* op : {"write", "sync", "rename", "sync_dir", static_cast<const char*>(nullptr)}) {
    const std::string what = op ? op : "no fault";
    g_failing_op = op;
    WriteBytes(target, {7, 7});
    Status st = storage::write_bytes(target, std::vector<uint8_t>{1, 2, 3, 4});
    // After a failed sync_dir the rename happened; only its durability is in doubt.
    const bool replaced = op == nullptr || std::strcmp(op, "sync_dir") == 0;
    EXPECT_EQ(st.ok(), op == nullptr) << what;
    if (op != nullptr) {
      EXPECT_EQ(st.message(), "Input/output error (os error 5)") << what;
    }
    EXPECT_EQ(ReadBytes(target), (replaced ? std::vector<uint8_t>{1, 2, 3, 4} : std::vector<uint8_t>{7, 7})) << what;
    EXPECT_EQ(ListFiles(dir.path()), std::vector<std::string>{"generation"}) << what;
  }
  g_failing_op = nullptr;
  platform::SetFaultHook(nullptr);
}

TEST(AtomicWrite, StreamingWriterChecksumsWhatItWritesAndCleansUpWhenAbandoned) {
  TempDir dir;
  std::vector<uint8_t> big(3 * (1 << 20) + 17);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
  {
    auto w = storage::AtomicFileWriter::Create(dir.file("codes.bin"));
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w->Append(big.data(), 1000).ok());
    ASSERT_TRUE(w->Append(big.data() + 1000, big.size() - 1000).ok());
    auto crc = w->Commit();
    ASSERT_TRUE(crc.ok());
    EXPECT_EQ(*crc, crc32_ieee(big.data(), big.size()));
  }
  EXPECT_EQ(ReadBytes(dir.file("codes.bin")), big);
  {
    auto w = storage::AtomicFileWriter::Create(dir.file("codes.bin"));
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w->Append(big.data(), 10).ok());
  }  // never committed
  EXPECT_EQ(ListFiles(dir.path()), std::vector<std::string>{"codes.bin"});
  EXPECT_EQ(ReadBytes(dir.file("codes.bin")), big);
}

// ---- locks -------------------------------------------------------------------

// A non-blocking probe from a third descriptor: can it take `op` now?
bool CanLock(const std::string& path, int op) {
  auto probe = File::Open(path, File::kReadWriteCreate);
  EXPECT_TRUE(probe.ok());
  const bool ok = ::flock(probe->fd(), op | LOCK_NB) == 0;
  if (!ok) {
    EXPECT_EQ(errno, EWOULDBLOCK);
  }
  return ok;
}

TEST(FileLock, SharedLocksCoexistAndExclusiveExcludesEveryOtherDescriptor) {
  TempDir dir;
  const std::string path = dir.file("seg.lock");
  auto a = File::Open(path, File::kReadWriteCreate);
  auto b = File::Open(path, File::kReadWriteCreate);
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(platform::LockFile(*a, platform::LockKind::kShared).ok());
  ASSERT_TRUE(platform::LockFile(*b, platform::LockKind::kShared).ok());
  EXPECT_TRUE(CanLock(path, LOCK_SH));
  EXPECT_FALSE(CanLock(path, LOCK_EX));
  ASSERT_TRUE(platform::UnlockFile(*a).ok());
  ASSERT_TRUE(platform::UnlockFile(*b).ok());

  ASSERT_TRUE(platform::LockFile(*a, platform::LockKind::kExclusive).ok());
  EXPECT_FALSE(CanLock(path, LOCK_SH));
  EXPECT_FALSE(CanLock(path, LOCK_EX));
  ASSERT_TRUE(a->Close().ok());  // closing releases the lock
  EXPECT_TRUE(CanLock(path, LOCK_EX));
}

// ---- memory maps -------------------------------------------------------------

TEST(MappedFile, MapsTheWholeFileWhateverTheResidencyAdvice) {
  TempDir dir;
  std::vector<uint8_t> bytes(10000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  WriteBytes(dir.file("f"), bytes);
  for (auto access : {platform::MappedFile::Access::kRandom, platform::MappedFile::Access::kHot}) {
    auto m = platform::MappedFile::Map(dir.file("f"), access, true, true);
    ASSERT_TRUE(m.ok());
    ASSERT_EQ(m->size(), bytes.size());
    EXPECT_EQ(std::memcmp(m->data(), bytes.data(), bytes.size()), 0);
    platform::MappedFile moved = std::move(m).value();
    EXPECT_EQ(moved.data()[9999], bytes[9999]);
  }
  auto missing = platform::MappedFile::Map(dir.file("nope"), platform::MappedFile::Access::kRandom, false, false);
  EXPECT_EQ(missing.status().code(), Code::kNotFound);
  WriteBytes(dir.file("empty"), {});
  auto empty = platform::MappedFile::Map(dir.file("empty"), platform::MappedFile::Access::kHot, true, true);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(empty->data(), nullptr);
}

}  // namespace
}  // namespace nimbrel
