// The decisions brindle-cli makes about a target: sizes, /dev paths, and which block devices
// are safe to write, on the fixture machines of disks/testdata and on trees made here.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "JobTarget.h"
#include "testsupport/TestSupport.h"

namespace fs = std::filesystem;

namespace {

const std::string kTestData = std::string(BRINDLE_SOURCE_DIR) + "/disks/testdata/";

class ScratchDir : public testsupport::TempDir {
 public:
  void Write(const std::string& name, const std::string& text) const {
    fs::create_directories(fs::path(Join(name)).parent_path());
    testsupport::WriteFile(Join(name), text);
  }
};

TEST(JobTarget, ParseSize) {
  uint64_t bytes = 0;
  const std::pair<const char*, uint64_t> good[] = {
      {"1024", 1024}, {"512M", 512ull << 20}, {"3k", 3072}, {"2GiB", 2ull << 30},
      {"1TB", 1ull << 40}, {"16777215T", 16777215ull << 40}};  // the largest that fits
  for (const auto& [text, expected] : good) {
    EXPECT_TRUE(ParseSize(text, bytes)) << text;
    EXPECT_EQ(bytes, expected) << text;
  }
  bytes = 7;
  for (const char* bad : {"", "0", "0M", "1000", "1K5", "1.5G", "-1M", "+1M", " 1M", "1M ",
                          "1X", "1Mi", "1MiBs", "16777216T", "18446744073709551616",
                          "99999999999999999999999"}) {
    EXPECT_FALSE(ParseSize(bad, bytes)) << bad;
  }
  EXPECT_EQ(bytes, 7u);  // untouched by a failure
}

// The end of a layout with logical partitions is the end-to-end test's (the example's size).
TEST(JobTarget, DefaultImageSizeIsTheEndOfTheLayoutOrOfTheBinFiles) {
  ScratchDir dir;
  // One partition: its end. A bin file of the update section past it counts too.
  dir.Write("one/config.xml", R"(<diskMaker><partitions>
<partition name="a" capacity="1" offset="100"/></partitions>
<update><binFiles><file path="u.bin" offset="3000"/></binFiles></update></diskMaker>)");
  dir.Write("one/u.bin", std::string(513, 'u'));
  EXPECT_EQ(DefaultImageSize(dir.Join("one")), (3000u + 2) * 512);
  fs::remove(dir.Join("one/u.bin"));  // a missing file is validation's business
  EXPECT_EQ(DefaultImageSize(dir.Join("one")), (100u + 2048) * 512);

  // Nothing planned, no configuration, a first partition without a start, a layout no MBR
  // can address: no size.
  dir.Write("empty/config.xml", "<diskMaker/>");
  EXPECT_EQ(DefaultImageSize(dir.Join("empty")), 0u);
  EXPECT_EQ(DefaultImageSize(dir.Join("missing")), 0u);
  for (const auto& [capacity, offset] : {std::pair{"1", "0"}, {"3000000", "2048"},
                                         {"99999999999999999999", "2048"}}) {
    dir.Write("bad/config.xml", std::string("<diskMaker><partitions><partition name=\"a\" ") +
                                    "capacity=\"" + capacity + "\" offset=\"" + offset +
                                    "\"/></partitions></diskMaker>");
    EXPECT_EQ(DefaultImageSize(dir.Join("bad")), 0u) << capacity << " at " << offset;
  }
}

TEST(JobTarget, PathsUnderDev) {
  EXPECT_TRUE(IsUnderDev("/dev/sdz"));
  EXPECT_FALSE(IsUnderDev("/tmp/card.img"));
  EXPECT_FALSE(IsUnderDev("card.img"));
  EXPECT_FALSE(IsUnderDev("/devices.img"));
  ScratchDir dir;
  fs::create_directory_symlink("/dev", dir.Join("d"));
  EXPECT_TRUE(IsUnderDev(dir.Join("d/sdz")));
}

BlockTarget Inspect(const std::string& machine, unsigned major, unsigned minor) {
  SystemFiles files;
  files.sysfs = kTestData + machine + "/sys";
  files.mountinfo = kTestData + machine + "/mountinfo";
  files.swaps = kTestData + machine + "/swaps";
  return InspectBlockDevice(major, minor, files);
}

TEST(JobTarget, FixtureMachines) {
  // A card reader's slot is named by its vendor and model, an attached image by its file.
  EXPECT_EQ(Inspect("cardreader", 8, 16).model, "Generic- SD/MMC");
  EXPECT_EQ(Inspect("laptop", 7, 0).model, "/home/anna/images/sdcard.img");

  // What refuses each device ("" where it may be written). Which mounts are the running
  // system's is the disk library's test.
  const struct {
    const char* machine;
    unsigned major, minor;
    const char* refusal;
  } cases[] = {
      {"cardreader", 8, 16, ""},
      {"cardreader", 8, 17, "sdb1 is a partition of sdb"},
      // A USB disk under an encrypted root and swap: the running system's all the same.
      {"usbboot", 8, 16, "/ on /dev/mapper/sdb2_crypt, /boot/efi on /dev/sdb1, swap on /dev/sdb3"},
      {"laptop", 179, 0, "fixed disk"},  // the internal SD slot: neither removable nor USB
      {"laptop", 7, 1, "loop1"},  // an unattached loop device is no image its user attached
      {"laptop", 1, 1, "sysfs"},  // no disk at all
  };
  for (const auto& c : cases) {
    const std::string refusal = SafetyRefusal(Inspect(c.machine, c.major, c.minor));
    if (*c.refusal == '\0') {
      EXPECT_EQ(refusal, "") << c.machine << " " << c.major << ":" << c.minor;
    } else {
      EXPECT_TRUE(refusal.find(c.refusal) != std::string::npos)
          << c.machine << " " << c.major << ":" << c.minor << ": " << refusal;
    }
  }
}

}  // namespace
