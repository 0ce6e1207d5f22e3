// ext4 through libext2fs: whole volumes checked with e2fsck, dumpe2fs, blkid and debugfs.
#include "Tessel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

namespace tessel {
namespace {

using namespace tessel::test;
using namespace testsupport;

BuildOptions Fixed() {
  BuildOptions o;
  o.uuid = std::array<uint8_t, 16>{0x0b, 0x1e, 0x55, 0xe1, 0x12, 0x34, 0x45, 0x67,
                                   0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67};
  o.time = 1700000000;
  return o;
}

void ExpectE2fsckClean(const std::string& image) {
  const std::string e2fsck = FindTool("e2fsck");
  std::string out;
  EXPECT_EQ(RunTool(e2fsck + " -fn " + Quote(image), &out), 0) << out;
}

// The features `mke2fs -t ext4` gives by default, and the journal and lazy tables.
void ExpectExt4Layout(const std::string& image) {
  const std::string dumpe2fs = FindTool("dumpe2fs");
  if (dumpe2fs.empty()) return;
  std::string out;
  ASSERT_EQ(RunTool(dumpe2fs + " -h " + Quote(image), &out), 0) << out;
  for (const char* feature :
       {" has_journal", " ext_attr", " resize_inode", " dir_index", " filetype", " extent",
        " 64bit", " flex_bg", " sparse_super", " large_file", " huge_file", " dir_nlink",
        " extra_isize", " metadata_csum"})
    EXPECT_NE(out.find(feature), std::string::npos) << feature;
  EXPECT_NE(out.find("crc32c"), std::string::npos);
  EXPECT_NE(out.find("Maximum mount count:      -1"), std::string::npos);
  EXPECT_NE(out.find("Total journal size:"), std::string::npos);
  // Inode tables are left for the kernel to zero lazily.
  ASSERT_EQ(RunTool(dumpe2fs + " " + Quote(image), &out), 0);
  EXPECT_EQ(out.find("ITABLE_ZEROED"), std::string::npos);
  if (out.find("Group 1:") != std::string::npos) {
    EXPECT_NE(out.find("INODE_UNINIT"), std::string::npos);
  }
}

void ExpectDebugfsRoundTrip(const TempDir& dir, const std::string& image) {
  const std::string debugfs = FindTool("debugfs");
  std::vector<uint8_t> payload(300000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i ^ (i >> 9));
  const std::string in = dir.Join("in.bin"), back = dir.Join("back.bin");
  ASSERT_TRUE(WriteFile(in, payload));
  std::string out;
  ASSERT_EQ(RunTool(debugfs + " -w -R " + Quote("write " + in + " payload.bin") + " " + Quote(image),
                &out),
            0)
      << out;
  ASSERT_EQ(RunTool(debugfs + " -R " + Quote("dump /payload.bin " + back) + " " + Quote(image), &out),
            0)
      << out;
  EXPECT_EQ(ReadBytes(back, 0, payload.size() + 1), payload);
  ASSERT_EQ(RunTool(debugfs + " -R " + Quote("ls -l /") + " " + Quote(image), &out), 0);
  EXPECT_NE(out.find("40700 (2)      0      0   16384"), std::string::npos) << out;  // lost+found
  EXPECT_NE(out.find("40755 (2)      0      0"), std::string::npos) << out;          // root
  ExpectE2fsckClean(image);
}

#define TESSEL_REQUIRE_E2FS_TOOLS()                 \
  TESSEL_REQUIRE_TOOL(e2fsck, "e2fsck");            \
  TESSEL_REQUIRE_TOOL(debugfs, "debugfs");          \
  TESSEL_REQUIRE_TOOL(blkid, "blkid")

class Ext4File : public testing::TestWithParam<uint64_t> {};

TEST_P(Ext4File, IsCleanSparseAndWritable) {
  TESSEL_REQUIRE_E2FS_TOOLS();
  TempDir dir;
  const std::string image = dir.Join("volume.img");
  const uint64_t size = GetParam();
  ASSERT_TRUE(BuildImageFile(Kind::Ext4, size, image, {}));
  EXPECT_EQ(FileSize(image), int64_t(size));
  // Metadata only: the journal and inode tables cost no space.
  EXPECT_LT(AllocatedBytes(image), std::max<uint64_t>(size / 64, 4 * kMiB));
  ExpectE2fsckClean(image);
  ExpectExt4Layout(image);
  std::string out;
  ASSERT_EQ(BlkidProbe(blkid, image, &out), 0) << out;
  EXPECT_EQ(ExportValue(out, "TYPE"), "ext4");
  EXPECT_EQ(Identify(image), 5);
  ExpectDebugfsRoundTrip(dir, image);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Ext4File,
                         testing::Values(16 * kMiB, 1 * kGiB, 2 * kMiB, 600 * kMiB + 3000),
                         [](const testing::TestParamInfo<uint64_t>& info) {
                           return std::to_string(info.param) + "_bytes";
                         });

TEST(Ext4Target, SixteenGiBThroughTheBlockTarget) {
  TESSEL_REQUIRE_E2FS_TOOLS();
  TempDir dir;
  const std::string card = dir.Join("card.img");
  const uint64_t size = 16 * kGiB;
  ASSERT_TRUE(MakeSparseFile(card, size));
  {
    FileComm comm(card, 0);
    ASSERT_TRUE(comm.ok());
    CommTarget target(&comm);
    ASSERT_TRUE(BuildOnTarget(Kind::Ext4, size, target, {}));
    EXPECT_LE(comm.largestRequest(), 1u << 20);
  }
  ExpectE2fsckClean(card);
  ExpectExt4Layout(card);
  std::string out;
  ASSERT_EQ(BlkidProbe(blkid, card, &out), 0) << out;
  EXPECT_EQ(ExportValue(out, "TYPE"), "ext4");
  ExpectDebugfsRoundTrip(dir, card);
}

// At an offset inside a larger file: nothing outside the volume changes.
TEST(Ext4Target, WritesOnlyInsideTheVolume) {
  TESSEL_REQUIRE_E2FS_TOOLS();
  TempDir dir;
  const std::string card = dir.Join("card.img");
  const uint64_t before = 3 * kMiB + 4096, size = 16 * kMiB, after = 2 * kMiB;
  std::vector<uint8_t> pattern(before + size + after);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(0x3C + i % 241);
  ASSERT_TRUE(WriteFile(card, pattern));
  {
    FileComm comm(card, int64_t(before));
    CommTarget target(&comm);
    ASSERT_TRUE(BuildOnTarget(Kind::Ext4, size, target, Fixed()));
  }
  const std::vector<uint8_t> now = ReadBytes(card, 0, pattern.size());
  ASSERT_EQ(now.size(), pattern.size());
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.begin() + before, now.begin()));
  EXPECT_TRUE(std::equal(pattern.end() - after, pattern.end(), now.end() - after));
  const std::string volume = dir.Join("volume.img");
  ASSERT_TRUE(WriteFile(volume, std::vector<uint8_t>(now.begin() + before,
                                                     now.begin() + before + size)));
  // Made over old data that fills the lazy inode tables: still clean.
  ExpectE2fsckClean(volume);
  ExpectDebugfsRoundTrip(dir, volume);
}

// The last MiB is cleared of old data, but group 1's backup superblock (block 8193 with
// 1 KiB blocks) lies inside it here and must survive; so must the rest of the metadata.
TEST(Ext4Target, ClearsTheTailAroundItsMetadata) {
  TESSEL_REQUIRE_E2FS_TOOLS();
  TempDir dir;
  const std::string card = dir.Join("card.img");
  const uint64_t size = 8 * kMiB + 512 * 1024 + 700;
  ASSERT_TRUE(WriteFile(card, std::vector<uint8_t>(size, 0xE7)));
  {
    FileComm comm(card, 0);
    CommTarget target(&comm);
    ASSERT_TRUE(BuildOnTarget(Kind::Ext4, size, target, Fixed()));
  }
  ExpectE2fsckClean(card);
  // The backup superblock (magic 0xEF53 at 56, group number at 90) and the backup group
  // descriptors, equal to the primary ones at block 2.
  const std::vector<uint8_t> backup = ReadBytes(card, 8193 * 1024, 2048);
  ASSERT_EQ(backup.size(), 2048u);
  EXPECT_EQ(backup[56] | (backup[57] << 8), 0xEF53);
  EXPECT_EQ(backup[90] | (backup[91] << 8), 1);
  const std::vector<uint8_t> primaryGdt = ReadBytes(card, 2 * 1024, 1024);
  EXPECT_TRUE(std::equal(primaryGdt.begin(), primaryGdt.end(), backup.begin() + 1024));
  // The whole sector after the last whole block belongs to no one and is zeros now; the
  // 188 bytes after the last whole sector are no sector at all and stay as they were.
  const std::vector<uint8_t> tail = ReadBytes(card, size - 700, 700);
  ASSERT_EQ(tail.size(), 700u);
  EXPECT_TRUE(std::all_of(tail.begin(), tail.begin() + 512, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(tail.begin() + 512, tail.end(), [](uint8_t b) { return b == 0xE7; }));
  // No free block in the last MiB keeps the old pattern: count pattern blocks there.
  const std::vector<uint8_t> last = ReadBytes(card, size - 700 - kMiB, kMiB);
  size_t patternBlocks = 0;
  for (size_t i = 0; i + 1024 <= last.size(); i += 1024)
    patternBlocks += std::all_of(last.begin() + i, last.begin() + i + 1024,
                                 [](uint8_t b) { return b == 0xE7; });
  EXPECT_EQ(patternBlocks, 0u);
}

// The engine shows progress from the highest offset written so far. The bulk of the writing
// (the journal's zeros) must come before anything near the end of the volume, or the bar
// would stand at 99% for the whole build.
TEST(Ext4Target, WritesTheEndOfTheVolumeLate) {
  TempDir dir;
  const std::string card = dir.Join("card.img");
  const uint64_t size = 1 * kGiB;
  ASSERT_TRUE(MakeSparseFile(card, size));
  // Old data in the last MiB, which the build must clear.
  ASSERT_TRUE(WriteBytesAt(card, size - kMiB, std::vector<uint8_t>(kMiB, 0x5A)));
  FileComm comm(card, 0);
  CommTarget target(&comm);
  ASSERT_TRUE(BuildOnTarget(Kind::Ext4, size, target, Fixed()));
  uint64_t total = 0, beforeTail = 0;
  bool tailReached = false;
  for (const auto& [offset, length] : comm.log()) {
    total += length;
    tailReached = tailReached || uint64_t(offset) + length > size - kMiB;
    if (!tailReached) beforeTail += length;
  }
  EXPECT_TRUE(tailReached);
  EXPECT_GE(beforeTail, total * 9 / 10) << beforeTail << " of " << total;
}

TEST(Ext4Target, ReplacesAnOlderFileSystemCompletely) {
  TESSEL_REQUIRE_E2FS_TOOLS();
  TESSEL_REQUIRE_TOOL(mkfs, "mkfs.fat");
  TempDir dir;
  const std::string card = dir.Join("card.img");
  ASSERT_TRUE(MakeSparseFile(card, 64 * kMiB));
  std::string out;
  ASSERT_EQ(RunTool(mkfs + " -F 32 " + Quote(card), &out), 0) << out;
  ASSERT_EQ(Identify(card), 2);
  {
    FileComm comm(card, 0);
    CommTarget target(&comm);
    ASSERT_TRUE(BuildOnTarget(Kind::Ext4, 64 * kMiB, target, Fixed()));
  }
  ASSERT_EQ(BlkidProbe(blkid, card, &out), 0) << out;
  EXPECT_EQ(ExportValue(out, "TYPE"), "ext4");
  ExpectE2fsckClean(card);
}

TEST(Ext4Target, AFailingTargetFailsTheBuild) {
  TempDir dir;
  const std::string card = dir.Join("card.img");
  const uint64_t size = 64 * kMiB;
  ASSERT_TRUE(MakeSparseFile(card, size));
  for (int64_t failAfter : {int64_t(0), int64_t(2 * kMiB), int64_t(20 * kMiB),
                            int64_t(size - 2 * kMiB), int64_t(size - 4096)}) {
    FileComm comm(card, 0, failAfter);
    CommTarget target(&comm);
    EXPECT_FALSE(BuildOnTarget(Kind::Ext4, size, target, Fixed())) << failAfter;
  }
}

TEST(Ext4File, FixedOptionsGiveIdenticalImages) {
  TESSEL_REQUIRE_TOOL(cmp, "cmp");
  TESSEL_REQUIRE_TOOL(blkid, "blkid");
  TempDir dir;
  const std::string a = dir.Join("a.img"), b = dir.Join("b.img");
  ASSERT_TRUE(BuildImageFile(Kind::Ext4, 32 * kMiB, a, Fixed()));
  sleep(1);  // a clock that leaked into the image would now differ
  ASSERT_TRUE(BuildImageFile(Kind::Ext4, 32 * kMiB, b, Fixed()));
  std::string out;
  EXPECT_EQ(RunTool(cmp + " " + Quote(a) + " " + Quote(b), &out), 0) << out;
  ASSERT_EQ(BlkidProbe(blkid, a, &out), 0);
  EXPECT_EQ(ExportValue(out, "UUID"), "0b1e55e1-1234-4567-89ab-cdef01234567");
}

TEST(Ext4File, SizesOutsideTheLimitsAreRefused) {
  TempDir dir;
  EXPECT_FALSE(BuildImageFile(Kind::Ext4, 2 * kMiB - 1, dir.Join("a.img"), {}));
  EXPECT_NE(access(dir.Join("a.img").c_str(), F_OK), 0);
  EXPECT_FALSE(SizeFits(Kind::Ext4, (uint64_t(16) << 40) + 1));
  EXPECT_TRUE(SizeFits(Kind::Ext4, uint64_t(16) << 40));
}

}  // namespace
}  // namespace tessel
