// The reading half and DiskInfo as a whole, on sysfs trees shaped like real machines
// (testdata/) and on a tree made by the test.
#include "DiskInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "LocalText.h"
#include "testsupport/TestSupport.h"

namespace fs = std::filesystem;

namespace {

const std::string kTestData = std::string(BRINDLE_SOURCE_DIR) + "/disks/testdata/";

std::vector<DISK_DATA> Discover(const std::string& machine) {
  DiskInfo info(kTestData + machine + "/sys", kTestData + machine + "/mountinfo",
                kTestData + machine + "/swaps");
  // GetRes replaces the caller's list, and a second enumeration on the same object doubles
  // neither the list nor the volume counts.
  std::vector<DISK_DATA> disks(5, DISK_DATA{});
  info.GetRes(disks);
  info.GetRes(disks);
  return disks;
}

// A record as one line: path, USB, removable, loop, read-only, sectors, mounted volumes,
// vendor, model, backing file.
std::string Describe(const DISK_DATA& d) {
  std::ostringstream line;
  line << d.devicePath << ' ' << d.isUsb << d.removable << d.isLoop << d.readOnly << ' '
       << d.diskSize / 512 << ' ' << d.partitionCount << " '" << d.vendor << "' '" << d.model
       << "' '" << d.backingFile << "'";
  return line.str();
}

TEST(DiskFixtures, EveryMachinesDisksAndTheDisksOfItsRunningSystem) {
  const std::pair<const char*, std::vector<std::string>> machines[] = {
      // zram0 and the unattached loop1 are no disks; the SD slot hangs off PCI, not USB; the
      // system partition bound a second time counts once; the snap is a whole-disk mount.
      {"laptop",
       {"/dev/mmcblk0 0000 62333952 1 '' 'SC32G' ''",
        "/dev/nvme0n1 0000 976773168 2 '' 'SamsungSSD970EVOPlus500GB' ''",
        "/dev/loop0 0010 2097152 0 '' '' '/home/anna/images/sdcard.img'",
        "/dev/loop2 0011 151112 1 '' '' '/var/lib/snapd/snaps/core22_1122.snap'"}},
      // Both slots of the reader are USB disks; the empty one has size 0. The DVD drive is
      // skipped.
      {"cardreader",
       {"/dev/sda 0000 1953525168 2 'ATA' 'WDCWD10EZEX-08W' ''",
        "/dev/sdb 1100 15523840 0 'Generic-' 'SD/MMC' ''",
        "/dev/sdc 1100 0 0 'Generic-' 'CompactFlash' ''"}},
      // sdb is absent; sda's root sits on dm-0, which is not counted as a volume of sda; the
      // stick's btrfs partition is mounted twice under an anonymous device number.
      {"usbstick",
       {"/dev/sda 0000 488397168 1 'ATA' 'SamsungSSD860' ''",
        "/dev/sdc 1100 30031872 2 'SanDisk' 'CruzerBlade' ''"}},
      // A system started from a USB stick, beside a card reader with a write-protected card.
      {"usbboot",
       {"/dev/sda 0000 1953525168 1 'ATA' 'ST1000DM010-2EP1' ''",
        "/dev/sdb 1100 60063744 1 'SanDisk' 'Ultra' ''",
        "/dev/sdc 1100 15523840 1 'Generic-' 'SD/MMC' ''",
        "/dev/sdd 1101 7744512 0 'Generic-' 'MicroSD/M2' ''"}},
  };
  for (const auto& [machine, expected] : machines) {
    std::vector<std::string> found;
    for (const DISK_DATA& d : Discover(machine)) found.push_back(Describe(d));
    EXPECT_EQ(found, expected) << machine;
  }
  // The disks that hold the running system's file systems: directly, under an encrypted root
  // (device-mapper) and as swap.
  const std::pair<const char*, std::map<std::string, std::string>> systems[] = {
      {"cardreader", {{"sda", "/ on /dev/sda2, /boot/efi on /dev/sda1"}}},
      {"usbstick", {{"sda", "/boot on /dev/sda1"}}},
      {"laptop", {{"nvme0n1", "/ on /dev/nvme0n1p2, /boot/efi on /dev/nvme0n1p1"}}},
      {"usbboot",
       {{"sda", "/home on /dev/sda1"},
        {"sdb", "/ on /dev/mapper/sdb2_crypt, /boot/efi on /dev/sdb1, swap on /dev/sdb3"}}},
  };
  for (const auto& [machine, expected] : systems) {
    std::map<std::string, std::string> found;
    for (const DISK_DATA& d : Discover(machine)) {
      if (d.systemUse[0] != '\0') found[d.kernelName] = d.systemUse;
    }
    EXPECT_EQ(found, expected) << machine;
  }
}

TEST(DiskInfo, UnreadableMountTableIsReportedOnceAndCountsNothing) {
  DiskInfo info(kTestData + "usbstick/sys", kTestData + "usbstick/no-such-file");
  std::vector<DISK_DATA> disks;
  info.GetRes(disks);  // without a receiver: quiet
  std::vector<std::u16string> shown;
  info.SetParentWnd([&shown](const std::u16string& text) { shown.push_back(text); });
  info.GetRes(disks);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], LocalText(u"GetLogicDriveFail", 0));
  EXPECT_FALSE(shown[0].empty());
  ASSERT_EQ(disks.size(), 2u);  // discovery goes on
  for (const DISK_DATA& d : disks) EXPECT_EQ(d.partitionCount, 0u);
}

// A sysfs tree made on the spot: a SCSI-shaped disk under a USB port, linked from block/ as the
// kernel does, with a partition.
TEST(MadeTree, PartitionsAreFoundAndLinksAreNotFollowed) {
  testsupport::TempDir dir;
  const fs::path root = dir.path();
  const fs::path sda = root / "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host3/"
                              "target3:0:0/sda:0:0:0/block/sda";
  fs::create_directories(sda / "sda1");
  fs::create_directories(root / "block");
  fs::create_symlink(fs::relative(sda, root / "block"), root / "block/sda");
  fs::create_directory_symlink("../../../sda:0:0:0", sda / "device");
  fs::create_directories(sda / "holders");  // a folder without "partition"
  // "device" leads to the SCSI device; a "partition" file there must not make it a volume.
  for (const auto& [file, text] : {std::pair{"dev", "8:0\n"}, {"sda1/partition", "1\n"},
                                   {"sda1/dev", "8:1\n"}, {"device/partition", "1\n"},
                                   {"device/dev", "8:99\n"}}) {
    ASSERT_TRUE(testsupport::WriteFile((sda / file).string(), text)) << file;
  }
  const std::vector<RawBlockDevice> raw = SysfsReader(root.string()).ReadBlockDevices();
  ASSERT_EQ(raw.size(), 1u);
  ASSERT_EQ(raw[0].partitions.size(), 1u);
  EXPECT_EQ(raw[0].partitions[0].name, "sda1");
  EXPECT_EQ(raw[0].partitions[0].dev, "8:1");
  EXPECT_EQ(raw[0].sysPath.rfind("devices/pci0000:00/", 0), 0u) << raw[0].sysPath;
  EXPECT_EQ(raw[0].devicePath.rfind("devices/pci0000:00/", 0), 0u) << raw[0].devicePath;
}

}  // namespace
