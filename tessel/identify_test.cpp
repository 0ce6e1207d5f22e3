// Identify on images made by the standard tools and on junk.
#include "Tessel.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace tessel {
namespace {

using namespace tessel::test;
using namespace testsupport;

struct ToolImage {
  const char* name;
  const char* tool;
  const char* options;
  uint64_t size;
  int32_t expected;
};

class IdentifyToolImage : public testing::TestWithParam<ToolImage> {};

TEST_P(IdentifyToolImage, NamesTheFileSystem) {
  const ToolImage c = GetParam();
  TESSEL_REQUIRE_TOOLS(c.tool);
  TempDir dir;
  const std::string image = dir.Join("tool.img");
  ASSERT_TRUE(MakeSparseFile(image, c.size));
  std::string out;
  ASSERT_EQ(RunTool(std::string(c.tool) + " " + c.options + " " + Quote(image), &out), 0) << out;
  EXPECT_EQ(Identify(image), c.expected);
  // Through a target, from the boot sector or superblock alone, the same answer as blkid's.
  FileComm comm(image, 0);
  CommTarget target(&comm);
  EXPECT_EQ(IdentifyVolume(target), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, IdentifyToolImage,
    testing::Values(ToolImage{"Fat16", "mkfs.fat", "-F 16", 32 * kMiB, 1},
                    ToolImage{"Fat32", "mkfs.fat", "-F 32", 64 * kMiB, 2},
                    ToolImage{"Fat12", "mkfs.fat", "-F 12", 4 * kMiB, 0},
                    ToolImage{"Ext2", "mke2fs", "-q -F -t ext2", 16 * kMiB, 3},
                    ToolImage{"Ext3", "mke2fs", "-q -F -t ext3", 16 * kMiB, 4},
                    ToolImage{"Ext4", "mke2fs", "-q -F -t ext4", 16 * kMiB, 5}),
    [](const testing::TestParamInfo<ToolImage>& info) { return std::string(info.param.name); });

TEST(Identify, JunkIsUnknown) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir.Join("empty.img"), ""));
  ASSERT_TRUE(MakeSparseFile(dir.Join("zeros.img"), 8 * kMiB));
  EXPECT_EQ(Identify(dir.Join("zeros.img")), 0);
  EXPECT_EQ(Identify(dir.Join("missing.img")), 0);
  FileComm zeros(dir.Join("zeros.img"), 0);
  CommTarget target(&zeros);
  EXPECT_EQ(IdentifyVolume(target), 0);
  FileComm empty(dir.Join("empty.img"), 0);
  CommTarget unreadable(&empty);
  EXPECT_EQ(IdentifyVolume(unreadable), -1);
}

}  // namespace
}  // namespace tessel
