#include "Config.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "Validation.h"
#include "testing/TestDisk.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing_support::JobRecorder;
using testing_support::MakeImage;
using testsupport::TempDir;

std::u16string L(const char16_t* key) { return LocalText(key, 0); }

std::u16string ParLine(const std::u16string& name, const char16_t* key,
                       const std::u16string& tail = {}) {
  return L(u"Par") + u" " + name + u":" + L(key) + tail + u"\n";
}

std::u16string BinLine(int number, const char16_t* key, const std::u16string& tail = {}) {
  return L(u"NO") + plat::FromUtf8(std::to_string(number)) + u" " + L(u"BinFile") + L(key) +
         tail + u"\n";
}

class ValidationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(L(u"WrittenInfoErr").empty());  // the catalogue is beside the test
    job_.showMsgFunc = DiskJob.showMsgFunc;      // the recorder's
    job_.firmwareFolder = plat::FromUtf8(dir_.path());
  }
  // A file of `size` bytes (sparse) in the firmware folder.
  std::u16string File(const std::string& name, uint64_t size) {
    MakeImage(dir_.Join(name), size, false);
    return plat::FromUtf8(dir_.Join(name));
  }
  std::u16string Missing(const std::string& name) const { return plat::FromUtf8(dir_.Join(name)); }
  void AddPartition(const std::u16string& name, int64_t mib, int32_t offset,
                    const std::u16string& image = {}) {
    PartitionSpec p;
    p.name = name;
    p.capacityBytes = mib * 1048576;
    p.offset = offset;
    p.imagePath = image;
    job_.partitions.push_back(p);
  }
  // Validates and returns the one report shown, or "" when none was.
  std::u16string Validate(int32_t mode, int32_t expectedResult) {
    rec_.Clear();
    EXPECT_EQ(job_.ValidateLayout(mode), expectedResult);
    EXPECT_LE(rec_.reports.size(), 1u);
    EXPECT_EQ(rec_.reports.empty(), expectedResult == 1);
    return rec_.reports.empty() ? u"" : rec_.reports[0];
  }

  TempDir dir_;
  JobRecorder rec_;
  CPlinthApp job_;
};

// The configuration corpus holds the usual limits; this is the 32-bit one of the table: no
// layout may end beyond what a partition table addresses, however large the disk.
TEST_F(ValidationTest, TheLayoutEndsWithinWhatATableAddresses) {
  job_.diskSize = 4ull << 40;
  AddPartition(u"a", 2u << 20, 2048);
  EXPECT_EQ(Validate(0, 0), L(u"DiskFull"));
}

TEST_F(ValidationTest, OrderIsUnsignedAndKeepsEqualOffsetsInListOrder) {
  const std::vector<BinFileSpec> files = {{u"a", -1}, {u"b", 7}, {u"c", 0}, {u"d", 7}, {u"e", 3}};
  const std::vector<BinFileOrder> order = OrderBinFiles(files);
  ASSERT_EQ(order.size(), 5u);
  const int32_t positions[] = {2, 4, 1, 3, 0};
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(order[i].position, positions[i]);
    EXPECT_EQ(order[i].path, files[static_cast<size_t>(positions[i])].path);
  }
  EXPECT_EQ(SectorBytes(-1), 0xFFFFFFFFull * 512);
}

// An update rewrites contents only: the layout's offsets and total are not its business, but
// its bin files must still end on the disk.
TEST_F(ValidationTest, UpdateChecksNeitherOffsetNorTotalButBoundsBinFilesByTheDisk) {
  job_.diskSize = 1 << 20;
  AddPartition(u"sys", 4096, -5);
  job_.updateBinFiles = {{File("u.bin", 1024), 2040}};
  Validate(1, 1);
  job_.updateBinFiles[0].offset = 2047;
  const std::u16string path = job_.updateBinFiles[0].path;
  EXPECT_EQ(Validate(1, 0),
            L(u"UpdateInfoErr") + u"\n" + BinLine(1, u"BinFileSizeTooBig", u":" + path));
}

TEST_F(ValidationTest, UpdateOfAPartitionWithoutARealSizeTakesNoImage) {
  job_.diskSize = 1 << 30;
  AddPartition(u"sys", 0, 2048);
  job_.partitions[0].capacityBytes = kCapacityTooBig;
  job_.updatePartitions = {{u"sys", 0, File("small.img", 512), 0}};
  EXPECT_EQ(Validate(1, 0), L(u"UpdateInfoErr") + u"\n" + ParLine(u"sys", u"SizeTooSmall"));
}

TEST_F(ValidationTest, PreChecksReportOnlyTheFirstMissingFile) {
  AddPartition(u"a", 1, 2048, File("a.img", 512));
  AddPartition(u"b", 1, 0);
  job_.binFiles = {{Missing("first.bin"), 1}, {Missing("second.bin"), 2}};
  rec_.Clear();
  EXPECT_EQ(job_.CheckWriteFiles(), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], L(u"FileNotFound") + Missing("first.bin"));
  job_.updatePartitions = {{u"a", 0, Missing("u.img"), 0}};
  job_.updateBinFiles = {{Missing("u.bin"), 1}};
  rec_.Clear();
  EXPECT_EQ(job_.CheckUpdateFiles(), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], L(u"FileNotFound") + Missing("u.img"));
  job_.updatePartitions[0].imagePath.clear();
  rec_.Clear();
  EXPECT_EQ(job_.CheckUpdateFiles(), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0], L(u"FileNotFound") + Missing("u.bin"));
}

}  // namespace
