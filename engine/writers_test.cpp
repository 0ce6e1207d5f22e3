// Partition writers and passes below the job level: the block-I/O target's alignment and
// progress, the fill rules per type, failure injection in every kind of sector a pass writes,
// and a boot of a written card in an emulator.
#include "DiskLogicData.h"
#include "ImageCommnEx.h"
#include "Layout.h"
#include "LocalText.h"
#include "Passes.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "TextUtil.h"
#include "testing/TestDisk.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace testing_support;
using namespace testsupport;

namespace {

constexpr uint64_t kMiB = 1 << 20;

// An open disk on a canary image, made the job's disk, with the given plan.
class PassTest : public ::testing::Test {
 protected:
  void Open(uint64_t size) {
    size_ = size;
    MakeImage(Target(), size, true);
    DiskJob.diskSize = size;
    DiskJob.disk = new CDiskLogicData();
    ASSERT_EQ(DiskJob.disk->OpenDisk(plat::FromUtf8(Target())), 1);
    DiskJob.disk->SetTotalSectors(size);
  }
  void TearDown() override {
    DiskJob.ResetJob();
    DiskJob.updatePartitions.clear();
    DiskJob.updateBinFiles.clear();
    DiskJob.partitionCount = 0;
  }
  // The job's disk on a 1 MiB canary image, with a volume being built at `startSector`.
  CDiskLogicData& Volume(uint32_t startSector, int64_t size) {
    Open(kMiB);
    DiskJob.disk->fsStartSector = startSector;
    DiskJob.disk->fsSize = size;
    DiskJob.disk->fsProgressMark = 0;
    return *DiskJob.disk;
  }
  std::string Target() const { return dir_.Join("card.img"); }
  std::u16string File(const std::string& name, const std::vector<uint8_t>& bytes) {
    EXPECT_TRUE(WriteFile(dir_.Join(name), bytes));
    return plat::FromUtf8(dir_.Join(name));
  }
  static PartitionSpec Partition(int64_t bytes, std::u16string image, int32_t type = 0,
                                 int32_t offset = 0) {
    PartitionSpec p;
    p.name = u"p";
    p.capacityBytes = bytes;
    p.imagePath = std::move(image);
    p.type = type;
    p.offset = offset;
    return p;
  }

  TempDir dir_;
  uint64_t size_ = 0;
  JobRecorder recorder_;
};

TEST_F(PassTest, TargetWidensMisalignedWritesToWholeSectors) {
  Volume(4, 64 * 1024);
  CImageCommnEx target;
  const auto data = RandomBytes(100, 1);
  // 100 bytes at partition offset 1,000: sectors covering bytes 512..1,535 are rewritten.
  EXPECT_EQ(target.WriteBlock(data.data(), 100, 1000), 1024u);
  const uint64_t base = 4 * 512;
  EXPECT_EQ(ReadBytes(Target(), base + 1000, 100), data);
  EXPECT_EQ(CountPatternMismatches(Target(), 0, base + 1000), 0u);
  EXPECT_EQ(CountPatternMismatches(Target(), base + 1100, kMiB), 0u);
  // Reads follow the same rules. (Aligned requests are every volume build's, checked by fsck.)
  std::vector<uint8_t> back(100);
  EXPECT_EQ(target.ReadBlock(back.data(), 100, 1000), 1024u);
  EXPECT_EQ(back, data);
  EXPECT_FALSE(target.failed());
}

TEST_F(PassTest, TargetProgressNeverReaches100AndIgnoresRewrites) {
  CDiskLogicData& disk = Volume(0, 8192);
  CImageCommnEx target;
  const auto block = RandomBytes(4096, 3);
  target.WriteBlock(block.data(), 4096, 0);     // offset 0 is not above the mark
  target.WriteBlock(block.data(), 2048, 2048);  // (2048 + 2048) / 8192 = 50
  target.WriteBlock(block.data(), 512, 1024);   // a rewrite below the mark
  target.WriteBlock(block.data(), 4096, 4096);  // would be 100: sent as 99
  EXPECT_EQ(JobRecorder::progress, (std::vector<int32_t>{50, 99}));
  EXPECT_EQ(disk.fsProgressMark, 4096);
  // Above the mark, but its (4608 + 512) / 8192 = 62 would move the bar back.
  target.WriteBlock(block.data(), 512, 4608);
  EXPECT_EQ(JobRecorder::progress, (std::vector<int32_t>{50, 99}));
}

TEST_F(PassTest, FillRulesPerType) {
  Open(8 * kMiB);
  CDiskLogicData& disk = *DiskJob.disk;
  const std::string before = ReadFile(Target());
  // Unknown type without an image: nothing to do, nothing written.
  EXPECT_EQ(disk.CreateEmptyVolume(2048, kMiB, kTypeUnknown), 1);
  // ext3 cannot be made empty: a failure, without a message.
  EXPECT_EQ(disk.CreateEmptyVolume(2048, kMiB, kTypeExt3), 0);
  EXPECT_TRUE(JobRecorder::reports.empty());
  // A size the builder cannot make a volume of.
  EXPECT_EQ(disk.CreateEmptyVolume(2048, 64 * 1024, kTypeFat32), 0);
  EXPECT_EQ(JobRecorder::reports, std::vector<std::u16string>{LocalText(u"CreateDiskFailed", 0)});
  // An empty path is no image.
  EXPECT_EQ(disk.CopyImageToPartition(2048, u"  ", kMiB), 0);
  EXPECT_TRUE(ReadFile(Target()) == before);
}

TEST_F(PassTest, BinFilesWithoutPartitionsMayReachTheEndOfTheDisk) {
  Open(kMiB);
  const auto tail = RandomBytes(4096, 6);
  BinFileSpec bin;
  bin.path = File("tail.bin", tail);
  bin.offset = static_cast<int32_t>((kMiB - 4096) / 512);
  BinFileSpec blank;
  blank.path = u"   ";  // skipped without a word
  blank.offset = 1;
  DiskJob.binFiles = {blank, bin};
  EXPECT_EQ(DiskJob.WriteBinFiles(), 1);
  EXPECT_EQ(ReadBytes(Target(), kMiB - 4096, 4096), tail);
  EXPECT_EQ(CountPatternMismatches(Target(), 0, kMiB - 4096), 0u);
  EXPECT_TRUE(JobRecorder::reports.empty());
  // Its tip numbers the file by its place in the list, skipped entries included.
  EXPECT_EQ(JobRecorder::Count("tip|" +
                               plat::ToUtf8(FormatWithInt(LocalText(u"WriteBinFileTip", 0), 2)) +
                               "tail.bin|~|~|~|~"),
            1);
}

// Every kind of sector a pass writes, made to fail: the pass ends with 0 after exactly one
// report, and the disk has nothing past the failure.
struct FailurePoint {
  const char* name;
  int64_t sector;  // -1: the first sector of the plan's partition `partition`
  int partition;
  bool binPass;
};

class PassFailureTest : public PassTest, public ::testing::WithParamInterface<FailurePoint> {};

TEST_P(PassFailureTest, EndsThePassAfterOneReport) {
  const FailurePoint point = GetParam();
  Open(16 * kMiB);
  DiskJob.partitions = {Partition(2 * kMiB, File("a.img", RandomBytes(kMiB, 7)), 0, 2048),
                        Partition(2 * kMiB, File("b.img", RandomBytes(kMiB, 8))),
                        Partition(2 * kMiB, File("c.img", RandomBytes(kMiB, 9)))};
  BinFileSpec bin;
  bin.path = File("l.bin", RandomBytes(20000, 10));
  bin.offset = 64;
  DiskJob.binFiles = {bin};
  const LayoutPlan plan = PlanLayout(DiskJob.partitions);
  FaultyDiskIo io;
  io.badWriteSector =
      point.sector >= 0 ? point.sector
                        : static_cast<int64_t>(plan.partitions[point.partition].start) + 100;
  DiskJob.disk->SetIo(&io);
  const int32_t result = point.binPass ? DiskJob.WriteBinFiles() : DiskJob.WritePartitions();
  EXPECT_EQ(result, 0);
  ASSERT_EQ(JobRecorder::reports.size(), 1u);
  EXPECT_EQ(JobRecorder::reports[0].rfind(LocalText(u"WriteFileFailed", 0), 0), 0u)
      << plat::ToUtf8(JobRecorder::reports[0]);
  // Nothing after the failing item was written: the last partition is still the canary.
  if (!point.binPass && point.partition < 2) {
    EXPECT_EQ(CountPatternMismatches(Target(), plan.partitions[2].tableSector * 512,
                                     plan.endSector * 512),
              0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sectors, PassFailureTest,
    ::testing::Values(FailurePoint{"mbr", 0, 0, false}, FailurePoint{"first_ebr", 2048 + 4096 + 1, 1, false},
                      FailurePoint{"first_partition", -1, 0, false},
                      FailurePoint{"logical_partition", -1, 1, false},
                      FailurePoint{"bin_file", 70, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A card written by the engine boots: the MBR code finds the active partition and runs its
// first sector, which ends the emulator through isa-debug-exit with status (1 << 1) | 1 = 3.
TEST_F(PassTest, WrittenCardBootsInAnEmulator) {
  if (!HaveTool("qemu-system-x86_64")) GTEST_SKIP() << "qemu-system-x86_64 is not installed";
  std::vector<uint8_t> sector = {
      0xB0, 0x01,  // mov al, 1
      0xE6, 0xF4,  // out 0xF4, al
      0xF4,        // hlt
  };
  sector.resize(512, 0);
  sector[510] = 0x55;
  sector[511] = 0xAA;
  Open(4 * kMiB);
  PartitionSpec active = Partition(kMiB, File("boot.img", sector), 0, 2048);
  active.active = 1;
  DiskJob.partitions = {active, Partition(kMiB, u"")};
  ASSERT_EQ(DiskJob.WritePartitions(), 1);
  ASSERT_EQ(DiskJob.disk->FlushDisk(), 1);
  ASSERT_EQ(DiskJob.disk->CommitPartitionTable(), 1);
  EXPECT_EQ(RunTool("timeout 60 qemu-system-x86_64 -nodefaults -display none -no-reboot -m 32 "
                    "-drive file=" + Quote(Target()) + ",format=raw,if=ide "
                    "-device isa-debug-exit,iobase=0xf4,iosize=0x04"),
            3);
}

// Without libTessel.so beside the program no empty volume can be made, and the job says so.
// The test runs a copy of its own program (a hard link where it can) from a folder holding
// the catalogue but not the library; the copy leaves a mark once it has checked.
TEST_F(PassTest, WithoutTheBuilderLibraryNoEmptyVolumeIsMade) {
  if (const char* mark = std::getenv("BRINDLE_TEST_NO_BUILDER")) {
    Open(8 * kMiB);
    const std::string before = ReadFile(Target());
    EXPECT_EQ(DiskJob.disk->CreateEmptyVolume(2048, 4 * kMiB, kTypeFat32), 0);
    EXPECT_EQ(JobRecorder::reports, std::vector<std::u16string>{LocalText(u"LoadDllFailed", 0)});
    EXPECT_TRUE(ReadFile(Target()) == before);
    if (!HasFailure()) {
      EXPECT_TRUE(WriteFile(mark, "checked"));
    }
    return;
  }
  ASSERT_FALSE(LocalText(u"LoadDllFailed", 0).empty());
  namespace fs = std::filesystem;
  const fs::path self = fs::read_symlink("/proc/self/exe");
  const fs::path copy = dir_.Join(self.filename().string());
  std::error_code linked;
  fs::create_hard_link(self, copy, linked);
  if (linked) fs::copy_file(self, copy);
  fs::copy_file(self.parent_path() / "text_info.ini", dir_.Join("text_info.ini"));
  ASSERT_FALSE(fs::exists(dir_.Join("libTessel.so")));
  const std::string mark = dir_.Join("mark");
  std::string out;
  EXPECT_EQ(RunTool("BRINDLE_TEST_NO_BUILDER=" + Quote(mark) + " " + Quote(copy.string()) +
                        " --gtest_filter=PassTest.WithoutTheBuilderLibraryNoEmptyVolumeIsMade",
                    &out),
            0)
      << out;
  EXPECT_EQ(ReadFile(mark), "checked") << out;
}

}  // namespace
