// The decisions brindle-cli makes about a target: sizes, /dev paths, and which block devices
// are safe to write, on the fixture machines of disks/testdata and on trees made here.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "JobTarget.h"
#include "testsupport/TestSupport.h"

namespace fs = std::filesystem;

namespace {

const std::string kTestData = std::string(BRINDLE_SOURCE_DIR) + "/disks/testdata/";

class ScratchDir : public testsupport::TempDir {
 public:
  void Write(const std::string& name, const std::string& text) const {
    fs::create_directories(fs::path(Join(name)).parent_path());
    testsupport::WriteFile(Join(name), text);
  }
};

TEST(JobTarget, ParseSize) {
  uint64_t bytes = 0;
  EXPECT_TRUE(ParseSize("1024", bytes));
  EXPECT_EQ(bytes, 1024u);
  EXPECT_TRUE(ParseSize("512M", bytes));
  EXPECT_EQ(bytes, 512ull << 20);
  EXPECT_TRUE(ParseSize("3k", bytes));
  EXPECT_EQ(bytes, 3072u);
  EXPECT_TRUE(ParseSize("2GiB", bytes));
  EXPECT_EQ(bytes, 2ull << 30);
  EXPECT_TRUE(ParseSize("1TB", bytes));
  EXPECT_EQ(bytes, 1ull << 40);
  EXPECT_TRUE(ParseSize("16777215T", bytes));  // the largest that fits in 64 bits
  EXPECT_EQ(bytes, 16777215ull << 40);
  bytes = 7;
  for (const char* bad : {"", "0", "0M", "1000", "1K5", "1.5G", "-1M", "+1M", " 1M", "1M ",
                          "1X", "1Mi", "1MiBs", "16777216T", "18446744073709551616",
                          "99999999999999999999999"}) {
    EXPECT_FALSE(ParseSize(bad, bytes)) << bad;
  }
  EXPECT_EQ(bytes, 7u);  // untouched by a failure
}

TEST(JobTarget, DefaultImageSizeIsTheEndOfTheLayoutOrOfTheBinFiles) {
  ScratchDir dir;
  // 1 MiB at 2048, then three logical partitions of 1, 2 and 1 MiB, each after 63 sectors:
  // 2048 + 2048 + 1 + (63 + 2048) + (63 + 4096) + (63 + 2048) = 12478 sectors.
  dir.Write("layout/config.xml", R"(<diskMaker><partitions>
<partition name="a" capacity="1" offset="2048" type="fat16"/>
<partition name="b" capacity="1"/><partition name="c" capacity="2"/>
<partition name="d" capacity="1"/></partitions>
<binFiles><file path="x.bin" offset="64"/></binFiles></diskMaker>)");
  dir.Write("layout/x.bin", std::string(4000, 'x'));
  EXPECT_EQ(DefaultImageSize(dir.Join("layout")), 12478u * 512);

  // One partition: its end. A bin file of the update section past it counts too.
  dir.Write("one/config.xml", R"(<diskMaker><partitions>
<partition name="a" capacity="1" offset="100"/></partitions>
<update><binFiles><file path="u.bin" offset="3000"/></binFiles></update></diskMaker>)");
  dir.Write("one/u.bin", std::string(513, 'u'));
  EXPECT_EQ(DefaultImageSize(dir.Join("one")), (3000u + 2) * 512);
  fs::remove(dir.Join("one/u.bin"));  // a missing file is validation's business
  EXPECT_EQ(DefaultImageSize(dir.Join("one")), (100u + 2048) * 512);

  // Nothing planned, no configuration, a first partition without a start, a layout no MBR
  // can address: no size.
  dir.Write("empty/config.xml", "<diskMaker/>");
  EXPECT_EQ(DefaultImageSize(dir.Join("empty")), 0u);
  EXPECT_EQ(DefaultImageSize(dir.Join("missing")), 0u);
  dir.Write("nostart/config.xml",
            R"(<diskMaker><partitions><partition name="a" capacity="1" offset="0"/></partitions></diskMaker>)");
  EXPECT_EQ(DefaultImageSize(dir.Join("nostart")), 0u);
  dir.Write("huge/config.xml",
            R"(<diskMaker><partitions><partition name="a" capacity="3000000" offset="2048"/></partitions></diskMaker>)");
  EXPECT_EQ(DefaultImageSize(dir.Join("huge")), 0u);
  dir.Write("wrap/config.xml",
            R"(<diskMaker><partitions><partition name="a" capacity="99999999999999999999" offset="2048"/></partitions></diskMaker>)");
  EXPECT_EQ(DefaultImageSize(dir.Join("wrap")), 0u);
}

TEST(JobTarget, PathsUnderDev) {
  EXPECT_TRUE(IsUnderDev("/dev/sdz"));
  EXPECT_TRUE(IsUnderDev("/dev/disk/by-id/usb-nothing"));
  EXPECT_FALSE(IsUnderDev("/tmp/card.img"));
  EXPECT_FALSE(IsUnderDev("card.img"));
  EXPECT_FALSE(IsUnderDev("/devices.img"));
  ScratchDir dir;
  fs::create_directory_symlink("/dev", dir.Join("d"));
  EXPECT_TRUE(IsUnderDev(dir.Join("d/sdz")));
}

BlockTarget Inspect(const std::string& machine, unsigned major, unsigned minor,
                    const std::string& swaps = "/nonexistent") {
  SystemFiles files;
  files.sysfs = kTestData + machine + "/sys";
  files.mountinfo = kTestData + machine + "/mountinfo";
  files.swaps = swaps;
  return InspectBlockDevice(major, minor, files);
}

TEST(JobTarget, FixtureMachines) {
  // The card reader's SD slot: USB, removable, nothing of the system on it.
  const BlockTarget sdb = Inspect("cardreader", 8, 16);
  EXPECT_TRUE(sdb.known);
  EXPECT_EQ(sdb.disk, "sdb");
  EXPECT_TRUE(sdb.usb);
  EXPECT_TRUE(sdb.removable);
  EXPECT_FALSE(sdb.loop);
  EXPECT_EQ(sdb.model, "Generic- SD/MMC");
  EXPECT_TRUE(sdb.systemUses.empty());
  EXPECT_EQ(SafetyRefusal(sdb), "");
  // Its partition is no target.
  const BlockTarget sdb1 = Inspect("cardreader", 8, 17);
  EXPECT_EQ(sdb1.partition, "sdb1");
  EXPECT_NE(SafetyRefusal(sdb1).find("sdb1 is a partition of sdb"), std::string::npos);
  // The system disk.
  const BlockTarget sda = Inspect("cardreader", 8, 0);
  EXPECT_EQ(sda.systemUses,
            (std::vector<std::string>{"/ on /dev/sda2", "/boot/efi on /dev/sda1"}));
  EXPECT_NE(SafetyRefusal(sda).find("running system"), std::string::npos);

  // A USB stick with mounted media volumes (btrfs subvolumes among them) is fine: the job
  // unmounts them. The disk under /boot is not.
  EXPECT_EQ(SafetyRefusal(Inspect("usbstick", 8, 32)), "");
  EXPECT_EQ(Inspect("usbstick", 8, 0).systemUses, (std::vector<std::string>{"/boot on /dev/sda1"}));

  // The laptop: an attached image on a loop device may be written; the internal SD slot is
  // neither removable nor on USB; the NVMe disk holds the system.
  const BlockTarget loop0 = Inspect("laptop", 7, 0);
  EXPECT_TRUE(loop0.loop);
  EXPECT_EQ(loop0.model, "/home/anna/images/sdcard.img");
  EXPECT_EQ(SafetyRefusal(loop0), "");
  EXPECT_NE(SafetyRefusal(Inspect("laptop", 179, 0)).find("fixed disk"), std::string::npos);
  EXPECT_FALSE(Inspect("laptop", 259, 0).systemUses.empty());
  // An unattached loop device is no image its user attached.
  EXPECT_NE(SafetyRefusal(Inspect("laptop", 7, 1)), "");

  const BlockTarget unknown = Inspect("laptop", 1, 1);
  EXPECT_FALSE(unknown.known);
  EXPECT_NE(SafetyRefusal(unknown), "");
}

// A USB disk under an encrypted root, and swap on another: both are the running system's.
TEST(JobTarget, StackedDevicesAndSwap) {
  ScratchDir dir;
  const std::string disk = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host0/block/sdx";
  dir.Write(disk + "/dev", "8:16\n");
  dir.Write(disk + "/removable", "1\n");
  dir.Write(disk + "/sdx1/dev", "8:17\n");
  dir.Write(disk + "/sdx1/partition", "1\n");
  dir.Write(disk + "/sdx2/dev", "8:18\n");
  dir.Write(disk + "/sdx2/partition", "2\n");
  fs::create_directories(dir.Join("sys/block"));
  fs::create_directory_symlink(dir.Join(disk), dir.Join("sys/block/sdx"));
  const std::string dm = "sys/devices/virtual/block/dm-0";
  dir.Write(dm + "/dev", "254:0\n");
  dir.Write(dm + "/dm/name", "cryptroot\n");
  fs::create_directories(dir.Join(dm + "/slaves"));
  fs::create_directory_symlink(dir.Join(disk + "/sdx2"), dir.Join(dm + "/slaves/sdx2"));
  fs::create_directory_symlink(dir.Join(dm), dir.Join("sys/block/dm-0"));
  // A second disk for a swap file test is not needed: swap on a partition is enough.
  dir.Write("swaps", "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
                     "/dev/sdx1                               partition\t1048572\t\t0\t\t-2\n");
  dir.Write("mountinfo",
            "26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/mapper/cryptroot rw\n"
            "30 26 0:40 / /media/x rw shared:2 - tmpfs tmpfs rw\n");
  SystemFiles files{dir.Join("sys"), dir.Join("mountinfo"), dir.Join("swaps")};
  BlockTarget target = InspectBlockDevice(8, 16, files);
  EXPECT_TRUE(target.usb);
  EXPECT_EQ(target.systemUses,
            (std::vector<std::string>{"/ on /dev/mapper/cryptroot", "swap on /dev/sdx1"}));

  // The same root named only by its device number (btrfs-style anonymous numbers by source).
  dir.Write("mountinfo", "26 1 0:31 /@ / rw - btrfs /dev/sdx2 rw\n"
                         "27 1 8:17 / /usr\\040local rw - ext4 /dev/sdx1 rw\n");
  files.swaps = "/nonexistent";
  target = InspectBlockDevice(8, 16, files);
  EXPECT_EQ(target.systemUses, (std::vector<std::string>{"/ on /dev/sdx2"}));
  // "/usr local" is not /usr.
  dir.Write("mountinfo", "27 1 8:17 / /usr\\040local rw - ext4 /dev/sdx1 rw\n"
                         "28 1 8:18 / /usr/lib rw - ext4 /dev/sdx2 rw\n");
  EXPECT_EQ(InspectBlockDevice(8, 16, files).systemUses,
            (std::vector<std::string>{"/usr/lib on /dev/sdx2"}));
  dir.Write("mountinfo", "27 1 8:17 / /media/usb rw - ext4 /dev/sdx1 rw\n");
  EXPECT_EQ(SafetyRefusal(InspectBlockDevice(8, 16, files)), "");
}

}  // namespace
