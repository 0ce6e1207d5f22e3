// The jobs of the main window: the checks on the window's inputs, the engine bound per job on
// a worker thread, the callbacks' effects carried over to the window's thread, the elapsed-time
// display and the exit procedure.
#include "Elision.h"
#include "FrontText.h"
#include "LocalText.h"
#include "MainframeUI.h"
#include "Platform.h"
#include "TextUtil.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QListWidgetItem>
#include <QProgressBar>
#include <QThread>

#include <cstdlib>
#include <ctime>

namespace {

// More lines than this empty the output list before the next one is added.
constexpr int kOutputLinesMax = 40;
constexpr int kElapsedTickMs = 1000;

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }
std::u16string U(const QString& text) { return text.toStdU16String(); }
std::u16string TextOf(const char16_t* text) { return text != nullptr ? text : u""; }

PlinthCallbacks Callbacks() {
  PlinthCallbacks c;
  c.output = &CMainframeUI::OnOutput;
  c.showPro = &CMainframeUI::OnShowPro;
  c.setProPos = &CMainframeUI::OnSetProPos;
  c.setCopyTip = &CMainframeUI::OnSetCopyTip;
  c.setTime = &CMainframeUI::OnSetTime;
  c.showMsg = &CMainframeUI::OnShowMsg;
  return c;
}

}  // namespace

void CMainframeUI::RunOnUi(const std::function<void()>& effect) {
  if (QThread::currentThread() == thread()) {
    effect();
    return;
  }
  QMetaObject::invokeMethod(this, [&effect] { effect(); }, Qt::BlockingQueuedConnection);
}

int CMainframeUI::Box(const std::u16string& text, const QString& caption, BoxKind kind) {
  int answer = kAnswerOk;
  RunOnUi([&] { answer = options_.messageBox(this, Q(text), caption, kind); });
  return answer;
}

void CMainframeUI::ErrorBox(const std::u16string& text) {
  Box(text, QStringLiteral("Error"), BoxKind::kError);
}

void CMainframeUI::StartWriteJob() { StartJob(JobKind::kWrite); }
void CMainframeUI::StartUpdateJob() { StartJob(JobKind::kUpdate); }
void CMainframeUI::StartRecoverJob() { StartJob(JobKind::kRecover); }

void CMainframeUI::StartJob(JobKind kind) {
  // The start buttons are disabled while a job runs; a second job must never reach the engine.
  if (idle_.load() == 0) return;
  outputEdit_->clear();
  clearInfoBtn_->setEnabled(false);
  idle_.store(0);
  startWriteBtn_->setEnabled(false);
  updateBtn_->setEnabled(false);
  recoverBtn_->setEnabled(false);
  diskCombo_->setEnabled(false);
  refreshBtn_->setEnabled(false);
  if (kind != JobKind::kRecover) timer_.start(kElapsedTickMs);
  verifyAfterJob_ = verifyCheck_->isChecked();
  if (jobThread_.joinable()) jobThread_.join();  // the previous job has finished: idle was 1
  jobThread_ = std::thread([this, kind] { RunJob(kind); });
}

void CMainframeUI::RunJob(JobKind kind) {
  if (kind == JobKind::kRecover) {
    RecoverJob();
  } else {
    WriteOrUpdateJob(kind);
  }
  RunOnUi([&] {
    if (kind != JobKind::kRecover) timer_.stop();
    startWriteBtn_->setEnabled(true);
    updateBtn_->setEnabled(true);
    recoverBtn_->setEnabled(true);
    diskCombo_->setEnabled(true);
    refreshBtn_->setEnabled(true);
    idle_.store(1);
  });
}

void CMainframeUI::JoinJob() {
  // The worker's last step runs on this thread, so events must flow while waiting.
  while (idle_.load() == 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  if (jobThread_.joinable()) jobThread_.join();
}

bool CMainframeUI::SelectedDisk(DISK_DATA* record) {
  bool found = false;
  RunOnUi([&] {
    const int position = DiskPositionOfLabel(U(diskCombo_->currentText()));
    if (position >= 0 && static_cast<size_t>(position) < disks_.size()) {
      *record = disks_[static_cast<size_t>(position)];
      found = true;
    }
  });
  // An empty label, or one that names no entry of the list, is no selection.
  if (!found) ErrorBox(LocalText(u"DiskNull", 0));
  return found;
}

bool CMainframeUI::CheckTarget(const DISK_DATA& disk) {
  if (disk.systemUse[0] != '\0') {
    // Never offered, but refused here too: the list is only as fresh as its last refresh.
    ErrorBox(LocalText(u"SystemDisk", 0) + plat::FromUtf8(disk.systemUse));
    return false;
  }
  // The kernel would refuse only the first write, with part of the job done.
  if (disk.readOnly != 0) {
    ErrorBox(LocalText(u"DiskReadOnly", 0) + plat::FromUtf8(disk.devicePath));
    return false;
  }
  return true;
}

CMainframeUI::DiskHandle::~DiskHandle() {
  if (fd >= 0) ::close(fd);
}

bool CMainframeUI::AcquireDisk(const std::u16string& diskPath, DiskHandle* handle) {
  if (options_.deviceWritable(diskPath)) return true;
  const DiskGrant grant = options_.openDevice(plat::ToUtf8(diskPath));
  switch (grant.result) {
    case DiskGrant::kOpened:
      handle->fd = grant.fd;
      return true;
    case DiskGrant::kUnavailable:
      ErrorBox(LocalText(u"NeedRoot", 0) + diskPath);
      return false;
    case DiskGrant::kNotAuthorized:
      ErrorBox(LocalText(u"DiskAuthFailed", 0) + diskPath);
      return false;
    case DiskGrant::kFailed:
      break;
  }
  ErrorBox(LocalText(u"DiskServiceFailed", 0) + diskPath +
           (grant.message.empty() ? u"" : u"\n" + grant.message));
  return false;
}

bool CMainframeUI::RunPlinth(PlinthJob job, const std::u16string& folder,
                             const std::u16string& diskPath, uint64_t diskSize,
                             const DiskHandle& handle, const char16_t* successKey,
                             const PlinthJobOptions& options, int32_t* refusal) {
  successLine_ = successKey != nullptr ? LocalText(successKey, 1) : std::u16string();
  jobSucceeded_ = false;
  std::string error;
  const bool ran = RunPlinthJob(options_.enginePath, Callbacks(), job, folder, diskPath,
                                diskSize, &error, handle.fd, options, refusal);
  const bool reads = job == PlinthJob::kVerify || job == PlinthJob::kVerifyUpdate;
  // The engine cannot have the kernel read the new table without root; the service can.
  if (ran && handle.fd >= 0 && !reads) options_.rescanDevice(plat::ToUtf8(diskPath));
  if (!ran) {
    ErrorBox(LocalText(u"LoadPlinthFailed", 0) + plat::FromUtf8(error));
    return false;
  }
  return jobSucceeded_;
}

void CMainframeUI::WriteOrUpdateJob(JobKind kind) {
  QString edit;
  RunOnUi([&] { edit = firmwareEdit_->text(); });
  const std::u16string folder = Trim(U(edit));
  if (folder.empty()) {
    ErrorBox(LocalText(u"FirmwareNull", 0));
    return;
  }
  if (DirectoryExists(folder) == 0) {
    ErrorBox(LocalText(u"DecNotFound", 0) + folder);
    return;
  }
  if (!plat::PathExists(folder + u"/config.xml")) {
    ErrorBox(LocalText(u"ConfigNotFound", 0));
    return;
  }
  DISK_DATA disk{};
  if (!SelectedDisk(&disk) || !CheckTarget(disk)) return;
  const std::u16string diskPath = plat::FromUtf8(disk.devicePath);
  DiskHandle handle;
  if (!AcquireDisk(diskPath, &handle)) return;
  const bool write = kind == JobKind::kWrite;
  const PlinthJob job = write ? PlinthJob::kWrite : PlinthJob::kUpdate;
  const char16_t* successKey = write ? u"WriteSucess" : u"UpdateSucess";
  PlinthJobOptions options;
  int32_t refusal = 0;
  bool done = RunPlinth(job, folder, diskPath, disk.diskSize, handle, successKey, options,
                        &refusal);
  // Files outside the firmware folder were all that was wrong: the user may allow them.
  if (refusal == PLINTH_REFUSED_OUTSIDE &&
      Box(LocalText(u"AllowOutsideAsk", 0), Q(LocalText(u"Tip", 0)), BoxKind::kQuestion) ==
          kAnswerYes) {
    options.allowOutside = true;
    done = RunPlinth(job, folder, diskPath, disk.diskSize, handle, successKey, options);
  }
  // Read back what the job has just written, through the same handle; its lines follow the
  // job's in the log.
  if (done && verifyAfterJob_) {
    RunPlinth(write ? PlinthJob::kVerify : PlinthJob::kVerifyUpdate, folder, diskPath,
              disk.diskSize, handle, nullptr, options);
  }
}

void CMainframeUI::RecoverJob() {
  DISK_DATA disk{};
  if (!SelectedDisk(&disk) || !CheckTarget(disk)) return;
  const std::u16string diskPath = plat::FromUtf8(disk.devicePath);
  DiskHandle handle;
  if (!AcquireDisk(diskPath, &handle)) return;
  // The engine shows no progress group for a recover, yet its progress is worth seeing.
  RunOnUi([&] {
    copyLable_->setText(QString());
    ShowProgressGroup(true, false);
  });
  // The volume is built on the disk itself: no image file, so no folder to prepare.
  RunPlinth(PlinthJob::kRecover, {}, diskPath, disk.diskSize, handle);
  RunOnUi([&] { ShowProgressGroup(false, false); });
}

void CMainframeUI::ElapsedTick() {
  timeLabel_->setText(Q(LocalText(u"TimeConsume", 0) + FormatElapsed(elapsedSeconds_)));
  ++elapsedSeconds_;
}

void CMainframeUI::ExitApplication() {
  const bool jobRunning = idle_.load() == 0;
  if (jobRunning) {
    const int answer = options_.messageBox(this, Q(LocalText(u"ExitTip", 0)),
                                           Q(LocalText(u"Tip", 0)), BoxKind::kQuestion);
    if (answer != kAnswerYes) return;
  }
  SaveSettings();
  if (jobRunning) {
    // The worker may be inside the engine, and no thread can be stopped safely from outside:
    // the process ends here, which ends the job with it.
    if (options_.endProcess) options_.endProcess();
    return;
  }
  if (options_.quit) options_.quit();
}

void CMainframeUI::AppendOutput(const std::u16string& text) {
  const std::u16string line = OutputLine(FormatTimestamp(std::time(nullptr)), text);
  if (outputEdit_->count() > kOutputLinesMax) outputEdit_->clear();
  AppendOutputLine(line);
  clearInfoBtn_->setEnabled(true);
}

void CMainframeUI::AppendOutputLine(const std::u16string& line) {
  auto* item = new QListWidgetItem(Q(RowTextOfLine(line)));
  item->setData(Qt::UserRole, Q(line));
  item->setToolTip(item->text());  // a long row is cut at the list's edge
  outputEdit_->addItem(item);
  outputEdit_->setCurrentItem(item);
  outputEdit_->scrollToItem(item);
  update();
}

void CMainframeUI::ShowProgressGroup(bool progress, bool details) {
  copyLable_->setVisible(progress);
  copyProgress_->setVisible(progress);
  proRateLabel_->setVisible(progress);
  parImageLabel_->setVisible(details);
  parNameLabel_->setVisible(details);
  parSizeLabel_->setVisible(details);
  parTypeLabel_->setVisible(details);
}

void CMainframeUI::OnOutput(const char16_t* text) {
  CMainframeUI* w = Instance();
  if (w == nullptr) return;
  const std::u16string copy = TextOf(text);
  // Without a catalogue every key is the bare line feed: no line can prove success then.
  if (!w->successLine_.empty() && w->successLine_ != u"\n" && copy == w->successLine_) {
    w->jobSucceeded_ = true;
  }
  w->RunOnUi([&] { w->AppendOutput(copy); });
}

void CMainframeUI::OnShowPro(int32_t showProgress, int32_t showCopyDetails) {
  CMainframeUI* w = Instance();
  if (w == nullptr) return;
  w->RunOnUi([&] { w->ShowProgressGroup(showProgress != 0, showCopyDetails != 0); });
}

void CMainframeUI::OnSetProPos(int32_t percent) {
  CMainframeUI* w = Instance();
  if (w == nullptr) return;
  w->RunOnUi([&] {
    w->copyProgress_->setValue(percent);
    if (percent != w->lastProgress_) {
      w->proRateLabel_->setText(QStringLiteral("%1%").arg(percent));
      w->lastProgress_ = percent;
    }
  });
}

void CMainframeUI::OnSetCopyTip(const char16_t* t1, const char16_t* t2, const char16_t* t3,
                                const char16_t* t4, const char16_t* t5) {
  CMainframeUI* w = Instance();
  if (w == nullptr) return;
  const std::u16string texts[] = {TextOf(t1), TextOf(t2), TextOf(t3), TextOf(t4), TextOf(t5)};
  w->RunOnUi([&] {
    SetElidedText(w->copyLable_, Q(texts[0]));
    SetElidedText(w->parNameLabel_, Q(texts[1]));
    SetElidedText(w->parSizeLabel_, Q(texts[2]));
    SetElidedText(w->parTypeLabel_, Q(texts[3]));
    SetElidedText(w->parImageLabel_, Q(texts[4]));
  });
}

void CMainframeUI::OnSetTime(int32_t running) {
  CMainframeUI* w = Instance();
  if (w == nullptr) return;
  w->RunOnUi([&] {
    if (running != 0) {
      w->elapsedSeconds_ = 0;
      w->timeLabel_->setText(Q(LocalText(u"TimeConsume", 0) + u" 00:00:00"));
      w->timeLabel_->setVisible(true);
    } else {
      w->timeLabel_->setVisible(false);
    }
  });
}

void CMainframeUI::OnShowMsg(char16_t* text) {
  const std::u16string copy = TextOf(text);
  std::free(text);
  CMainframeUI* w = Instance();
  if (w == nullptr) return;
  w->ErrorBox(copy);
}
