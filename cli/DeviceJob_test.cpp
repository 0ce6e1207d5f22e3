// brindle-cli on block devices: the safety rule on a device node that leads nowhere (described
// by a fixture sysfs), and whole jobs on loop devices. Needs root; skipped otherwise.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "testsupport/TestSupport.h"

using namespace cli_test;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// A block major no driver has registered: a node with it opens nowhere (ENXIO), so a safety
// rule that failed would still write nothing.
int UnusedBlockMajor() {
  std::ifstream devices("/proc/devices");
  std::string line;
  bool block = false;
  std::set<int> used;
  while (std::getline(devices, line)) {
    if (line == "Block devices:") block = true;
    if (!block) continue;
    std::istringstream fields(line);
    int major = 0;
    if (fields >> major) used.insert(major);
  }
  for (int major = 240; major <= 254; ++major) {
    if (used.count(major) == 0) return major;
  }
  return -1;
}

class CliSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!IsRoot()) GTEST_SKIP() << "needs root to make device nodes";
    major_ = UnusedBlockMajor();
    if (major_ < 0) GTEST_SKIP() << "no unused block major";
    for (int minor : {0, 1}) {
      const std::string node = dir_.Join(minor == 0 ? "disk" : "disk1");
      ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, makedev(major_, minor)), 0)
          << std::strerror(errno);
    }
    fw_ = dir_.Join("fw");
    fs::create_directories(fw_);
    WriteFile(fw_ + "/config.xml", R"(<diskMaker><partitions>
<partition name="a" capacity="1" offset="2048"/></partitions></diskMaker>)");
    WriteFile(dir_.Join("mountinfo"), "");
  }

  // The fixture's one disk "sdx" with the device number of our node, on USB or on SATA.
  void Describe(bool usb, bool removable) {
    fs::remove_all(dir_.Join("sys"));
    const std::string bus = usb ? "usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0"
                                : "ata1/host0/target0:0:0/0:0:0:0";
    const std::string disk = dir_.Join("sys/devices/pci0000:00/0000:00:14.0/" + bus + "/block/sdx");
    fs::create_directories(disk + "/sdx1");
    WriteFile(disk + "/dev", std::to_string(major_) + ":0\n");
    WriteFile(disk + "/removable", removable ? "1\n" : "0\n");
    WriteFile(disk + "/sdx1/dev", std::to_string(major_) + ":1\n");
    WriteFile(disk + "/sdx1/partition", "1\n");
    fs::create_directories(dir_.Join("sys/block"));
    fs::create_directory_symlink(disk, dir_.Join("sys/block/sdx"));
  }

  std::string Args(const std::string& options, const std::string& node = "disk") const {
    return "write " + options + " --sysfs " + Quote(dir_.Join("sys")) + " --mountinfo " +
           Quote(dir_.Join("mountinfo")) + " --swaps /nonexistent " + Quote(fw_) + " " +
           Quote(dir_.Join(node));
  }

  // Refused before the engine runs: status 1, no log, `reason` in the error output.
  static void ExpectRefused(const Outcome& run, const std::string& reason) {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Has(run.err, reason)) << run.err;
  }

  TempDir dir_;
  int major_ = -1;
  std::string fw_;
};

TEST_F(CliSafety, FixedDisksAndPartitionsAreRefusedUnlessForcedSystemDisksAlways) {
  Describe(false, false);
  ExpectRefused(RunCli(Args("--yes")), "fixed disk");

  // Forced, the job runs and the engine's open finds no device behind the node.
  const Outcome forced = RunCli(Args("--yes --force"));
  EXPECT_EQ(forced.status, 1);
  EXPECT_TRUE(Has(forced.err, "warning")) << forced.err;
  EXPECT_EQ(LogTexts(forced.out), KeyTexts({u"OpenDisk", u"OpenDiskFailed"}));

  Describe(true, true);
  ExpectRefused(RunCli(Args("--yes", "disk1")), "sdx1 is a partition of sdx");

  WriteFile(dir_.Join("mountinfo"), "26 1 " + std::to_string(major_) +
                                        ":1 / /boot rw shared:1 - ext4 /dev/sdx1 rw\n");
  ExpectRefused(RunCli(Args("--yes")), "/boot on /dev/sdx1");
  // Not even when forced: the engine would refuse it too.
  const Outcome forcedSystem = RunCli(Args("--yes --force"));
  EXPECT_EQ(forcedSystem.status, 1);
  EXPECT_EQ(forcedSystem.out, "");
  EXPECT_FALSE(Has(forcedSystem.err, "--force")) << forcedSystem.err;

  const Outcome sized = RunCli(Args("--yes --size 1M"));
  EXPECT_EQ(sized.status, 2);
}

TEST_F(CliSafety, AUsbDiskIsWrittenOnlyWhenConfirmed) {
  Describe(true, false);
  // No terminal to ask on.
  ExpectRefused(RunCli(Args("")), "--yes");

  const Outcome confirmed = RunCli(Args("-y"));
  EXPECT_EQ(LogTexts(confirmed.out), KeyTexts({u"OpenDisk", u"OpenDiskFailed"}));

  if (!HaveTool("script")) GTEST_SKIP() << "needs script (util-linux) for a terminal";
  const std::string cli = Cli() + " " + Args("");
  for (const char* answer : {"no", "yes"}) {
    WriteFile(dir_.Join("answer"), std::string(answer) + "\n");
    const std::string run =
        ToolOutput("script -qec " + Quote(cli) + " /dev/null <" + Quote(dir_.Join("answer")));
    EXPECT_TRUE(Has(run, "Type yes to go on")) << run;
    const bool opened = run.find(KeyText(u"OpenDisk")) != std::string::npos;
    EXPECT_EQ(opened, std::string(answer) == "yes") << run;
    if (std::string(answer) == "no") {
      EXPECT_TRUE(Has(run, "nothing was written")) << run;
    }
  }
}

bool IsMounted(const std::string& point) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, mountPoint;
    fields >> id >> parent >> dev >> root >> mountPoint;
    if (mountPoint == point) return true;
  }
  return false;
}

bool IsBlockDevice(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

class CliLoop : public ExampleTest {
 protected:
  void SetUp() override {
    if (!IsRoot() || !fs::exists("/dev/loop-control") || !HaveTool("losetup")) {
      GTEST_SKIP() << "needs root and loop devices";
    }
    ExampleTest::SetUp();
  }
  void ExpectPartitions(const LoopDevice& loop) {
    for (size_t i = 0; i < std::size(kExampleParts); ++i) {
      const std::string node = loop.Partition(kExamplePartNumbers[i]);
      ASSERT_TRUE(IsBlockDevice(node)) << node;
      ExpectVolume(node, kExampleParts[i].fsType);
    }
  }
};

TEST_F(CliLoop, WriteUpdateRecoverALoopDevice) {
  const std::string image = dir_.Join("card.img");
  ASSERT_EQ(RunTool("truncate -s " + std::to_string(kExampleEndSector * 512) + " " + Quote(image)),
            0);
  LoopDevice loop(image);
  if (loop.name().empty()) GTEST_SKIP() << "cannot attach a loop device: " << loop.error();
  const std::string fw = Quote(Example());

  // A loop device needs no --force, but it does need the confirmation.
  const Outcome unasked = RunCli("write " + fw + " " + Quote(loop.name()));
  EXPECT_EQ(unasked.status, 1);
  EXPECT_EQ(unasked.out, "");

  const Outcome write = RunCli("write --yes --verify " + fw + " " + Quote(loop.name()));
  ASSERT_EQ(write.status, 0) << write.out << write.err;
  EXPECT_EQ(LogTexts(write.out),
            KeyTexts({u"OpenDisk", u"OpenDiskSuccess", u"WrtieParToPhy", u"WriteBinFileToPhy",
                      u"WriteSucess", u"OpenDisk", u"OpenDiskSuccess", u"VerifyParToPhy",
                      u"VerifyBinFileToPhy", u"VerifySucess"}));
  ExpectPartitions(loop);
  // Checking only reads: no confirmation is asked for.
  const Outcome verify = RunCli("verify " + fw + " " + Quote(loop.name()));
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;

  // A mounted partition of the card is taken away before the card is written again.
  const std::string mnt = dir_.Join("mnt");
  fs::create_directory(mnt);
  ASSERT_EQ(mount(loop.Partition(8).c_str(), mnt.c_str(), "ext4", 0, nullptr), 0)
      << std::strerror(errno);
  loop.Mounted(mnt);
  ASSERT_TRUE(IsMounted(mnt));
  const Outcome again = RunCli("write --yes " + fw + " " + Quote(loop.name()));
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_FALSE(IsMounted(mnt));
  ExpectPartitions(loop);
  // What the loop device received is in the image file.
  ExpectFileAt(image, kExampleParts[4].start, Example() + "/rootfs.img");

  const Outcome update = RunCli("update --yes " + fw + " " + Quote(loop.name()));
  EXPECT_EQ(update.status, 0) << update.out << update.err;
  ExpectPartitions(loop);

  const Outcome recover = RunCli("recover --yes " + Quote(loop.name()));
  EXPECT_EQ(recover.status, 0) << recover.out << recover.err;
  EXPECT_EQ(LogTexts(recover.out),
            KeyTexts({u"OpenDisk", u"OpenDiskSuccess", u"RecoverTip", u"RecoverSucess"}));
  ExpectVolume(loop.name(), "vfat");
}

}  // namespace
