// Which volumes a job takes away from the system, on a sysfs tree and mountinfo of our own.
#include "VolumeRelease.h"

#include "Platform.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

class ReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys_ = dir_.Join("sys");
    // A fixed SATA disk, a USB card reader's card with two partitions, a loop device.
    AddDisk("devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda", "sda",
            8, 0, "0", {"sda1", "sda2"});
    AddDisk("devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host4/target4:0:0/4:0:0:0/block/sdb",
            "sdb", 8, 16, "0", {"sdb1", "sdb2"});
    AddDisk("devices/virtual/block/loop3", "loop3", 7, 3, "0", {"loop3p1"});
    AddDisk("devices/platform/mmc/mmc0/mmc0:0001/block/mmcblk0", "mmcblk0", 179, 0, "1",
            {"mmcblk0p1"});
    mountinfo_ = dir_.Join("mountinfo");
    std::ofstream(mountinfo_)
        << "26 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
           "58 26 8:1 / /boot rw,relatime shared:30 - ext4 /dev/sda1 rw\n"
           "301 26 8:17 / /media/card/boot\\040fs rw,relatime shared:170 - vfat /dev/sdb1 rw\n"
           "305 26 0:46 /@ /media/card/root rw shared:174 - btrfs /dev/sdb2 rw\n"
           "306 305 0:46 /@home /media/card/root/home rw shared:175 - btrfs /dev/sdb2 rw\n"
           "310 26 7:4 / /mnt/loop rw - ext4 /dev/loop3p1 rw\n"
           "311 26 179:1 / /media/sd rw - vfat /dev/mmcblk0p1 rw\n";
  }

  void AddDisk(const std::string& devicePath, const std::string& name, int major, int minor,
               const std::string& removable, const std::vector<std::string>& parts) {
    const std::string full = sys_ + "/" + devicePath;
    fs::create_directories(full);
    fs::create_directories(sys_ + "/block");
    fs::create_directories(sys_ + "/dev/block");
    std::ofstream(full + "/dev") << major << ":" << minor << "\n";
    std::ofstream(full + "/removable") << removable << "\n";
    fs::create_symlink("../" + devicePath, sys_ + "/block/" + name);
    fs::create_symlink("../../" + devicePath,
                       sys_ + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor));
    int n = 1;
    for (const std::string& part : parts) {
      fs::create_directories(full + "/" + part);
      std::ofstream(full + "/" + part + "/partition") << n << "\n";
      const int partMinor = minor + n++;
      std::ofstream(full + "/" + part + "/dev") << major << ":" << partMinor << "\n";
      fs::create_symlink("../../" + devicePath + "/" + part,
                         sys_ + "/dev/block/" + std::to_string(major) + ":" +
                             std::to_string(partMinor));
    }
  }

  TempDir dir_;
  std::string sys_;
  std::string mountinfo_;
};

TEST_F(ReleaseTest, FindsTheWholeDiskOfADevice) {
  EXPECT_EQ(DiskOfDevice(sys_, 8, 16), "sdb");
  EXPECT_EQ(DiskOfDevice(sys_, 8, 18), "sdb");  // sdb2
  EXPECT_EQ(DiskOfDevice(sys_, 7, 3), "loop3");
  EXPECT_EQ(DiskOfDevice(sys_, 9, 9), "");
}

TEST_F(ReleaseTest, OnlyRemovableUsbAndLoopDisksAreReleased) {
  EXPECT_FALSE(IsReleasableDisk(sys_, "sda"));
  EXPECT_TRUE(IsReleasableDisk(sys_, "sdb"));      // on USB
  EXPECT_TRUE(IsReleasableDisk(sys_, "loop3"));    // attached by its user
  EXPECT_TRUE(IsReleasableDisk(sys_, "mmcblk0"));  // removable
  EXPECT_FALSE(IsReleasableDisk(sys_, ""));
}

TEST_F(ReleaseTest, MountPointsOfTheDiskInnermostFirst) {
  const auto sdb = MountPointsOf(mountinfo_, DevicesOfDisk(sys_, "sdb"));
  // btrfs is found by its source, the blank in the name is unescaped, nested mounts first.
  EXPECT_EQ(sdb, (std::vector<std::string>{"/media/card/root/home", "/media/card/root",
                                           "/media/card/boot fs"}));
  EXPECT_EQ(MountPointsOf(mountinfo_, DevicesOfDisk(sys_, "loop3")),
            std::vector<std::string>{"/mnt/loop"});
  EXPECT_EQ(MountPointsOf(mountinfo_, DevicesOfDisk(sys_, "sda")),
            (std::vector<std::string>{"/boot", "/"}));
  EXPECT_TRUE(MountPointsOf(dir_.Join("missing"), DevicesOfDisk(sys_, "sdb")).empty());
}

TEST_F(ReleaseTest, ImageFilesAndMissingPathsReleaseNothing) {
  std::vector<std::string> unmounted;
  VolumeReleaseEnv env;
  env.sysRoot = sys_;
  env.mountinfo = mountinfo_;
  env.unmount = [&](const std::string& point) {
    unmounted.push_back(point);
    return 0;
  };
  std::ofstream(dir_.Join("card.img")) << "x";
  EXPECT_EQ(ReleaseDiskVolumes(plat::FromUtf8(dir_.Join("card.img")), env), 1);
  EXPECT_EQ(ReleaseDiskVolumes(plat::FromUtf8(dir_.Join("none")), env), 1);
  EXPECT_TRUE(unmounted.empty());
}

}  // namespace
