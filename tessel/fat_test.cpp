// FAT16/FAT32: layout arithmetic, golden boot sectors, and whole volumes checked with
// fsck.fat, blkid and mtools.
#include "Fat.h"
#include "LittleEndian.h"
#include "Tessel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace tessel {
namespace {

using namespace tessel::test;
using namespace testsupport;

constexpr uint32_t kSerial = 0x12345678;

BuildOptions Fixed() {
  BuildOptions o;
  o.volumeSerial = kSerial;
  o.time = 1700000000;
  return o;
}

std::string_view Text(const uint8_t* p, size_t n) {
  return std::string_view(reinterpret_cast<const char*>(p), n);
}

// ---- layout ----------------------------------------------------------------------------

// Values worked out by hand from Microsoft's FAT tables and FAT size formula.
TEST(FatLayout, GoldenFat16BootSector16MiB) {
  const auto layout = fat::Plan(Kind::Fat16, 16 * kMiB);
  ASSERT_TRUE(layout);
  const fat::Sector s = fat::BootSector(*layout, kSerial);
  const uint8_t* p = s.data();
  EXPECT_EQ(p[0], 0xEB);
  EXPECT_EQ(p[1], 0x3C);
  EXPECT_EQ(p[2], 0x90);
  EXPECT_EQ(Get16(p + 11), 512);    // bytes per sector
  EXPECT_EQ(p[13], 4);              // 32768 sectors: 2 KiB clusters
  EXPECT_EQ(Get16(p + 14), 4);      // 1 + 64 + 32 = 97, padded to a cluster boundary: 100
  EXPECT_EQ(p[16], 2);              // FATs
  EXPECT_EQ(Get16(p + 17), 512);    // root entries
  EXPECT_EQ(Get16(p + 19), 32768);  // fits the 16-bit count
  EXPECT_EQ(p[21], 0xF8);
  EXPECT_EQ(Get16(p + 22), 32);     // ceil(32735 / 1026)
  EXPECT_EQ(Get32(p + 32), 0u);
  EXPECT_EQ(p[36], 0x80);
  EXPECT_EQ(p[38], 0x29);
  EXPECT_EQ(Get32(p + 39), kSerial);
  EXPECT_EQ(Text(p + 43, 11), "NO NAME    ");
  EXPECT_EQ(Text(p + 54, 8), "FAT16   ");
  EXPECT_EQ(p[510], 0x55);
  EXPECT_EQ(p[511], 0xAA);
  EXPECT_EQ(layout->clusterCount, (32768u - 100u) / 4u);
}

TEST(FatLayout, GoldenFat32BootSector40MiB) {
  const auto layout = fat::Plan(Kind::Fat32, 40 * kMiB);
  ASSERT_TRUE(layout);
  const fat::Sector s = fat::BootSector(*layout, kSerial);
  const uint8_t* p = s.data();
  EXPECT_EQ(p[0], 0xEB);
  EXPECT_EQ(p[1], 0x58);
  EXPECT_EQ(p[2], 0x90);
  EXPECT_EQ(Get16(p + 11), 512);
  EXPECT_EQ(p[13], 1);              // below 260 MB: 512-byte clusters
  EXPECT_EQ(Get16(p + 14), 32);
  EXPECT_EQ(p[16], 2);
  EXPECT_EQ(Get16(p + 17), 0);
  EXPECT_EQ(Get16(p + 19), 0);
  EXPECT_EQ(p[21], 0xF8);
  EXPECT_EQ(Get16(p + 22), 0);
  EXPECT_EQ(Get32(p + 32), 81920u);
  EXPECT_EQ(Get32(p + 36), 635u);   // ceil(81888 / 129)
  EXPECT_EQ(Get32(p + 44), 2u);     // root cluster
  EXPECT_EQ(Get16(p + 48), 1);      // FSInfo
  EXPECT_EQ(Get16(p + 50), 6);      // backup boot sector
  EXPECT_EQ(p[64], 0x80);
  EXPECT_EQ(p[66], 0x29);
  EXPECT_EQ(Get32(p + 67), kSerial);
  EXPECT_EQ(Text(p + 71, 11), "NO NAME    ");
  EXPECT_EQ(Text(p + 82, 8), "FAT32   ");
  EXPECT_EQ(Get16(p + 510), 0xAA55);

  const fat::Sector info = fat::FsInfoSector(*layout);
  EXPECT_EQ(Get32(info.data()), 0x41615252u);
  EXPECT_EQ(Get32(info.data() + 484), 0x61417272u);
  EXPECT_EQ(Get32(info.data() + 488), 81920u - 32u - 2u * 635u - 1u);  // free clusters
  EXPECT_EQ(Get32(info.data() + 492), 3u);
  EXPECT_EQ(Get32(info.data() + 508), 0xAA550000u);
}

// The jump lands on code that loads SI with the address of a NUL-terminated message.
TEST(FatLayout, BootCodePrintsAMessage) {
  for (Kind kind : {Kind::Fat16, Kind::Fat32}) {
    const auto layout = fat::Plan(kind, 64 * kMiB);
    ASSERT_TRUE(layout);
    const fat::Sector s = fat::BootSector(*layout, 1);
    const uint32_t code = 2u + s[1];
    EXPECT_EQ(code, fat::BootCodeOffset(kind));
    EXPECT_EQ(s[code], 0xFA);  // cli
    const uint8_t* movSi = static_cast<const uint8_t*>(std::memchr(s.data() + code, 0xBE, 16));
    ASSERT_NE(movSi, nullptr);
    const uint32_t message = Get16(movSi + 1) - 0x7C00u;
    ASSERT_LT(message, 510u);
    const std::string_view text(reinterpret_cast<const char*>(s.data() + message));
    EXPECT_NE(text.find("not a bootable disk"), std::string_view::npos);
    EXPECT_LT(message + text.size(), 510u);
    // int 10h, int 16h and int 19h are all there.
    const std::string_view all = Text(s.data() + code, message - code);
    EXPECT_NE(all.find("\xCD\x10"), std::string_view::npos);
    EXPECT_NE(all.find("\xCD\x16"), std::string_view::npos);
    EXPECT_NE(all.find("\xCD\x19"), std::string_view::npos);
  }
}

void CheckLayout(const fat::Layout& l) {
  const bool fat32 = l.kind == Kind::Fat32;
  SCOPED_TRACE(testing::Message() << "sectors " << l.totalSectors);
  EXPECT_GE(l.clusterCount, fat32 ? 65525u : 4085u);
  EXPECT_LE(l.clusterCount, fat32 ? 0x0FFFFFF5u : 65524u - 16u);
  EXPECT_LE(l.sectorsPerCluster * 512u, 32768u);
  EXPECT_EQ(l.DataStart() % l.sectorsPerCluster, 0u);
  EXPECT_GE(l.reservedSectors, fat32 ? 32 : 1);
  const uint64_t entries = uint64_t(l.fatSectors) * 512 / (fat32 ? 4 : 2);
  EXPECT_GE(entries, uint64_t(l.clusterCount) + 2);
  EXPECT_LE(uint64_t(l.DataStart()) + uint64_t(l.clusterCount) * l.sectorsPerCluster,
            l.totalSectors);
  // No more than one cluster's worth of sectors is left over at the end.
  if (l.clusterCount < (fat32 ? 0x0FFFFFF5u : 65524u - 16u)) {
    EXPECT_LT(l.totalSectors - l.DataStart() - l.clusterCount * l.sectorsPerCluster,
              l.sectorsPerCluster);
  }
}

TEST(FatLayout, EveryPlannedSizeKeepsTheRules) {
  const SizeLimits f16 = LimitsOf(Kind::Fat16);
  for (uint64_t size = f16.min; size <= f16.max; size = size + size / 97 + 4096 * 3 + 512) {
    const auto l = fat::Plan(Kind::Fat16, size);
    ASSERT_TRUE(l) << size;
    CheckLayout(*l);
  }
  const SizeLimits f32 = LimitsOf(Kind::Fat32);
  for (uint64_t size = f32.min; size <= f32.max; size = size + size / 53 + 512 * 7) {
    const auto l = fat::Plan(Kind::Fat32, size);
    ASSERT_TRUE(l) << size;
    CheckLayout(*l);
  }
  for (uint64_t size : {f16.max, f16.max - 511, f32.min, f32.max, uint64_t(67108864) * 512})
    ASSERT_TRUE(fat::Plan(size == f16.max || size == f16.max - 511 ? Kind::Fat16 : Kind::Fat32,
                          size));
}

TEST(FatLayout, SizesOutsideTheLimitsHaveNoLayout) {
  EXPECT_FALSE(fat::Plan(Kind::Fat16, 3 * kMiB - 512));
  EXPECT_TRUE(fat::Plan(Kind::Fat16, 3 * kMiB));
  EXPECT_TRUE(fat::Plan(Kind::Fat16, 2 * kGiB));
  EXPECT_FALSE(fat::Plan(Kind::Fat16, 2 * kGiB + 512));
  EXPECT_FALSE(fat::Plan(Kind::Fat32, 66600 * 512 + 511));
  EXPECT_TRUE(fat::Plan(Kind::Fat32, 66601 * 512));
  EXPECT_TRUE(fat::Plan(Kind::Fat32, uint64_t(0xFFFFFFFF) * 512));
  EXPECT_FALSE(fat::Plan(Kind::Fat32, uint64_t(0x100000000) * 512));
  EXPECT_FALSE(fat::Plan(Kind::Fat16, 0));
  EXPECT_FALSE(fat::Plan(Kind::Ext4, 16 * kMiB));
}

// ---- whole volumes ---------------------------------------------------------------------

struct FatCase {
  Kind kind;
  uint64_t size;
  const char* name;
};

class FatVolume : public testing::TestWithParam<FatCase> {};

// fsck.fat -n must pass without a word beyond its banner and its summary line.
void ExpectFsckClean(const std::string& fsck, const std::string& image) {
  std::string out;
  EXPECT_EQ(RunTool(fsck + " -n " + Quote(image), &out), 0) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
}

TEST_P(FatVolume, IsCleanSparseAndWritable) {
  TESSEL_REQUIRE_TOOL(fsck, "fsck.fat");
  TESSEL_REQUIRE_TOOL(blkid, "blkid");
  TESSEL_REQUIRE_TOOL(mcopy, "mcopy");
  const FatCase c = GetParam();
  TempDir dir;
  const std::string image = dir.Join("volume.img");
  ASSERT_TRUE(BuildImageFile(c.kind, c.size, image, {}));
  EXPECT_EQ(FileSize(image), int64_t(c.size));
  EXPECT_LT(AllocatedBytes(image), 1 * kMiB);  // only the few sectors that are not zero
  ExpectFsckClean(fsck, image);

  std::string out;
  ASSERT_EQ(BlkidProbe(blkid, image, &out), 0) << out;
  EXPECT_EQ(ExportValue(out, "TYPE"), "vfat");
  EXPECT_EQ(ExportValue(out, "VERSION"), c.kind == Kind::Fat32 ? "FAT32" : "FAT16");
  EXPECT_EQ(Identify(image), c.kind == Kind::Fat32 ? 2 : 1);

  std::vector<uint8_t> payload(100000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7 + i / 251);
  const std::string in = dir.Join("in.bin"), back = dir.Join("back.bin");
  ASSERT_TRUE(WriteFile(in, payload));
  ASSERT_EQ(RunTool(mcopy + " -i " + Quote(image) + " " + Quote(in) + " ::/PAYLOAD.BIN", &out), 0)
      << out;
  ASSERT_EQ(RunTool(mcopy + " -i " + Quote(image) + " ::/PAYLOAD.BIN " + Quote(back), &out), 0)
      << out;
  EXPECT_EQ(ReadBytes(back, 0, payload.size() + 1), payload);
  ExpectFsckClean(fsck, image);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FatVolume,
    testing::Values(FatCase{Kind::Fat16, 16 * kMiB, "Fat16_16MiB"},
                    FatCase{Kind::Fat16, 512 * kMiB, "Fat16_512MiB"},
                    FatCase{Kind::Fat16, 2 * kGiB, "Fat16_2GiB"},
                    FatCase{Kind::Fat16, 3 * kMiB, "Fat16_Smallest"},
                    FatCase{Kind::Fat32, 40 * kMiB, "Fat32_40MiB"},
                    FatCase{Kind::Fat32, 1 * kGiB, "Fat32_1GiB"},
                    FatCase{Kind::Fat32, 32 * kGiB, "Fat32_32GiB"},
                    FatCase{Kind::Fat32, 66601 * 512, "Fat32_Smallest"},
                    FatCase{Kind::Fat32, 300 * kMiB + 1234, "Fat32_OddSize"}),
    [](const testing::TestParamInfo<FatCase>& info) { return std::string(info.param.name); });

TEST(FatImage, Fat32SystemAreaOnDisk) {
  TempDir dir;
  const std::string image = dir.Join("v.img");
  ASSERT_TRUE(BuildImageFile(Kind::Fat32, 40 * kMiB, image, Fixed()));
  const std::vector<uint8_t> head = ReadBytes(image, 0, 8 * 512);
  ASSERT_EQ(head.size(), 8u * 512);
  EXPECT_TRUE(std::equal(head.begin(), head.begin() + 512, head.begin() + 6 * 512));
  EXPECT_TRUE(std::equal(head.begin() + 512, head.begin() + 1024, head.begin() + 7 * 512));
  EXPECT_EQ(Get32(&head[512]), 0x41615252u);
  const std::vector<uint8_t> fatHead = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF,
                                        0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
  for (uint64_t fatStart : {32u, 32u + 635u}) {
    std::vector<uint8_t> fat = ReadBytes(image, fatStart * 512, 512);
    ASSERT_EQ(fat.size(), 512u);
    EXPECT_TRUE(std::equal(fatHead.begin(), fatHead.end(), fat.begin()));
    EXPECT_TRUE(std::all_of(fat.begin() + 12, fat.end(), [](uint8_t b) { return b == 0; }));
  }
}

TEST(FatImage, FixedOptionsGiveIdenticalImages) {
  TESSEL_REQUIRE_TOOL(cmp, "cmp");
  TempDir dir;
  for (Kind kind : {Kind::Fat16, Kind::Fat32}) {
    const std::string a = dir.Join("a.img"), b = dir.Join("b.img");
    ASSERT_TRUE(BuildImageFile(kind, 48 * kMiB, a, Fixed()));
    ASSERT_TRUE(BuildImageFile(kind, 48 * kMiB, b, Fixed()));
    EXPECT_EQ(RunTool(cmp + " " + Quote(a) + " " + Quote(b)), 0);
    BuildOptions other = Fixed();
    other.volumeSerial = kSerial + 1;
    ASSERT_EQ(unlink(b.c_str()), 0);
    ASSERT_TRUE(BuildImageFile(kind, 48 * kMiB, b, other));
    EXPECT_NE(RunTool(cmp + " -s " + Quote(a) + " " + Quote(b)), 0);
    unlink(a.c_str());
    unlink(b.c_str());
  }
}

// A PC BIOS (SeaBIOS in QEMU) boots the volume: the boot code must print its message.
TEST(FatImage, BiosShowsTheNotBootableMessage) {
  TESSEL_REQUIRE_TOOL(qemu, "qemu-system-i386");
  TempDir dir;
  for (Kind kind : {Kind::Fat16, Kind::Fat32}) {
    const std::string image = dir.Join(kind == Kind::Fat16 ? "f16.img" : "f32.img");
    ASSERT_TRUE(BuildImageFile(kind, 40 * kMiB, image, Fixed()));
    const std::string screen = dir.Join("screen.bin");
    FILE* monitor = popen((qemu + " -display none -monitor stdio -m 16 -drive file=" +
                           Quote(image) + ",format=raw,if=ide >/dev/null 2>&1")
                              .c_str(),
                          "w");
    ASSERT_NE(monitor, nullptr);
    std::string text;
    // Poll the text-mode screen (0xB8000, character and attribute bytes) until the message
    // appears; the deadline only bounds a hang, it measures nothing.
    for (int attempt = 0; attempt < 120 && text.find("Press any key") == std::string::npos;
         ++attempt) {
      usleep(250 * 1000);
      unlink(screen.c_str());
      std::fprintf(monitor, "pmemsave 0xb8000 4000 \"%s\"\n", screen.c_str());
      std::fflush(monitor);
      usleep(100 * 1000);
      const std::vector<uint8_t> cells = ReadBytes(screen, 0, 4000);
      text.clear();
      for (size_t i = 0; i < cells.size(); i += 2) text += char(cells[i]);
    }
    std::fprintf(monitor, "quit\n");
    pclose(monitor);
    EXPECT_NE(text.find("This is not a bootable disk."), std::string::npos) << text;
    EXPECT_NE(text.find("Press any key to restart."), std::string::npos);
  }
}

// ---- failure paths -----------------------------------------------------------------------

TEST(FatImage, NeverReplacesOrFollowsAnExistingName) {
  TempDir dir;
  const std::string existing = dir.Join("existing.img");
  const std::vector<uint8_t> content = {1, 2, 3, 4};
  ASSERT_TRUE(WriteFile(existing, content));
  EXPECT_FALSE(BuildImageFile(Kind::Fat32, 40 * kMiB, existing, {}));
  EXPECT_EQ(ReadBytes(existing, 0, 10), content);

  const std::string link = dir.Join("link.img");
  ASSERT_EQ(symlink(dir.Join("elsewhere.img").c_str(), link.c_str()), 0);
  EXPECT_FALSE(BuildImageFile(Kind::Fat32, 40 * kMiB, link, {}));
  EXPECT_NE(access(dir.Join("elsewhere.img").c_str(), F_OK), 0);

  EXPECT_FALSE(BuildImageFile(Kind::Fat32, 40 * kMiB, dir.Join("no/such/folder.img"), {}));
  EXPECT_FALSE(BuildImageFile(Kind::Fat32, 40 * kMiB, "", {}));
  EXPECT_FALSE(BuildImageFile(Kind::Fat32, 1 * kMiB, dir.Join("small.img"), {}));
  EXPECT_NE(access(dir.Join("small.img").c_str(), F_OK), 0);
}

TEST(FatImage, AFailedBuildLeavesNoFile) {
  TempDir dir;
  const std::string image = dir.Join("big.img");
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto previous = signal(SIGXFSZ, SIG_IGN);
  rlimit limited = old;
  limited.rlim_cur = 8 * kMiB;  // the file cannot reach its size
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const bool built = BuildImageFile(Kind::Fat32, 40 * kMiB, image, {});
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  EXPECT_FALSE(built);
  EXPECT_NE(access(image.c_str(), F_OK), 0);
}

TEST(FatTarget, AFailingTargetFailsTheBuild) {
  TempDir dir;
  const std::string backing = dir.Join("card.img");
  ASSERT_TRUE(MakeSparseFile(backing, 64 * kMiB));
  // Fails in the signature area, in the FATs, and at the boot sector written last.
  for (int64_t failAfter : {int64_t(0), int64_t(512 * 1024), int64_t(64 * kMiB - 4096)}) {
    for (Kind kind : {Kind::Fat16, Kind::Fat32}) {
      FileComm comm(backing, 0, failAfter);
      ASSERT_TRUE(comm.ok());
      CommTarget target(&comm);
      EXPECT_FALSE(BuildOnTarget(kind, 64 * kMiB, target, Fixed())) << failAfter;
    }
  }
}

// Through a target an empty volume costs its system area alone: the FATs and the root
// directory as one zero range, the boot sectors and the first FAT sectors as data; on a card
// that holds zeros already, the signature areas are read and not written.
TEST(FatTarget, WritesItsSystemAreaOnly) {
  TESSEL_REQUIRE_TOOL(fsck, "fsck.fat");
  TempDir dir;
  struct Case {
    Kind kind;
    uint64_t size;
    uint64_t dataSectors;  // boot sector, FSInfo, backups, first sector of each FAT
  } cases[] = {{Kind::Fat16, 2 * kGiB, 3}, {Kind::Fat32, 4 * kGiB, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.kind));
    const std::string card = dir.Join("card.img");
    ASSERT_TRUE(MakeSparseFile(card, c.size));
    const auto layout = fat::Plan(c.kind, c.size);
    ASSERT_TRUE(layout);
    uint64_t systemEnd = uint64_t(layout->DataStart()) * fat::kSectorSize;
    if (c.kind == Kind::Fat32) systemEnd += layout->sectorsPerCluster * fat::kSectorSize;
    {
      FileComm comm(card, 0);
      CommTarget target(&comm);
      ASSERT_TRUE(BuildOnTarget(c.kind, c.size, target, Fixed()));
      EXPECT_EQ(comm.bytesZeroed(), systemEnd - layout->FatStart(0) * fat::kSectorSize);
      EXPECT_EQ(comm.bytesWritten(), c.dataSectors * fat::kSectorSize);
      for (const auto& [offset, length] : comm.log()) EXPECT_LE(offset + length, systemEnd);
    }
    ExpectFsckClean(fsck, card);
  }
}

// Through a target at an offset inside a larger file: the volume lands there, and not one
// byte outside it changes.
TEST(FatTarget, WritesOnlyInsideTheVolume) {
  TESSEL_REQUIRE_TOOL(fsck, "fsck.fat");
  TempDir dir;
  const std::string card = dir.Join("card.img");
  const uint64_t before = 1 * kMiB + 512 * 3, size = 16 * kMiB, after = 1 * kMiB;
  std::vector<uint8_t> pattern(before + size + after);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(0xA5 ^ (i % 251));
  ASSERT_TRUE(WriteFile(card, pattern));
  {
    FileComm comm(card, int64_t(before));
    CommTarget target(&comm);
    ASSERT_TRUE(BuildOnTarget(Kind::Fat16, size, target, Fixed()));
    EXPECT_LE(comm.largestRequest(), 1u << 20);
  }
  const std::vector<uint8_t> now = ReadBytes(card, 0, pattern.size());
  ASSERT_EQ(now.size(), pattern.size());
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.begin() + before, now.begin()));
  EXPECT_TRUE(std::equal(pattern.end() - after, pattern.end(), now.end() - after));
  const std::string volume = dir.Join("volume.img");
  ASSERT_TRUE(WriteFile(volume, std::vector<uint8_t>(now.begin() + before,
                                                     now.begin() + before + size)));
  ExpectFsckClean(fsck, volume);
  // Signatures of older volumes and RAID members at the end are gone too.
  EXPECT_TRUE(std::all_of(now.begin() + before + size - kMiB, now.begin() + before + size,
                          [](uint8_t b) { return b == 0; }));
  // The old pattern in the FAT and root directory is gone, so the volume reads empty.
  std::string out;
  RunTool(fsck + " -n " + Quote(volume), &out);
  EXPECT_NE(out.find(" 0 files"), std::string::npos) << out;
}

// A FAT32 volume made over an ext4 one: blkid must see FAT alone, not an ambiguous pair.
TEST(FatTarget, ReplacesAnOlderFileSystemCompletely) {
  TESSEL_REQUIRE_TOOL(mke2fs, "mke2fs");
  TESSEL_REQUIRE_TOOL(blkid, "blkid");
  TempDir dir;
  const std::string card = dir.Join("card.img");
  ASSERT_TRUE(MakeSparseFile(card, 40 * kMiB));
  std::string out;
  ASSERT_EQ(RunTool(mke2fs + " -q -F -t ext4 " + Quote(card), &out), 0) << out;
  ASSERT_EQ(Identify(card), 5);
  {
    FileComm comm(card, 0);
    CommTarget target(&comm);
    ASSERT_TRUE(BuildOnTarget(Kind::Fat32, 40 * kMiB, target, Fixed()));
  }
  ASSERT_EQ(BlkidProbe(blkid, card, &out), 0) << out;
  EXPECT_EQ(ExportValue(out, "TYPE"), "vfat");
  EXPECT_EQ(Identify(card), 2);
}

}  // namespace
}  // namespace tessel
