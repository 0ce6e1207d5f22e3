// The log line format and the progress figures of brindle-cli.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "JobReporter.h"

namespace {

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

TEST(JobReporter, LogLinesCarryTheWindowsTimestamp) {
  const std::time_t when = LocalTime(2026, 3, 7, 9, 5, 4);
  EXPECT_EQ(FormatTimestamp(when), "20260307-09:05:04");
  EXPECT_EQ(FormatLogLine(when, u"Disk opened.\n"), "20260307-09:05:04   Disk opened.");
  EXPECT_EQ(FormatLogLine(when, u"two\r\n\n"), "20260307-09:05:04   two");
  EXPECT_EQ(FormatLogLine(when, u"\u78c1\u76d8"), "20260307-09:05:04   \xe7\xa3\x81\xe7\x9b\x98");
  EXPECT_EQ(FormatLogLine(when, u""), "20260307-09:05:04   ");
}

TEST(JobReporter, ElapsedAndSpeed) {
  EXPECT_EQ(FormatElapsed(0), "00:00:00");
  EXPECT_EQ(FormatElapsed(3725), "01:02:05");
  EXPECT_EQ(FormatElapsed(360000), "100:00:00");
  EXPECT_EQ(FormatSpeed(0), "0 B/s");
  EXPECT_EQ(FormatSpeed(1000), "1000 B/s");
  EXPECT_EQ(FormatSpeed(2048), "2.0 KiB/s");
  EXPECT_EQ(FormatSpeed(300.0 * 1048576), "300 MiB/s");
  EXPECT_EQ(FormatSpeed(1.5 * 1073741824), "1.5 GiB/s");
  EXPECT_EQ(FormatSpeed(-5), "0 B/s");
}

}  // namespace
