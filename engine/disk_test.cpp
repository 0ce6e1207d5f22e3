#include "DiskLogicData.h"
#include "LocalText.h"
#include "Platform.h"
#include "testing/TestDisk.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using testing_support::CountPatternMismatches;
using testing_support::FaultyDiskIo;
using testing_support::JobRecorder;
using testing_support::MakeImage;
using testsupport::LoopDevice;
using testsupport::ReadBytes;
using testsupport::ReadFile;
using testsupport::TempDir;

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
  // A fresh image of `size` bytes (the canary unless told), opened through `io` (nullptr: the
  // system's own).
  CDiskLogicData& Open(DiskIo* io, uint64_t size, bool pattern = true) {
    MakeImage(image_, size, pattern);
    disk_.emplace();
    disk_->SetIo(io);
    EXPECT_EQ(disk_->OpenDisk(U(image_)), 1);
    return *disk_;
  }
  std::string Source(const std::vector<uint8_t>& bytes) {
    EXPECT_TRUE(testsupport::WriteFile(dir_.Join("source.bin"), bytes));
    return dir_.Join("source.bin");
  }

  TempDir dir_;
  std::string image_;
  JobRecorder rec_;
  std::optional<CDiskLogicData> disk_;
};

TEST_F(DiskTest, OpenReportsEachOutcomeAndNeverCreatesTheTarget) {
  MakeImage(image_, 1 << 20, false);
  const std::string missing = dir_.Join("missing.img");
  const std::string locked = dir_.Join("locked.img");
  MakeImage(locked, 1 << 20, false);
  CDiskLogicData holder;  // another job on this image
  ASSERT_EQ(holder.OpenDisk(U(locked)), 1);
  auto reason = [](const std::string& path, int err) {
    return LocalText(u"OpenDiskReason", 0) + U(path) + u": " + plat::ErrorText(err);
  };
  struct Case {
    std::string path;
    const char16_t* outcome;
    std::u16string report;
  } cases[] = {
      {image_, u"OpenDiskSuccess", {}},
      {missing, u"OpenDiskFailed", reason(missing, ENOENT)},
      // A character device is not a disk.
      {"/dev/null", u"OpenDiskFailed", reason("/dev/null", ENOTBLK)},
      {locked, u"OpenDiskFailed", LocalText(u"DiskInUse", 0) + U(locked)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    rec_.Clear();
    CDiskLogicData disk;
    EXPECT_EQ(disk.OpenDisk(U(c.path)), std::u16string(c.outcome) == u"OpenDiskSuccess" ? 1 : 0);
    ASSERT_EQ(rec_.lines.size(), 2u);
    EXPECT_EQ(rec_.lines[0], LocalText(u"OpenDisk", 1));
    EXPECT_EQ(rec_.lines[1], LocalText(c.outcome, 1));
    EXPECT_EQ(rec_.reports, c.report.empty() ? std::vector<std::u16string>{}
                                             : std::vector<std::u16string>{c.report});
  }
  EXPECT_FALSE(plat::PathExists(U(missing)));
  // The lock goes with the job that held it.
  holder.CloseDisk();
  CDiskLogicData next;
  EXPECT_EQ(next.OpenDisk(U(locked)), 1);
}

TEST_F(DiskTest, CurrentDiskIsTheNewestObjectAndIsClearedWithIt) {
  CDiskLogicData first;
  EXPECT_EQ(currentDisk, &first);
  disk_.emplace();
  EXPECT_EQ(currentDisk, &*disk_);
  disk_.reset();
  EXPECT_EQ(currentDisk, nullptr);  // never left pointing at a deleted object
}

TEST_F(DiskTest, TotalSectorsDropTheRemainderAndSaturateBeyondTwoTebibytes) {
  CDiskLogicData disk;
  EXPECT_EQ(disk.SetTotalSectors(1000), 1u);
  EXPECT_EQ(disk.SetTotalSectors(8ull << 30), 16777216u);
  EXPECT_EQ(disk.SetTotalSectors((2ull << 40) - 512), 0xFFFFFFFFu);
  EXPECT_EQ(disk.SetTotalSectors(3ull << 40), 0xFFFFFFFFu);
}

TEST_F(DiskTest, SectorsBeyondFourGibibytesLandAtTheirByte) {
  CDiskLogicData& disk = Open(nullptr, 5ull << 30, false);  // sparse: takes no space
  std::vector<uint8_t> sector = FileBytes(512);
  EXPECT_EQ(disk.WriteSector(sector.data(), 8388608), 512);  // byte 4 GiB
  sector[0] = 0x11;
  EXPECT_EQ(disk.WriteSector(sector.data(), 8388608 + 2049), 512);
  // The seek answers the low 32 bits of the position.
  EXPECT_EQ(disk.SeekDisk((4ll << 30) + 1024), 1024);
  disk.CloseDisk();
  EXPECT_EQ(ReadBytes(image_, 4ull << 30, 512), FileBytes(512));
  EXPECT_EQ(ReadBytes(image_, (4ull << 30) + 2049 * 512, 1)[0], 0x11);
  EXPECT_EQ(ReadBytes(image_, (4ull << 30) - 512, 512), std::vector<uint8_t>(512, 0));
}

TEST_F(DiskTest, FailedWritesReturnWhatWasWrittenAndReportOnce) {
  struct Case {
    const char* name;
    int64_t badSector;
    int err;
    bool zero;
    int64_t expected;
    int reportedErr;
  } cases[] = {
      {"bad sector, disk full", 3, ENOSPC, false, 1024, ENOSPC},
      {"nothing written at all", 1, EIO, false, 0, EIO},
      {"zero-byte write without errno", 3, EIO, true, 1024, ENOSPC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_.Clear();
    FaultyDiskIo io;
    io.badWriteSector = c.badSector;
    io.writeErrno = c.err;
    io.failWithZero = c.zero;
    CDiskLogicData& disk = Open(&io, 8192);
    ASSERT_EQ(disk.SeekDisk(512), 512);
    const std::vector<uint8_t> data = FileBytes(2048);
    EXPECT_EQ(disk.WriteDisk(data.data(), 2048), c.expected);
    ASSERT_EQ(rec_.reports.size(), 1u);
    EXPECT_EQ(rec_.reports[0], DiskError(u"WriteFileFailed", c.reportedErr));
    disk.CloseDisk();
    const auto written = static_cast<size_t>(c.expected);
    EXPECT_EQ(ReadBytes(image_, 512, written),
              std::vector<uint8_t>(data.begin(), data.begin() + static_cast<long>(written)));
    EXPECT_EQ(CountPatternMismatches(image_, 512 + written, 8192), 0u);
  }
}

TEST_F(DiskTest, FlushReachesTheDeviceOrIsAFailedWrite) {
  FaultyDiskIo io;
  CDiskLogicData& disk = Open(&io, 4096, false);
  EXPECT_EQ(disk.FlushDisk(), 1);
  EXPECT_EQ(io.flushCalls, 1);
  EXPECT_TRUE(rec_.reports.empty());
  // Nothing written since: nothing to wait for.
  EXPECT_EQ(disk.FlushDisk(), 1);
  EXPECT_EQ(io.flushCalls, 1);
  const std::vector<uint8_t> sector(512, 1);
  ASSERT_EQ(disk.WriteSector(sector.data(), 2), 512);
  io.failFlush = true;
  EXPECT_EQ(disk.FlushDisk(), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"WriteFileFailed", EIO));
  EXPECT_EQ(disk.FlushDisk(), 0);  // still not on the device
}

// The streaming copy. The image is filled with the canary; the copy starts at `kStart`.
constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kImageSize = 4 * kMiB;
constexpr int64_t kStart = 8192;

struct CopyCase {
  const char* name;
  size_t fileSize;
  int64_t limit;
  size_t fileBytesWritten;  // the file's bytes that reach the disk
  size_t zeroPadding;       // zeros after them
  std::vector<int32_t> progress;
};

// What the copy writes to: the same bytes and progress are due on every one.
struct CopyTarget {
  const char* name;
  bool blockDevice;
  uint32_t blockSize;
  int64_t start;
  size_t maxTransfer;  // short transfers on the way, as from a slow device
};

void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const CopyTarget& t, std::ostream* os) { *os << t.name; }

const CopyTarget kImageFile{"ImageFile", false, 512, kStart, 3000};
// Starts inside a 4 KiB block, so every batch needs the blocks it covers in part.
const CopyTarget kDevice4096Unaligned{"Device4096Unaligned", true, 4096, kStart + 1536, 8192};

class CopyTest : public DiskTest,
                 public ::testing::WithParamInterface<std::tuple<CopyCase, CopyTarget>> {};

TEST_P(CopyTest, WritesTheFileUpToTheLimitAndNothingPastIt) {
  const auto& [c, target] = GetParam();
  const int64_t start = target.start;
  const std::vector<uint8_t> data = FileBytes(c.fileSize);
  FaultyDiskIo io;
  io.maxTransfer = target.maxTransfer;
  io.blockDevice = target.blockDevice;
  io.logicalBlockSize = target.blockSize;
  CDiskLogicData& disk = Open(&io, kImageSize);
  ASSERT_EQ(disk.SeekDisk(start), static_cast<int32_t>(start));
  EXPECT_EQ(disk.CopyFileToDisk(U(Source(data)), c.limit), 1);
  // Whatever the copy did, the disk is back to buffered transfers after it.
  EXPECT_FALSE(io.direct);
  disk.CloseDisk();

  // An unaligned transfer while direct would have failed and been reported.
  EXPECT_TRUE(rec_.reports.empty());
  EXPECT_EQ(rec_.progress, c.progress);
  const size_t n = c.fileBytesWritten;
  EXPECT_EQ(ReadBytes(image_, start, n), std::vector<uint8_t>(data.begin(), data.begin() + n));
  EXPECT_EQ(ReadBytes(image_, start + n, c.zeroPadding), std::vector<uint8_t>(c.zeroPadding, 0));
  EXPECT_EQ(CountPatternMismatches(image_, 0, start), 0u);
  EXPECT_EQ(CountPatternMismatches(image_, start + n + c.zeroPadding, kImageSize), 0u);

  // Chunks are gathered into larger calls; buffered ones of at most 1 MiB, which wait for the
  // device before the progress of what they wrote goes out.
  const bool direct = target.blockDevice;
  EXPECT_EQ(io.directOnCalls, 1);
  EXPECT_EQ(io.directTransfers > 0, direct && n > 0);
  EXPECT_TRUE(direct || io.largestWrite <= size_t{1} << 20) << io.largestWrite;
  EXPECT_TRUE(direct || n == 0 || io.syncWaits > 0);
  EXPECT_TRUE(!direct || n <= 65536 || io.largestWrite > 65536) << io.largestWrite;
}

const CopyCase kCopyCases[] = {
    {"EmptyFile", 0, 1 << 20, 0, 0, {0}},
    {"LimitZero", 4096, 0, 0, 0, {0}},
    {"NegativeLimitIsZero", 4096, -512, 0, 0, {0}},
    {"ShorterThanASectorPadded", 300, 1 << 20, 300, 212, {0, 100}},
    {"OneSector", 512, 512, 512, 0, {0, 100}},
    {"LimitInsideTheLastSector", 70000, 70000, 70000, 0, {0, 93, 100}},
    {"ExactChunks", 131072, 131072, 131072, 0, {0, 50, 100}},
    {"LongerThanTheLimitCutInASector", 200000, 100000, 100000, 0, {0, 32, 50}},
    {"LongerThanTheLimitCutAtAChunk", 200000, 65536, 65536, 0, {0, 32}},
    {"LimitInsideTheFirstSector", 1024, 700, 700, 0, {0, 68}},
    {"PaddingEndsExactlyAtTheLimit", 1000, 1024, 1000, 24, {0, 100}},
};

INSTANTIATE_TEST_SUITE_P(
    Copies, CopyTest,
    ::testing::Combine(::testing::ValuesIn(kCopyCases),
                       ::testing::Values(kImageFile, kDevice4096Unaligned)),
    [](const ::testing::TestParamInfo<CopyTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

TEST_F(DiskTest, CopyOfAMissingOrUnreadableSourceReportsThePath) {
  CDiskLogicData& disk = Open(nullptr, kImageSize);
  const std::string before = ReadFile(image_);
  for (const std::string& source : {dir_.Join("absent.img"), dir_.path()}) {
    rec_.Clear();
    EXPECT_EQ(disk.CopyFileToDisk(U(source), 4096), 0);
    ASSERT_EQ(rec_.reports.size(), 1u);
    EXPECT_EQ(rec_.reports[0], LocalText(u"OpenFileFailed", 0) + U(source));
    EXPECT_TRUE(rec_.progress.empty());
  }
  disk.CloseDisk();
  EXPECT_TRUE(ReadFile(image_) == before);
}

// An image file whose size is no whole number of sectors: the copy's last bytes reach its
// very end and no further, and the file keeps its size.
TEST_F(DiskTest, ACopyEndsWhereAnImageFileEndsInsideASector) {
  const uint64_t size = 8192 + 300;
  const std::vector<uint8_t> data = FileBytes(4096 + 300);
  CDiskLogicData& disk = Open(nullptr, size);
  ASSERT_EQ(disk.SeekDisk(4096), 4096);
  EXPECT_EQ(disk.CopyFileToDisk(U(Source(data)), static_cast<int64_t>(data.size())), 1);
  disk.CloseDisk();
  EXPECT_TRUE(rec_.reports.empty());
  EXPECT_EQ(testsupport::FileSize(image_), static_cast<int64_t>(size));
  EXPECT_EQ(ReadBytes(image_, 4096, data.size()), data);
  EXPECT_EQ(CountPatternMismatches(image_, 0, 4096), 0u);
}

// A copy that fails part way, buffered and direct (a device with 4 KiB blocks, the copy started
// inside one): a write inside the second chunk of the first batch, or the read of a block the
// copy covers only in part (in front of it, or at a limit inside a sector). One report, no
// progress for the failed batch, buffered transfers again, and on the disk what came before the
// failure (the whole blocks in front of it, on the device) and nothing after it.
TEST_F(DiskTest, ACopyThatFailsPartWayReportsOnceAndKeepsWhatCameBefore) {
  const int64_t start = kDevice4096Unaligned.start;
  const int64_t badBuffered = (kStart + 70000) / 512, badDirect = (start + 70000) / 512;
  struct Case {
    const char* name;
    CopyTarget target;
    int64_t badWrite, badRead, limit;
    int64_t good;  // bytes of the file on the disk after the copy
    const char16_t* report;
    int err;
  } cases[] = {
      {"write, buffered", kImageFile, badBuffered, -1, 1 << 20, badBuffered * 512 - kStart,
       u"WriteFileFailed", ENOSPC},
      {"write, direct", kDevice4096Unaligned, badDirect, -1, 1 << 20,
       badDirect * 512 / 4096 * 4096 - start, u"WriteFileFailed", ENOSPC},
      {"read of the block in front", kDevice4096Unaligned, -1, start / 512 - 1, 1 << 20, 0,
       u"ReadFileFailed", EIO},
      {"read of the block at the limit", kDevice4096Unaligned, -1, badDirect + 1, 70000, 0,
       u"ReadFileFailed", EIO},
  };
  const std::vector<uint8_t> data = FileBytes(200000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_.Clear();
    const int64_t at = c.target.start;
    FaultyDiskIo io;
    io.blockDevice = c.target.blockDevice;
    io.logicalBlockSize = c.target.blockSize;
    io.badWriteSector = c.badWrite;
    io.badReadSector = c.badRead;
    CDiskLogicData& disk = Open(&io, kImageSize);
    ASSERT_EQ(disk.SeekDisk(at), static_cast<int32_t>(at));
    EXPECT_EQ(disk.CopyFileToDisk(U(Source(data)), c.limit), 0);
    EXPECT_FALSE(io.direct);
    EXPECT_EQ(rec_.reports, std::vector<std::u16string>{DiskError(c.report, c.err)});
    EXPECT_EQ(rec_.progress, (std::vector<int32_t>{0}));
    disk.CloseDisk();
    EXPECT_EQ(ReadBytes(image_, at, size_t(c.good)),
              std::vector<uint8_t>(data.begin(), data.begin() + c.good));
    EXPECT_EQ(CountPatternMismatches(image_, 0, at), 0u);
    EXPECT_EQ(CountPatternMismatches(image_, at + c.good, kImageSize), 0u);
  }
}

// A sparse image whose last 1 MiB and 300 bytes are a hole, so it ends inside a sector.
// Its holes reach the disk as zero ranges: no data where the disk can avoid it, zeros all
// the same where it cannot.
TEST_F(DiskTest, HolesOfAFileBecomeZeroRanges) {
  const std::string source = dir_.Join("sparse.img");
  const uint64_t size = 3 * kMiB + 300;
  MakeImage(source, size, false);
  const std::vector<uint8_t> head = FileBytes(100000), middle = FileBytes(4096);
  ASSERT_TRUE(testsupport::WriteBytesAt(source, 0, head));
  ASSERT_TRUE(testsupport::WriteBytesAt(source, 2 * kMiB, middle));
  const std::vector<uint8_t> expected = ReadBytes(source, 0, size);
  struct Case {
    const char* name;
    CopyTarget target;
    bool refuseZeroOut;
    int64_t limit;
    uint64_t written;  // bytes of the disk the copy sets: the file, and zeros after it
  } cases[] = {
      {"image file, padded", kImageFile, false, 4 * kMiB, 3 * kMiB + 512},
      {"direct, unaligned", kDevice4096Unaligned, false, 4 * kMiB, 3 * kMiB + 512},
      {"no zero-out", kImageFile, true, int64_t(size) - 100, size - 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_.Clear();
    FaultyDiskIo io;
    io.blockDevice = c.target.blockDevice;
    io.logicalBlockSize = c.target.blockSize;
    io.refuseZeroOut = c.refuseZeroOut;
    CDiskLogicData& disk = Open(&io, 5 * kMiB);
    ASSERT_EQ(disk.SeekDisk(c.target.start), static_cast<int32_t>(c.target.start));
    EXPECT_EQ(disk.CopyFileToDisk(U(source), c.limit), 1);
    disk.CloseDisk();
    EXPECT_TRUE(rec_.reports.empty());
    const uint64_t start = static_cast<uint64_t>(c.target.start);
    const uint64_t fileBytes = std::min<uint64_t>(size, c.written);
    EXPECT_EQ(ReadBytes(image_, start, fileBytes),
              std::vector<uint8_t>(expected.begin(), expected.begin() + long(fileBytes)));
    EXPECT_EQ(ReadBytes(image_, start + fileBytes, c.written - fileBytes),
              std::vector<uint8_t>(c.written - fileBytes, 0));
    EXPECT_EQ(CountPatternMismatches(image_, 0, start), 0u);
    EXPECT_EQ(CountPatternMismatches(image_, start + c.written, 5 * kMiB), 0u);
    // The holes, not the data, went out as zero ranges.
    EXPECT_EQ(io.zeroedBytes >= 2 * kMiB, !c.refuseZeroOut);
    EXPECT_TRUE(c.refuseZeroOut || io.bytesWritten <= 300000u) << io.bytesWritten;
    ASSERT_FALSE(rec_.progress.empty());
    EXPECT_TRUE(std::is_sorted(rec_.progress.begin(), rec_.progress.end()));
    EXPECT_EQ(rec_.progress.back(), c.written >= size ? 100 : 99);
  }
}

// Clearing a card: discarded where the discarded blocks read back as zeros; a device that
// leaves other bytes behind is zeroed instead, from its first piece on, with the device's
// zero-out or, without one, with zeros written; a device that fails is reported once.
TEST_F(DiskTest, ClearingDiscardsOnlyWhereZerosComeBack) {
  const int64_t from = 512, length = 36 * kMiB;
  struct Case {
    const char* name;
    bool refuseDiscard;
    bool leavesOnes;
    bool refuseZeroOut;
    int64_t badSector;
    uint64_t discarded;
    uint64_t zeroedOut;
  } cases[] = {
      {"discard reads zeros", false, false, false, -1, uint64_t(length) - 4096, 0},
      {"discard leaves 0xFF", false, true, false, -1, 32 * kMiB - 4096, uint64_t(length) - 4096},
      {"no discard, zero-out", true, false, false, -1, 0, uint64_t(length) - 4096},
      {"no discard, no zero-out", true, false, true, -1, 0, 0},
      {"failing", true, false, false, 40000, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec_.Clear();
    FaultyDiskIo io;
    io.refuseDiscard = c.refuseDiscard;
    io.discardLeavesOnes = c.leavesOnes;
    io.refuseZeroOut = c.refuseZeroOut;
    io.badWriteSector = c.badSector;
    io.writeErrno = EIO;
    CDiskLogicData& disk = Open(&io, 38 * kMiB);
    const bool ok = c.badSector < 0;
    EXPECT_EQ(disk.ClearRange(from, length), ok ? 1 : 0);
    disk.CloseDisk();
    if (!ok) {
      EXPECT_EQ(rec_.reports, std::vector<std::u16string>{DiskError(u"WriteFileFailed", EIO)});
      continue;
    }
    EXPECT_TRUE(rec_.reports.empty());
    EXPECT_EQ(io.discardedBytes, c.discarded);
    EXPECT_EQ(io.zeroedBytes, c.zeroedOut);
    const std::string cmp = "cmp -s -n " + std::to_string(length) + " -i " +
                            std::to_string(from) + ":0 " + image_ + " /dev/zero";
    EXPECT_EQ(testsupport::RunTool(cmp), 0) << cmp;
    EXPECT_EQ(CountPatternMismatches(image_, 0, from), 0u);
    EXPECT_EQ(CountPatternMismatches(image_, from + length, 38 * kMiB), 0u);
    // A value per 32 MiB piece, up to 99: 100 belongs to the end of the job.
    EXPECT_EQ(rec_.progress, (std::vector<int32_t>{88, 99}));
  }
}

// Positions before the start or at the end of the address range are failed writes, never a
// wrap to the start of the disk.
TEST_F(DiskTest, CopyAtTheEndOfTheAddressRangeFailsWithoutWrapping) {
  CDiskLogicData& disk = Open(nullptr, 4096);
  EXPECT_EQ(disk.SeekDisk(-512), -1);
  EXPECT_EQ(rec_.reports, std::vector<std::u16string>{DiskError(u"WriteFileFailed", EINVAL)});
  rec_.Clear();
  disk.SeekDisk(std::numeric_limits<int64_t>::max() - 100);
  EXPECT_EQ(disk.CopyFileToDisk(U(Source(FileBytes(1000))), 1 << 20), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0].rfind(LocalText(u"WriteFileFailed", 0), 0), 0u)
      << plat::ToUtf8(rec_.reports[0]);
  rec_.Clear();
  char buffer[512] = {};
  EXPECT_EQ(disk.WriteDisk(buffer, 512), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], DiskError(u"WriteFileFailed", EINVAL));
  disk.CloseDisk();
  EXPECT_EQ(CountPatternMismatches(image_, 0, 4096), 0u);
}

// A real block device is opened exclusively: a second opener (and the mounter) is kept out.
// A descriptor handed over by a front end stands in for the engine's own open, once, and only
// when it is the named block device, open for reading and writing, and held exclusively.
TEST_F(DiskTest, LoopDeviceIsOpenedExclusivelyOrHandedOver) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to attach a loop device";
  MakeImage(image_, 4 << 20, false);
  LoopDevice loop(image_);
  const std::string device = loop.name();
  if (device.empty()) GTEST_SKIP() << "no loop device: " << loop.error();
  {
    CDiskLogicData first;
    CDiskLogicData second;
    EXPECT_EQ(first.OpenDisk(U(device)), 1);
    EXPECT_EQ(first.GetFileLength(U(device)), 4 << 20);
    rec_.Clear();
    EXPECT_EQ(second.OpenDisk(U(device)), 0);
    EXPECT_EQ(rec_.reports, std::vector<std::u16string>{LocalText(u"DiskInUse", 0) + U(device)});
  }
  const std::string file = dir_.Join("file.img");
  MakeImage(file, 4096, false);
  const int readOnly = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  const int shared = open(device.c_str(), O_RDWR | O_CLOEXEC);
  const int regular = open(file.c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_FALSE(HandOverDisk(U(device), readOnly));
  EXPECT_FALSE(HandOverDisk(U(device), shared));  // nobody holds the device exclusively
  EXPECT_FALSE(HandOverDisk(U(file), regular));
  EXPECT_FALSE(HandOverDisk(U(device), -1));
  const int exclusive = open(device.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  ASSERT_GE(exclusive, 0);
  EXPECT_FALSE(HandOverDisk(U(file), exclusive));  // another path than the device's
  ASSERT_TRUE(HandOverDisk(U(device), exclusive));
  for (const int fd : {readOnly, shared, regular, exclusive}) close(fd);
  {
    // The engine's duplicate holds the device now, so an open of its own would fail: success
    // means the handed descriptor was used.
    CDiskLogicData disk;
    ASSERT_EQ(disk.OpenDisk(U(device)), 1);
    CDiskLogicData second;
    EXPECT_EQ(second.OpenDisk(U(device)), 0);
    disk.CloseDisk();
    EXPECT_EQ(second.OpenDisk(U(device)), 1);  // taken once; then the engine opens it itself
  }
}

TEST_F(DiskTest, ImageFilesAreNeverSwitchedToDirectTransfers) {
  MakeImage(image_, 4096, false);
  const int fd = open(image_.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(PosixDiskIo().DirectOn(fd), 0u);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_DIRECT, 0);
  close(fd);
}

}  // namespace
