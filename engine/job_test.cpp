// Whole jobs through the exports, on image files filled with a canary pattern, checked byte by
// byte and with tools we did not write (sfdisk, fsck.fat, e2fsck, blkid).
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

// A successful recover job: its four lines, and none of the callbacks of the passes.
void ExpectRecoverLines() {
  EXPECT_EQ(JobRecorder::Lines(), (Strings{LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"),
                                           LineOf(u"RecoverTip"), LineOf(u"RecoverSucess")}));
  EXPECT_EQ(JobRecorder::Count("pro ") + JobRecorder::Count("tip") + JobRecorder::Count("time "),
            0);
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

bool HaveCheckers() { return HaveTool("fsck.fat") && HaveTool("e2fsck") && HaveTool("blkid"); }

// fsck.fat or e2fsck calls the volume in `path` clean, and blkid's probe finds exactly the
// file system expected (it fails on an ambiguous one): "FAT16", "FAT32" or "ext4".
void ExpectCleanVolume(const std::string& path, const std::string& kind) {
  std::string out;
  if (kind == "ext4") {
    EXPECT_EQ(RunTool("e2fsck -fn " + Quote(path), &out), 0) << out;
    EXPECT_EQ(ToolOutput("blkid -p -o value -s TYPE " + Quote(path)), "ext4\n");
    return;
  }
  EXPECT_EQ(RunTool("fsck.fat -n " + Quote(path), &out), 0) << out;
  EXPECT_EQ(ToolOutput("blkid -p -o value -s TYPE " + Quote(path)), "vfat\n");
  EXPECT_EQ(ToolOutput("blkid -p -o value -s VERSION " + Quote(path)), kind + "\n");
}

// Partitions from images and unknown ones, two bin files: every byte where it belongs, every
// other byte still the canary, the callbacks in their order (sfdisk reads a table in the golden
// test); then an update of one partition and a bin file changes nothing else, and is refused
// where the card's table no longer leads to the partition.
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
  // configuration order), the clock around every copy; within it progress from 0 up to 100
  // for each copied file, and none for the partition with nothing to write.
  const std::string tmp = Utf8(LocalText(u"TmpCreated", 0));
  auto binTip = [](int number, const char* name) {
    return "tip|" + Utf8(FormatWithInt(LocalText(u"WriteBinFileTip", 0), number)) + name +
           "|~|~|~|~";
  };
  Strings calls;
  std::vector<std::vector<int>> progress;
  for (const std::string& e : rec_.log) {
    if (e == "time 1") progress.emplace_back();
    if (e.rfind("pos ", 0) == 0) {
      ASSERT_FALSE(progress.empty()) << "progress outside a copy";
      progress.back().push_back(std::stoi(e.substr(4)));
    } else {
      calls.push_back(e);
    }
  }
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
  ASSERT_EQ(progress.size(), 5u);
  EXPECT_TRUE(progress[1].empty());
  for (size_t i : {0, 2, 3, 4}) {
    ASSERT_GE(progress[i].size(), 2u) << i;
    EXPECT_EQ(progress[i].front(), 0) << i;
    EXPECT_EQ(progress[i].back(), 100) << i;
  }

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

  // An update only on the card this firmware made: where the chain of table sectors leads past
  // the card's end, raw cannot be found. The refusal says what the firmware wanted, and nothing
  // changes. (The corpus holds cards of other layouts, and one with no table.)
  std::vector<uint8_t> farLink = mbr;  // the update left the MBR as it was
  farLink[462 + 10] = 0x01;            // the extended partition beyond sector 65,536
  ASSERT_TRUE(WriteBytesAt(Target(), 0, farLink));
  const std::string unchanged = ReadFile(Target());
  Update();
  EXPECT_EQ(rec_.Lines(),
            (Strings{LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"),
                     "msg " + Utf8(LocalText(u"UpdateLayoutErr", 0) + u"\n" + LocalText(u"Par", 0) +
                                   u" raw:" + LocalText(u"LayoutDiffers", 0) +
                                   LocalText(u"OnCard", 0) + u"\u2013" +
                                   LocalText(u"InFirmware", 0) + u"6208 / 2048\n"),
                     LineOf(u"UpdateFailed")}));
  EXPECT_TRUE(ReadFile(Target()) == unchanged);
}

// Empty FAT16, FAT32 and ext4 partitions: each made fresh, clean under the file systems' own
// checkers, and named by blkid as the type byte says; made again over each other's old file
// systems, on a card that held random data before.
TEST_F(JobTest, EmptyVolumesAreCleanAndTyped) {
  MakeCard(80 * kMiB);
  ASSERT_TRUE(WriteFile(Target(), RandomBytes(cardSize_, 21)));
  struct Round {
    const char* types[3];
    uint8_t typeBytes[3];
    const char* kinds[3];
  } rounds[] = {
      {{"ext4", "fat32", "FAT16"}, {0x83, 0x0B, 0x06}, {"ext4", "FAT32", "FAT16"}},
      {{"FAT16", "fat32", "ext4"}, {0x06, 0x0B, 0x83}, {"FAT16", "FAT32", "ext4"}},
  };
  std::vector<PartitionSpec> specs(3);
  specs[0].offset = 2048;
  specs[0].capacityBytes = 16 * kMiB;
  specs[1].capacityBytes = 40 * kMiB;
  specs[2].capacityBytes = 16 * kMiB;
  const LayoutPlan plan = PlanLayout(specs);
  const auto tailBefore = ReadBytes(Target(), plan.endSector * 512, cardSize_);
  for (const Round& round : rounds) {
    SCOPED_TRACE(round.types[0]);
    WriteConfig(std::string("<diskMaker><partitions>") +
                "<partition name=\"a\" capacity=\"16\" offset=\"2048\" type=\"" +
                round.types[0] + "\"/><partition name=\"b\" capacity=\"40\" type=\"" +
                round.types[1] + "\"/><partition name=\"c\" capacity=\"16\" type=\"" +
                round.types[2] + "\"/></partitions></diskMaker>");
    Make();
    ASSERT_EQ(rec_.Lines().back(), LineOf(u"WriteSucess")) << rec_.log.back();
    // Each in-place build reports its own progress, ending at 100.
    EXPECT_GE(rec_.Count("pos 100"), 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(Sector(plan.partitions[i].tableSector)[446 + 4], round.typeBytes[i]);
    }
    EXPECT_EQ(ReadBytes(Target(), plan.endSector * 512, cardSize_), tailBefore);
    if (!HaveCheckers()) GTEST_SKIP() << "dosfstools, e2fsprogs or blkid missing";
    for (int i = 0; i < 3; ++i) {
      const std::string part = dir_.Join("p" + std::to_string(i));
      ASSERT_TRUE(WriteFile(part, ReadBytes(Target(), plan.partitions[i].start * 512,
                                            plan.partitions[i].count * 512)));
      ExpectCleanVolume(part, round.kinds[i]);
    }
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
    std::string out = ToolOutput("sfdisk -d " + Quote(Target()));
    std::string found;
    for (size_t at = out.find("type="); at != std::string::npos; at = out.find("type=", at + 1)) {
      found += out.substr(at + 5, out.find_first_of(",\n", at) - at - 5) + " ";
    }
    return found;
  };
  EXPECT_EQ(types(), "6 f 83 ");

  // The update puts the ext4 image into the first partition: its MBR entry changes type.
  Update();
  EXPECT_EQ(rec_.Lines(), (Strings{LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"),
                                   LineOf(u"UpdateParToPhy"), LineOf(u"UpdateSucess")}));
  EXPECT_EQ(rec_.Count(PartitionTip(u"UpdateParTip", 1, "a", "4.00M", u"Fat16", "ext.img")), 1);
  EXPECT_EQ(types(), "83 f 83 ");
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
  WriteConfig(R"(<diskMaker><partitions><partition name="old" capacity="8" offset="4096"/>
    </partitions></diskMaker>)");
  MakeCard(16 * kMiB);
  Make();
  ASSERT_EQ(rec_.Lines().back(), LineOf(u"WriteSucess"));
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

  for (const int64_t at : {int64_t{0}, int64_t{512}, total / 4, total / 2, total * 3 / 4,
                           total - 512, total - 1}) {
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
    if (at == 0) {
      // Killed before its first write: the card is as it was.
      EXPECT_TRUE(ReadFile(Target()) == ReadFile(oldCard));
      continue;
    }
    std::string dump;
    EXPECT_NE(RunTool("sfdisk -d " + Quote(Target()), &dump), 0) << dump;
  }
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

// Two jobs on two cards at once, each in a process of its own (the engine runs one job per
// process), both held at their first write until both are there: nothing makes one wait for the
// other, a third job on a card in use is refused when it opens it, and nothing of one card
// reaches the other.
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
  const std::string before = ReadFile(Target());
  Make();
  EXPECT_EQ(rec_.Lines(), (Strings{LineOf(u"OpenDisk"), MsgOf(u"DiskInUse") + Target(),
                                   LineOf(u"OpenDiskFailed")}));
  EXPECT_TRUE(ReadFile(Target()) == before);
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

// Recover: the image goes to sector 0 and nothing past it changes; without an image, or
// with one that is missing, or on no disk, the recover fails and writes nothing.
TEST_F(JobTest, RecoverWritesTheImageAtTheStart) {
  MakeCard(4 * kMiB);
  const auto image = RandomBytes(kMiB + 100, 13);
  const std::string recoverImage = dir_.Join("recover.img");
  ASSERT_TRUE(WriteFile(recoverImage, image));
  Recover(recoverImage);
  ExpectRecoverLines();
  EXPECT_EQ(ReadBytes(Target(), 0, image.size()), image);
  // The image ends inside a sector: the rest of that sector keeps the card's bytes.
  EXPECT_EQ(CountPatternMismatches(Target(), image.size(), cardSize_), 0u);

  // A disk that ends inside a sector (an image file of odd size) and an image as large as
  // it: every whole sector is written, the part sector after them keeps its bytes.
  MakeCard(2 * kMiB + 100);
  const auto whole = RandomBytes(2 * kMiB + 100, 14);
  ASSERT_TRUE(WriteFile(recoverImage, whole));
  Recover(recoverImage);
  EXPECT_EQ(rec_.Lines().back(), LineOf(u"RecoverSucess"));
  EXPECT_EQ(ReadBytes(Target(), 0, 2 * kMiB),
            std::vector<uint8_t>(whole.begin(), whole.begin() + 2 * kMiB));
  EXPECT_EQ(CountPatternMismatches(Target(), 2 * kMiB, cardSize_), 0u);
  EXPECT_EQ(FileSize(Target()), static_cast<int64_t>(cardSize_));

  MakeCard(kMiB);
  const std::string before = ReadFile(Target());
  const Strings opened = {LineOf(u"OpenDisk"), LineOf(u"OpenDiskSuccess"), LineOf(u"RecoverTip")};
  Recover("  ");
  EXPECT_EQ(rec_.Lines(), (Strings{opened[0], opened[1], opened[2], LineOf(u"RecoverFailed")}));
  Recover(dir_.Join("missing.img"));
  EXPECT_EQ(rec_.Lines(), (Strings{opened[0], opened[1], opened[2],
                                   MsgOf(u"OpenFileFailed") + dir_.Join("missing.img"),
                                   LineOf(u"RecoverFailed")}));
  EXPECT_TRUE(ReadFile(Target()) == before);
  rec_.Clear();
  RemovePartitions(plat::FromUtf8(dir_.Join("nodisk")).c_str(), u"/x");
  EXPECT_EQ(rec_.Lines(), (Strings{LineOf(u"OpenDisk"),
                                   MsgOf(u"OpenDiskReason") + dir_.Join("nodisk") + ": " +
                                       Utf8(plat::ErrorText(ENOENT)),
                                   LineOf(u"OpenDiskFailed")}));
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

// Real loop devices: with partition scanning the kernel makes the new nodes itself; without
// it the device gets none, and nodes left from an older table, added by hand, are taken away.
TEST_F(JobTest, PartitionNodesOfLoopDevices) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to attach loop devices";
  for (const char* tool : {"losetup", "sfdisk", "partx"}) {
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="a" capacity="8" offset="2048" type=""/>
    <partition name="b" capacity="4" type=""/>
    <partition name="c" capacity="4" type=""/>
  </partitions></diskMaker>)");
  for (const bool scan : {true, false}) {
    SCOPED_TRACE(scan ? "with partition scanning" : "without partition scanning");
    MakeCard(32 * kMiB);
    AttachedLoop loop(Target(), {scan});
    if (loop.device().empty()) GTEST_SKIP() << "no loop device available";
    ASSERT_EQ(RunTool("printf 'start=4096,size=4096\\nstart=9000,size=2000\\n' | "
                      "sfdisk -q --no-reread --no-tell-kernel " +
                      Quote(loop.device()) + " && partx -a " + Quote(loop.device())),
              0);
    EXPECT_EQ(loop.Partitions(), (Strings{"p1", "p2"}));
    rec_.Clear();
    MakeDisk(WFolder().c_str(), plat::FromUtf8(loop.device()).c_str(), cardSize_);
    EXPECT_EQ(rec_.Lines().back(), LineOf(u"WriteSucess"));
    EXPECT_EQ(loop.Partitions(), scan ? (Strings{"p1", "p2", "p5", "p6"}) : Strings{});
  }
}

// Recover with the volume built on the card, over random data, on a card whose size is no
// whole number of sectors: the bytes after the last whole sector belong to no sector and stay.
TEST_F(JobTest, RecoverInPlaceMakesOneCleanFat32Volume) {
  const uint64_t size = 40 * kMiB + 300;
  MakeCard(size);
  ASSERT_TRUE(WriteFile(Target(), RandomBytes(size, 31)));
  const auto lastBytes = ReadBytes(Target(), size - 300, 300);
  rec_.Clear();
  RemovePartitionsInPlace(WTarget().c_str(), size, 0);
  ExpectRecoverLines();
  const std::vector<int32_t>& progress = rec_.progress;
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front(), 0);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(std::count(progress.begin(), progress.end(), 100), 1);
  EXPECT_EQ(ReadBytes(Target(), size - 300, 300), lastBytes);
  EXPECT_EQ(FileSize(Target()), static_cast<int64_t>(size));
  if (!HaveCheckers()) GTEST_SKIP() << "dosfstools, e2fsprogs or blkid missing";
  ExpectCleanVolume(Target(), "FAT32");
}

TEST(DiskNumber, TrimsThePhysicalDrivePrefix) {
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\physicaldrive12"), 12);
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\PHYSICALDRIVE3"), 0);  // compared case-sensitively
  EXPECT_EQ(DiskNumberOf(u"/dev/sdb"), 0);
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\physicaldrive99999999999"), 0);
}

}  // namespace
