#include "PlinthApp.h"

#include "LocalText.h"

#include <cstdlib>
#include <cstring>

CPlinthApp DiskJob;

CPlinthApp::CPlinthApp() = default;

CPlinthApp::~CPlinthApp() = default;

void CPlinthApp::Output(const std::u16string& line) const {
  if (outputFunc != nullptr) outputFunc(line.c_str());
}

void CPlinthApp::ReportKey(const char16_t* key) const { Output(LocalText(key, 1)); }

void CPlinthApp::ShowReport(const std::u16string& text) const {
  if (showMsgFunc == nullptr) return;
  const size_t bytes = (text.size() + 1) * sizeof(char16_t);
  auto* copy = static_cast<char16_t*>(std::malloc(bytes));
  if (copy == nullptr) return;
  std::memcpy(copy, text.c_str(), bytes);
  showMsgFunc(copy);  // the receiver frees it
}

void CPlinthApp::ShowKey(const char16_t* key) const { ShowReport(LocalText(key, 0)); }

void CPlinthApp::ShowPro(int32_t showProgress, int32_t showCopyDetails) const {
  if (showProFunc != nullptr) showProFunc(showProgress, showCopyDetails);
}

void CPlinthApp::SetProPos(int32_t percent) const {
  if (setProPosFunc != nullptr) setProPosFunc(percent);
}

void CPlinthApp::SetCopyTip(const char16_t* t1, const char16_t* t2, const char16_t* t3,
                            const char16_t* t4, const char16_t* t5) const {
  if (setCopyTipFunc != nullptr) setCopyTipFunc(t1, t2, t3, t4, t5);
}

void CPlinthApp::SetTime(int32_t running) const {
  if (setTimeFunc != nullptr) setTimeFunc(running);
}

// Registration exports.
extern "C" {
PLINTH_API OutputFunc InitOutputFunc(OutputFunc fn) { return DiskJob.outputFunc = fn; }
PLINTH_API ShowProFunc InitShowProFunc(ShowProFunc fn) { return DiskJob.showProFunc = fn; }
PLINTH_API SetProPosFunc InitSetProPosFunc(SetProPosFunc fn) { return DiskJob.setProPosFunc = fn; }
PLINTH_API SetCopyTipFunc InitSetCopyTipFunc(SetCopyTipFunc fn) {
  return DiskJob.setCopyTipFunc = fn;
}
PLINTH_API ShowMsgFunc InitShowMsgFunc(ShowMsgFunc fn) { return DiskJob.showMsgFunc = fn; }
PLINTH_API SetTimeFunc InitSetTimeFunc(SetTimeFunc fn) { return DiskJob.setTimeFunc = fn; }
}
