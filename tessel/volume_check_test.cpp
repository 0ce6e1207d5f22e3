// Checking volumes through a target: what each one holds, and every byte change in what Build
// wrote found at its sector.
#include "Tessel.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tessel {
namespace {

using namespace tessel::test;
using namespace testsupport;

// The volume check through an open image file: what it identified, the first bad sector and
// how many there are.
std::string Check(const std::string& image, std::optional<Kind> kind, uint64_t size) {
  const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << image;
  FileTarget target(fd);
  VolumeFindings found;
  EXPECT_TRUE(VerifyVolume(kind, size, target, found));
  close(fd);
  return std::to_string(found.identified) + " " + std::to_string(found.firstBadSector) + " " +
         std::to_string(found.badSectors);
}

void FlipByte(const std::string& image, uint64_t offset) {
  std::vector<uint8_t> byte = ReadBytes(image, offset, 1);
  ASSERT_EQ(byte.size(), 1u);
  byte[0] ^= 0x5A;
  ASSERT_TRUE(WriteBytesAt(image, offset, byte));
}

struct Change {
  const char* name;
  Kind kind;
  uint64_t size;
  int64_t byte;          // -1: nothing changed
  uint64_t firstBad;     // expected sector; badSectors 0 when byte is -1
  uint64_t badSectors;
};

class VolumeChange : public testing::TestWithParam<Change> {};

TEST_P(VolumeChange, IsFoundAtItsSector) {
  const Change c = GetParam();
  TempDir dir;
  const std::string image = dir.Join("volume.img");
  ASSERT_TRUE(BuildImageFile(c.kind, c.size, image, {}));
  if (c.byte >= 0) FlipByte(image, uint64_t(c.byte));
  EXPECT_EQ(Check(image, c.kind, c.size), std::to_string(int32_t(c.kind)) + " " +
                                               std::to_string(c.firstBad) + " " +
                                               std::to_string(c.badSectors));
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, VolumeChange,
    testing::Values(Change{"fat16_oem_name", Kind::Fat16, 8 * kMiB, 3, 0, 1},
                    // The serial number is the card's own: never a difference.
                    Change{"fat16_serial", Kind::Fat16, 8 * kMiB, 39, 0, 0},
                    Change{"fat16_fat_area", Kind::Fat16, 8 * kMiB, 33 * 512 + 1, 33, 1},
                    Change{"fat16_last_mib_wiped", Kind::Fat16, 8 * kMiB, 8 * kMiB - 1,
                           8 * 2048 - 1, 1},
                    Change{"fat32_as_built", Kind::Fat32, 40 * kMiB, -1, 0, 0},
                    Change{"fat32_total_sectors", Kind::Fat32, 40 * kMiB, 33, 0, 1},
                    Change{"fat32_fsinfo", Kind::Fat32, 40 * kMiB, 512 + 488, 1, 1},
                    Change{"ext4_as_built", Kind::Ext4, 16 * kMiB, -1, 0, 0},
                    Change{"ext4_block_count", Kind::Ext4, 16 * kMiB, 1024 + 4, 2, 1},
                    Change{"ext4_volume_name", Kind::Ext4, 16 * kMiB, 1024 + 120, 2, 2}),
    [](const testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

TEST(VolumeCheck, AnotherFileSystemCountsTheSignatureSectors) {
  TempDir dir;
  const std::string fat32 = dir.Join("fat32.img");
  ASSERT_TRUE(BuildImageFile(Kind::Fat32, 40 * kMiB, fat32, {}));
  EXPECT_EQ(Check(fat32, Kind::Fat16, 40 * kMiB), "2 0 1");
  EXPECT_EQ(Check(fat32, Kind::Ext4, 40 * kMiB), "2 2 2");
  EXPECT_EQ(Check(fat32, std::nullopt, 0), "2 0 0");  // identify-only: nothing compared
  // A volume that cannot be read is no verdict.
  FileComm dying(fat32, 0, 512);
  CommTarget target(&dying);
  VolumeFindings found;
  EXPECT_FALSE(VerifyVolume(Kind::Fat32, 40 * kMiB, target, found));
}

}  // namespace
}  // namespace tessel
