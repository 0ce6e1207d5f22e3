// brindle-cli list, run as a program on the fixture machines of disks/testdata.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "CliCommon.h"
#include "CliTestSupport.h"
#include "LocalText.h"
#include "testsupport/TestSupport.h"

namespace {

using cli_test::Has;
using cli_test::Outcome;
using cli_test::RunCli;
using cli_test::RunCliExpecting;

const std::string kTestData = std::string(BRINDLE_SOURCE_DIR) + "/disks/testdata/";

std::string Machine(const std::string& name) {
  const std::string base = kTestData + name;
  return "--sysfs " + base + "/sys --mountinfo " + base + "/mountinfo --swaps " + base + "/swaps";
}

TEST(CliList, JsonOfEveryDisk) {
  const Outcome run = RunCliExpecting(0, "list --json --all " + Machine("cardreader"));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "{\n"
            "  \"disks\": [\n"
            "    {\"diskNumber\": 0, \"device\": \"/dev/sda\", \"name\": \"sda\", "
            "\"size\": 1000204886016, \"sizeText\": \"931.51G\", \"usb\": false, "
            "\"removable\": false, \"readOnly\": false, \"loop\": false, \"backingFile\": \"\", "
            "\"vendor\": \"ATA\", \"model\": \"WDCWD10EZEX-08W\", \"mountedVolumes\": 2, "
            "\"systemUse\": \"/ on /dev/sda2, /boot/efi on /dev/sda1\", "
            "\"offeredByGui\": false},\n"
            "    {\"diskNumber\": 1, \"device\": \"/dev/sdb\", \"name\": \"sdb\", "
            "\"size\": 7948206080, \"sizeText\": \"7.40G\", \"usb\": true, "
            "\"removable\": true, \"readOnly\": false, \"loop\": false, \"backingFile\": \"\", "
            "\"vendor\": \"Generic-\", \"model\": \"SD/MMC\", \"mountedVolumes\": 0, "
            "\"systemUse\": \"\", \"offeredByGui\": true},\n"
            "    {\"diskNumber\": 2, \"device\": \"/dev/sdc\", \"name\": \"sdc\", "
            "\"size\": 0, \"sizeText\": \"0B\", \"usb\": true, "
            "\"removable\": true, \"readOnly\": false, \"loop\": false, \"backingFile\": \"\", "
            "\"vendor\": \"Generic-\", \"model\": \"CompactFlash\", \"mountedVolumes\": 0, "
            "\"systemUse\": \"\", \"offeredByGui\": false}\n"
            "  ]\n"
            "}\n");
}

TEST(CliList, DefaultShowsUsbDisksWithMediaAndWritableImages) {
  const Outcome reader = RunCliExpecting(0, "list --json " + Machine("cardreader"));
  EXPECT_TRUE(Has(reader.out, "\"/dev/sdb\""));
  EXPECT_FALSE(Has(reader.out, "\"/dev/sda\""));  // the system disk
  EXPECT_FALSE(Has(reader.out, "\"/dev/sdc\""));  // the empty slot

  // The laptop: the NVMe disk and the SD slot are not USB, the snap's loop device is read-only.
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
  const Outcome none = RunCliExpecting(
      0, "list --sysfs /nonexistent-sysfs --mountinfo " + kTestData + "usbstick/mountinfo");
  EXPECT_EQ(none.out.rfind("No USB disk", 0), 0u) << none.out;
  const Outcome noneJson = RunCli("list --json --sysfs=/nonexistent-sysfs");
  EXPECT_EQ(noneJson.out, "{\n  \"disks\": []\n}\n");
}

TEST(CliList, UnreadableMountTableIsShownAsAnError) {
  const Outcome run = RunCliExpecting(0, "list --json --sysfs " + kTestData +
                                             "usbstick/sys --mountinfo " + kTestData +
                                             "usbstick/no-such-file");
  const std::string text = Utf8(LocalText(u"GetLogicDriveFail", 0));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(run.err, "Error: " + text + "\n");
  EXPECT_TRUE(Has(run.out, "\"device\": \"/dev/sdc\""));
}

TEST(CliList, OutputThatCannotBeWrittenIsAFailure) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this system";
  const Outcome run =
      RunCliExpecting(1, "list --json --all " + Machine("cardreader") + " >/dev/full");
  EXPECT_TRUE(Has(run.err, "cannot write")) << run.err;
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
