#include "PlinthApp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::u16string> g_lines;
std::vector<std::u16string> g_reports;

void RecordLine(const char16_t* line) { g_lines.emplace_back(line); }
void OtherLine(const char16_t*) {}
void RecordReport(char16_t* text) {
  g_reports.emplace_back(text);
  std::free(text);  // ownership passed to us; the sanitizer build catches a leak or double free
}

TEST(JobObject, FreshObjectHasEmptySlotsAndSequences) {
  CPlinthApp job;
  EXPECT_EQ(job.disk, nullptr);
  EXPECT_EQ(job.outputFunc, nullptr);
  EXPECT_EQ(job.showProFunc, nullptr);
  EXPECT_EQ(job.setProPosFunc, nullptr);
  EXPECT_EQ(job.setCopyTipFunc, nullptr);
  EXPECT_EQ(job.setTimeFunc, nullptr);
  EXPECT_EQ(job.showMsgFunc, nullptr);
  EXPECT_EQ(job.partitionCount, 0);
  EXPECT_EQ(job.diskSize, 0u);
  EXPECT_TRUE(job.partitions.empty());
  EXPECT_TRUE(job.binFiles.empty());
  EXPECT_TRUE(job.updatePartitions.empty());
  EXPECT_TRUE(job.updateBinFiles.empty());
}

TEST(JobObject, NullSlotsAreNeverCalled) {
  CPlinthApp job;
  // Nothing registered: every report is dropped without touching a slot.
  job.Output(u"x");
  job.ReportKey(u"OpenDisk");
  job.ShowReport(u"report");
  job.ShowKey(u"DiskFull");
  job.ShowPro(1, 1);
  job.SetProPos(50);
  job.SetCopyTip(u"a", nullptr, nullptr, nullptr, nullptr);
  job.SetTime(1);
  SUCCEED();
}

TEST(Registration, SecondRegistrationWinsAndEachReturnsItsArgument) {
  EXPECT_EQ(InitOutputFunc(&OtherLine), &OtherLine);
  EXPECT_EQ(InitOutputFunc(&RecordLine), &RecordLine);
  EXPECT_EQ(DiskJob.outputFunc, &RecordLine);
  EXPECT_EQ(InitShowMsgFunc(&RecordReport), &RecordReport);
  EXPECT_EQ(InitShowProFunc(nullptr), nullptr);
  EXPECT_EQ(InitSetProPosFunc(nullptr), nullptr);
  EXPECT_EQ(InitSetCopyTipFunc(nullptr), nullptr);
  EXPECT_EQ(InitSetTimeFunc(nullptr), nullptr);

  g_lines.clear();
  g_reports.clear();
  DiskJob.Output(u"line\n");
  DiskJob.ShowReport(u"first\nsecond");
  DiskJob.ShowReport(u"");
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_EQ(g_lines[0], u"line\n");
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(g_reports[0], u"first\nsecond");
  EXPECT_EQ(g_reports[1], u"");
  InitOutputFunc(nullptr);
  InitShowMsgFunc(nullptr);
}

}  // namespace
