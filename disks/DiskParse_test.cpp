// The interpreting half: raw sysfs facts and mount table text to DISK_DATA records.
#include "DiskParse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace {

RawBlockDevice Disk(std::string name, std::string dev, std::string sectors,
                    std::string sysPath = "devices/pci0000:00/0000:00:17.0/ata1/host0/block") {
  RawBlockDevice d;
  d.name = std::move(name);
  d.dev = std::move(dev);
  d.size = std::move(sectors);
  d.removable = "0";
  d.sysPath = sysPath + "/" + d.name;
  return d;
}

std::vector<std::string> Names(const std::vector<DISK_DATA>& records) {
  std::vector<std::string> names;
  for (const DISK_DATA& r : records) names.emplace_back(r.kernelName);
  return names;
}

TEST(CleanModelText, RemovesEverySpaceAndZeroByteAndKeeps63Characters) {
  std::string spaced, joined;  // 80 characters once the spaces are gone
  for (int i = 0; i < 40; ++i) spaced += "ab ", joined += "ab";
  const std::pair<std::string, std::string> cases[] = {
      {"  STORAGE DEVICE  ", "STORAGEDEVICE"},
      {std::string("Cruzer\0 Blade\0\0", 16), "CruzerBlade"},
      {std::string("\0\0\0", 3), ""},
      {"SD/MMC\tReader\n\x1b[2J\x7f", "SD/MMCReader[2J"},
      {"Kart\xe9 X", "Kart\xe9X"},  // 8-bit text passes through untouched
      {spaced, joined.substr(0, 63)},
      {std::string(63, 'x'), std::string(63, 'x')},
      {std::string(64, 'x'), std::string(63, 'x')},
  };
  for (const auto& [raw, clean] : cases) EXPECT_EQ(CleanModelText(raw), clean) << raw;
}

TEST(ParseSectorCount, SectorsBecomeBytesAndUnreadableSizesZero) {
  EXPECT_EQ(ParseSectorCount(std::nullopt), 0u);
  const std::pair<const char*, uint64_t> cases[] = {
      {"15523840", 15523840ull * 512}, {"0", 0}, {"2048 \n", 2048ull * 512},
      {"", 0}, {"abc", 0}, {"12a", 0}, {"-5", 0}, {" 12", 0}, {"0x10", 0}, {"1.5", 0},
      // The largest count whose byte size fits in 64 bits, and one more.
      {"36028797018963967", 36028797018963967ull * 512}, {"36028797018963968", 0},
      {"99999999999999999999999", 0}};
  for (const auto& [text, bytes] : cases) {
    EXPECT_EQ(ParseSectorCount(std::string(text)), bytes) << text;
  }
}

TEST(IsUsbSysfsPath, UsbHostControllersAndPortsOnly) {
  const std::pair<const char*, int> cases[] = {
      {"devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host4/target4:0:0/4:0:0:0/block/sdc", 1},
      {"devices/platform/soc/fe980000.usb/usb1/1-1/1-1.3/1-1.3:1.0/host0", 1},
      {"x/1-1.2", 1}, {"x/2-1:1.0", 1}, {"x/usb3", 1},
      {"devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1", 0},
      {"devices/pci0000:00/0000:00:1c.0/0000:02:00.0/rtsx_pci_sdmmc.0/mmc_host/mmc0/mmc0:aaaa/"
       "block/mmcblk0", 0},
      {"devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", 0},
      {"devices/platform/usbhost/host0", 0},
      {"x/1-", 0}, {"x/-1", 0}, {"x/1-a", 0}, {"x/1-1:1", 0}, {"x/1-1:1.0.0", 0}, {"x/usb", 0},
      {"x/usbx1", 0}, {"", 0}};
  for (const auto& [path, usb] : cases) EXPECT_EQ(IsUsbSysfsPath(path), usb) << path;
}

TEST(ParseMountInfo, TakesDeviceAndSourceAroundOptionalFields) {
  const std::string text =
      "26 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
      "30 26 0:46 /@ /m rw master:3 shared:9 propagate_from:2 - btrfs /dev/sdc2 rw\n"
      "31 26 8:33 / /media/My\\040Card rw - vfat /dev/disk\\040a rw\n"
      "32 26 8:34 / /x rw - vfat /dev/odd\\1 rw\n"
      "garbage line\n"
      "33 26 8:35 / /y rw shared:1\n"  // no separator: not a mount line
      "\n";
  std::string found;
  for (const MountEntry& m : ParseMountInfo(text)) found += m.dev + " " + m.source + "|";
  EXPECT_EQ(found, "8:2 /dev/sda2|0:46 /dev/sdc2|8:33 /dev/disk a|8:34 /dev/odd\\1|");
}

TEST(GetPartitionCnt, CountsDistinctVolumesOfTheDiskOnly) {
  RawBlockDevice sdc = Disk("sdc", "8:32", "100");
  sdc.partitions = {{"sdc1", "8:33"}, {"sdc2", "8:34"}, {"sdc10", "259:5"}};
  const std::vector<MountEntry> mounts = {
      {"8:33", "/dev/sdc1"},
      {"8:33", "/dev/sdc1"},     // the same partition bound elsewhere
      {"0:46", "/dev/sdc2"},     // btrfs: anonymous device number, named by its source
      {"0:46", "/dev/sdc2"},     // a second subvolume of it
      {"8:1", "/dev/sda1"},      // another disk
      {"65:161", "/dev/sdaa1"},  // a disk whose name starts alike
      {"0:50", "/dev/sdc"},      // the whole disk, formatted without a partition table
  };
  EXPECT_EQ(GetPartitionCnt(sdc, mounts), 3u);
  EXPECT_EQ(GetPartitionCnt(sdc, {}), 0u);
  EXPECT_EQ(GetPartitionCnt(sdc, {{"259:5", "/dev/sdc10"}}), 1u);
  RawBlockDevice sda = Disk("sda", "8:0", "100");
  sda.partitions = {{"sda1", "8:1"}};
  EXPECT_EQ(GetPartitionCnt(sda, mounts), 1u);
  // A device without a readable number matches by name only, never the empty number.
  RawBlockDevice nodev = Disk("sdd", "", "100");
  EXPECT_EQ(GetPartitionCnt(nodev, {{"", "/dev/other"}}), 0u);
}

TEST(IsCandidateDisk, KeepsDisksAndAttachedLoopsOnly) {
  for (const char* name : {"sda", "sdaa", "nvme0n1", "mmcblk0", "vda", "xvda", "mtdblock0",
                           "cciss!c0d0"}) {
    EXPECT_TRUE(IsCandidateDisk(Disk(name, "8:0", "100"))) << name;
  }
  for (const char* name : {"ram0", "zram0", "dm-0", "md0", "md127", "md_d0", "sr0", "fd0",
                           "nbd0", "mmcblk0boot0", "mmcblk0boot1", "mmcblk0rpmb", ""}) {
    EXPECT_FALSE(IsCandidateDisk(Disk(name, "8:0", "100"))) << name;
  }
  RawBlockDevice hidden = Disk("nvme0c0n1", "259:0", "100");
  hidden.hidden = "1";
  EXPECT_FALSE(IsCandidateDisk(hidden));
  EXPECT_FALSE(IsCandidateDisk(Disk(std::string(32, 'a'), "8:0", "100")));

  RawBlockDevice loop = Disk("loop1", "7:1", "0", "devices/virtual/block");
  EXPECT_FALSE(IsCandidateDisk(loop));
  loop.backingFile = "";
  EXPECT_FALSE(IsCandidateDisk(loop));
  loop.backingFile = "/tmp/empty.img";  // attached to an empty file: still an attached image
  EXPECT_TRUE(IsCandidateDisk(loop));
}

TEST(BuildDiskRecords, AscendingOrderDoesNotDependOnListingOrder) {
  std::vector<RawBlockDevice> devices = {
      Disk("sda", "8:0", "100"),     Disk("sdc", "8:32", "100"),   Disk("sdp", "8:240", "100"),
      Disk("sdq", "65:0", "100"),    Disk("sdz", "65:144", "100"), Disk("sdaa", "65:160", "100"),
      Disk("nvme0n1", "259:0", "100"), Disk("mmcblk0", "179:0", "100"),
      Disk("odd", "", "100"), Disk("odd2", "garbage", "100"), Disk("odd10", "", "100"),
  };
  RawBlockDevice loop0 = Disk("loop0", "7:0", "8", "devices/virtual/block");
  loop0.backingFile = "/a.img";
  RawBlockDevice loop10 = Disk("loop10", "7:10", "8", "devices/virtual/block");
  loop10.backingFile = "/b.img";
  devices.push_back(loop10);
  devices.push_back(loop0);
  const std::vector<std::string> expected = {"sda",    "sdc",     "sdp",  "sdq",  "sdz",
                                             "sdaa",   "mmcblk0", "nvme0n1", "odd", "odd2",
                                             "odd10",  "loop0",   "loop10"};
  std::mt19937 random(7);
  for (int round = 0; round < 5; ++round) {
    std::shuffle(devices.begin(), devices.end(), random);
    const std::vector<DISK_DATA> records = BuildDiskRecords(devices, {});
    EXPECT_EQ(Names(records), expected);
    for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].diskNumber, int32_t(i));
  }
}

// The fields the fixture machines of DiskInfo_test do not show: a cut model, a cciss name, a
// vendor number, a long backing file cut at a character.
TEST(BuildDiskRecords, FillsTheOddFields) {
  RawBlockDevice usb = Disk("sdb", "8:16", "8");
  usb.model = std::string(" SD/MMC  \0", 10) + std::string(70, 'M');
  RawBlockDevice cciss = Disk("cciss!c0d0", "104:0", "8");
  cciss.vendor = "0x1af4\n";  // a vendor number, as virtio disks give it, is no name
  RawBlockDevice loop = Disk("loop3", "7:3", "8", "devices/virtual/block");
  std::string path = "/" + std::string(kBackingFileSize - 3, 'p');  // 1022 bytes
  path += "\xc3\xa9";                                               // a two-byte character
  loop.backingFile = path;
  const std::vector<DISK_DATA> records = BuildDiskRecords({usb, cciss, loop}, {});
  ASSERT_EQ(records.size(), 3u);
  const DISK_DATA& r = records[0];
  EXPECT_EQ(std::string(r.model), "SD/MMC" + std::string(57, 'M'));
  // Past the 63 characters and the terminator the field carries nothing.
  EXPECT_TRUE(std::all_of(r.model + 64, r.model + kModelFieldSize, [](char c) { return c == 0; }));
  EXPECT_STREQ(records[1].devicePath, "/dev/cciss/c0d0");
  EXPECT_STREQ(records[1].vendor, "");
  EXPECT_EQ(records[2].isLoop, 1);
  EXPECT_EQ(records[2].isUsb, 0);
  EXPECT_EQ(std::string(records[2].backingFile), path.substr(0, kBackingFileSize - 2));
}

}  // namespace
