// The six callback slots of the job object: what is registered is called, with what the job
// reports; an empty slot drops its reports.
#include "LocalText.h"
#include "PlinthApp.h"
#include "testing/TestDisk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testing_support::JobRecorder;
using testing_support::LineOf;
using testing_support::MsgOf;

// Every kind of report the job object sends, once.
void ReportOneOfEach() {
  DiskJob.Output(u"raw line\n");
  DiskJob.ReportKey(u"OpenDisk");
  DiskJob.ShowReport(u"first\nsecond");
  DiskJob.ShowKey(u"DiskFull");
  DiskJob.ShowPro(1, 0);
  DiskJob.SetProPos(50);
  DiskJob.SetCopyTip(u"a", nullptr, u"c", nullptr, u"e");
  DiskJob.SetTime(1);
}

TEST(Registration, TheRegisteredCallbackGetsEachReportAndAnEmptySlotDropsIt) {
  JobRecorder rec;
  ReportOneOfEach();
  EXPECT_EQ(rec.log,
            (std::vector<std::string>{"line raw line\n", LineOf(u"OpenDisk"), "msg first\nsecond",
                                      MsgOf(u"DiskFull"), "pro 1 0", "pos 50", "tip|a|~|c|~|e",
                                      "time 1"}));
  InitOutputFunc(nullptr);
  InitShowMsgFunc(nullptr);
  InitShowProFunc(nullptr);
  InitSetProPosFunc(nullptr);
  InitSetCopyTipFunc(nullptr);
  InitSetTimeFunc(nullptr);
  rec.Clear();
  ReportOneOfEach();
  EXPECT_TRUE(rec.log.empty());
}

}  // namespace
