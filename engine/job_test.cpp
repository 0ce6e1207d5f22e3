// Whole jobs through the exports on canary-filled image files, checked byte by byte and with
// sfdisk (the command-line tests check empty volumes with fsck.fat, e2fsck and blkid).
#include "DiskInfo.h"
#include "DiskLogicData.h"
#include "Layout.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "TextUtil.h"
#include "VolumeRelease.h"
#include "testing/TestDisk.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>

using namespace testing_support;
using namespace testsupport;

namespace {

constexpr uint64_t kMiB = 1 << 20;
using Strings = std::vector<std::string>;

std::string Utf8(const std::u16string& text) { return plat::ToUtf8(text); }

// The copy tip of partition `number` as the recorder logs it.
std::string PartitionTip(const char16_t* key, int number, const char* name, const char* size,
                         const char16_t* type, const char* image) {
  return "tip|" + Utf8(FormatWithInt(LocalText(key, 0), number)) + "|" +
         Utf8(LocalText(u"ParName", 0)) + name + "|" + Utf8(LocalText(u"ParSize", 0)) + size +
         "|" + Utf8(LocalText(u"ParType", 0)) + Utf8(type) + "|" +
         Utf8(LocalText(u"ImgFile", 0)) + image;
}

class JobTest : public ::testing::Test {
 protected:
  std::string Folder() const { return dir_.Join("fw"); }
  std::string Target() const { return dir_.Join("card.img"); }
  std::u16string WFolder() const { return plat::FromUtf8(Folder()); }
  std::u16string WTarget() const { return plat::FromUtf8(Target()); }

  void WriteConfig(const std::string& xml) {
    std::filesystem::create_directories(Folder());
    ASSERT_TRUE(WriteFile(Folder() + "/config.xml", xml));
  }
  void WriteFirmwareFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(std::filesystem::path(Folder() + "/" + name).parent_path());
    ASSERT_TRUE(WriteFile(Folder() + "/" + name, bytes));
  }
  void MakeCard(uint64_t bytes) {
    cardSize_ = bytes;
    MakeImage(Target(), bytes, true);
  }
  // A job on the card; the recorder holds its callbacks only.
  void Make() {
    rec_.Clear();
    MakeDisk(WFolder().c_str(), WTarget().c_str(), cardSize_);
  }
  void Update() {
    rec_.Clear();
    UpdateDisk(WFolder().c_str(), WTarget().c_str(), cardSize_);
  }
  void Recover(const std::string& image) {
    rec_.Clear();
    RemovePartitions(WTarget().c_str(), plat::FromUtf8(image).c_str());
  }
  uint64_t Mismatches(uint64_t fromSector, uint64_t toSector) const {
    return CountPatternMismatches(Target(), fromSector * 512, toSector * 512);
  }
  std::vector<uint8_t> Sector(uint64_t n) const { return ReadBytes(Target(), n * 512, 512); }

  TempDir dir_;
  JobRecorder rec_;
  uint64_t cardSize_ = 0;
};

// Partitions from images and unknown ones, two bin files: every byte where it belongs, every
// other byte still the canary, the callbacks in their order (sfdisk reads a table in the golden
// test); then an update of one partition and a bin file changes nothing else. (Updates the
// card's table refuses are the corpus's.)
TEST_F(JobTest, WriteAndUpdatePutEveryByteInPlaceAndNothingElse) {
  const auto boot = RandomBytes(1 * kMiB + 300, 1);  // shorter than its partition
  const auto root = RandomBytes(3 * kMiB, 2);        // exactly as large as its partition
  const auto loader = RandomBytes(40000, 3);         // ends inside a sector
  const auto env = RandomBytes(1000, 4);
  const auto raw2 = RandomBytes(500 * 1024, 5), env2 = RandomBytes(700, 6);  // the update's
  WriteFirmwareFile("boot.img", boot);
  WriteFirmwareFile("root.img", root);
  WriteFirmwareFile("bin/loader.bin", loader);
  WriteFirmwareFile("env.bin", env);
  WriteFirmwareFile("raw2.img", raw2);
  WriteFirmwareFile("env2.bin", env2);
  WriteConfig(R"(<?xml version="1.0"?>
<diskMaker>
  <partitions>
    <partition name="boot" capacity="2" imagePath="boot.img" active="TRUE" offset="2048"
               type="fat32"/>
    <partition name="raw" capacity="1" imagePath="" active="false" offset="0" type=""/>
    <partition name="root" capacity="3" imagePath="root.img" active="false" offset="0" type="ext4"/>
  </partitions>
  <binFiles>
    <file path="bin\loader.bin" offset="64"/>
    <file path="env.bin" offset="1000"/>
  </binFiles>
  <update>
    <partitions><partition name="raw" imagePath="raw2.img"/></partitions>
    <binFiles><file path="env2.bin" offset="1500"/></binFiles>
  </update>
</diskMaker>)");
  MakeCard(16 * kMiB);
  Make();

  // The callbacks: a progress group per pass, a copy tip per item (numbered from 1 in
  // configuration order), the clock around every copy; progress up to 100 for each copied
  // file, and none for the partition with nothing to write.
  const std::string tmp = Utf8(LocalText(u"TmpCreated", 0));
  auto binTip = [](int number, const char* name) {
    return "tip|" + Utf8(FormatWithInt(LocalText(u"WriteBinFileTip", 0), number)) + name +
           "|~|~|~|~";
  };
  Strings calls;
  std::copy_if(rec_.log.begin(), rec_.log.end(), std::back_inserter(calls),
               [](const std::string& e) { return e.rfind("pos ", 0) != 0; });
  EXPECT_EQ(calls, (Strings{LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"), "pro 1 1",
                            LineOf(u"WrtieParToPhy"),
                            PartitionTip(u"WriteParTip", 1, "boot", "2.00M", u"Fat32", "boot.img"),
                            "time 1", "time 0",
                            PartitionTip(u"WriteParTip", 2, "raw", "1.00M",
                                         LocalText(u"Unknown", 0).c_str(), tmp.c_str()),
                            "time 1", "time 0",
                            PartitionTip(u"WriteParTip", 3, "root", "3.00M", u"Ext4", "root.img"),
                            "time 1", "time 0", "pro 0 0", LineOf(u"WriteBinFileToPhy"),
                            "pro 1 0", binTip(1, "loader.bin"), "time 1", "time 0",
                            binTip(2, "env.bin"), "time 1", "time 0", "pro 0 0",
                            LineOf(u"WriteSucess")}));
  EXPECT_EQ(rec_.Count("pos 100"), 4);

  // The plan: boot at 2048 (4096 sectors), extended at 6145, raw's EBR there, root's EBR
  // after raw's 2048 sectors and gap.
  const uint64_t bootStart = 2048, bootCount = 4096;
  const uint64_t ext = bootStart + bootCount + 1;
  const uint64_t rawEbr = ext, rawStart = ext + 63, rawCount = 2048;
  const uint64_t rootEbr = rawStart + rawCount, rootStart = rootEbr + 63, rootCount = 6144;

  // Starts, sizes and types are sfdisk's to read in the command-line tests.
  const auto mbr = Sector(0);
  EXPECT_EQ(mbr[510] | mbr[511] << 8, 0xAA55);

  EXPECT_EQ(ReadBytes(Target(), bootStart * 512, boot.size()), boot);
  EXPECT_EQ(ReadBytes(Target(), rootStart * 512, root.size()), root);
  EXPECT_EQ(ReadBytes(Target(), 64 * 512, loader.size()), loader);
  EXPECT_EQ(ReadBytes(Target(), 1000 * 512, env.size()), env);
  // The loader and env.bin are padded with zeros to the end of their last sector.
  const auto pad = ReadBytes(Target(), 64 * 512 + loader.size(), 512 - loader.size() % 512);
  EXPECT_EQ(pad, std::vector<uint8_t>(pad.size(), 0));
  EXPECT_EQ(ReadBytes(Target(), 1000 * 512 + env.size(), 24), std::vector<uint8_t>(24, 0));

  // Untouched: between the MBR and the loader, after the loader, around env.bin, the rest of
  // boot after its image (and its padding sector), the sector before the extended partition,
  // the 62 spare sectors after each EBR, the unknown partition, and the end of the card.
  const uint64_t loaderEnd = 64 + (loader.size() + 511) / 512;
  const uint64_t bootImageEnd = bootStart + (boot.size() + 511) / 512;
  EXPECT_EQ(Mismatches(1, 64), 0u);
  EXPECT_EQ(Mismatches(loaderEnd, 1000), 0u);
  EXPECT_EQ(Mismatches(1002, bootStart), 0u);
  EXPECT_EQ(Mismatches(bootImageEnd, ext), 0u);
  EXPECT_EQ(Mismatches(rawEbr + 1, rootEbr), 0u);
  EXPECT_EQ(Mismatches(rootEbr + 1, rootStart), 0u);
  EXPECT_EQ(Mismatches(rootStart + rootCount, cardSize_ / 512), 0u);

  // The update: only raw's contents and the bin file change, every other sector (table sectors
  // included) stays as it was.
  const std::string before = dir_.Join("before.img");
  std::filesystem::copy_file(Target(), before);
  Update();
  EXPECT_EQ(rec_.Lines(), (Strings{LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"),
                                   LineOf(u"UpdateParToPhy"), LineOf(u"UpdateBinToPhy"),
                                   LineOf(u"UpdateSucess")}));
  // The tip numbers the partition by its place on the card; its size is the card's.
  EXPECT_EQ(rec_.Count(PartitionTip(u"UpdateParTip", 2, "raw", "1.00M",
                                    LocalText(u"Unknown", 0).c_str(), "raw2.img")),
            1);
  EXPECT_EQ(ReadBytes(Target(), rawStart * 512, raw2.size()), raw2);
  EXPECT_EQ(ReadBytes(Target(), 1500 * 512, env2.size()), env2);
  const auto old = ReadBytes(before, 0, cardSize_), now = ReadBytes(Target(), 0, cardSize_);
  ASSERT_EQ(old.size(), now.size());
  for (uint64_t s = 0; s < cardSize_ / 512; ++s) {
    if (s >= rawStart && s < rawStart + 1000) continue;  // raw2.img: 1,000 sectors
    if (s >= 1500 && s < 1502) continue;                 // env2.bin: 700 bytes, two sectors
    ASSERT_EQ(std::memcmp(&old[s * 512], &now[s * 512], 512), 0) << "sector " << s;
  }
}

// The type byte of a partition with an image comes from the file system in the image, not
// from the configuration: real FAT16 and ext4 images made by mkfs.fat and mke2fs, written
// and then updated in place (the first partition, whose entry is in the MBR, included).
TEST_F(JobTest, TypeBytesComeFromTheFileSystemInTheImage) {
  if (!HaveTool("mkfs.fat") || !HaveTool("mke2fs") || !HaveTool("sfdisk")) {
    GTEST_SKIP() << "dosfstools, e2fsprogs or sfdisk missing";
  }
  const std::string fat = Folder() + "/fat.img", ext = Folder() + "/ext.img";
  std::filesystem::create_directories(Folder());
  ASSERT_EQ(RunTool("mkfs.fat -C -F 16 -s 1 " + Quote(fat) + " 4096"), 0);
  ASSERT_EQ(RunTool("mke2fs -q -F -t ext4 " + Quote(ext) + " 4M"), 0);
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="a" capacity="4" imagePath="fat.img" offset="2048" type="ext4"/>
    <partition name="b" capacity="4" imagePath="ext.img" type="fat32"/>
  </partitions>
  <update><partitions><partition name="a" imagePath="ext.img" type="fat16"/></partitions>
  </update></diskMaker>)");
  MakeCard(16 * kMiB);
  Make();
  ASSERT_EQ(rec_.Lines().back(), LineOf(u"WriteSucess"));
  auto types = [&] {
    std::string out;
    for (const char* n : {" 1", " 2", " 5"}) {
      out += ToolOutput("sfdisk --part-type " + Quote(Target()) + n);
    }
    return out;
  };
  EXPECT_EQ(types(), " 6\n f\n83\n");

  // The update puts the ext4 image into the first partition: its MBR entry changes type.
  Update();
  EXPECT_EQ(rec_.Lines(), (Strings{LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"),
                                   LineOf(u"UpdateParToPhy"), LineOf(u"UpdateSucess")}));
  EXPECT_EQ(rec_.Count(PartitionTip(u"UpdateParTip", 1, "a", "4.00M", u"Fat16", "ext.img")), 1);
  EXPECT_EQ(types(), "83\n f\n83\n");
  EXPECT_EQ(ReadBytes(Target(), 2048 * 512, 4 * kMiB), ReadBytes(ext, 0, 4 * kMiB));
}

// A file that was there when the configuration was judged and is gone when the job is about
// to write: the job stops before its first write and says which.
TEST_F(JobTest, AFileThatVanishesAfterValidationStopsTheJobBeforeItWrites) {
  WriteFirmwareFile("boot.img", RandomBytes(4096, 7));
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="boot" capacity="1" imagePath="boot.img" offset="2048"/>
  </partitions></diskMaker>)");
  MakeCard(4 * kMiB);
  const std::string before = ReadFile(Target());
  rec_.Clear();
  // The disk is opened after the configuration was judged: that is when the file goes.
  JobRecorder::onLine = [&](const std::u16string& line) {
    if (line == LocalText(u"OpenDiskSuccess", 1)) std::filesystem::remove(Folder() + "/boot.img");
  };
  MakeDisk(WFolder().c_str(), WTarget().c_str(), cardSize_);
  EXPECT_EQ(rec_.Lines(),
            (Strings{LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"),
                     MsgOf(u"FileNotFound") + Folder() + "/boot.img",
                     LineOf(u"FileNotFountInConfig")}));
  EXPECT_TRUE(ReadFile(Target()) == before);
}

// A write job killed anywhere never leaves a partition table over partial data: until the
// last sector of the job the card has none.
TEST_F(JobTest, AnInterruptedWriteNeverLeavesATableThatLooksWhole) {
  if (!HaveTool("sfdisk")) GTEST_SKIP() << "sfdisk is not installed";
  WriteFirmwareFile("boot.img", RandomBytes(kMiB, 21));
  WriteFirmwareFile("rootfs.img", RandomBytes(2 * kMiB, 22));
  WriteFirmwareFile("loader.bin", RandomBytes(20000, 23));
  // An old card first: one partition somewhere else.
  MakeCard(16 * kMiB);
  ASSERT_EQ(RunTool("echo start=4096,size=16384 | sfdisk -q " + Quote(Target())), 0);
  const std::string oldCard = dir_.Join("old.img");
  std::filesystem::copy_file(Target(), oldCard);
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="boot" capacity="2" imagePath="boot.img" offset="2048" active="true"/>
    <partition name="data" capacity="4" type="ext4"/>
    <partition name="rootfs" capacity="3" imagePath="rootfs.img"/>
  </partitions><binFiles><file path="loader.bin" offset="64"/></binFiles></diskMaker>)");

  // The whole job, counted: its last act is the table, and then the flush that puts it on
  // the device.
  FaultyDiskIo counter;
  CDiskLogicData::SetDefaultIo(&counter);
  Make();
  CDiskLogicData::SetDefaultIo(nullptr);
  ASSERT_EQ(rec_.Lines().back(), LineOf(u"WriteSucess"));
  EXPECT_FALSE(counter.unflushed);
  const int64_t total = static_cast<int64_t>(counter.bytesWritten);
  EXPECT_EQ(RunTool("sfdisk -d " + Quote(Target())), 0);

  for (const int64_t at : {int64_t{512}, total / 4, total / 2, total - 512, total - 1}) {
    SCOPED_TRACE("killed after " + std::to_string(at) + " of " + std::to_string(total));
    std::filesystem::copy_file(oldCard, Target(),
                               std::filesystem::copy_options::overwrite_existing);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      FaultyDiskIo io;
      io.killAfterBytes = at;
      CDiskLogicData::SetDefaultIo(&io);
      Make();
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    std::string dump;
    EXPECT_NE(RunTool("sfdisk -d " + Quote(Target()), &dump), 0) << dump;
  }
}

// Recover: the image goes to sector 0 and nothing past it changes; without an image the
// recover fails and writes nothing. (A missing image is the copy's OpenFileFailed: disk tests.)
TEST_F(JobTest, RecoverWritesTheImageAtTheStart) {
  MakeCard(4 * kMiB);
  const auto image = RandomBytes(kMiB + 100, 13);
  const std::string recoverImage = dir_.Join("recover.img");
  ASSERT_TRUE(WriteFile(recoverImage, image));
  Recover(recoverImage);
  // Its four lines, and none of the callbacks of the passes.
  EXPECT_EQ(rec_.Lines(), (Strings{LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"),
                                   LineOf(u"RecoverTip"), LineOf(u"RecoverSucess")}));
  EXPECT_EQ(rec_.Count("pro ") + rec_.Count("tip") + rec_.Count("time "), 0);
  EXPECT_EQ(ReadBytes(Target(), 0, image.size()), image);
  // The image ends inside a sector: the rest of that sector keeps the card's bytes.
  EXPECT_EQ(CountPatternMismatches(Target(), image.size(), cardSize_), 0u);

  MakeCard(kMiB);
  const std::string before = ReadFile(Target());
  Recover("  ");
  EXPECT_EQ(rec_.Lines(), (Strings{LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"),
                                   LineOf(u"RecoverTip"), LineOf(u"RecoverFailed")}));
  EXPECT_TRUE(ReadFile(Target()) == before);
}

// The disk this system runs from is refused by every job before anything else happens. The
// jobs are given nothing they could write (no config.xml, no recover image, a recover size of
// 0), and the disk is one the release step would never unmount, so even a broken refusal
// changes nothing.
TEST_F(JobTest, TheRunningSystemsDiskIsRefusedByEveryJob) {
  std::string disk, uses;
  for (const auto& [name, list] : ReadSystemDiskUses(SystemFiles{})) {
    struct stat st {};
    if (stat(("/dev/" + name).c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
        !IsReleasableDisk("/sys", name)) {
      disk = "/dev/" + name;
      uses = Utf8(SystemUseText(list));
      break;
    }
  }
  if (disk.empty()) GTEST_SKIP() << "no fixed disk of the running system found";
  std::filesystem::create_directories(Folder());
  const std::u16string path = plat::FromUtf8(disk);
  const std::string refusal = MsgOf(u"SystemDisk") + uses;
  MakeDisk(WFolder().c_str(), path.c_str(), 1ull << 30);
  UpdateDisk(WFolder().c_str(), path.c_str(), 1ull << 30);
  RemovePartitions(path.c_str(), plat::FromUtf8(dir_.Join("none.img")).c_str());
  RemovePartitionsInPlace(path.c_str(), 0, 0);
  EXPECT_EQ(rec_.Lines(), (Strings{refusal, LineOf(u"WriteFailed"), refusal,
                                   LineOf(u"UpdateFailed"), refusal, LineOf(u"RecoverFailed"),
                                   refusal, LineOf(u"RecoverFailed")}));
}

TEST(DiskNumber, TrimsThePhysicalDrivePrefix) {
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\physicaldrive12"), 12);
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\PHYSICALDRIVE3"), 0);  // compared case-sensitively
  EXPECT_EQ(DiskNumberOf(u"/dev/sdb"), 0);
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\physicaldrive99999999999"), 0);
}

// Disk I/O of an image file, held at its first write until the test lets it go on.
class HeldIo final : public FaultyDiskIo {
 public:
  HeldIo(int held, int go) : held_(held), go_(go) {}
  ssize_t WriteAt(int fd, const void* buffer, size_t count, int64_t offset) override {
    if (!released_) {
      char c = 1;
      if (write(held_, &c, 1) != 1 || read(go_, &c, 1) != 1) _exit(3);
      released_ = true;
    }
    return FaultyDiskIo::WriteAt(fd, buffer, count, offset);
  }

 private:
  int held_, go_;
  bool released_ = false;
};

// Two jobs on two cards at once, each in its own process (the engine runs one job per process),
// held at their first write until both are there: neither waits for the other, and nothing of
// one card reaches the other. (The disk tests refuse a card in use at its open.)
TEST_F(JobTest, TwoJobsAtOnce) {
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="a" capacity="34" offset="2048" type="fat32"/>
    <partition name="b" capacity="8" type="ext4"/>
  </partitions></diskMaker>)");
  const uint64_t size = cardSize_ = 48 * kMiB;
  const std::string cards[2] = {Target(), dir_.Join("two.img")};
  int held[2], go[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t jobs[2];
  for (int i = 0; i < 2; ++i) {
    MakeImage(cards[i], size, true);
    jobs[i] = fork();
    ASSERT_GE(jobs[i], 0);
    if (jobs[i] == 0) {
      HeldIo io(held[1], go[0]);
      CDiskLogicData::SetDefaultIo(&io);
      JobRecorder::Clear();
      MakeDisk(WFolder().c_str(), plat::FromUtf8(cards[i]).c_str(), size);
      _exit(JobRecorder::Lines().back() == LineOf(u"WriteSucess") ? 0 : 1);
    }
  }
  // A job that waited for the other would never get here.
  pollfd ready{held[0], POLLIN, 0};
  char c[2] = {};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(poll(&ready, 1, 60000), 1) << "only " << i << " of the jobs got to writing";
    ASSERT_EQ(read(held[0], c, 1), 1);
  }
  ASSERT_EQ(write(go[1], c, 2), 2);
  for (pid_t job : jobs) {
    int status = 0;
    EXPECT_EQ(waitpid(job, &status, 0), job);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  for (int fd : {held[0], held[1], go[0], go[1]}) close(fd);
  // Both cards whole and alike: the same table, the pattern untouched past the layout.
  std::vector<PartitionSpec> specs(2);
  specs[0] = {u"a", 34 * int64_t(kMiB), u"", 0, 2048, kTypeFat32, u""};
  specs[1] = {u"b", 8 * int64_t(kMiB), u"", 0, 0, kTypeExt4, u""};
  const uint64_t end = PlanLayout(specs).endSector * 512;
  EXPECT_EQ(ReadBytes(cards[0], 0, 512), ReadBytes(cards[1], 0, 512));
  for (const std::string& card : cards) EXPECT_EQ(CountPatternMismatches(card, end, size), 0u);
}

}  // namespace
