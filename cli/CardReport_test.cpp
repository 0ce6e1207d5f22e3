// The report line of one card. (The serial number from sysfs is the station test's.)
#include <gtest/gtest.h>

#include "CardSet.h"

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
  r.folder.clear();  // recover names no firmware
  EXPECT_NE(ReportLine(r).find("\"firmware\":null,"), std::string::npos) << ReportLine(r);
}

}  // namespace
