// Whole volumes of every kind, each checked with the tools of its own file system: fsck.fat and
// mtools for FAT, e2fsck, dumpe2fs and debugfs for ext4, blkid and cmp for all.
#include "Tessel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace tessel {
namespace {

using namespace tessel::test;
using namespace testsupport;

// The features `mke2fs -t ext4` gives by default, and the journal and lazy tables.
void ExpectExt4Layout(const std::string& image) {
  std::string out;
  ASSERT_EQ(RunTool("dumpe2fs -h " + Quote(image), &out), 0) << out;
  for (const char* line :
       {"Filesystem features:      has_journal ext_attr resize_inode dir_index filetype extent "
        "64bit flex_bg sparse_super large_file huge_file dir_nlink extra_isize metadata_csum\n",
        "Inode size:\t          256\n", "Maximum mount count:      -1\n", "crc32c",
        "Total journal size:"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  }
  // Inode tables are left for the kernel to zero lazily.
  ASSERT_EQ(RunTool("dumpe2fs " + Quote(image), &out), 0);
  EXPECT_EQ(out.find("ITABLE_ZEROED"), std::string::npos);
  if (out.find("Group 1:") != std::string::npos) {
    EXPECT_NE(out.find("INODE_UNINIT"), std::string::npos);
  }
}

// A file written into the volume by the file system's own tools reads back the same, and the
// volume stays clean.
void ExpectRoundTrip(Kind kind, const TempDir& dir, const std::string& image) {
  std::vector<uint8_t> payload(kind == Kind::Ext4 ? 300000 : 100000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i ^ (i >> 9));
  const std::string in = dir.Join("in.bin"), back = dir.Join("back.bin");
  ASSERT_TRUE(WriteFile(in, payload));
  std::string out;
  if (kind == Kind::Ext4) {
    const std::string debugfs = "debugfs ";
    ASSERT_EQ(RunTool(debugfs + "-w -R " + Quote("write " + in + " payload.bin") + " " +
                          Quote(image), &out), 0) << out;
    ASSERT_EQ(RunTool(debugfs + "-R " + Quote("dump /payload.bin " + back) + " " + Quote(image),
                      &out), 0) << out;
    ASSERT_EQ(RunTool(debugfs + "-R " + Quote("ls -l /") + " " + Quote(image), &out), 0);
    EXPECT_NE(out.find("40700 (2)      0      0   16384"), std::string::npos) << out;  // lost+found
    EXPECT_NE(out.find("40755 (2)      0      0"), std::string::npos) << out;          // root
  } else {
    const std::string mcopy = "mcopy -i " + Quote(image) + " ";
    ASSERT_EQ(RunTool(mcopy + Quote(in) + " ::/PAYLOAD.BIN", &out), 0) << out;
    ASSERT_EQ(RunTool(mcopy + "::/PAYLOAD.BIN " + Quote(back), &out), 0) << out;
  }
  EXPECT_EQ(ReadBytes(back, 0, payload.size() + 1), payload);
  ExpectClean(kind, image);
}

struct VolumeCase {
  Kind kind;
  uint64_t size;
  bool throughTarget;  // built on a block target rather than into a new image file
  const char* name;
};

class Volume : public testing::TestWithParam<VolumeCase> {};

TEST_P(Volume, IsCleanSparseAndWritable) {
  const VolumeCase c = GetParam();
  TESSEL_REQUIRE_CHECKERS(c.kind);
  TempDir dir;
  const std::string image = dir.Join("volume.img");
  if (c.throughTarget) {
    ASSERT_TRUE(MakeSparseFile(image, c.size));
    FileComm comm(image, 0);
    ASSERT_TRUE(comm.ok());
    CommTarget target(&comm);
    ASSERT_TRUE(BuildOnTarget(c.kind, c.size, target, {}));
    EXPECT_LE(comm.largestRequest(), 1u << 20);
  } else {
    ASSERT_TRUE(BuildImageFile(c.kind, c.size, image, {}));
  }
  EXPECT_EQ(FileSize(image), int64_t(c.size));
  // Only the sectors that are not zero take space: for ext4 the journal and inode tables
  // cost nothing.
  struct stat st {};
  ASSERT_EQ(stat(image.c_str(), &st), 0);
  EXPECT_LT(uint64_t(st.st_blocks) * 512,
            c.kind == Kind::Ext4 ? std::max<uint64_t>(c.size / 64, 4 * kMiB) : 1 * kMiB);
  ExpectClean(c.kind, image);
  EXPECT_EQ(BlkidValues(image, "-s TYPE -s VERSION"), c.kind == Kind::Ext4    ? "1.0\next4\n"
                                                     : c.kind == Kind::Fat32 ? "FAT32\nvfat\n"
                                                                             : "FAT16\nvfat\n");
  EXPECT_EQ(Identify(image), int32_t(c.kind));
  if (c.kind == Kind::Ext4) ExpectExt4Layout(image);
  ExpectRoundTrip(c.kind, dir, image);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Volume,
    testing::Values(VolumeCase{Kind::Fat16, 2 * kGiB, false, "Fat16_2GiB"},
                    VolumeCase{Kind::Fat16, 3 * kMiB, false, "Fat16_Smallest"},
                    VolumeCase{Kind::Fat32, 32 * kGiB, false, "Fat32_32GiB"},
                    VolumeCase{Kind::Fat32, 66601 * 512, false, "Fat32_Smallest"},
                    VolumeCase{Kind::Fat32, 300 * kMiB + 1234, false, "Fat32_OddSize"},
                    VolumeCase{Kind::Ext4, 2 * kMiB, false, "Ext4_Smallest"},
                    VolumeCase{Kind::Ext4, 600 * kMiB + 3000, false, "Ext4_OddSize"},
                    VolumeCase{Kind::Ext4, 16 * kGiB, true, "Ext4_16GiBThroughTheTarget"}),
    [](const testing::TestParamInfo<VolumeCase>& info) { return std::string(info.param.name); });

TEST(VolumeFile, FixedOptionsGiveIdenticalImages) {
  TESSEL_REQUIRE_TOOLS("cmp", "blkid");
  TempDir dir;
  const Kind kinds[] = {Kind::Fat16, Kind::Fat32, Kind::Ext4};
  auto path = [&dir](Kind kind, const char* which) {
    return dir.Join(std::to_string(int(kind)) + which + ".img");
  };
  for (Kind kind : kinds) {
    ASSERT_TRUE(BuildImageFile(kind, 48 * kMiB, path(kind, "a"), FixedOptions()));
  }
  sleep(1);  // a clock that leaked into an image would now differ
  for (Kind kind : kinds) {
    SCOPED_TRACE(int(kind));
    ASSERT_TRUE(BuildImageFile(kind, 48 * kMiB, path(kind, "b"), FixedOptions()));
    EXPECT_EQ(ToolOutput("cmp " + Quote(path(kind, "a")) + " " + Quote(path(kind, "b"))), "");
    // The given serial and UUID are the volume's: a builder that ignored them would differ.
    EXPECT_EQ(BlkidValues(path(kind, "a"), "-s UUID"),
              kind == Kind::Ext4 ? "0b1e55e1-1234-4567-89ab-cdef01234567\n" : "1234-5678\n");
  }
}

// At an offset inside a larger file: the volume lands there, and not one byte outside it
// changes, though the old data inside fills what the volume leaves unwritten.
TEST(VolumeTarget, WritesOnlyInsideTheVolume) {
  const struct {
    Kind kind;
    uint64_t before, size, after;
  } cases[] = {{Kind::Fat16, 1 * kMiB + 512 * 3, 16 * kMiB, 1 * kMiB},
               {Kind::Ext4, 3 * kMiB + 4096, 8 * kMiB + 512 * 1024 + 700, 2 * kMiB}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.kind));
    TESSEL_REQUIRE_CHECKERS(c.kind);
    TempDir dir;
    const std::string card = dir.Join("card.img");
    std::vector<uint8_t> pattern(c.before + c.size + c.after);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(0xA5 ^ (i % 251));
    ASSERT_TRUE(WriteFile(card, pattern));
    {
      FileComm comm(card, int64_t(c.before));
      CommTarget target(&comm);
      ASSERT_TRUE(BuildOnTarget(c.kind, c.size, target, FixedOptions()));
      EXPECT_LE(comm.largestRequest(), 1u << 20);
    }
    const std::vector<uint8_t> now = ReadBytes(card, 0, pattern.size());
    ASSERT_EQ(now.size(), pattern.size());
    EXPECT_TRUE(std::equal(pattern.begin(), pattern.begin() + c.before, now.begin()));
    EXPECT_TRUE(std::equal(pattern.end() - c.after, pattern.end(), now.end() - c.after));
    const auto start = now.begin() + c.before, end = start + c.size;
    const std::string volume = dir.Join("volume.img");
    ASSERT_TRUE(WriteFile(volume, std::vector<uint8_t>(start, end)));
    const std::string out = ExpectClean(c.kind, volume);
    auto zero = [](uint8_t b) { return b == 0; };
    if (c.kind == Kind::Fat16) {
      // The old pattern in the FAT and root directory is gone, so the volume reads empty, and
      // signatures of older volumes and RAID members at the end are gone too.
      EXPECT_NE(out.find(" 0 files"), std::string::npos) << out;
      EXPECT_TRUE(std::all_of(end - kMiB, end, zero));
      continue;
    }
    ExpectRoundTrip(c.kind, dir, volume);  // the old data fills the lazy inode tables
    // The last MiB is cleared, but group 1's backup superblock (block 8193 with 1 KiB blocks:
    // magic 0xEF53 at 56, group number at 90) lies inside it and must survive, and with it
    // the backup group descriptors, equal to the primary ones at block 2.
    const auto backup = start + 8193 * 1024;
    EXPECT_EQ(backup[56] | (backup[57] << 8), 0xEF53);
    EXPECT_EQ(backup[90] | (backup[91] << 8), 1);
    EXPECT_TRUE(std::equal(start + 2 * 1024, start + 3 * 1024, backup + 1024));
    // The whole sector after the last whole block belongs to no one and is zeros now; the
    // 188 bytes after the last whole sector are no sector at all and stay as they were.
    EXPECT_TRUE(std::all_of(end - 700, end - 188, zero));
    EXPECT_TRUE(std::equal(end - 188, end, pattern.begin() + (end - now.begin()) - 188));
  }
}

// Fails in the signature area, in the FATs or the journal, and near the end, written last.
TEST(VolumeTarget, AFailingTargetFailsTheBuild) {
  TempDir dir;
  const std::string card = dir.Join("card.img");
  const uint64_t size = 64 * kMiB;
  ASSERT_TRUE(MakeSparseFile(card, size));
  for (Kind kind : {Kind::Fat16, Kind::Fat32, Kind::Ext4}) {
    for (uint64_t failAfter :
         {uint64_t(0), kMiB / 2, 2 * kMiB, 20 * kMiB, size - 2 * kMiB, size - 4096}) {
      FileComm comm(card, 0, int64_t(failAfter));
      ASSERT_TRUE(comm.ok());
      CommTarget target(&comm);
      EXPECT_FALSE(BuildOnTarget(kind, size, target, FixedOptions()))
          << int(kind) << " " << failAfter;
    }
  }
}

}  // namespace
}  // namespace tessel
