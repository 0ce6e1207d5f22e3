// The one window of Brindle: built from res/skin.xml, it lists the removable disks, holds the
// firmware folder, starts the write, update and recover jobs on a worker thread (a write or
// update followed by the verify job when "Verify after writing" is checked) and shows what the
// engine reports through its six callbacks.
#pragma once

#include "BasicWnd.h"
#include "DiskData.h"
#include "DiskService.h"
#include "PlinthBinding.h"

#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class QAbstractButton;
class QCoreApplication;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;

// Message boxes the window shows. Every box goes through one replaceable function, so tests
// answer them instead of a user.
enum class BoxKind {
  kError,      // caption "Error", one OK button
  kQuestion,   // Yes and No
  kHelpError,  // the default caption, error icon, one OK button
};
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;
using MessageBoxFunc =
    std::function<int(QWidget* owner, const QString& text, const QString& caption, BoxKind kind)>;
int ShowQtMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxKind kind);

// The disks to offer; `report` shows an enumeration failure to the user.
using DiskSource =
    std::function<std::vector<DISK_DATA>(const std::function<void(const std::u16string&)>& report)>;
// Every disk under /sys, with the volumes of /proc/self/mountinfo.
std::vector<DISK_DATA> SystemDisks(const std::function<void(const std::u16string&)>& report);

// The folder browser: returns the chosen folder, or the empty text on cancel.
using FolderChooser =
    std::function<QString(QWidget* owner, const QString& title, const QString& initial)>;

// Installs Qt's own translations (button texts, standard dialogs) for a system language, the
// one the catalogue speaks; false when that is English, Qt's own, or none could be loaded.
bool InstallQtTranslations(QCoreApplication* app, uint16_t langId);

// False when this process cannot write the disk at `path`: a block device without write access
// (not root). Image files and root always pass; the engine reports its own failures.
bool DeviceWritable(const std::u16string& path);
// A disk this process cannot open, opened through the system's disk service.
DiskGrant OpenThroughDiskService(const std::string& device);
// After a job on a disk the service opened: the service has the kernel read the new table.
void RescanThroughDiskService(const std::string& device);

// Where the window keeps config.ini: the user's configuration folder, or beside the program
// where a writable config.ini already is (a build folder, a copy run from a stick). A
// read-only one there (an installed program's) is still read until the user's own exists.
struct SettingsFiles {
  std::u16string path;      // read, and written on exit
  std::u16string fallback;  // read when `path` does not exist; never written
};
SettingsFiles ChooseSettingsFiles(const std::u16string& programFolder,
                                  const std::u16string& userConfigFolder);

struct MainframeOptions {
  std::u16string skinPath;      // res/skin.xml; its folder is the "skin:" search path
  std::u16string iconPath;      // the window icon, res/icons/brindle.svg
  std::u16string settingsPath;  // config.ini
  std::u16string settingsFallback;
  std::u16string helpFolder;    // the help_*.mht files, ending in '/'
  std::string enginePath;       // libPlinth.so
  DiskSource diskSource = SystemDisks;
  MessageBoxFunc messageBox = ShowQtMessageBox;
  FolderChooser chooseFolder;
  std::function<bool(const std::u16string&)> deviceWritable = DeviceWritable;
  std::function<DiskGrant(const std::string& device)> openDevice = OpenThroughDiskService;
  std::function<void(const std::string& device)> rescanDevice = RescanThroughDiskService;
  // Ends the message loop (exit while idle).
  std::function<void()> quit;
  // Ends the process at once (exit while a job runs).
  std::function<void()> endProcess;

  // Everything beside the running executable, the real system and real dialogs.
  static MainframeOptions Defaults();
};

class CMainframeUI : public CBasicWnd {
  Q_OBJECT

 public:
  explicit CMainframeUI(MainframeOptions options = MainframeOptions::Defaults());
  ~CMainframeUI() override;

  // The one window the engine's callbacks report to; null when there is none.
  static CMainframeUI* Instance();

  // Loads the skin and fills the window. False, with `buildError`, when the skin cannot be
  // loaded or lacks a control.
  bool BuildWindow() override;
  const QString& buildError() const { return buildError_; }
  void OnSystemCommand(int command) override;

  // Clicks of the skin's buttons; other notification types are ignored.
  void OnNotify(const QString& type, QObject* sender);
  void RefreshDisks();
  std::u16string ChooseFolder();
  std::u16string LoadSettings();
  void SaveSettings();
  void ShowHelp();
  void ClearOutput();

  void StartWriteJob();
  void StartUpdateJob();
  void StartRecoverJob();
  void ExitApplication();
  void ElapsedTick();
  // Waits until the last started job has finished, handling events meanwhile.
  void JoinJob();

  // The engine's callbacks. They run on the job's worker thread and carry their effect over to
  // the window's thread, returning once it is complete.
  static void OnOutput(const char16_t* text);
  static void OnShowPro(int32_t showProgress, int32_t showCopyDetails);
  static void OnSetProPos(int32_t percent);
  static void OnSetCopyTip(const char16_t* t1, const char16_t* t2, const char16_t* t3,
                           const char16_t* t4, const char16_t* t5);
  static void OnSetTime(int32_t running);
  static void OnShowMsg(char16_t* text);

  bool idle() const { return idle_.load() != 0; }
  int lastProgress() const { return lastProgress_; }
  uint64_t elapsedSeconds() const { return elapsedSeconds_; }
  const std::vector<DISK_DATA>& disks() const { return disks_; }
  QTimer& elapsedTimer() { return timer_; }

 protected:
  bool OnWindowKey(int key) override;

 private:
  enum class JobKind { kWrite, kUpdate, kRecover };

  // Fixes the places of the job view's controls and cuts long texts (see BuildWindow).
  void HoldJobViewLayout();
  void StartJob(JobKind kind);
  void RunJob(JobKind kind);
  void WriteOrUpdateJob(JobKind kind);
  void RecoverJob();
  // Reads the disk selection on the window's thread; false (after "DiskNull") when none.
  bool SelectedDisk(DISK_DATA* record);
  // Refuses, with its box, a disk no job may write: the running system's, or a
  // write-protected one.
  bool CheckTarget(const DISK_DATA& disk);
  // A descriptor the disk service opened for a job; -1 when the engine opens the disk itself.
  struct DiskHandle {
    int fd = -1;
    DiskHandle() = default;
    DiskHandle(const DiskHandle&) = delete;
    DiskHandle& operator=(const DiskHandle&) = delete;
    ~DiskHandle();
  };
  // The way to the disk: directly when this process may write it, else through the disk
  // service. False (after a box saying why) when there is none.
  bool AcquireDisk(const std::u16string& diskPath, DiskHandle* handle);
  // One engine job; true when it reported `successKey` (nullptr: no success line is awaited).
  // `refusal` gets why the engine refused it before writing (PLINTH_REFUSED_*).
  bool RunPlinth(PlinthJob job, const std::u16string& folder,
                 const std::u16string& diskPath, uint64_t diskSize, const DiskHandle& handle,
                 const char16_t* successKey = nullptr, const PlinthJobOptions& options = {},
                 int32_t* refusal = nullptr);

  void RunOnUi(const std::function<void()>& effect);
  int Box(const std::u16string& text, const QString& caption, BoxKind kind);
  void ErrorBox(const std::u16string& text);

  void AppendOutput(const std::u16string& text);
  void AppendOutputLine(const std::u16string& line);
  void ShowProgressGroup(bool progress, bool details);

  MainframeOptions options_;
  QString buildError_;

  QAbstractButton* closeBtn_ = nullptr;
  QComboBox* diskCombo_ = nullptr;
  QAbstractButton* refreshBtn_ = nullptr;
  QAbstractButton* selDecBtn_ = nullptr;
  QLineEdit* firmwareEdit_ = nullptr;
  QLabel* timeLabel_ = nullptr;
  QAbstractButton* startWriteBtn_ = nullptr;
  QAbstractButton* recoverBtn_ = nullptr;
  QProgressBar* copyProgress_ = nullptr;
  QLabel* copyLable_ = nullptr;
  QLabel* proRateLabel_ = nullptr;
  QLabel* parNameLabel_ = nullptr;
  QLabel* parSizeLabel_ = nullptr;
  QLabel* parTypeLabel_ = nullptr;
  QLabel* parImageLabel_ = nullptr;
  QListWidget* outputEdit_ = nullptr;
  QAbstractButton* clearInfoBtn_ = nullptr;
  QAbstractButton* minSizeBtn_ = nullptr;
  QAbstractButton* quiteBtn_ = nullptr;
  QAbstractButton* updateBtn_ = nullptr;
  QAbstractButton* helpBtn_ = nullptr;
  QAbstractButton* verifyCheck_ = nullptr;

  // Written on the window's thread only: the worker changes them through RunOnUi.
  std::atomic<int> idle_{1};
  int lastProgress_ = -1;
  std::vector<DISK_DATA> disks_;
  std::thread jobThread_;
  // Set on the window's thread when a job starts: the verify job follows a successful write
  // or update.
  bool verifyAfterJob_ = false;
  // The worker's only: the line that means the running engine job succeeded, and whether it
  // came.
  std::u16string successLine_;
  bool jobSucceeded_ = false;
  uint64_t elapsedSeconds_ = 0;
  QTimer timer_;
};
