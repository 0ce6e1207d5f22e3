// FAT16/FAT32: layout arithmetic, golden boot sectors and the system area on disk. Whole
// volumes are in build_test.cpp.
#include "Fat.h"
#include "LittleEndian.h"
#include "Tessel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

namespace tessel {
namespace {

using namespace tessel::test;
using namespace testsupport;

constexpr uint32_t kSerial = 0x12345678;

std::string_view Text(const uint8_t* p, size_t n) {
  return std::string_view(reinterpret_cast<const char*>(p), n);
}

// ---- layout ----------------------------------------------------------------------------

// Bytes at an offset, little-endian, of the given width.
struct Field {
  uint32_t offset;
  uint32_t width;
  uint32_t value;
};

void ExpectFields(const uint8_t* p, std::initializer_list<Field> fields) {
  for (const Field& f : fields) {
    const uint32_t got = f.width == 1 ? p[f.offset] : f.width == 2 ? Get16(p + f.offset)
                                                                   : Get32(p + f.offset);
    EXPECT_EQ(got, f.value) << "at " << f.offset;
  }
}

// Values worked out by hand from Microsoft's FAT tables and FAT size formula.
TEST(FatLayout, GoldenBootSectors) {
  const auto f16 = fat::Plan(Kind::Fat16, 16 * kMiB);
  ASSERT_TRUE(f16);
  const fat::Sector s16 = fat::BootSector(*f16, kSerial);
  // 32768 sectors: 2 KiB clusters; 1 + 64 + 32 = 97 reserved and FAT sectors, padded to a
  // cluster boundary: 100, so 4 reserved; FATs of ceil(32735 / 1026) = 32 sectors.
  ExpectFields(s16.data(), {{0, 1, 0xEB}, {1, 1, 0x3C}, {2, 1, 0x90}, {11, 2, 512}, {13, 1, 4},
                            {14, 2, 4}, {16, 1, 2}, {17, 2, 512}, {19, 2, 32768}, {21, 1, 0xF8},
                            {22, 2, 32}, {32, 4, 0}, {36, 1, 0x80}, {38, 1, 0x29},
                            {39, 4, kSerial}, {510, 2, 0xAA55}});
  EXPECT_EQ(Text(s16.data() + 43, 11), "NO NAME    ");
  EXPECT_EQ(Text(s16.data() + 54, 8), "FAT16   ");
  EXPECT_EQ(f16->clusterCount, (32768u - 100u) / 4u);

  const auto f32 = fat::Plan(Kind::Fat32, 40 * kMiB);
  ASSERT_TRUE(f32);
  const fat::Sector s32 = fat::BootSector(*f32, kSerial);
  // Below 260 MB: 512-byte clusters; FATs of ceil(81888 / 129) = 635 sectors; root cluster 2,
  // FSInfo in sector 1, the backup boot sector in 6.
  ExpectFields(s32.data(), {{0, 1, 0xEB}, {1, 1, 0x58}, {2, 1, 0x90}, {11, 2, 512}, {13, 1, 1},
                            {14, 2, 32}, {16, 1, 2}, {17, 2, 0}, {19, 2, 0}, {21, 1, 0xF8},
                            {22, 2, 0}, {32, 4, 81920}, {36, 4, 635}, {44, 4, 2}, {48, 2, 1},
                            {50, 2, 6}, {64, 1, 0x80}, {66, 1, 0x29}, {67, 4, kSerial},
                            {510, 2, 0xAA55}});
  EXPECT_EQ(Text(s32.data() + 71, 11), "NO NAME    ");
  EXPECT_EQ(Text(s32.data() + 82, 8), "FAT32   ");
  // FSInfo: its signatures, the free clusters and the next free one.
  ExpectFields(fat::FsInfoSector(*f32).data(),
               {{0, 4, 0x41615252}, {484, 4, 0x61417272}, {488, 4, 81920 - 32 - 2 * 635 - 1},
                {492, 4, 3}, {508, 4, 0xAA550000}});
}

void CheckLayout(const fat::Layout& l) {
  const bool fat32 = l.kind == Kind::Fat32;
  SCOPED_TRACE(testing::Message() << "sectors " << l.totalSectors);
  EXPECT_GE(l.clusterCount, fat32 ? 65525u : 4085u);
  EXPECT_LE(l.clusterCount, fat32 ? 0x0FFFFFF5u : 65524u - 16u);
  EXPECT_LE(l.sectorsPerCluster * 512u, 32768u);
  EXPECT_EQ(l.DataStart() % l.sectorsPerCluster, 0u);
  EXPECT_GE(l.reservedSectors, fat32 ? 32 : 1);
  const uint64_t entries = uint64_t(l.fatSectors) * 512 / (fat32 ? 4 : 2);
  EXPECT_GE(entries, uint64_t(l.clusterCount) + 2);
  EXPECT_LE(uint64_t(l.DataStart()) + uint64_t(l.clusterCount) * l.sectorsPerCluster,
            l.totalSectors);
  // No more than one cluster's worth of sectors is left over at the end.
  if (l.clusterCount < (fat32 ? 0x0FFFFFF5u : 65524u - 16u)) {
    EXPECT_LT(l.totalSectors - l.DataStart() - l.clusterCount * l.sectorsPerCluster,
              l.sectorsPerCluster);
  }
}

TEST(FatLayout, EveryPlannedSizeKeepsTheRules) {
  const SizeLimits f16 = LimitsOf(Kind::Fat16);
  for (uint64_t size = f16.min; size <= f16.max; size = size + size / 97 + 4096 * 3 + 512) {
    const auto l = fat::Plan(Kind::Fat16, size);
    ASSERT_TRUE(l) << size;
    CheckLayout(*l);
  }
  const SizeLimits f32 = LimitsOf(Kind::Fat32);
  for (uint64_t size = f32.min; size <= f32.max; size = size + size / 53 + 512 * 7) {
    const auto l = fat::Plan(Kind::Fat32, size);
    ASSERT_TRUE(l) << size;
    CheckLayout(*l);
  }
  // The limits themselves are in abi_test's table of sizes.
  EXPECT_TRUE(fat::Plan(Kind::Fat16, f16.max - 511));
  EXPECT_TRUE(fat::Plan(Kind::Fat32, uint64_t(67108864) * 512));
  EXPECT_FALSE(fat::Plan(Kind::Ext4, 16 * kMiB));
}

// fsck.fat compares the FATs and the backup boot sector, but not the FSInfo backup.
TEST(FatImage, Fat32BackupSectorsOnDisk) {
  TempDir dir;
  const std::string image = dir.Join("v.img");
  ASSERT_TRUE(BuildImageFile(Kind::Fat32, 40 * kMiB, image, FixedOptions()));
  const std::vector<uint8_t> head = ReadBytes(image, 0, 8 * 512);
  ASSERT_EQ(head.size(), 8u * 512);
  EXPECT_TRUE(std::equal(head.begin(), head.begin() + 1024, head.begin() + 6 * 512));
}

// ---- failure paths -----------------------------------------------------------------------

TEST(FatImage, NeverReplacesOrFollowsAnExistingName) {
  TempDir dir;
  const std::string existing = dir.Join("existing.img");
  const std::vector<uint8_t> content = {1, 2, 3, 4};
  ASSERT_TRUE(WriteFile(existing, content));
  EXPECT_FALSE(BuildImageFile(Kind::Fat32, 40 * kMiB, existing, {}));
  EXPECT_EQ(ReadBytes(existing, 0, 10), content);

  const std::string link = dir.Join("link.img");
  ASSERT_EQ(symlink(dir.Join("elsewhere.img").c_str(), link.c_str()), 0);
  EXPECT_FALSE(BuildImageFile(Kind::Fat32, 40 * kMiB, link, {}));
  EXPECT_NE(access(dir.Join("elsewhere.img").c_str(), F_OK), 0);

  EXPECT_FALSE(BuildImageFile(Kind::Fat32, 1 * kMiB, dir.Join("small.img"), {}));
  EXPECT_NE(access(dir.Join("small.img").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tessel
