// The verify job on written cards, image files and loop devices: every kind of change is found
// once, at its item and sector, without writing anything. (Cards as written verify in the
// command-line tests.)
#include "DiskLogicData.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "TextUtil.h"
#include "testing/TestDisk.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

using namespace testing_support;
using namespace testsupport;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kCardBytes = 16 * kMiB;

// The layout of the firmware below, in sectors: boot (image) at 2048 for 2 MiB, the extended
// partition from 6145, data (empty FAT16, 8 MiB) after its EBR, root (image, 3 MiB) after its.
constexpr uint64_t kBoot = 2048, kFirstEbr = 6145, kData = kFirstEbr + 63,
                   kSecondEbr = kFirstEbr + 16384 + 63, kLoader = 64;

constexpr const char* kConfig = R"(<?xml version="1.0"?>
<diskMaker>
  <partitions>
    <partition name="boot" capacity="2" imagePath="boot.img" active="true" offset="2048"
               type="fat16"/>
    <partition name="data" capacity="8" type="fat16"/>
    <partition name="root" capacity="3" imagePath="root.img" type="ext4"/>
  </partitions>
  <binFiles><file path="loader.bin" offset="64"/></binFiles>
  <update>
    <partitions><partition name="root" imagePath="root2.img" type="ext4"/></partitions>
    <binFiles><file path="env.bin" offset="2000"/></binFiles>
  </update>
</diskMaker>
)";

void MakeFirmware(const std::string& folder) {
  std::filesystem::create_directories(folder);
  ASSERT_TRUE(WriteFile(folder + "/config.xml", kConfig));
  ASSERT_TRUE(WriteFile(folder + "/boot.img", RandomBytes(kMiB + 300, 1)));  // padded sector
  ASSERT_TRUE(WriteFile(folder + "/root.img", RandomBytes(2 * kMiB, 2)));
  ASSERT_TRUE(WriteFile(folder + "/root2.img", RandomBytes(2 * kMiB + 4096, 3)));
  ASSERT_TRUE(WriteFile(folder + "/loader.bin", RandomBytes(40000, 4)));
  ASSERT_TRUE(WriteFile(folder + "/env.bin", RandomBytes(512, 5)));
}

void FlipByte(const std::string& file, uint64_t offset) {
  const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  uint8_t byte = 0;
  ASSERT_EQ(pread(fd, &byte, 1, static_cast<off_t>(offset)), 1);
  byte ^= 0xA5;
  ASSERT_EQ(pwrite(fd, &byte, 1, static_cast<off_t>(offset)), 1);
  close(fd);
}

struct Case {
  const char* name;
  bool update;                  // the card was updated, and the update is what is verified
  std::vector<uint64_t> bytes;  // changed on the card after the job, behind any cache
  uint64_t truncateSector = 0;  // the card ends here
  const char16_t* itemKey = nullptr;
  int itemNumber = 0;                 // for the keys that are formats
  const char16_t* itemTail = u"";     // after the item key's text
  uint64_t firstBad = 0;
  uint64_t badSectors = 0;
  const char16_t* extraKey = nullptr;  // a further line of the report
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The report of a card that differs from the firmware at `item`.
std::u16string Mismatch(const std::u16string& item, uint64_t firstBad, uint64_t badSectors) {
  return LocalText(u"VerifyMismatch", 0) + u"\n" + LocalText(u"VerifyWhere", 0) + item + u"\n" +
         LocalText(u"VerifyFirstSector", 0) + plat::FromUtf8(std::to_string(firstBad)) + u"\n" +
         LocalText(u"VerifySectorCount", 0) + plat::FromUtf8(std::to_string(badSectors));
}

const Case kCases[] = {
    {"mbr_entry", false, {446 + 8}, 0, u"VerifyItemMbr", 0, u"", 0, 1},
    {"ebr_link", false, {kFirstEbr * 512 + 462 + 9}, 0, u"VerifyItemEbr", 2, u"", kFirstEbr, 1},
    {"image_padding", false, {(kBoot + 2048) * 512 + 400}, 0, u"Par", 0, u" boot", kBoot + 2048,
     1},
    {"bin_file", false, {kLoader * 512 + 1000}, 0, u"VerifyItemBin", 1, u" (loader.bin)",
     kLoader + 1, 1},
    {"empty_volume_second_fat", false, {(kData + 40) * 512 + 2}, 0, u"Par", 0, u" data",
     kData + 40, 1},
    {"truncated", false, {}, 15000, u"Par", 0, u" data", 15000, kData + 16384 - 15000,
     u"VerifyDiskShort"},
    {"update_type_byte", true, {kSecondEbr * 512 + 446 + 4}, 0, u"VerifyItemEbr", 3, u"",
     kSecondEbr, 1},
    {"update_bin_file", true, {2000 * 512 + 511}, 0, u"VerifyItemBin", 1, u" (env.bin)", 2000, 1},
};

class VerifyJob : public ::testing::TestWithParam<std::tuple<Case, bool>> {
 protected:
  TempDir dir_;
  JobRecorder rec_;
};

TEST_P(VerifyJob, FindsEveryChangeAtItsItemAndSector) {
  const auto& [c, onLoop] = GetParam();
  const std::string fw = dir_.Join("fw"), card = dir_.Join("card.img");
  MakeFirmware(fw);
  MakeImage(card, kCardBytes, true);
  std::unique_ptr<LoopDevice> loop;
  if (onLoop) {
    loop = std::make_unique<LoopDevice>(card);
    if (loop->name().empty()) GTEST_SKIP() << "no loop device: " << loop->error();
  }
  const std::u16string target = plat::FromUtf8(onLoop ? loop->name() : card);
  const std::u16string folder = plat::FromUtf8(fw);
  MakeDisk(folder.c_str(), target.c_str(), kCardBytes);
  if (c.update) UpdateDisk(folder.c_str(), target.c_str(), kCardBytes);
  ASSERT_TRUE(rec_.reports.empty()) << plat::ToUtf8(rec_.reports[0]);

  // Someone else keeps the loop device open and has read all of it, so its page cache holds
  // the card as written; the changes go to the image file behind it, where only reads that
  // reach the device see them.
  int holder = -1;
  if (onLoop) {
    holder = open(loop->name().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    std::vector<uint8_t> all(kCardBytes);
    ASSERT_EQ(pread(holder, all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
  }
  for (uint64_t byte : c.bytes) FlipByte(card, byte);
  if (c.truncateSector != 0) {
    std::filesystem::resize_file(card, c.truncateSector * 512);
    if (onLoop) {
      ASSERT_EQ(RunTool("losetup -c " + Quote(loop->name())), 0);
    }
  }
  const std::string before = ReadFile(card);
  rec_.Clear();
  VerifyDisk(folder.c_str(), target.c_str(), kCardBytes, c.update ? 1 : 0);

  if (holder >= 0) close(holder);
  EXPECT_TRUE(ReadFile(card) == before) << "verify wrote to the card";
  ASSERT_EQ(rec_.reports.size(), 1u);
  ASSERT_FALSE(rec_.lines.empty());
  EXPECT_EQ(rec_.lines.back(), LocalText(u"VerifyFailed", 1));
  std::u16string expected =
      Mismatch(FormatWithInt(LocalText(c.itemKey, 0), c.itemNumber) + c.itemTail, c.firstBad,
               c.badSectors);
  if (c.extraKey != nullptr) {
    expected += u"\n" + LocalText(c.extraKey, 0) + plat::FromUtf8(std::to_string(c.truncateSector));
  }
  EXPECT_EQ(plat::ToUtf8(rec_.reports[0]), plat::ToUtf8(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cards, VerifyJob, ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "_loop" : "_file");
    });

}  // namespace
