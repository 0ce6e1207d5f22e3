#include "DiskLogicData.h"
#include "LocalText.h"
#include "Platform.h"
#include "testing/TestDisk.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using testing_support::CountPatternMismatches;
using testing_support::FaultyDiskIo;
using testing_support::JobRecorder;
using testing_support::MakeImage;
using testing_support::ReadBytes;
using testing_support::TempDir;

std::u16string U(const std::string& s) { return plat::FromUtf8(s); }

std::u16string DiskError(const char16_t* key, int err) {
  return LocalText(key, 0) + plat::ErrorText(err);
}

// File content that can never be mistaken for the canary pattern at the same place.
std::vector<uint8_t> FileBytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + 3) % 256 | 0x80);
  return bytes;
}

class DiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Without the catalogue every expected text would be empty and prove nothing.
    ASSERT_FALSE(LocalText(u"WriteFileFailed", 0).empty());
    image_ = dir_.Join("disk.img");
  }
  TempDir dir_;
  std::string image_;
  JobRecorder rec_;
};

TEST_F(DiskTest, OpenReportsEachOutcomeAndNeverCreatesTheTarget) {
  MakeImage(image_, 1 << 20, false);
  const std::string missing = dir_.Join("missing.img");
  struct Case {
    std::string path;
    const char16_t* outcome;
  } cases[] = {
      {image_, u"OpenDiskSuccess"},
      {dir_.path(), u"OpenDiskFailed"},
      {missing, u"OpenDiskFailed"},
      {"/dev/null", u"OpenDiskFailed"},  // a character device is not a disk
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    rec_.Clear();
    CDiskLogicData disk;
    const int32_t result = disk.OpenDisk(U(c.path));
    EXPECT_EQ(result, std::u16string(c.outcome) == u"OpenDiskSuccess" ? 1 : 0);
    EXPECT_EQ(disk.IsOpen(), result == 1);
    ASSERT_EQ(rec_.lines.size(), 2u);
    EXPECT_EQ(rec_.lines[0], LocalText(u"OpenDisk", 1));
    EXPECT_EQ(rec_.lines[1], LocalText(c.outcome, 1));
    EXPECT_TRUE(rec_.reports.empty());
    disk.CloseDisk();
    EXPECT_FALSE(disk.IsOpen());
  }
  EXPECT_FALSE(plat::PathExists(U(missing)));
}

TEST_F(DiskTest, WithoutAnOpenDiskEveryTransferFailsSilently) {
  CDiskLogicData disk;
  char buffer[512] = {};
  EXPECT_EQ(disk.SeekToStart(), -1);
  EXPECT_EQ(disk.SeekDisk(512), -1);
  EXPECT_EQ(disk.ReadDisk(buffer, 512), -1);
  EXPECT_EQ(disk.WriteDisk(buffer, 512), -1);
  EXPECT_EQ(disk.WriteSector(buffer, 1), 0);
  EXPECT_EQ(disk.FlushDisk(), 0);
  EXPECT_EQ(disk.CopyFileToDisk(U(image_), 512), 0);
  EXPECT_TRUE(rec_.reports.empty());
  EXPECT_TRUE(rec_.lines.empty());
  EXPECT_TRUE(rec_.progress.empty());
}

TEST_F(DiskTest, CurrentDiskIsTheNewestObjectAndIsClearedWithIt) {
  {
    CDiskLogicData first;
    EXPECT_EQ(currentDisk, &first);
    {
      CDiskLogicData second;
      EXPECT_EQ(currentDisk, &second);
    }
    EXPECT_EQ(currentDisk, nullptr);  // never left pointing at a deleted object
  }
  CDiskLogicData disk;
  EXPECT_EQ(disk.baseCylinder, 0);
  EXPECT_EQ(disk.baseHead, 0);
  EXPECT_EQ(disk.baseSector, 1);
  EXPECT_EQ(disk.totalSectors, 0u);
  EXPECT_EQ(disk.handle, -1);
}

TEST_F(DiskTest, TotalSectorsDropTheRemainderAndSaturateBeyondTwoTebibytes) {
  CDiskLogicData disk;
  EXPECT_EQ(disk.SetTotalSectors(1000), 1u);
  EXPECT_EQ(disk.SetTotalSectors(8ull << 30), 16777216u);
  EXPECT_EQ(disk.SetTotalSectors((2ull << 40) - 512), 0xFFFFFFFFu);
  EXPECT_EQ(disk.SetTotalSectors(3ull << 40), 0xFFFFFFFFu);
  EXPECT_EQ(disk.totalSectors, 0xFFFFFFFFu);
}

TEST_F(DiskTest, ShortAndInterruptedTransfersStillMoveEveryByte) {
  MakeImage(image_, 64 * 1024, true);
  FaultyDiskIo io;
  io.maxTransfer = 100;
  io.interrupts = 3;
  CDiskLogicData disk;
  disk.SetIo(&io);
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  const std::vector<uint8_t> data = FileBytes(4096);
  ASSERT_EQ(disk.SeekDisk(1024), 1024);
  EXPECT_EQ(disk.WriteDisk(data.data(), 4096), 4096);
  EXPECT_EQ(disk.Position(), 1024 + 4096);
  std::vector<uint8_t> back(4096);
  ASSERT_EQ(disk.SeekDisk(1024), 1024);
  EXPECT_EQ(disk.ReadDisk(back.data(), 4096), 4096);
  EXPECT_EQ(back, data);
  EXPECT_GE(io.writeCalls, 41 + 3);
  EXPECT_TRUE(rec_.reports.empty());
  disk.CloseDisk();
  EXPECT_EQ(ReadBytes(image_, 1024, 4096), data);
  EXPECT_EQ(CountPatternMismatches(image_, 0, 1024), 0u);
  EXPECT_EQ(CountPatternMismatches(image_, 1024 + 4096, 64 * 1024), 0u);
}

TEST_F(DiskTest, SectorsBeyondFourGibibytesLandAtTheirByte) {
  MakeImage(image_, (5ull << 30), false);  // sparse: takes no space
  CDiskLogicData disk;
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  std::vector<uint8_t> sector = FileBytes(512);
  EXPECT_EQ(disk.WriteSector(sector.data(), 8388608), 512);  // byte 4 GiB
  EXPECT_EQ(disk.Position(), (4ll << 30) + 512);
  sector[0] = 0x11;
  EXPECT_EQ(disk.WriteSector(sector.data(), 8388608 + 2049), 512);
  // The seek answers the low 32 bits of the position.
  EXPECT_EQ(disk.SeekDisk((4ll << 30) + 1024), 1024);
  disk.CloseDisk();
  EXPECT_EQ(ReadBytes(image_, 4ull << 30, 512), FileBytes(512));
  EXPECT_EQ(ReadBytes(image_, (4ull << 30) + 2049 * 512, 1)[0], 0x11);
  EXPECT_EQ(ReadBytes(image_, (4ull << 30) - 512, 512), std::vector<uint8_t>(512, 0));
  EXPECT_TRUE(rec_.reports.empty());
}

TEST_F(DiskTest, NegativeSeekIsReportedAsAFailedWrite) {
  MakeImage(image_, 4096, false);
  CDiskLogicData disk;
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  EXPECT_EQ(disk.SeekDisk(-512), -1);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"WriteFileFailed", EINVAL));
}

TEST_F(DiskTest, FailedWritesReturnWhatWasWrittenAndReportOnce) {
  struct Case {
    const char* name;
    int64_t badSector;
    int64_t budget;
    int err;
    bool zero;
    int64_t expected;
    int reportedErr;
  } cases[] = {
      {"bad sector, disk full", 3, -1, ENOSPC, false, 1024, ENOSPC},
      {"bad sector, I/O error", 2, -1, EIO, false, 512, EIO},
      {"budget of 700 bytes", -1, 700, EIO, false, 700, EIO},
      {"nothing written at all", 1, -1, EIO, false, 0, EIO},
      {"zero-byte write without errno", 3, -1, EIO, true, 1024, ENOSPC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_.Clear();
    MakeImage(image_, 8192, true);
    FaultyDiskIo io;
    io.badWriteSector = c.badSector;
    io.writeBudget = c.budget;
    io.writeErrno = c.err;
    io.failWithZero = c.zero;
    CDiskLogicData disk;
    disk.SetIo(&io);
    ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
    ASSERT_EQ(disk.SeekDisk(512), 512);
    const std::vector<uint8_t> data = FileBytes(2048);
    EXPECT_EQ(disk.WriteDisk(data.data(), 2048), c.expected);
    EXPECT_EQ(disk.Position(), 512 + c.expected);
    ASSERT_EQ(rec_.reports.size(), 1u);
    EXPECT_EQ(rec_.reports[0], DiskError(u"WriteFileFailed", c.reportedErr));
    disk.CloseDisk();
    const auto written = static_cast<size_t>(c.expected);
    EXPECT_EQ(ReadBytes(image_, 512, written),
              std::vector<uint8_t>(data.begin(), data.begin() + static_cast<long>(written)));
    EXPECT_EQ(CountPatternMismatches(image_, 512 + written, 8192), 0u);
  }
}

TEST_F(DiskTest, FailedReadsAndReadsPastTheEndAreReported) {
  MakeImage(image_, 4096, true);
  FaultyDiskIo io;
  io.badReadSector = 2;
  CDiskLogicData disk;
  disk.SetIo(&io);
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  std::vector<uint8_t> buffer(2048);
  EXPECT_EQ(disk.ReadDisk(buffer.data(), 2048), 1024);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"ReadFileFailed", EIO));
  EXPECT_EQ(buffer[1023], testing_support::PatternByte(1023));

  rec_.Clear();
  io.badReadSector = -1;
  ASSERT_EQ(disk.SeekDisk(3584), 3584);
  EXPECT_EQ(disk.ReadDisk(buffer.data(), 1024), 512);  // the image ends after 512
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"ReadFileFailed", EIO));
}

TEST_F(DiskTest, FlushReachesTheDeviceOrIsAFailedWrite) {
  MakeImage(image_, 4096, false);
  FaultyDiskIo io;
  CDiskLogicData disk;
  disk.SetIo(&io);
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  EXPECT_EQ(disk.FlushDisk(), 1);
  EXPECT_EQ(io.flushCalls, 1);
  EXPECT_TRUE(rec_.reports.empty());
  io.failFlush = true;
  io.flushErrno = EIO;
  EXPECT_EQ(disk.FlushDisk(), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"WriteFileFailed", EIO));
}

TEST_F(DiskTest, FileLengthOfFilesFoldersAndMissingPaths) {
  CDiskLogicData disk;
  testing_support::WriteFile(dir_.Join("f"), FileBytes(1234));
  EXPECT_EQ(disk.GetFileLength(U(dir_.Join("f"))), 1234);
  EXPECT_EQ(disk.GetFileLength(U(dir_.Join("none"))), -1);
  EXPECT_EQ(disk.GetFileLength(U(dir_.path())), -1);
  EXPECT_EQ(disk.GetErrorText(ENOSPC), plat::ErrorText(ENOSPC));
}

// The streaming copy. The image is filled with the canary; the copy starts at `kStart`.
constexpr uint64_t kImageSize = 1 << 20;
constexpr int64_t kStart = 8192;

struct CopyCase {
  const char* name;
  size_t fileSize;
  int64_t limit;
  size_t fileBytesWritten;  // the file's bytes that reach the disk
  size_t zeroPadding;       // zeros after them
  std::vector<int32_t> progress;
};

void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.name; }

class CopyTest : public DiskTest, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(CopyTest, WritesTheFileUpToTheLimitAndNothingPastIt) {
  const CopyCase& c = GetParam();
  MakeImage(image_, kImageSize, true);
  const std::string source = dir_.Join("source.bin");
  const std::vector<uint8_t> data = FileBytes(c.fileSize);
  testing_support::WriteFile(source, data);

  FaultyDiskIo io;
  io.maxTransfer = 3000;  // short transfers on the way, as from a slow device
  CDiskLogicData disk;
  disk.SetIo(&io);
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  ASSERT_EQ(disk.SeekDisk(kStart), kStart);
  EXPECT_EQ(disk.CopyFileToDisk(U(source), c.limit), 1);
  disk.CloseDisk();

  EXPECT_TRUE(rec_.reports.empty());
  EXPECT_EQ(rec_.progress, c.progress);
  const size_t n = c.fileBytesWritten;
  EXPECT_EQ(ReadBytes(image_, kStart, n), std::vector<uint8_t>(data.begin(), data.begin() + n));
  EXPECT_EQ(ReadBytes(image_, kStart + n, c.zeroPadding), std::vector<uint8_t>(c.zeroPadding, 0));
  EXPECT_EQ(CountPatternMismatches(image_, 0, kStart), 0u);
  EXPECT_EQ(CountPatternMismatches(image_, kStart + n + c.zeroPadding, kImageSize), 0u);
  // An independent look at the written bytes.
  if (n > 0) {
    const std::string cmd = "cmp -s -n " + std::to_string(n) + " -i " + std::to_string(kStart) +
                            ":0 " + image_ + " " + source;
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 0) << cmd;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Copies, CopyTest,
    ::testing::Values(
        CopyCase{"EmptyFile", 0, 1 << 20, 0, 0, {0}},
        CopyCase{"LimitZero", 4096, 0, 0, 0, {0}},
        CopyCase{"NegativeLimitIsZero", 4096, -512, 0, 0, {0}},
        CopyCase{"ShorterThanASectorPadded", 300, 1 << 20, 300, 212, {0, 100}},
        CopyCase{"ShorterThanASectorLimitAtItsEnd", 300, 300, 300, 0, {0, 100}},
        CopyCase{"ThousandBytesPaddedTo1024", 1000, 1 << 20, 1000, 24, {0, 100}},
        CopyCase{"OneSector", 512, 512, 512, 0, {0, 100}},
        CopyCase{"LimitInsideTheLastSector", 70000, 70000, 70000, 0, {0, 93, 100}},
        CopyCase{"ExactChunks", 131072, 131072, 131072, 0, {0, 50, 100}},
        CopyCase{"ExactChunksUnderABiggerLimit", 131072, 1 << 20, 131072, 0, {0, 50, 100}},
        CopyCase{"LongerThanTheLimitCutInASector", 200000, 100000, 100000, 0, {0, 32, 50}},
        CopyCase{"LongerThanTheLimitCutAtAChunk", 200000, 65536, 65536, 0, {0, 32}},
        CopyCase{"LimitInsideTheFirstSector", 1024, 700, 700, 0, {0, 68}},
        CopyCase{"PaddingEndsExactlyAtTheLimit", 1000, 1024, 1000, 24, {0, 100}}),
    [](const ::testing::TestParamInfo<CopyCase>& info) { return std::string(info.param.name); });

TEST_F(DiskTest, CopyOfAMissingOrUnreadableSourceReportsThePath) {
  MakeImage(image_, kImageSize, true);
  const uint64_t before = testing_support::HashFile(image_);
  CDiskLogicData disk;
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  for (const std::string& source : {dir_.Join("absent.img"), dir_.path()}) {
    rec_.Clear();
    EXPECT_EQ(disk.CopyFileToDisk(U(source), 4096), 0);
    ASSERT_EQ(rec_.reports.size(), 1u);
    EXPECT_EQ(rec_.reports[0], LocalText(u"OpenFileFailed", 0) + U(source));
    EXPECT_TRUE(rec_.progress.empty());
  }
  disk.CloseDisk();
  EXPECT_EQ(testing_support::HashFile(image_), before);
}

TEST_F(DiskTest, WriteFailureMidCopyReportsOnceAndKeepsWhatFollows) {
  MakeImage(image_, kImageSize, true);
  const std::string source = dir_.Join("source.bin");
  const std::vector<uint8_t> data = FileBytes(200000);
  testing_support::WriteFile(source, data);
  FaultyDiskIo io;
  io.badWriteSector = (kStart + 70000) / 512;  // inside the second chunk
  io.writeErrno = ENOSPC;
  CDiskLogicData disk;
  disk.SetIo(&io);
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  ASSERT_EQ(disk.SeekDisk(kStart), kStart);
  EXPECT_EQ(disk.CopyFileToDisk(U(source), 1 << 20), 0);
  disk.CloseDisk();
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"WriteFileFailed", ENOSPC));
  EXPECT_EQ(rec_.progress, (std::vector<int32_t>{0, 32}));
  const size_t good = static_cast<size_t>(io.badWriteSector * 512 - kStart);
  EXPECT_EQ(ReadBytes(image_, kStart, good),
            std::vector<uint8_t>(data.begin(), data.begin() + static_cast<long>(good)));
  EXPECT_EQ(CountPatternMismatches(image_, kStart + good, kImageSize), 0u);
}

TEST_F(DiskTest, FailedReadOfTheLastSectorEndsTheCopy) {
  MakeImage(image_, kImageSize, true);
  const std::string source = dir_.Join("source.bin");
  testing_support::WriteFile(source, FileBytes(1000));
  FaultyDiskIo io;
  io.badReadSector = (kStart + 512) / 512;  // the sector the limit cuts
  CDiskLogicData disk;
  disk.SetIo(&io);
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  ASSERT_EQ(disk.SeekDisk(kStart), kStart);
  EXPECT_EQ(disk.CopyFileToDisk(U(source), 1000), 0);
  disk.CloseDisk();
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"ReadFileFailed", EIO));
  EXPECT_EQ(CountPatternMismatches(image_, 0, kImageSize), 0u);  // nothing half-written
}

TEST_F(DiskTest, CopyAtTheEndOfTheAddressRangeFailsWithoutWrapping) {
  MakeImage(image_, 4096, true);
  const std::string source = dir_.Join("source.bin");
  testing_support::WriteFile(source, FileBytes(1000));
  CDiskLogicData disk;
  ASSERT_EQ(disk.OpenDisk(U(image_)), 1);
  disk.SeekDisk(std::numeric_limits<int64_t>::max() - 100);
  EXPECT_EQ(disk.CopyFileToDisk(U(source), 1 << 20), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"ReadFileFailed", EINVAL));
  rec_.Clear();
  char buffer[512] = {};
  EXPECT_EQ(disk.WriteDisk(buffer, 512), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"WriteFileFailed", EINVAL));
  disk.CloseDisk();
  EXPECT_EQ(CountPatternMismatches(image_, 0, 4096), 0u);
}

// A real block device: exclusive open keeps a second opener (and the mounter) out.
TEST_F(DiskTest, LoopDeviceIsOpenedExclusively) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to attach a loop device";
  MakeImage(image_, 4 << 20, true);
  FILE* p = popen(("losetup -f --show " + image_ + " 2>/dev/null").c_str(), "r");
  char name[64] = {};
  const bool attached = p != nullptr && std::fgets(name, sizeof name, p) != nullptr;
  if (p != nullptr) pclose(p);
  if (!attached) GTEST_SKIP() << "no loop device available";
  std::string device(name);
  while (!device.empty() && (device.back() == '\n' || device.back() == ' ')) device.pop_back();
  {
    CDiskLogicData first;
    CDiskLogicData second;
    EXPECT_EQ(first.OpenDisk(U(device)), 1);
    EXPECT_EQ(first.GetFileLength(U(device)), 4 << 20);
    EXPECT_EQ(second.OpenDisk(U(device)), 0);
    const std::vector<uint8_t> data = FileBytes(512);
    EXPECT_EQ(first.WriteSector(data.data(), 5), 512);
    EXPECT_EQ(first.FlushDisk(), 1);
    first.CloseDisk();
    EXPECT_EQ(second.OpenDisk(U(device)), 1);
  }
  std::system(("losetup -d " + device).c_str());
  EXPECT_EQ(ReadBytes(image_, 5 * 512, 512), FileBytes(512));
  EXPECT_EQ(CountPatternMismatches(image_, 0, 5 * 512), 0u);
}

}  // namespace
