// The report line of one card and the serial number found in sysfs.
#include <gtest/gtest.h>

#include <filesystem>

#include "CardSet.h"
#include "testsupport/TestSupport.h"

namespace {

TEST(CardReport, OneJsonObjectPerLineWithEveryField) {
  CardRecord r;
  r.when = 1796601600;  // 2026-12-07 00:00:00 UTC
  r.card = {"/dev/sdb", "Generic-", "SD/MMC \"x\"", "", 31914983424, true};
  r.folder = "/fw/a";
  r.job = "write";
  r.succeeded = true;
  r.seconds = 12.34;
  r.bytesWritten = 345111040;
  r.verified = true;
  EXPECT_EQ(ReportLine(r),
            "{\"time\":\"2026-12-07T00:00:00Z\",\"device\":\"/dev/sdb\",\"vendor\":\"Generic-\","
            "\"model\":\"SD/MMC \\\"x\\\"\",\"serial\":null,\"size\":31914983424,"
            "\"firmware\":\"/fw/a\",\"job\":\"write\",\"result\":\"succeeded\",\"seconds\":12.3,"
            "\"bytes_written\":345111040,\"verified\":true}\n");
  r.card.serial = "0x1234abcd";
  r.folder.clear();  // recover names no firmware
  r.job = "recover";
  r.succeeded = false;
  r.verified = false;
  const std::string line = ReportLine(r);
  EXPECT_NE(line.find("\"serial\":\"0x1234abcd\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"firmware\":null"), std::string::npos) << line;
  EXPECT_NE(line.find("\"result\":\"failed\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"verified\":false}"), std::string::npos) << line;
}

// The card's own serial wins over its reader's; nothing above the sysfs root is read.
TEST(CardReport, SerialIsTheNearestOnTheWayUp) {
  testsupport::TempDir dir;
  const std::string root = dir.Join("sys");
  const std::string usb = "devices/pci0000:00/usb1/1-1";
  std::filesystem::create_directories(root + "/" + usb + "/1-1:1.0/host0/0:0:0:0");
  ASSERT_TRUE(testsupport::WriteFile(dir.Join("serial"), "ABOVE\n"));
  EXPECT_EQ(FindSerial(root, usb + "/1-1:1.0/host0/0:0:0:0"), "");
  ASSERT_TRUE(testsupport::WriteFile(root + "/" + usb + "/serial", "READER 42\n"));
  EXPECT_EQ(FindSerial(root, usb + "/1-1:1.0/host0/0:0:0:0"), "READER42");
  ASSERT_TRUE(
      testsupport::WriteFile(root + "/" + usb + "/1-1:1.0/host0/0:0:0:0/serial", "0xcafe\n"));
  EXPECT_EQ(FindSerial(root, usb + "/1-1:1.0/host0/0:0:0:0"), "0xcafe");
  EXPECT_EQ(FindSerial(root, ""), "");
}

}  // namespace
