// Whole jobs through the exports, on image files filled with a canary pattern, checked byte by
// byte and with tools we did not write (sfdisk, fsck.fat, e2fsck, blkid).
#include "DiskInfo.h"
#include "DiskLogicData.h"
#include "Layout.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "VolumeRelease.h"
#include "testing/TestDisk.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;
using namespace testsupport;

namespace {

constexpr uint64_t kMiB = 1 << 20;

// Every callback of a job, in order, as text.
struct Events {
  static std::vector<std::string> log;
  static void Output(const char16_t* line) { log.push_back("line " + plat::ToUtf8(line)); }
  static void ShowPro(int32_t a, int32_t b) {
    log.push_back("pro " + std::to_string(a) + " " + std::to_string(b));
  }
  static void ProPos(int32_t p) { log.push_back("pos " + std::to_string(p)); }
  static void CopyTip(const char16_t* a, const char16_t* b, const char16_t* c, const char16_t* d,
                      const char16_t* e) {
    std::string s = "tip";
    for (const char16_t* t : {a, b, c, d, e}) s += "|" + (t ? plat::ToUtf8(t) : std::string("~"));
    log.push_back(s);
  }
  static void Msg(char16_t* text) {
    log.push_back("msg " + plat::ToUtf8(text));
    std::free(text);
  }
  static void Time(int32_t running) { log.push_back("time " + std::to_string(running)); }

  static void Register() {
    log.clear();
    InitOutputFunc(&Output);
    InitShowProFunc(&ShowPro);
    InitSetProPosFunc(&ProPos);
    InitSetCopyTipFunc(&CopyTip);
    InitShowMsgFunc(&Msg);
    InitSetTimeFunc(&Time);
  }
  // The output lines and message boxes only, without progress.
  static std::vector<std::string> Lines() {
    std::vector<std::string> out;
    for (const auto& e : log) {
      if (e.rfind("line ", 0) == 0 || e.rfind("msg ", 0) == 0) out.push_back(e);
    }
    return out;
  }
  static int Count(const std::string& prefix) {
    int n = 0;
    for (const auto& e : log) n += e.rfind(prefix, 0) == 0;
    return n;
  }
};
std::vector<std::string> Events::log;

std::string Line(const char16_t* key) { return "line " + plat::ToUtf8(LocalText(key, 1)); }
std::string Msg(const char16_t* key) { return "msg " + plat::ToUtf8(LocalText(key, 0)); }

// A successful recover job: its four lines, and none of the callbacks of the passes.
void ExpectRecoverLines() {
  EXPECT_EQ(Events::Lines(),
            (std::vector<std::string>{Line(u"OpenDisk"), Line(u"OpenDiskSuccess"),
                                      Line(u"RecoverTip"), Line(u"RecoverSucess")}));
  EXPECT_EQ(Events::Count("pro "), 0);
  EXPECT_EQ(Events::Count("tip"), 0);
  EXPECT_EQ(Events::Count("time "), 0);
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t word = rng();
    std::memcpy(bytes.data() + i, &word, std::min<size_t>(8, n - i));
  }
  return bytes;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// Copies sectors [start, start + count) of an image into a file of their own.
void Extract(const std::string& image, uint64_t start, uint64_t count, const std::string& out) {
  std::ifstream in(image, std::ios::binary);
  std::ofstream o(out, std::ios::binary | std::ios::trunc);
  in.seekg(static_cast<std::streamoff>(start * 512));
  std::vector<char> buffer(kMiB);
  uint64_t left = count * 512;
  while (left > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
    in.read(buffer.data(), static_cast<std::streamsize>(n));
    o.write(buffer.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
}

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override { Events::Register(); }
  void TearDown() override { Events::Register(); }

  std::string Folder() const { return dir_.Join("fw"); }
  std::string Target() const { return dir_.Join("card.img"); }
  std::u16string WFolder() const { return plat::FromUtf8(Folder()); }
  std::u16string WTarget() const { return plat::FromUtf8(Target()); }

  void WriteConfig(const std::string& xml) {
    std::filesystem::create_directories(Folder());
    std::ofstream(Folder() + "/config.xml") << xml;
  }
  void WriteFirmwareFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(std::filesystem::path(Folder() + "/" + name).parent_path());
    ASSERT_TRUE(WriteFile(Folder() + "/" + name, bytes));
  }
  void MakeCard(uint64_t bytes) {
    cardSize_ = bytes;
    MakeImage(Target(), bytes, true);
  }
  void Make() { MakeDisk(WFolder().c_str(), WTarget().c_str(), cardSize_); }
  void Update() { UpdateDisk(WFolder().c_str(), WTarget().c_str(), cardSize_); }
  uint64_t Mismatches(uint64_t fromSector, uint64_t toSector) const {
    return CountPatternMismatches(Target(), fromSector * 512, toSector * 512);
  }

  TempDir dir_;
  uint64_t cardSize_ = 0;
};

// Partitions from images and unknown ones, two bin files: every byte where it belongs and
// every other byte still the canary.
TEST_F(JobTest, WriteJobPutsEveryByteInPlaceAndNothingElse) {
  const auto boot = RandomBytes(1 * kMiB + 300, 1);     // shorter than its partition
  const auto root = RandomBytes(3 * kMiB, 2);           // exactly as large as its partition
  const auto loader = RandomBytes(40000, 3);            // ends inside a sector
  const auto env = RandomBytes(512, 4);
  WriteFirmwareFile("boot.img", boot);
  WriteFirmwareFile("root.img", root);
  WriteFirmwareFile("bin/loader.bin", loader);
  WriteFirmwareFile("env.bin", env);
  WriteConfig(R"(<?xml version="1.0"?>
<diskMaker>
  <partitions>
    <partition name="boot" capacity="2" imagePath="boot.img" active="TRUE" offset="2048" type="fat32"/>
    <partition name="raw" capacity="1" imagePath="" active="false" offset="0" type=""/>
    <partition name="root" capacity="3" imagePath="root.img" active="false" offset="0" type="ext4"/>
  </partitions>
  <binFiles>
    <file path="bin\loader.bin" offset="64"/>
    <file path="env.bin" offset="1000"/>
  </binFiles>
</diskMaker>)");
  MakeCard(16 * kMiB);
  Make();

  EXPECT_EQ(Events::Lines(),
            (std::vector<std::string>{Line(u"OpenDisk"), Line(u"OpenDiskSuccess"),
                                      Line(u"WrtieParToPhy"), Line(u"WriteBinFileToPhy"),
                                      Line(u"WriteSucess")}));

  // The plan: boot at 2048 (4096 sectors), extended at 6145, raw's EBR there, root's EBR
  // after raw's 2048 sectors and gap.
  const uint64_t bootStart = 2048, bootCount = 4096;
  const uint64_t ext = bootStart + bootCount + 1;
  const uint64_t rawEbr = ext, rawStart = ext + 63, rawCount = 2048;
  const uint64_t rootEbr = rawStart + rawCount, rootStart = rootEbr + 63, rootCount = 6144;

  const auto mbr = ReadBytes(Target(), 0, 512);
  EXPECT_EQ(mbr[446], 0x80);
  EXPECT_EQ(mbr[446 + 4], 0x00);  // an image is typed by what it holds: random data is unknown
  EXPECT_EQ(Le32(mbr, 446 + 8), bootStart);
  EXPECT_EQ(Le32(mbr, 446 + 12), bootCount);
  EXPECT_EQ(mbr[462 + 4], 0x0F);
  EXPECT_EQ(Le32(mbr, 462 + 8), ext);
  EXPECT_EQ(Le32(mbr, 462 + 12), rawCount + 63 + rootCount + 63);
  for (size_t i = 478; i < 510; ++i) ASSERT_EQ(mbr[i], 0) << i;
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);

  const auto ebr1 = ReadBytes(Target(), rawEbr * 512, 512);
  EXPECT_EQ(ebr1[446 + 4], 0x00);
  EXPECT_EQ(Le32(ebr1, 446 + 8), 63u);
  EXPECT_EQ(Le32(ebr1, 446 + 12), rawCount);
  EXPECT_EQ(ebr1[462 + 4], 0x05);
  EXPECT_EQ(Le32(ebr1, 462 + 8), rootEbr - ext);
  EXPECT_EQ(Le32(ebr1, 462 + 12), rootCount + 63);
  for (size_t i = 0; i < 446; ++i) ASSERT_EQ(ebr1[i], 0) << i;  // no boot code in an EBR
  const auto ebr2 = ReadBytes(Target(), rootEbr * 512, 512);
  EXPECT_EQ(ebr2[446 + 4], 0x00);  // random data is no file system the builder knows
  for (size_t i = 462; i < 510; ++i) ASSERT_EQ(ebr2[i], 0) << i;  // the chain ends here

  EXPECT_EQ(ReadBytes(Target(), bootStart * 512, boot.size()), boot);
  EXPECT_EQ(ReadBytes(Target(), rootStart * 512, root.size()), root);
  EXPECT_EQ(ReadBytes(Target(), 64 * 512, loader.size()), loader);
  EXPECT_EQ(ReadBytes(Target(), 1000 * 512, env.size()), env);
  // The loader is padded with zeros to the end of its last sector.
  const auto pad = ReadBytes(Target(), 64 * 512 + loader.size(), 512 - loader.size() % 512);
  EXPECT_EQ(pad, std::vector<uint8_t>(pad.size(), 0));

  // Untouched: between the MBR and the loader, after the loader, around env.bin, the rest of
  // boot after its image (and its padding sector), the sector before the extended partition,
  // the 62 spare sectors after each EBR, the unknown partition, and the end of the card.
  const uint64_t loaderEnd = 64 + (loader.size() + 511) / 512;
  const uint64_t bootImageEnd = bootStart + (boot.size() + 511) / 512;
  EXPECT_EQ(Mismatches(1, 64), 0u);
  EXPECT_EQ(Mismatches(loaderEnd, 1000), 0u);
  EXPECT_EQ(Mismatches(1001, bootStart), 0u);
  EXPECT_EQ(Mismatches(bootImageEnd, ext), 0u);
  EXPECT_EQ(Mismatches(rawEbr + 1, rootEbr), 0u);
  EXPECT_EQ(Mismatches(rootEbr + 1, rootStart), 0u);
  EXPECT_EQ(Mismatches(rootStart + rootCount, cardSize_ / 512), 0u);

  if (!HaveTool("sfdisk")) GTEST_SKIP() << "sfdisk is not installed";
  std::string sfdisk;
  ASSERT_EQ(RunTool("sfdisk -d '" + Target() + "'", &sfdisk), 0) << sfdisk;
  for (std::string line : {"label: dos", "unit: sectors"}) {
    EXPECT_NE(sfdisk.find(line), std::string::npos) << sfdisk;
  }
  auto has = [&](const std::string& s) {
    EXPECT_NE(sfdisk.find(s), std::string::npos) << s << "\n" << sfdisk;
  };
  has("card.img1 : start=        2048, size=        4096, type=0, bootable");
  has("card.img2 : start=        6145, size=        8318, type=f");
  has("card.img5 : start=        6208, size=        2048, type=0");
  has("card.img6 : start=        8319, size=        6144, type=0");
}

}  // namespace

namespace {

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
    Events::Register();
    Make();
    ASSERT_EQ(Events::Lines().back(), Line(u"WriteSucess")) << Events::log.back();
    // Each in-place build reports its own progress, ending at 100.
    EXPECT_GE(Events::Count("pos 100"), 3);
    for (int i = 0; i < 3; ++i) {
      const uint64_t table = i == 0 ? 0 : plan.partitions[i].tableSector;
      EXPECT_EQ(ReadBytes(Target(), table * 512, 512)[446 + 4], round.typeBytes[i]);
    }
    EXPECT_EQ(ReadBytes(Target(), plan.endSector * 512, cardSize_), tailBefore);
    if (!HaveCheckers()) GTEST_SKIP() << "dosfstools, e2fsprogs or blkid missing";
    for (int i = 0; i < 3; ++i) {
      const std::string part = dir_.Join("p" + std::to_string(i));
      Extract(Target(), plan.partitions[i].start, plan.partitions[i].count, part);
      ExpectCleanVolume(part, round.kinds[i]);
    }
  }
}

// A configuration whose capacities fit the card but not with the table's own sectors: the
// whole layout is judged first, so nothing at all is written.
TEST_F(JobTest, LayoutThatDoesNotFitWritesNothing) {
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="a" capacity="8" offset="2048" type=""/>
    <partition name="b" capacity="7" type=""/>
  </partitions></diskMaker>)");
  MakeCard(16 * kMiB);  // 1 MiB + 8 + 7 MiB = 16 MiB exactly; the EBR gap does not fit
  const uint64_t before = HashFile(Target());
  Make();
  EXPECT_EQ(Events::Lines(), (std::vector<std::string>{Msg(u"DiskFull")}));
  EXPECT_EQ(HashFile(Target()), before);
}

// The callbacks of a write job in order: the progress group around each pass, a copy tip per
// item, the clock around every copy.
TEST_F(JobTest, CallbackSequenceOfAWriteJob) {
  WriteFirmwareFile("p.img", RandomBytes(1000, 5));
  WriteFirmwareFile("l.bin", RandomBytes(100, 6));
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="only" capacity="1" imagePath="p.img" offset="2048" type="ext4"/>
  </partitions><binFiles><file path="l.bin" offset="100"/></binFiles></diskMaker>)");
  MakeCard(4 * kMiB);
  Make();
  const std::string tip1 = "tip|" + plat::ToUtf8(LocalText(u"WriteParTip", 0)).replace(
      plat::ToUtf8(LocalText(u"WriteParTip", 0)).find("%d"), 2, "1");
  std::vector<std::string> expected = {
      Line(u"OpenDisk"), Line(u"OpenDiskSuccess"), "pro 1 1", Line(u"WrtieParToPhy")};
  ASSERT_GE(Events::log.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(Events::log.begin(), Events::log.begin() + 4), expected);
  EXPECT_EQ(Events::log[4].rfind(tip1 + "|", 0), 0u) << Events::log[4];
  EXPECT_NE(Events::log[4].find("|" + plat::ToUtf8(LocalText(u"ParName", 0)) + "only|"), std::string::npos);
  EXPECT_NE(Events::log[4].find("|" + plat::ToUtf8(LocalText(u"ParSize", 0)) + "1.00M|"), std::string::npos);
  EXPECT_NE(Events::log[4].find("|" + plat::ToUtf8(LocalText(u"ParType", 0)) + "Ext4|"), std::string::npos);
  EXPECT_NE(Events::log[4].find("|" + plat::ToUtf8(LocalText(u"ImgFile", 0)) + "p.img"), std::string::npos);
  EXPECT_EQ(Events::log[5], "time 1");
  EXPECT_EQ(Events::log[6], "pos 0");
  EXPECT_EQ(Events::log[7], "pos 100");  // 1000 bytes plus 24 bytes of padding: never past 100
  EXPECT_EQ(Events::log[8], "time 0");
  EXPECT_EQ(Events::log[9], "pro 0 0");
  EXPECT_EQ(Events::log[10], Line(u"WriteBinFileToPhy"));
  EXPECT_EQ(Events::log[11], "pro 1 0");
  EXPECT_EQ(Events::log[12].rfind("tip|", 0), 0u);
  EXPECT_NE(Events::log[12].find("l.bin|~|~|~|~"), std::string::npos) << Events::log[12];
  EXPECT_EQ(Events::log[13], "time 1");
  EXPECT_EQ(Events::log.back(), Line(u"WriteSucess"));
  EXPECT_EQ(Events::Count("msg "), 0);
}

}  // namespace

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The three partitions of 64, 128 and 256 MiB at sector 8,192, as sfdisk reads them back.
TEST_F(JobTest, GoldenPartitionTable) {
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="a" capacity="64" offset="8192" active="true"/>
    <partition name="b" capacity="128"/>
    <partition name="c" capacity="256"/>
  </partitions></diskMaker>)");
  cardSize_ = 512 * kMiB;
  MakeImage(Target(), cardSize_, false);
  Make();
  ASSERT_EQ(Events::Lines().back(), Line(u"WriteSucess"));
  if (!HaveTool("sfdisk")) GTEST_SKIP() << "sfdisk is not installed";
  std::string dump = ToolOutput("cd '" + dir_.path() + "' && sfdisk -d card.img");
  EXPECT_EQ(dump, ReadText(std::string(BRINDLE_SOURCE_DIR) +
                           "/engine/testdata/golden/three-partitions.sfdisk"));
}

// Update: only the named partitions' contents and their own type bytes change, at the place
// and size found on the card.
TEST_F(JobTest, UpdateRewritesOnlyTheNamedPartitions) {
  WriteFirmwareFile("a.img", RandomBytes(300 * 1024, 7));
  WriteFirmwareFile("b.img", RandomBytes(200 * 1024, 8));
  WriteFirmwareFile("c.img", RandomBytes(100 * 1024, 9));
  WriteFirmwareFile("b2.img", RandomBytes(500 * 1024, 10));
  WriteFirmwareFile("env.bin", RandomBytes(700, 11));
  WriteConfig(R"(<diskMaker>
  <partitions>
    <partition name="a" capacity="1" imagePath="a.img" offset="2048"/>
    <partition name="b" capacity="1" imagePath="b.img"/>
    <partition name="c" capacity="1" imagePath="c.img"/>
  </partitions>
  <update>
    <partitions>
      <partition name="b" imagePath="b2.img"/>
      <partition name="nosuch" imagePath=""/>
    </partitions>
    <binFiles><file path="env.bin" offset="1500"/></binFiles>
  </update>
</diskMaker>)");
  MakeCard(8 * kMiB);
  Make();
  ASSERT_EQ(Events::Lines().back(), Line(u"WriteSucess"));
  // nosuch names no partition: validation would refuse the update, so drop it.
  WriteConfig(ReadText(Folder() + "/config.xml").replace(
      ReadText(Folder() + "/config.xml").find("<partition name=\"nosuch\" imagePath=\"\"/>"),
      std::string("<partition name=\"nosuch\" imagePath=\"\"/>").size(), ""));

  const std::string before = dir_.Join("before.img");
  std::filesystem::copy_file(Target(), before);
  Events::Register();
  Update();
  EXPECT_EQ(Events::Lines(),
            (std::vector<std::string>{Line(u"OpenDisk"), Line(u"OpenDiskSuccess"),
                                      Line(u"UpdateParToPhy"), Line(u"UpdateBinToPhy"),
                                      Line(u"UpdateSucess")}));

  std::vector<PartitionSpec> specs(3);
  specs[0].offset = 2048;
  for (auto& p : specs) p.capacityBytes = kMiB;
  const LayoutPlan plan = PlanLayout(specs);
  const uint64_t bStart = plan.partitions[1].start;
  const auto b2 = ReadBytes(Folder() + "/b2.img", 0, 500 * 1024);
  EXPECT_EQ(ReadBytes(Target(), bStart * 512, b2.size()), b2);
  EXPECT_EQ(ReadBytes(Target(), 1500 * 512, 700), ReadBytes(Folder() + "/env.bin", 0, 700));

  // Every sector outside b's contents and env.bin is as it was, table sectors included.
  const auto old = ReadBytes(before, 0, cardSize_);
  const auto now = ReadBytes(Target(), 0, cardSize_);
  ASSERT_EQ(old.size(), now.size());
  for (uint64_t s = 0; s < cardSize_ / 512; ++s) {
    if (s >= bStart && s < bStart + 1000) continue;  // b2.img: 1,000 sectors
    if (s >= 1500 && s < 1502) continue;             // env.bin: 700 bytes, two sectors
    ASSERT_EQ(std::memcmp(&old[s * 512], &now[s * 512], 512), 0) << "sector " << s;
  }
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
  ASSERT_EQ(Events::Lines().back(), Line(u"WriteSucess"));
  const std::string oldCard = dir_.Join("old.img");
  std::filesystem::copy_file(Target(), oldCard);
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="boot" capacity="2" imagePath="boot.img" offset="2048" active="true"/>
    <partition name="data" capacity="4" type="ext4"/>
    <partition name="rootfs" capacity="3" imagePath="rootfs.img"/>
  </partitions><binFiles><file path="loader.bin" offset="64"/></binFiles></diskMaker>)");

  // The whole job, counted.
  FaultyDiskIo counter;
  CDiskLogicData::SetDefaultIo(&counter);
  Make();
  CDiskLogicData::SetDefaultIo(nullptr);
  ASSERT_EQ(Events::Lines().back(), Line(u"WriteSucess"));
  const int64_t total = static_cast<int64_t>(counter.bytesWritten);
  std::string whole;
  ASSERT_EQ(RunTool("sfdisk -d " + Quote(Target()), &whole), 0) << whole;

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
      EXPECT_EQ(HashFile(Target()), HashFile(oldCard));
      continue;
    }
    std::string dump;
    EXPECT_NE(RunTool("sfdisk -d " + Quote(Target()), &dump), 0) << dump;
  }
}

// The system's disk I/O, held at its first write until the test lets it go on.
class HeldIo final : public PassThroughIo {
 public:
  HeldIo(int held, int go) : held_(held), go_(go) {}
  ssize_t WriteAt(int fd, const void* buffer, size_t count, int64_t offset) override {
    if (!released_) {
      char c = 1;
      if (write(held_, &c, 1) != 1 || read(go_, &c, 1) != 1) _exit(3);
      released_ = true;
    }
    return PosixDiskIo().WriteAt(fd, buffer, count, offset);
  }

 private:
  int held_, go_;
  bool released_ = false;
};

// Two jobs on one image file at once: the second is refused when it opens the image, and the
// first goes on to write the card.
TEST_F(JobTest, TwoJobsOnOneImageFileAtOnce) {
  WriteFirmwareFile("boot.img", RandomBytes(kMiB, 31));
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="boot" capacity="2" imagePath="boot.img" offset="2048"/>
  </partitions></diskMaker>)");
  MakeCard(8 * kMiB);
  int held[2], go[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t first = fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    HeldIo io(held[1], go[0]);
    CDiskLogicData::SetDefaultIo(&io);
    Events::Register();
    Make();
    _exit(Events::Lines().back() == Line(u"WriteSucess") ? 0 : 1);
  }
  char c = 0;
  ASSERT_EQ(read(held[0], &c, 1), 1);  // the first job has the image open and is writing
  const uint64_t before = HashFile(Target());
  Make();
  EXPECT_EQ(Events::Lines(),
            (std::vector<std::string>{
                Line(u"OpenDisk"), "msg " + plat::ToUtf8(LocalText(u"DiskInUse", 0)) + Target(),
                Line(u"OpenDiskFailed")}));
  EXPECT_EQ(HashFile(Target()), before);
  ASSERT_EQ(write(go[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(first, &status, 0), first);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadBytes(Target(), 2048 * 512, kMiB), ReadBytes(Folder() + "/boot.img", 0, kMiB));
  for (int fd : {held[0], held[1], go[0], go[1]}) close(fd);
}

// An update only on the card this firmware made: a partition that cannot be found where the
// chain of table sectors should lead is refused with what the firmware wanted, and nothing
// changes; on the card as written the update goes ahead. (The corpus holds cards of other
// layouts.)
TEST_F(JobTest, UpdateOfACardWhosePartitionCannotBeFoundWritesNothing) {
  WriteConfig(R"(<diskMaker>
  <partitions><partition name="a" capacity="1" offset="2048"/><partition name="b" capacity="2"/>
  </partitions>
  <update><partitions><partition name="b" type="ext4"/></partitions></update>
</diskMaker>)");
  MakeCard(8 * kMiB);
  Make();
  ASSERT_EQ(Events::Lines().back(), Line(u"WriteSucess"));
  const std::vector<uint8_t> mbr = ReadBytes(Target(), 0, 512);
  auto putMbr = [&](const std::vector<uint8_t>& sector) {
    std::fstream f(Target(), std::ios::in | std::ios::out | std::ios::binary);
    f.write(reinterpret_cast<const char*>(sector.data()), 512);
  };
  std::vector<uint8_t> farLink = mbr;
  farLink[462 + 10] = 0x01;  // the extended partition at sector 65,536: past the card's end
  std::vector<uint8_t> noLink = mbr;
  std::fill(noLink.begin() + 462, noLink.begin() + 478, 0);
  const std::string report =
      "msg " + plat::ToUtf8(LocalText(u"UpdateLayoutErr", 0) + u"\n" + LocalText(u"Par", 0) +
                            u" b:" + LocalText(u"LayoutDiffers", 0) + LocalText(u"OnCard", 0) +
                            u"\u2013" + LocalText(u"InFirmware", 0) + u"4160 / 4096\n");
  for (const auto& sector : {farLink, noLink}) {
    putMbr(sector);
    const uint64_t before = HashFile(Target());
    Events::Register();
    Update();
    EXPECT_EQ(Events::Lines(), (std::vector<std::string>{Line(u"OpenDisk"),
                                                         Line(u"OpenDiskSuccess"), report,
                                                         Line(u"UpdateFailed")}));
    EXPECT_EQ(HashFile(Target()), before);
  }
  putMbr(mbr);
  Events::Register();
  Update();
  EXPECT_EQ(Events::Lines().back(), Line(u"UpdateSucess"));
}

// Recover: the image goes to sector 0 and nothing past it changes.
TEST_F(JobTest, RecoverWritesTheImageAtTheStart) {
  MakeCard(4 * kMiB);
  const auto image = RandomBytes(kMiB + 100, 13);
  ASSERT_TRUE(WriteFile(dir_.Join("recover.img"), image));
  RemovePartitions(WTarget().c_str(), plat::FromUtf8(dir_.Join("recover.img")).c_str());
  ExpectRecoverLines();
  EXPECT_EQ(ReadBytes(Target(), 0, image.size()), image);
  // The image ends inside a sector: the rest of that sector keeps the card's bytes.
  EXPECT_EQ(Mismatches(0, 0), 0u);
  EXPECT_EQ(CountPatternMismatches(Target(), image.size(), cardSize_), 0u);

  // A disk that ends inside a sector (an image file of odd size) and an image as large as
  // it: every whole sector is written, the part sector after them keeps its bytes.
  MakeCard(2 * kMiB + 100);
  const auto whole = RandomBytes(2 * kMiB + 100, 14);
  ASSERT_TRUE(WriteFile(dir_.Join("recover.img"), whole));
  Events::Register();
  RemovePartitions(WTarget().c_str(), plat::FromUtf8(dir_.Join("recover.img")).c_str());
  EXPECT_EQ(Events::Lines().back(), Line(u"RecoverSucess"));
  EXPECT_EQ(ReadBytes(Target(), 0, 2 * kMiB),
            std::vector<uint8_t>(whole.begin(), whole.begin() + 2 * kMiB));
  EXPECT_EQ(CountPatternMismatches(Target(), 2 * kMiB, cardSize_), 0u);
  EXPECT_EQ(FileSize(Target()), static_cast<int64_t>(cardSize_));

  Events::Register();
  RemovePartitions(WTarget().c_str(), plat::FromUtf8(dir_.Join("missing.img")).c_str());
  EXPECT_EQ(Events::Lines(),
            (std::vector<std::string>{
                Line(u"OpenDisk"), Line(u"OpenDiskSuccess"), Line(u"RecoverTip"),
                "msg " + plat::ToUtf8(LocalText(u"OpenFileFailed", 0)) + dir_.Join("missing.img"),
                Line(u"RecoverFailed")}));
  Events::Register();
  RemovePartitions(plat::FromUtf8(dir_.Join("nodisk")).c_str(), u"/x");
  EXPECT_EQ(Events::Lines(),
            (std::vector<std::string>{
                Line(u"OpenDisk"),
                "msg " + plat::ToUtf8(LocalText(u"OpenDiskReason", 0)) + dir_.Join("nodisk") +
                    ": " + plat::ToUtf8(plat::ErrorText(ENOENT)),
                Line(u"OpenDiskFailed")}));
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
      uses = plat::ToUtf8(SystemUseText(list));
      break;
    }
  }
  if (disk.empty()) GTEST_SKIP() << "no fixed disk of the running system found";
  std::filesystem::create_directories(Folder());
  const std::u16string path = plat::FromUtf8(disk);
  const std::string refusal = Msg(u"SystemDisk") + uses;
  MakeDisk(WFolder().c_str(), path.c_str(), 1ull << 30);
  UpdateDisk(WFolder().c_str(), path.c_str(), 1ull << 30);
  RemovePartitions(path.c_str(), plat::FromUtf8(dir_.Join("none.img")).c_str());
  RemovePartitionsInPlace(path.c_str(), 0, 0);
  EXPECT_EQ(Events::Lines(),
            (std::vector<std::string>{refusal, Line(u"WriteFailed"), refusal,
                                      Line(u"UpdateFailed"), refusal, Line(u"RecoverFailed"),
                                      refusal, Line(u"RecoverFailed")}));
}

// A loop device attached for one test, detached at its end whatever happens.
class AttachedLoop {
 public:
  AttachedLoop(const std::string& image, bool partitionScan) {
    if (RunTool("losetup -f --show " + std::string(partitionScan ? "-P " : "") + Quote(image),
                &device_) != 0) {
      device_.clear();
    }
    while (!device_.empty() && std::isspace(static_cast<unsigned char>(device_.back()))) {
      device_.pop_back();
    }
  }
  ~AttachedLoop() {
    if (!device_.empty()) RunTool("losetup -d " + Quote(device_));
  }
  const std::string& device() const { return device_; }
  // The partitions the kernel shows for the device ("p1"), each with its node.
  std::vector<std::string> Partitions() const {
    const std::string name = device_.substr(device_.rfind('/') + 1);
    std::vector<std::string> parts;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/block/" + name)) {
      const std::string part = entry.path().filename().string();
      if (part.rfind(name + "p", 0) != 0) continue;
      parts.push_back(part.substr(name.size()));
      EXPECT_TRUE(std::filesystem::exists("/dev/" + part)) << part;
    }
    std::sort(parts.begin(), parts.end());
    return parts;
  }

 private:
  std::string device_;
};

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
  using Names = std::vector<std::string>;
  for (const bool scan : {true, false}) {
    SCOPED_TRACE(scan ? "with partition scanning" : "without partition scanning");
    MakeCard(32 * kMiB);
    AttachedLoop loop(Target(), scan);
    if (loop.device().empty()) GTEST_SKIP() << "no loop device available";
    ASSERT_EQ(RunTool("printf 'start=4096,size=4096\\nstart=9000,size=2000\\n' | "
                      "sfdisk -q --no-reread --no-tell-kernel " +
                      Quote(loop.device()) + " && partx -a " + Quote(loop.device())),
              0);
    EXPECT_EQ(loop.Partitions(), (Names{"p1", "p2"}));
    Events::Register();
    MakeDisk(WFolder().c_str(), plat::FromUtf8(loop.device()).c_str(), cardSize_);
    EXPECT_EQ(Events::Lines().back(), Line(u"WriteSucess"));
    EXPECT_EQ(loop.Partitions(), scan ? (Names{"p1", "p2", "p5", "p6"}) : Names{});
  }
}

// Recover with the volume built on the card: over old file systems and random data, on a
// card whose size is no whole number of sectors, with and without clearing the rest.
TEST_F(JobTest, RecoverInPlaceMakesOneCleanFat32Volume) {
  const uint64_t size = 40 * kMiB + 300;
  MakeCard(size);
  ASSERT_TRUE(WriteFile(Target(), RandomBytes(size, 31)));
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="a" capacity="16" offset="2048" type="ext4"/>
    <partition name="b" capacity="16" type="fat16"/>
  </partitions></diskMaker>)");
  Make();
  ASSERT_EQ(Events::Lines().back(), Line(u"WriteSucess"));
  const auto lastBytes = ReadBytes(Target(), size - 300, 300);

  for (const int32_t options : {0, PLINTH_RECOVER_WIPE}) {
    SCOPED_TRACE(options);
    Events::Register();
    RemovePartitionsInPlace(WTarget().c_str(), size, options);
    ExpectRecoverLines();
    std::vector<int> progress;
    for (const auto& e : Events::log) {
      if (e.rfind("pos ", 0) == 0) progress.push_back(std::stoi(e.substr(4)));
    }
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(std::count(progress.begin(), progress.end(), 100), 1);
    // The bytes after the last whole sector belong to no sector and stay.
    EXPECT_EQ(ReadBytes(Target(), size - 300, 300), lastBytes);
    EXPECT_EQ(testsupport::FileSize(Target()), static_cast<int64_t>(size));

    const auto boot = ReadBytes(Target(), 0, 512);
    const uint64_t dataStart = (uint64_t(boot[14] | boot[15] << 8) + 2 * Le32(boot, 36)) * 512;
    const uint64_t rootEnd = dataStart + boot[13] * 512;
    const auto rest = ReadBytes(Target(), rootEnd, size / 512 * 512 - kMiB - rootEnd);
    const bool restZero = std::all_of(rest.begin(), rest.end(), [](uint8_t b) { return b == 0; });
    // Free clusters keep their old bytes, unless the card was cleared.
    EXPECT_EQ(restZero, options == PLINTH_RECOVER_WIPE);
    if (!HaveCheckers()) GTEST_SKIP() << "dosfstools, e2fsprogs or blkid missing";
    ExpectCleanVolume(Target(), "FAT32");
  }

  // A disk too small for FAT32: reported, and nothing written.
  const std::string tiny = dir_.Join("tiny.img");
  ASSERT_TRUE(WriteFile(tiny, RandomBytes(4 * kMiB, 32)));
  const uint64_t before = HashFile(tiny);
  Events::Register();
  RemovePartitionsInPlace(plat::FromUtf8(tiny).c_str(), 4 * kMiB, 0);
  EXPECT_EQ(Events::Lines(),
            (std::vector<std::string>{Line(u"OpenDisk"), Line(u"OpenDiskSuccess"),
                                      Line(u"RecoverTip"), Msg(u"CreateDiskFailed"),
                                      Line(u"RecoverFailed")}));
  EXPECT_EQ(HashFile(tiny), before);
}

// A partition image with holes, written over random data to an image file and to a loop
// device: the partition reads back as the image, holes as zeros.
TEST_F(JobTest, SparseImagesReadBackIdenticalWhereTheCardHeldRandomData) {
  const std::string image = Folder() + "/sparse.img";
  std::filesystem::create_directories(Folder());
  MakeImage(image, 8 * kMiB + 1000, false);
  ASSERT_TRUE(testsupport::WriteBytesAt(image, 12345, RandomBytes(70000, 41)));
  ASSERT_TRUE(testsupport::WriteBytesAt(image, 5 * kMiB, RandomBytes(4096, 42)));
  WriteConfig(R"(<diskMaker><partitions>
    <partition name="data" capacity="9" imagePath="sparse.img" offset="2048" type=""/>
  </partitions></diskMaker>)");
  const uint64_t size = 12 * kMiB;
  std::vector<std::string> targets = {Target()};
  const std::string backing = dir_.Join("loop.img");
  ASSERT_TRUE(WriteFile(backing, RandomBytes(size, 43)));
  std::optional<AttachedLoop> loop;
  if (geteuid() == 0 && HaveTool("losetup")) loop.emplace(backing, false);
  if (loop && !loop->device().empty()) targets.push_back(loop->device());
  ASSERT_TRUE(WriteFile(Target(), RandomBytes(size, 44)));
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    Events::Register();
    MakeDisk(WFolder().c_str(), plat::FromUtf8(target).c_str(), size);
    ASSERT_EQ(Events::Lines().back(), Line(u"WriteSucess"));
    const std::string cmp = "cmp -n " + std::to_string(8 * kMiB + 1000) + " -i " +
                            std::to_string(2048 * 512) + ":0 " + Quote(target) + " " +
                            Quote(image);
    std::string out;
    EXPECT_EQ(RunTool(cmp, &out), 0) << out;
  }
  if (targets.size() == 1) GTEST_SKIP() << "no loop device (needs root): the image file alone";
}

TEST(DiskNumber, TrimsThePhysicalDrivePrefix) {
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\physicaldrive12"), 12);
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\physicaldrive3"), 3);
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\PHYSICALDRIVE3"), 0);  // compared case-sensitively
  EXPECT_EQ(DiskNumberOf(u"/dev/sdb"), 0);
  EXPECT_EQ(DiskNumberOf(u"\\\\.\\physicaldrive99999999999"), 0);
}

}  // namespace
