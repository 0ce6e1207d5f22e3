// brindle-cli list, run as a program on the fixture machines of disks/testdata.

#include <gtest/gtest.h>

#include <sstream>

#include "CliCommon.h"
#include "CliTestSupport.h"
#include "testsupport/TestSupport.h"

namespace {

using namespace cli_test;

const std::string kTestData = std::string(BRINDLE_SOURCE_DIR) + "/disks/testdata/";

std::string Machine(const std::string& name) {
  const std::string base = kTestData + name;
  return "--sysfs " + base + "/sys --mountinfo " + base + "/mountinfo --swaps " + base + "/swaps";
}

// By default the USB disks with media (numbered as in --all) and writable images.
TEST(CliList, JsonOfTheDefaultDisks) {
  const Outcome run = RunCliExpecting(0, "list --json " + Machine("cardreader"));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "{\n"
            "  \"disks\": [\n"
            "    {\"diskNumber\": 1, \"device\": \"/dev/sdb\", \"name\": \"sdb\", "
            "\"size\": 7948206080, \"sizeText\": \"7.40G\", \"usb\": true, "
            "\"removable\": true, \"readOnly\": false, \"loop\": false, \"backingFile\": \"\", "
            "\"vendor\": \"Generic-\", \"model\": \"SD/MMC\", \"mountedVolumes\": 0, "
            "\"systemUse\": \"\", \"offeredByGui\": true}\n"
            "  ]\n"
            "}\n");
  // The laptop: the NVMe disk and the SD slot are not USB, the snap's loop device is read-only,
  // loop1 has no image attached.
  const Outcome laptop = RunCliExpecting(0, "list --json " + Machine("laptop"));
  EXPECT_TRUE(Has(laptop.out, "\"loop\": true, \"backingFile\": \"/home/anna/images/sdcard.img\""))
      << laptop.out;
  for (const char* hidden : {"/dev/loop2", "/dev/nvme0n1", "/dev/mmcblk0", "/dev/loop1"}) {
    EXPECT_FALSE(Has(laptop.out, hidden)) << hidden;
  }
}

TEST(CliList, Table) {
  const Outcome run = RunCliExpecting(0, "list --all " + Machine("usbstick"));
  EXPECT_EQ(run.out,
            "#  DEVICE    SIZE     USB  REMOVABLE  READ-ONLY  VOLUMES  MODEL\n"
            "0  /dev/sda  232.89G  no   no         no         1        ATA SamsungSSD860\n"
            "1  /dev/sdc  14.32G   yes  yes        no         2        SanDisk CruzerBlade\n");
  const Outcome none = RunCliExpecting(0, "list --sysfs /nonexistent-sysfs");
  EXPECT_EQ(none.out.rfind("No USB disk", 0), 0u) << none.out;
  const Outcome noneJson = RunCli("list --json --sysfs=/nonexistent-sysfs");
  EXPECT_EQ(noneJson.out, "{\n  \"disks\": []\n}\n");
}

TEST(CliCommon, JsonStringsAreEscapedAndValid) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("tab\there\nnl\x01\x7f"), "\"tab\\there\\nnl\\u0001\\u007f\"");
  EXPECT_EQ(JsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  EXPECT_EQ(ValidUtf8("Kart\xe9"), "Kart\xef\xbf\xbd");
}

TEST(CliCommon, TableColumnsCountCharactersNotBytes) {
  std::ostringstream out;
  PrintTable(out, {{"A", "B"}, {"\xc3\xa9\xc3\xa9", "x"}, {"abc", ""}});
  EXPECT_EQ(out.str(), "A    B\n\xc3\xa9\xc3\xa9   x\nabc\n");
}

}  // namespace
