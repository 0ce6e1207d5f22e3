// The log line format and the progress figures of brindle-cli.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "JobReporter.h"

namespace {

TEST(JobReporter, LogLinesAndProgressFigures) {
  // The stamp is local time; a fixed zone makes it the same on every machine.
  setenv("TZ", "UTC0", 1);
  tzset();
  const std::time_t when = 1772874304;  // 2026-03-07 09:05:04 UTC
  EXPECT_EQ(FormatLogLine(when, u"two\r\n\n"), "20260307-09:05:04   two");
  EXPECT_EQ(FormatLogLine(when, u"\u78c1\u76d8"), "20260307-09:05:04   \xe7\xa3\x81\xe7\x9b\x98");
  EXPECT_EQ(FormatElapsed(3725), "01:02:05");
  EXPECT_EQ(FormatElapsed(360000), "100:00:00");
  EXPECT_EQ(FormatSpeed(1000), "1000 B/s");
  EXPECT_EQ(FormatSpeed(2048), "2.0 KiB/s");
  EXPECT_EQ(FormatSpeed(300.0 * 1048576), "300 MiB/s");
  EXPECT_EQ(FormatSpeed(-5), "0 B/s");
}

}  // namespace
