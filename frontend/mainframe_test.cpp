// The real window built from res/skin.xml, driven offscreen: the look, the disk list, settings,
// help, the jobs' checks and their boxes, the callbacks' effects, and exit. The startup texts
// and the layout during a job are checked in every language by mainframe_lang_test.
#include "DiskInfo.h"
#include "FrontText.h"
#include "GuiTestSupport.h"
#include "LocalText.h"
#include "MainframeUI.h"
#include "Platform.h"
#include "ProfileReader.h"
#include "SingleInstance.h"
#include "testsupport/TestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace guitest;
using namespace testsupport;

QString Text(const char16_t* key) { return QString::fromStdU16String(LocalText(key, 0)); }

constexpr uint64_t kGiB = 1ull << 30;

ShownBox ErrorBox(const QString& text) { return {text, QStringLiteral("Error"), BoxKind::kError}; }

DISK_DATA Disk(int32_t number, bool usb, uint64_t size, const std::string& devicePath) {
  DISK_DATA d{};
  d.diskNumber = number;
  d.isUsb = usb ? 1 : 0;
  d.diskSize = size;
  std::snprintf(d.devicePath, sizeof d.devicePath, "%s", devicePath.c_str());
  return d;
}

// Waits, handling events, until `done` holds; false after a generous safety limit.
bool WaitFor(const std::function<bool()>& done) {
  // Wakes for every event at once (a job's callbacks wait for this thread), and at least
  // every few milliseconds for conditions no event announces.
  QTimer wake;
  wake.start(5);
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.hasExpired(60000)) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    options_ = TestOptions(boxes_, settings_);
    options_.quit = [this] { ++quits_; };
    options_.endProcess = [this] { ++ends_; };
    // The stand-in engine logs its calls and replays script.txt in this folder.
    options_.enginePath = BRINDLE_TEST_DIR "/libbrindle_fake_engine.so";
    setenv("BRINDLE_FAKE_ENGINE_DIR", engine_.path().c_str(), 1);
  }
  void TearDown() override {
    if (w_) w_->JoinJob();
    unsetenv("BRINDLE_FAKE_ENGINE_DIR");
  }

  void Build() {
    if (w_) w_->JoinJob();
    w_ = std::make_unique<CMainframeUI>(options_);
    ASSERT_TRUE(w_->BuildWindow()) << w_->buildError().toStdString();
    w_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w_.get()));
  }
  template <typename T>
  T* C(const char* name) {
    T* control = w_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
  }
  QPushButton* B(const char* name) { return C<QPushButton>(name); }
  QLabel* L(const char* name) { return C<QLabel>(name); }
  QListWidget* Log() { return C<QListWidget>("output_edit"); }
  void ExpectBoxes(const std::vector<ShownBox>& expected) {
    ASSERT_EQ(boxes_.boxes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(boxes_.boxes[i].text, expected[i].text) << i;
      EXPECT_EQ(boxes_.boxes[i].caption, expected[i].caption) << i;
      EXPECT_EQ(boxes_.boxes[i].kind, expected[i].kind) << i;
    }
  }
  void Script(const std::string& lines) const { WriteFile(engine_.Join("script.txt"), lines); }
  void Touch(const std::string& name) const { WriteFile(engine_.Join(name), "1"); }
  bool Has(const std::string& name) const { return std::filesystem::exists(engine_.Join(name)); }
  std::vector<std::string> Calls() const {
    std::ifstream in(engine_.Join("calls.txt"));
    std::vector<std::string> calls;
    for (std::string call; std::getline(in, call);) calls.push_back(call);
    return calls;
  }
  // The engine's calls other than the callbacks' registration.
  std::vector<std::string> JobCalls() const {
    std::vector<std::string> jobs;
    for (const std::string& call : Calls()) {
      if (call.rfind("Init", 0) != 0) jobs.push_back(call);
    }
    return jobs;
  }
  // A firmware folder holding a config.xml.
  std::string Firmware() {
    const std::string folder = work_.Join("firmware");
    std::filesystem::create_directories(folder);
    WriteFile(folder + "/config.xml", "<diskMaker/>");
    return folder;
  }
  // Builds the window with `disks` and types in `folder`.
  void BuildAndChoose(std::vector<DISK_DATA> disks, const std::string& folder) {
    options_.diskSource = [disks](const std::function<void(const std::u16string&)>&) {
      return disks;
    };
    Build();
    C<QLineEdit>("firmware_edit")->setText(QString::fromStdString(folder));
  }
  // One USB disk (an image file) at position 1, chosen already as the only card; a firmware
  // folder typed in.
  void ReadyToWrite() {
    image_ = work_.Join("card.img");
    WriteFile(image_, std::string(4096, '\0'));
    BuildAndChoose({Disk(0, false, 500 * kGiB, "/dev/sda"), Disk(1, true, 8 * kGiB, image_)},
                   Firmware());
  }
  // " folder|disk|size" of a job on ReadyToWrite's disk.
  std::string JobArgs() { return " " + Firmware() + "|" + image_ + "|" + std::to_string(8 * kGiB); }
  void RunToEnd(const char* button) {
    B(button)->click();
    ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
    w_->JoinJob();
  }

  BoxRecorder boxes_;
  TempDir settings_;
  TempDir work_;
  TempDir engine_;
  int quits_ = 0, ends_ = 0;
  MainframeOptions options_;
  std::unique_ptr<CMainframeUI> w_;
  std::string image_;
};

TEST_F(Window, TheIdleStateTheLookAndTheCaption) {
  Build();
  // The progress group starts hidden, as after OnShowPro(0, 0); without a card the placeholder
  // says what to do.
  for (const char* name : {"copy_lable", "pro_rate_label", "parname_label", "parSize_label",
                           "partype_label", "parImage_label", "copy_progress"}) {
    EXPECT_TRUE(C<QWidget>(name)->isHidden()) << name;
  }
  EXPECT_EQ(C<QComboBox>("disk_combo")->placeholderText(), Text(u"NoDisk"));
  // Frameless, of a fixed size, with rounded top corners.
  EXPECT_TRUE(w_->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(w_->minimumSize(), w_->maximumSize());
  const QRegion mask = w_->mask();
  const int right = w_->width() - 1, bottom = w_->height() - 1;
  EXPECT_FALSE(mask.contains(QPoint(0, 0)) || mask.contains(QPoint(right, 0)));
  EXPECT_TRUE(mask.contains(QPoint(0, bottom)) && mask.contains(QPoint(right, bottom)));

  // The empty caption bar drags (the title label: below); the window buttons stay buttons.
  EXPECT_EQ(w_->HitTest(w_->mapToGlobal(QPoint(w_->width() / 2, 10))), kHitCaption);
  for (const char* name : {"help_btn", "minsize_btn", "quite_btn"}) {
    EXPECT_EQ(w_->HitTest(B(name)->mapToGlobal(B(name)->rect().center())), kHitClient) << name;
  }
  // Pressing on the title and moving the mouse moves the window.
  const QPoint before = w_->pos();
  QLabel* title = L("title");
  const QPoint grab = title->rect().center();
  QTest::mousePress(title, Qt::LeftButton, Qt::NoModifier, grab);
  QMouseEvent move(QEvent::MouseMove, QPointF(grab + QPoint(30, 20)),
                   QPointF(title->mapToGlobal(grab + QPoint(30, 20))), Qt::LeftButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(title, &move);
  QTest::mouseRelease(title, Qt::LeftButton, Qt::NoModifier, grab + QPoint(30, 20));
  // The platform may report the new position a little later.
  EXPECT_TRUE(WaitFor([&] { return w_->pos() == before + QPoint(30, 20); }))
      << w_->pos().x() << "," << w_->pos().y();
  // Minimising keeps the shape.
  B("minsize_btn")->click();
  EXPECT_TRUE(w_->isMinimized());
  w_->OnSystemCommand(kScRestore);
  EXPECT_EQ(w_->mask(), mask);
}

TEST_F(Window, ASkinLackingAControlIsRefusedNamingIt) {
  std::string skin = ReadFile(std::string(BRINDLE_TEST_DIR) + "/res/skin.xml");
  const size_t at = skin.find("\"recover_btn\"");
  ASSERT_NE(at, std::string::npos);
  skin.replace(at, 13, "\"recover_xxx\"");
  WriteFile(work_.Join("skin.xml"), skin);
  options_.skinPath = plat::FromUtf8(work_.Join("skin.xml"));
  CMainframeUI window(options_);
  EXPECT_FALSE(window.BuildWindow());
  EXPECT_TRUE(window.buildError().contains(QLatin1String("recover_btn")));
}

// A system booted from a USB stick, with a card reader holding a card and a write-protected
// one: the stick is listed but cannot be chosen, with the reason; the protected card is marked.
// Each entry is named by the disk's position in the whole list.
TEST_F(Window, DiskListFromAFixtureSysfsTree) {
  options_.diskSource = [](const std::function<void(const std::u16string&)>& report) {
    const std::string root = std::string(BRINDLE_SOURCE_DIR) + "/disks/testdata/usbboot";
    DiskInfo info(root + "/sys", root + "/mountinfo", root + "/swaps");
    info.SetParentWnd(report);
    std::vector<DISK_DATA> disks;
    info.GetRes(disks);
    return disks;
  };
  Build();
  auto* combo = C<QComboBox>("disk_combo");
  auto* items = qobject_cast<QStandardItemModel*>(combo->model());
  ASSERT_NE(items, nullptr);
  const QString system = QStringLiteral(" [") + Text(u"SystemDiskTag") + "]";
  const QStringList expected = {
      QStringLiteral("HD1: 28.64G \u2014 SanDisk Ultra (/dev/sdb)") + system,
      QStringLiteral("HD2: 7.40G \u2014 Generic- SD/MMC (/dev/sdc)"),
      QStringLiteral("HD3: 3.69G \u2014 Generic- MicroSD/M2 (/dev/sdd) [") + Text(u"ReadOnlyTag") +
          "]"};
  ASSERT_EQ(combo->count(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(combo->itemText(i), expected[i]);
    EXPECT_EQ(items->item(i)->isEnabled(), i != 0) << i;
  }
  EXPECT_EQ(combo->itemData(0, Qt::ToolTipRole).toString(),
            expected[0] + "\n" + Text(u"SystemDisk") +
                "/ on /dev/mapper/sdb2_crypt, /boot/efi on /dev/sdb1, swap on /dev/sdb3");
  // Of two cards none is chosen for the user (the jobs' tests show one chosen already).
  EXPECT_EQ(combo->currentIndex(), -1);
  EXPECT_EQ(combo->placeholderText(), Text(u"DiskChoose"));
}

// The program's copy of the settings is read (trimmed) until the user's own exists, which is
// saved in private folders on exit, as chosen. The folder chooser starts at the folder shown;
// a cancel keeps it. Exit while idle quits without asking, by either button or the window
// manager's close.
TEST_F(Window, SettingsTheFolderChooserAndExitWhileIdle) {
  QString title, initial, answer = QString::fromStdString(" " + work_.path() + " ");
  options_.chooseFolder = [&](QWidget*, const QString& t, const QString& i) {
    title = t;
    initial = i;
    return answer;
  };
  const std::string folder = work_.Join("fw");
  std::filesystem::create_directories(folder);
  const std::string beside = work_.Join("beside.ini");
  const std::string programs = "[FIRMWARE]\nPATH=   " + folder + "   \n";
  WriteFile(beside, programs);
  options_.settingsPath = plat::FromUtf8(work_.Join("cfg/brindle/config.ini"));
  options_.settingsFallback = plat::FromUtf8(beside);
  Build();
  EXPECT_EQ(C<QLineEdit>("firmware_edit")->text(), QString::fromStdString(folder));

  B("selDec_btn")->click();
  EXPECT_EQ(title, Text(u"SelDec"));
  EXPECT_EQ(initial, QString::fromStdString(folder));
  answer.clear();
  B("selDec_btn")->click();
  EXPECT_EQ(initial, QString::fromStdString(" " + work_.path() + " "));
  B("quite_btn")->click();
  B("close_btn")->click();
  w_->close();
  EXPECT_EQ(quits_, 3);
  EXPECT_EQ(ends_, 0);
  EXPECT_EQ(ProfileReader(options_.settingsPath).Read(u"FIRMWARE", u"PATH"),
            plat::FromUtf8(" " + work_.path() + " "));
  EXPECT_EQ(ReadFile(beside), programs);
  for (const char* made : {"cfg", "cfg/brindle"}) {
    struct stat st {};
    ASSERT_EQ(stat(work_.Join(made).c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << made;
  }
  // A folder that is gone is forgotten.
  WriteFile(plat::ToUtf8(options_.settingsPath), "[FIRMWARE]\nPATH=" + work_.Join("gone") + "\n");
  EXPECT_EQ(w_->LoadSettings(), u"");
}

TEST(Settings, UserFolderUnlessAWritableCopyIsBesideTheProgram) {
  TempDir dir;
  const std::u16string program = plat::FromUtf8(dir.path() + "/");
  EXPECT_EQ(ChooseSettingsFiles(program, u"/cfg/").path, u"/cfg/brindle/config.ini");
  ASSERT_TRUE(WriteFile(dir.Join("config.ini"), "[FIRMWARE]\n"));
  const SettingsFiles beside = ChooseSettingsFiles(program, u"/cfg/");
  EXPECT_EQ(beside.path, program + u"config.ini");
  EXPECT_TRUE(beside.fallback.empty());
}

// While a job runs its controls are off and exit asks first: No goes on, Yes saves the settings
// and ends the process. The controls come back when the job ends. A recover registers five
// callbacks (no timer) and builds the volume on the disk, with the progress group shown
// meanwhile.
TEST_F(Window, WhileAJobRunsItsControlsAreOffAndExitAsks) {
  const char* jobControls[] = {"startWrite_btn", "update_btn", "recover_btn", "refresh_btn",
                               "disk_combo"};
  ReadyToWrite();
  Log()->addItem(QStringLiteral("old line"));
  B("clearinfo_btn")->setEnabled(true);
  Script("mark started\nwait release\n");
  B("recover_btn")->click();
  ASSERT_TRUE(WaitFor([&] { return Has("started"); }));
  EXPECT_EQ(Log()->count(), 0);
  EXPECT_FALSE(B("clearinfo_btn")->isEnabled());
  for (const char* name : jobControls) EXPECT_FALSE(C<QWidget>(name)->isEnabled()) << name;
  EXPECT_FALSE(C<QProgressBar>("copy_progress")->isHidden());
  EXPECT_TRUE(L("parname_label")->isHidden());

  const ShownBox ask{Text(u"ExitTip"), Text(u"Tip"), BoxKind::kQuestion};
  boxes_.answers = {kAnswerNo};
  B("quite_btn")->click();
  ExpectBoxes({ask});
  EXPECT_EQ(quits_ + ends_, 0);
  EXPECT_FALSE(std::filesystem::exists(settings_.Join("config.ini")));
  boxes_.answers = {kAnswerYes};
  w_->close();
  ExpectBoxes({ask, ask});
  EXPECT_EQ(ends_, 1);
  EXPECT_EQ(quits_, 0);
  EXPECT_NE(ReadFile(settings_.Join("config.ini")).find(Firmware()), std::string::npos);

  Touch("release");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  for (const char* name : jobControls) EXPECT_TRUE(C<QWidget>(name)->isEnabled()) << name;
  EXPECT_TRUE(C<QProgressBar>("copy_progress")->isHidden());
  // Only the next output line enables the clear button again.
  EXPECT_FALSE(B("clearinfo_btn")->isEnabled());
  // Five callbacks: a recover sets no timer.
  EXPECT_EQ(Calls(),
            (std::vector<std::string>{
                "InitOutputFunc", "InitShowProFunc", "InitSetProPosFunc", "InitSetCopyTipFunc",
                "InitShowMsgFunc",
                "RemovePartitionsInPlace " + image_ + "|" + std::to_string(8 * kGiB) + "|0"}));
}

// Each job gets the trimmed folder and the disk record; "verify after writing" follows a write
// or update that reported success, on the same disk, and the choice is kept in config.ini.
TEST_F(Window, JobsPassTheDiskRecordAndAreVerifiedOnlyAfterSuccess) {
  ReadyToWrite();
  const std::string args = JobArgs();
  C<QLineEdit>("firmware_edit")->setText(QString::fromStdString("  " + Firmware() + " "));
  auto* check = C<QCheckBox>("verify_check");
  check->setChecked(true);
  const struct {
    const char* button;
    const char16_t* said;
  } jobs[] = {{"startWrite_btn", u"WriteSucess"}, {"update_btn", u"UpdateSucess"},
              {"startWrite_btn", u"WriteFailed"}, {"startWrite_btn", nullptr}};
  std::vector<int> rows;
  for (const auto& job : jobs) {
    // The last: a success while the box is clear.
    if (job.said == nullptr) check->setChecked(false);
    Script("out " + plat::ToUtf8(LocalText(job.said ? job.said : u"WriteSucess", 0)));
    RunToEnd(job.button);
    rows.push_back(Log()->count());
  }
  // The verify job's lines follow the job's in the log (this engine says the same).
  EXPECT_EQ(rows, (std::vector<int>{2, 2, 1, 1}));
  EXPECT_EQ(JobCalls(), (std::vector<std::string>{"MakeDisk" + args, "VerifyDisk" + args + "|0",
                                                  "UpdateDisk" + args, "VerifyDisk" + args + "|1",
                                                  "MakeDisk" + args, "MakeDisk" + args}));
  EXPECT_TRUE(boxes_.boxes.empty());
  B("quite_btn")->click();
  EXPECT_EQ(ProfileReader(options_.settingsPath).Read(u"JOB", u"VERIFY"), u"0");
  WriteFile(plat::ToUtf8(options_.settingsPath), "[JOB]\nVERIFY=1\n");
  Build();
  EXPECT_TRUE(C<QCheckBox>("verify_check")->isChecked());
}

// A job refused only for files outside the firmware folder: the window asks, and on Yes runs
// the job again with them allowed; when something else was wrong too, it does not ask.
TEST_F(Window, FilesOutsideTheFolderAreWrittenOnlyWhenTheUserSaysSo) {
  ReadyToWrite();
  const std::string make = "MakeDisk" + JobArgs();
  boxes_.answers = {kAnswerYes, kAnswerYes};
  for (const char* script : {"refuse 1\n", "refuse 3\n"}) {
    Script(script);
    RunToEnd("startWrite_btn");
  }
  ExpectBoxes({{Text(u"AllowOutsideAsk"), Text(u"Tip"), BoxKind::kQuestion}});
  EXPECT_EQ(JobCalls(), (std::vector<std::string>{make, "SetJobOption 1 1", make, make}));
}

// Every input wrong: only the first check speaks, and the job ends before the engine is loaded
// (a missing one would add its own box), with the controls back. The running system's disk
// (chosen by a program, as the list never lets a user) and a write-protected card are refused
// with their reason by every job.
TEST_F(Window, EachFailingCheckShowsItsBoxAndEndsTheJob) {
  options_.enginePath = work_.Join("libPlinth.so");
  image_ = work_.Join("card.img");
  WriteFile(image_, "");
  DISK_DATA system = Disk(2, true, 8 * kGiB, image_);
  std::snprintf(system.systemUse, sizeof system.systemUse, "/ on /dev/sdb2");
  DISK_DATA locked = Disk(3, true, 8 * kGiB, image_);
  locked.readOnly = 1;
  const std::string folder = Firmware(), empty = work_.Join("empty"), gone = work_.Join("gone");
  std::filesystem::create_directories(empty);
  BuildAndChoose({Disk(0, false, 500 * kGiB, "/dev/sda"), Disk(1, true, 8 * kGiB, image_), system,
                  locked},
                 folder);
  const QString none = Text(u"DiskNull");
  const QString systemUse = Text(u"SystemDisk") + QStringLiteral("/ on /dev/sdb2");
  const QString readOnly = Text(u"DiskReadOnly") + QString::fromStdString(image_);
  // The box of a write or update, and of a recover, which needs a disk only (none: it would run).
  const struct {
    std::string edit;
    int selection;
    QString box, recoverBox;
  } cases[] = {
      {"   ", -1, Text(u"FirmwareNull"), none},
      {gone, -1, Text(u"DecNotFound") + QString::fromStdString(gone), none},
      {image_, 0, Text(u"DecNotFound") + QString::fromStdString(image_), {}},
      {empty, 0, Text(u"ConfigNotFound"), {}},
      {folder, -1, none, none},
      {folder, 1, systemUse, systemUse},
      {folder, 2, readOnly, readOnly},
  };
  for (const char* button : {"startWrite_btn", "update_btn", "recover_btn"}) {
    for (const auto& c : cases) {
      const QString& box = button[0] == 'r' ? c.recoverBox : c.box;
      if (box.isEmpty()) continue;
      SCOPED_TRACE(std::string(button) + " " + box.toStdString());
      boxes_.boxes.clear();
      C<QLineEdit>("firmware_edit")->setText(QString::fromStdString(c.edit));
      C<QComboBox>("disk_combo")->setCurrentIndex(c.selection);
      RunToEnd(button);
      ExpectBoxes({ErrorBox(box)});
      EXPECT_TRUE(B(button)->isEnabled());
    }
  }
  // Every check passed: the missing engine is told.
  boxes_.boxes.clear();
  C<QComboBox>("disk_combo")->setCurrentIndex(0);
  RunToEnd("startWrite_btn");
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_TRUE(boxes_.boxes[0].text.startsWith(Text(u"LoadPlinthFailed")));
  EXPECT_TRUE(boxes_.boxes[0].text.contains(QStringLiteral("libPlinth.so")));
}

// A disk this user cannot open is asked of the system's disk service. When it does not open
// it, the box says why and the engine never runs; when it does, the engine gets its
// descriptor, which the window closes after the job, and the service has the kernel read the
// new table.
TEST_F(Window, ADiskThisUserCannotOpenGoesThroughTheDiskService) {
  const std::string granted = work_.Join("granted");
  ASSERT_TRUE(WriteFile(granted, "x"));
  DiskGrant grant;
  std::vector<std::string> asked, rescanned;
  options_.deviceWritable = [](const std::u16string& path) { return path != u"/dev/sdz"; };
  options_.openDevice = [&](const std::string& device) {
    asked.push_back(device);
    if (grant.result == DiskGrant::kOpened) grant.fd = open(granted.c_str(), O_RDWR | O_CLOEXEC);
    return grant;
  };
  options_.rescanDevice = [&](const std::string& device) { rescanned.push_back(device); };
  BuildAndChoose({Disk(0, true, 8 * kGiB, "/dev/sdz")}, Firmware());
  grant = {DiskGrant::kFailed, -1, u"Device or resource busy"};
  RunToEnd("startWrite_btn");
  RunToEnd("recover_btn");
  const ShownBox failed =
      ErrorBox(Text(u"DiskServiceFailed") + QStringLiteral("/dev/sdz\nDevice or resource busy"));
  ExpectBoxes({failed, failed});
  EXPECT_EQ(asked, std::vector<std::string>(2, "/dev/sdz"));
  EXPECT_TRUE(Calls().empty());

  grant = {DiskGrant::kOpened, -1, {}};
  RunToEnd("startWrite_btn");
  ASSERT_GE(grant.fd, 0);
  EXPECT_EQ(fcntl(grant.fd, F_GETFD), -1) << "the window closes its descriptor after the job";
  const std::vector<std::string> calls = JobCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "UseDiskHandle /dev/sdz|" + granted);
  EXPECT_EQ(calls[1].rfind("MakeDisk ", 0), 0u) << calls[1];
  EXPECT_EQ(rescanned, std::vector<std::string>{"/dev/sdz"});
}

// Each report is complete before the engine goes on, and a write is timed; an engine's message
// text is freed by the window (the sanitizer build reports a leak or a double free).
TEST_F(Window, TheEnginesReportsReachTheWindowInOrder) {
  Script(
      "out Opening the disk\n"
      "tip Writing partition 1|boot|64.00M|fat32|/fw/boot.img\n"
      "pos 37\n"
      "mark copying\n"
      "wait go\n"
      "pos 100\n"
      "tip Done|-|-|-|-\n"
      "msg Something failed\n"
      "out Finished\n");
  ReadyToWrite();
  B("startWrite_btn")->click();
  ASSERT_TRUE(WaitFor([&] { return Has("copying"); }));
  EXPECT_TRUE(w_->elapsedTimer().isActive());
  ASSERT_EQ(Log()->count(), 1);
  EXPECT_TRUE(Log()->item(0)->text().endsWith(QStringLiteral("   Opening the disk")));
  const std::pair<const char*, const char*> tip[] = {
      {"copy_lable", "Writing partition 1"}, {"parname_label", "boot"},
      {"parSize_label", "64.00M"},           {"partype_label", "fat32"},
      {"parImage_label", "/fw/boot.img"},    {"pro_rate_label", "37%"}};
  for (const auto& [name, text] : tip) {
    EXPECT_EQ(L(name)->text(), QString::fromLatin1(text)) << name;
  }

  Touch("go");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  EXPECT_FALSE(w_->elapsedTimer().isActive());
  EXPECT_EQ(L("pro_rate_label")->text(), QStringLiteral("100%"));
  EXPECT_EQ(L("copy_lable")->text(), QStringLiteral("Done"));
  for (const char* name : {"parname_label", "parSize_label", "partype_label", "parImage_label"}) {
    EXPECT_TRUE(L(name)->text().isEmpty()) << name;
  }
  ExpectBoxes({ErrorBox(QStringLiteral("Something failed"))});
  ASSERT_EQ(Log()->count(), 2);
  EXPECT_TRUE(Log()->item(1)->text().endsWith(QStringLiteral("   Finished")));
}

// The callbacks called directly: the copy details are shown without the progress group (any
// value but 0 shows); the elapsed time is reset and shown, ticks (without the reset's blank)
// and is hidden, the ticks going on after a stop.
TEST_F(Window, CopyDetailsAndTheElapsedTime) {
  Build();
  CMainframeUI::OnShowPro(0, 7);
  EXPECT_TRUE(L("copy_lable")->isHidden());
  EXPECT_FALSE(L("parSize_label")->isHidden() || L("partype_label")->isHidden());

  auto* time = L("time_label");
  const QString consumed = Text(u"TimeConsume");
  w_->ElapsedTick();
  CMainframeUI::OnSetTime(5);
  EXPECT_EQ(time->text(), consumed + QStringLiteral(" 00:00:00"));
  EXPECT_FALSE(time->isHidden());
  for (const char* shown : {"00:00:00", "00:00:01"}) {
    w_->ElapsedTick();
    EXPECT_EQ(time->text(), consumed + QLatin1String(shown));
  }
  CMainframeUI::OnSetTime(0);
  w_->ElapsedTick();
  EXPECT_EQ(time->text(), consumed + QStringLiteral("00:00:02"));
  EXPECT_TRUE(time->isHidden());
}

TEST_F(Window, OutputLinesCarryTheirTimestampAndTheListEmptiesAfterForty) {
  Build();
  auto* list = Log();
  const std::time_t before = std::time(nullptr);
  CMainframeUI::OnOutput(u"line 1\n");
  const QString row = list->item(0)->text();
  EXPECT_TRUE(row == QString::fromStdU16String(FormatTimestamp(before)) + "   line 1" ||
              row == QString::fromStdU16String(FormatTimestamp(std::time(nullptr))) + "   line 1")
      << row.toStdString();
  EXPECT_EQ(list->item(0)->data(Qt::UserRole).toString(), row + QStringLiteral("\n\r\n"));

  for (int i = 2; i <= 41; ++i) {
    CMainframeUI::OnOutput(QStringLiteral("line %1\n").arg(i).toStdU16String().c_str());
  }
  EXPECT_EQ(list->count(), 41);
  EXPECT_EQ(list->currentRow(), 40);
  CMainframeUI::OnOutput(u"line 42\n");
  ASSERT_EQ(list->count(), 1);
  EXPECT_TRUE(list->item(0)->text().endsWith(QStringLiteral("   line 42")));

  B("clearinfo_btn")->click();
  EXPECT_EQ(list->count(), 0);
  EXPECT_FALSE(B("clearinfo_btn")->isEnabled());
  CMainframeUI::OnOutput(u"again\n");
  EXPECT_TRUE(B("clearinfo_btn")->isEnabled());
}

// Help without a viewer names it; with one, the help file of the language is opened (F1
// anywhere and the button alike).
TEST_F(Window, HelpOpensTheLanguagesFileOrSaysWhatIsMissing) {
  TempDir bin;
  const ScopedEnv path("PATH", bin.path().c_str());
  const std::string opened = bin.Join("opened");
  Build();
  QTest::keyClick(C<QLineEdit>("firmware_edit"), Qt::Key_F1);
  ExpectBoxes({{Text(u"FileNotFound2") + QStringLiteral("xdg-open"), {}, BoxKind::kHelpError}});

  // A viewer that writes its arguments where the test can read them.
  const std::string viewer = bin.Join("xdg-open");
  WriteFile(viewer, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + opened + ".tmp\n/bin/mv " + opened +
                        ".tmp " + opened + "\n");
  chmod(viewer.c_str(), 0755);
  B("help_btn")->click();
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(opened); }));
  EXPECT_EQ(ReadFile(opened), std::string(BRINDLE_TEST_DIR) + "/help_en.mht\n");
}

// The window's tests show the ordinary values; these are the limits.
TEST(FrontText, ElapsedTimeLogLinesDiskLabelsHelpFilesAndTheChooserTitle) {
  EXPECT_EQ(FormatElapsed(3600 + 2 * 60 + 59), u"01:02:59");
  EXPECT_EQ(FormatElapsed(100 * 3600), u"100:00:00");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatTimestamp(1796591229), u"20261206-21:07:09");  // 2026-12-06 21:07:09 UTC
  EXPECT_EQ(RowTextOfLine(u"a\nb\r\n"), u"a\nb");
  EXPECT_EQ(DiskLabel(12, 512), u"HD12: 512B");
  const std::pair<const char16_t*, int> positions[] = {
      {u"HD12: 1.00T", 12}, {u"HD: 1G", -1}, {u"HDx: 1G", -1}, {u"HD99999999999: 1G", -1}};
  for (const auto& [label, position] : positions) {
    EXPECT_EQ(DiskPositionOfLabel(label), position) << plat::ToUtf8(label);
  }
  const std::pair<uint16_t, const char16_t*> help[] = {
      {0x0804, u"help_ch.mht"}, {0x0404, u"help_tw.mht"}, {0x0C04, u"help_tw.mht"},  // Hong Kong
      {0x1004, u"help_en.mht"},  // Singapore
      {0x0409, u"help_en.mht"}};
  for (const auto& [id, file] : help) EXPECT_EQ(std::u16string(HelpFileName(id)), file) << id;
  EXPECT_EQ(ChooserTitle(std::u16string(60, u'x')), std::u16string(49, u'x'));
  // A character outside the basic plane is never cut in half.
  EXPECT_EQ(ChooserTitle(std::u16string(48, u'y') + u"\U0001F4BEzz"), std::u16string(48, u'y'));
}

// The caption area of a 400 x 300 window: 40 rows high, 30 pixels kept free on the right. A
// control under the point that is chosen, selected or followed stays clickable (buttons are
// checked in the window's own caption, with its plain labels and bare widgets).
TEST(CaptionHitTest, CaptionRowsDragUnlessAControlStaysClickable) {
  App();
  QWidget bare;
  QCheckBox check;
  QLabel selectable, links, keyboardOnly;
  selectable.setTextInteractionFlags(Qt::TextSelectableByMouse);
  links.setOpenExternalLinks(true);
  keyboardOnly.setTextInteractionFlags(Qt::TextSelectableByKeyboard);
  const CaptionInsets caption{0, 0, 30, 40};
  const struct {
    QPoint at;
    CaptionInsets caption;
    const QWidget* under;
    int hit;
  } cases[] = {
      {{0, 0}, caption, &bare, kHitCaption},
      {{369, 39}, caption, &keyboardOnly, kHitCaption},
      // The right inset and the row below the caption are client area.
      {{370, 10}, caption, &bare, kHitClient},
      {{10, 40}, caption, &bare, kHitClient},
      {{10, 10}, caption, &check, kHitClient},
      {{10, 10}, caption, &selectable, kHitClient},
      {{10, 10}, caption, &links, kHitClient},
      {{10, 10}, caption, nullptr, kHitClient},
      // A left inset moves the start of the area; one at the top leaves the top rows alone.
      {{4, 10}, {5, 0, 0, 40}, &bare, kHitClient},
      {{5, 10}, {5, 0, 0, 40}, &bare, kHitCaption},
      {{10, 3}, {0, 4, 0, 40}, &bare, kHitClient}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const ControlKind under = KindOfControl(c.under);
    EXPECT_EQ(CaptionHitTest(c.at, QRect(0, 0, 400, 300), c.caption, under), c.hit) << i;
  }
}

TEST(WindowShape, TopCornersRoundBottomCornersSquareAndTheSkinsValues) {
  // The window's own corners are checked with the skin's values; here the inside of the arc.
  const QRegion shape = TopRoundedRegion(QRect(0, 0, 200, 100), QSize(6, 6));
  EXPECT_TRUE(shape.contains(QPoint(100, 0)) && shape.contains(QPoint(3, 3)));
  // No rounding: nothing to apply, the window stays rectangular.
  EXPECT_TRUE(TopRoundedRegion(QRect(0, 0, 200, 100), QSize(0, 0)).isEmpty());
  const CaptionInsets c = ParseCaptionInsets(QStringLiteral("0, 2,30,48"));
  EXPECT_EQ(std::vector<int>({c.left, c.top, c.right, c.bottom}), std::vector<int>({0, 2, 30, 48}));
  EXPECT_EQ(ParseCaptionInsets(QStringLiteral("a,b,c,d")).bottom, 0);
  EXPECT_EQ(ParseCornerSize(QStringLiteral("12,10")), QSize(12, 10));
  EXPECT_EQ(ParseCornerSize(QStringLiteral("12")), QSize(0, 0));
}

// A copy that died left its socket behind: the next copy listens in its place. The program
// started after it shows that copy and ends with 0, which it does only with the copy's answer.
TEST(SingleInstance, AStaleSocketIsReplacedAndTheProgramShowsTheRunningCopy) {
  App();
  TempDir dir;
  const std::string marker = dir.Join(kInstanceMarker);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", marker.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  SingleInstance first(QString::fromStdString(marker));
  EXPECT_FALSE(first.ActivateRunningCopy());
  ASSERT_TRUE(first.listening());
  QSignalSpy shown(&first, &SingleInstance::showRequested);
  // The program waits for the answer, which this thread's events give.
  std::atomic<int> status{-2};
  std::thread second([&] {
    status = RunTool("XDG_RUNTIME_DIR=" + Quote(dir.path()) + " timeout 60 " +
                     Quote(std::string(BRINDLE_BIN_DIR) + "/Brindle"));
  });
  EXPECT_TRUE(WaitFor([&] { return status != -2; }));
  second.join();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(shown.count(), 1);
}

}  // namespace
