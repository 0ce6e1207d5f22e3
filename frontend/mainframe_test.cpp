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
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocalSocket>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

using namespace guitest;
using namespace testsupport;

QString Text(const char16_t* key) { return QString::fromStdU16String(LocalText(key, 0)); }

constexpr uint64_t kGiB = 1ull << 30;

// What the window registers before a write, update or verify job; recover sets no timer.
const std::vector<std::string> kJobCallbacks = {"InitOutputFunc",     "InitShowProFunc",
                                                "InitSetProPosFunc",  "InitSetCopyTipFunc",
                                                "InitSetTimeFunc",    "InitShowMsgFunc"};

ShownBox ErrorBox(const QString& text) { return {text, QStringLiteral("Error"), BoxKind::kError}; }

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    options_ = TestOptions(boxes_, settings_, &engine_);
  }
  void TearDown() override {
    if (w_) w_->JoinJob();
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
  QStringList Rows() {
    QStringList rows;
    auto* list = C<QListWidget>("output_edit");
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
  }
  void ExpectBoxes(const std::vector<ShownBox>& expected) {
    ASSERT_EQ(boxes_.boxes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(boxes_.boxes[i].text, expected[i].text) << i;
      EXPECT_EQ(boxes_.boxes[i].caption, expected[i].caption) << i;
      EXPECT_EQ(boxes_.boxes[i].kind, expected[i].kind) << i;
    }
  }
  // The engine's calls other than the callbacks' registration.
  std::vector<std::string> JobCalls() const {
    std::vector<std::string> jobs;
    for (const std::string& call : engine_.Calls()) {
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
  // Builds the window with `disks`, chooses the first listed and types in `folder`.
  void BuildAndChoose(std::vector<DISK_DATA> disks, const std::string& folder) {
    options_.diskSource = [disks](const std::function<void(const std::u16string&)>&) {
      return disks;
    };
    Build();
    C<QComboBox>("disk_combo")->setCurrentIndex(0);
    C<QLineEdit>("firmware_edit")->setText(QString::fromStdString(folder));
  }
  // One USB disk (an image file) at position 1, selected; a firmware folder typed in.
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
  FakeEngine engine_;
  MainframeOptions options_;
  std::unique_ptr<CMainframeUI> w_;
  std::string image_;
};

TEST_F(Window, TheIdleStateAndTheLook) {
  Build();
  // The progress group starts hidden, as after OnShowPro(0, 0).
  for (const char* name : {"copy_lable", "pro_rate_label", "parname_label", "parSize_label",
                           "partype_label", "parImage_label", "copy_progress"}) {
    EXPECT_TRUE(C<QWidget>(name)->isHidden()) << name;
  }
  // Centred on the screen, frameless, of a fixed size, with rounded top corners.
  const QPoint offset = w_->geometry().center() - w_->screen()->availableGeometry().center();
  EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << "," << offset.y();
  EXPECT_TRUE(w_->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(w_->minimumSize(), w_->maximumSize());
  const QRegion mask = w_->mask();
  const int right = w_->width() - 1, bottom = w_->height() - 1;
  EXPECT_FALSE(mask.contains(QPoint(0, 0)) || mask.contains(QPoint(right, 0)));
  EXPECT_TRUE(mask.contains(QPoint(0, bottom)) && mask.contains(QPoint(right, bottom)));
  // Minimising keeps the shape.
  B("minsize_btn")->click();
  EXPECT_TRUE(w_->isMinimized());
  w_->OnSystemCommand(kScRestore);
  EXPECT_EQ(w_->mask(), mask);
}

TEST_F(Window, CaptionAreaDragsExceptOnItsButtons) {
  Build();
  auto at = [&](QWidget* widget) { return widget->mapToGlobal(widget->rect().center()); };
  // The empty caption bar drags (the title label: below); the window buttons stay buttons.
  EXPECT_EQ(w_->HitTest(w_->mapToGlobal(QPoint(w_->width() / 2, 10))), kHitCaption);
  for (const char* name : {"help_btn", "minsize_btn", "quite_btn"}) {
    EXPECT_EQ(w_->HitTest(at(B(name))), kHitClient) << name;
  }

  // Pressing on the title and moving the mouse moves the window; a press on a button does not.
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
  QTest::mouseClick(B("refresh_btn"), Qt::LeftButton);
  EXPECT_EQ(w_->pos(), before + QPoint(30, 20));
}

TEST_F(Window, BrokenSkinsAreRefusedWithAReason) {
  std::string skin = ReadFile(std::string(BRINDLE_TEST_DIR) + "/res/skin.xml");
  const size_t at = skin.find("\"recover_btn\"");
  ASSERT_NE(at, std::string::npos);
  skin.replace(at, 13, "\"recover_xxx\"");
  WriteFile(work_.Join("skin.xml"), skin);
  for (const char* file : {"skin.xml", "none.xml"}) {
    options_.skinPath = plat::FromUtf8(work_.Join(file));
    CMainframeUI window(options_);
    EXPECT_FALSE(window.BuildWindow());
    const char* reason = file[0] == 's' ? "recover_btn" : "none.xml";
    EXPECT_TRUE(window.buildError().contains(QLatin1String(reason))) << reason;
  }
}

// A system booted from a USB stick, with a card reader holding a card and a write-protected
// one: the stick is listed but cannot be chosen, with the reason; the protected card is marked.
// Each entry is named by the disk's position in the whole list.
TEST_F(Window, DiskListFromAFixtureSysfsTree) {
  std::string machine = "usbboot", mountinfo = "mountinfo";
  options_.diskSource = [&](const std::function<void(const std::u16string&)>& report) {
    const std::string root = std::string(BRINDLE_SOURCE_DIR) + "/disks/testdata/" + machine;
    DiskInfo info(root + "/sys", root + "/" + mountinfo, root + "/swaps");
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
  // Of two cards none is chosen for the user.
  EXPECT_EQ(combo->currentIndex(), -1);
  EXPECT_EQ(combo->placeholderText(), Text(u"DiskChoose"));

  // One card beside a fixed disk and an empty slot: chosen already, with its whole text as the
  // combo's tooltip.
  machine = "cardreader";
  B("refresh_btn")->click();
  ASSERT_EQ(combo->count(), 1);
  EXPECT_EQ(combo->currentIndex(), 0);
  EXPECT_EQ(combo->toolTip(), QStringLiteral("HD1: 7.40G \u2014 Generic- SD/MMC (/dev/sdb)"));

  // Nothing to write: the placeholder says what to do.
  machine = "laptop";
  B("refresh_btn")->click();
  EXPECT_EQ(combo->count(), 0);
  EXPECT_EQ(combo->placeholderText(), Text(u"NoDisk"));

  // A mount table that cannot be read is shown in an error box; the disks are listed still.
  machine = "cardreader";
  mountinfo = "no-such-mountinfo";
  B("refresh_btn")->click();
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_TRUE(boxes_.boxes[0].text.startsWith(Text(u"GetLogicDriveFail")));
  EXPECT_EQ(combo->count(), 1);
}

// The program's copy of the settings is read (trimmed) until the user's own exists, which is
// saved in private folders on exit, as typed. Exit while idle quits without asking, by either
// button or the window manager's close.
TEST_F(Window, SettingsAndExitWhileIdle) {
  int quits = 0, ends = 0;
  options_.quit = [&] { ++quits; };
  options_.endProcess = [&] { ++ends; };
  const std::string folder = work_.Join("fw");
  std::filesystem::create_directories(folder);
  const std::string beside = work_.Join("beside.ini");
  const std::string programs = "[FIRMWARE]\nPATH=   " + folder + "   \n";
  WriteFile(beside, programs);
  options_.settingsPath = plat::FromUtf8(work_.Join("cfg/brindle/config.ini"));
  options_.settingsFallback = plat::FromUtf8(beside);
  Build();
  EXPECT_EQ(C<QLineEdit>("firmware_edit")->text(), QString::fromStdString(folder));

  C<QLineEdit>("firmware_edit")->setText(QString::fromStdString(" " + work_.path() + " "));
  B("quite_btn")->click();
  B("close_btn")->click();
  w_->close();
  EXPECT_EQ(quits, 3);
  EXPECT_EQ(ends, 0);
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
  std::filesystem::create_directories(dir.Join("lib"));
  const std::u16string program = plat::FromUtf8(dir.Join("lib/"));
  const std::u16string user = plat::FromUtf8(dir.Join("cfg/"));
  auto expect = [&](const std::u16string& path, const std::u16string& fallback) {
    const SettingsFiles files = ChooseSettingsFiles(program, user);
    EXPECT_EQ(files.path, path);
    EXPECT_EQ(files.fallback, fallback);
  };
  expect(user + u"brindle/config.ini", u"");
  ASSERT_TRUE(WriteFile(dir.Join("lib/config.ini"), "[FIRMWARE]\n"));
  expect(program + u"config.ini", u"");
  if (geteuid() == 0) GTEST_SKIP() << "root may write every file";
  chmod(dir.Join("lib/config.ini").c_str(), 0444);
  expect(user + u"brindle/config.ini", program + u"config.ini");
}

// While a job runs its controls are off and exit asks first: No goes on, Yes saves the settings
// and ends the process. The controls come back when the job ends.
TEST_F(Window, WhileAJobRunsItsControlsAreOffAndExitAsks) {
  int quits = 0, ends = 0;
  options_.quit = [&] { ++quits; };
  options_.endProcess = [&] { ++ends; };
  const char* jobControls[] = {"startWrite_btn", "update_btn", "recover_btn", "refresh_btn",
                               "disk_combo"};
  ReadyToWrite();
  C<QListWidget>("output_edit")->addItem(QStringLiteral("old line"));
  B("clearinfo_btn")->setEnabled(true);
  engine_.Script("mark started\nwait release\n");
  B("startWrite_btn")->click();
  ASSERT_TRUE(WaitFor([&] { return engine_.Has("started"); }));
  EXPECT_EQ(C<QListWidget>("output_edit")->count(), 0);
  EXPECT_FALSE(B("clearinfo_btn")->isEnabled());
  for (const char* name : jobControls) EXPECT_FALSE(C<QWidget>(name)->isEnabled()) << name;
  EXPECT_TRUE(w_->elapsedTimer().isActive());

  const ShownBox ask{Text(u"ExitTip"), Text(u"Tip"), BoxKind::kQuestion};
  boxes_.answers = {kAnswerNo};
  B("quite_btn")->click();
  ExpectBoxes({ask});
  EXPECT_EQ(quits + ends, 0);
  EXPECT_FALSE(std::filesystem::exists(settings_.Join("config.ini")));
  boxes_.answers = {kAnswerYes};
  w_->close();
  ExpectBoxes({ask, ask});
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(quits, 0);
  EXPECT_NE(ReadFile(settings_.Join("config.ini")).find(Firmware()), std::string::npos);

  engine_.Touch("release");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  for (const char* name : jobControls) EXPECT_TRUE(C<QWidget>(name)->isEnabled()) << name;
  EXPECT_FALSE(w_->elapsedTimer().isActive());
  // Only the next output line enables the clear button again.
  EXPECT_FALSE(B("clearinfo_btn")->isEnabled());
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
  std::vector<qsizetype> rows;
  for (const auto& job : jobs) {
    // The last: a success while the box is clear.
    if (job.said == nullptr) check->setChecked(false);
    engine_.Script("out " + plat::ToUtf8(LocalText(job.said ? job.said : u"WriteSucess", 0)));
    RunToEnd(job.button);
    rows.push_back(Rows().size());
  }
  // The verify job's lines follow the job's in the log (this engine says the same).
  EXPECT_EQ(rows, (std::vector<qsizetype>{2, 2, 1, 1}));
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
  for (const bool alone : {true, false}) {
    SCOPED_TRACE(alone);
    std::filesystem::remove(engine_.dir().Join("calls.txt"));
    engine_.Script(alone ? "refuse 1\n" : "refuse 3\n");
    boxes_.boxes.clear();
    boxes_.answers = {kAnswerYes};
    RunToEnd("startWrite_btn");
    std::vector<std::string> expected = kJobCallbacks;
    expected.push_back(make);
    if (alone) {
      expected.insert(expected.end(), kJobCallbacks.begin(), kJobCallbacks.end());
      expected.push_back("SetJobOption 1 1");
      expected.push_back(make);
      ExpectBoxes({{Text(u"AllowOutsideAsk"), Text(u"Tip"), BoxKind::kQuestion}});
    } else {
      ExpectBoxes({});
    }
    EXPECT_EQ(engine_.Calls(), expected);
  }
}

// Every input wrong: only the first check speaks, and the job ends before the engine runs,
// with the controls back. The running system's disk (chosen by a program, as the list never
// lets a user) and a write-protected card are refused with their reason by every job.
TEST_F(Window, EachFailingCheckShowsItsBoxAndEndsTheJob) {
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
  EXPECT_TRUE(engine_.Calls().empty());
}

// A disk this user cannot open is asked of the system's disk service. When it does not open
// it, the box says why (no service: root is needed) and the engine never runs; when it does,
// the engine gets its descriptor, which the window closes after the job, and the service has
// the kernel read the new table.
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
  const QString busy = QStringLiteral("\nDevice or resource busy");
  const std::pair<DiskGrant::Result, QString> refusals[] = {
      {DiskGrant::kUnavailable, Text(u"NeedRoot") + "/dev/sdz"},
      {DiskGrant::kNotAuthorized, Text(u"DiskAuthFailed") + "/dev/sdz"},
      {DiskGrant::kFailed, Text(u"DiskServiceFailed") + "/dev/sdz" + busy}};
  for (const auto& [result, text] : refusals) {
    grant = {result, -1, u"Device or resource busy"};
    boxes_.boxes.clear();
    RunToEnd("startWrite_btn");
    RunToEnd("recover_btn");
    ExpectBoxes({ErrorBox(text), ErrorBox(text)});
  }
  EXPECT_EQ(asked, std::vector<std::string>(6, "/dev/sdz"));
  EXPECT_TRUE(engine_.Calls().empty());

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

TEST(DiskServiceErrors, AbsentServiceRefusalAndFailureAreTold) {
  const std::pair<const char*, DiskGrant::Result> cases[] = {
      {"org.freedesktop.DBus.Error.ServiceUnknown", DiskGrant::kUnavailable},
      {"org.freedesktop.UDisks2.Error.NotAuthorizedDismissed", DiskGrant::kNotAuthorized},
      {"org.freedesktop.UDisks2.Error.Failed", DiskGrant::kFailed}};
  for (const auto& [name, result] : cases) {
    EXPECT_EQ(ResultOfServiceError(QString::fromLatin1(name)), result) << name;
  }
}

TEST_F(Window, AMissingEngineIsReportedAndTheJobEndsNormally) {
  options_.enginePath = work_.Join("libPlinth.so");
  ReadyToWrite();
  RunToEnd("startWrite_btn");
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_TRUE(boxes_.boxes[0].text.startsWith(Text(u"LoadPlinthFailed")));
  EXPECT_TRUE(boxes_.boxes[0].text.contains(QStringLiteral("libPlinth.so")));
}

// Five callbacks and the volume built on the disk, with the progress group shown meanwhile and
// no timer.
TEST_F(Window, RecoverRegistersFiveCallbacksAndBuildsTheVolumeOnTheDisk) {
  engine_.Script("pos 0\nmark building\nwait go\npos 100\n");
  ReadyToWrite();
  B("recover_btn")->click();
  EXPECT_FALSE(w_->elapsedTimer().isActive());
  ASSERT_TRUE(WaitFor([&] { return engine_.Has("building"); }));
  EXPECT_FALSE(C<QProgressBar>("copy_progress")->isHidden());
  EXPECT_TRUE(L("parname_label")->isHidden());
  engine_.Touch("go");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  std::vector<std::string> expected = kJobCallbacks;
  expected.erase(expected.begin() + 4);  // no timer
  expected.push_back("RemovePartitionsInPlace " + image_ + "|" + std::to_string(8 * kGiB) + "|0");
  EXPECT_EQ(engine_.Calls(), expected);
  EXPECT_TRUE(C<QProgressBar>("copy_progress")->isHidden());
}

// Each report is complete before the engine goes on; an engine's message text is freed by the
// window (the sanitizer build reports a leak or a double free).
TEST_F(Window, TheEnginesReportsReachTheWindowInOrder) {
  engine_.Script(
      "out Opening the disk\n"
      "pro 1 1\n"
      "tip Writing partition 1|boot|64.00M|fat32|/fw/boot.img\n"
      "time 1\n"
      "pos 37\n"
      "mark copying\n"
      "wait go\n"
      "pos 100\n"
      "time 0\n"
      "tip Done|-|-|-|-\n"
      "msg Something failed\n"
      "out Finished\n");
  ReadyToWrite();
  B("startWrite_btn")->click();
  ASSERT_TRUE(WaitFor([&] { return engine_.Has("copying"); }));
  ASSERT_EQ(Rows().size(), 1);
  EXPECT_TRUE(Rows()[0].endsWith(QStringLiteral("   Opening the disk")));
  const std::pair<const char*, const char*> tip[] = {
      {"copy_lable", "Writing partition 1"}, {"parname_label", "boot"},
      {"parSize_label", "64.00M"},           {"partype_label", "fat32"},
      {"parImage_label", "/fw/boot.img"},    {"pro_rate_label", "37%"}};
  for (const auto& [name, text] : tip) {
    EXPECT_EQ(L(name)->text(), QString::fromLatin1(text)) << name;
    EXPECT_FALSE(L(name)->isHidden()) << name;
  }
  EXPECT_EQ(C<QProgressBar>("copy_progress")->value(), 37);
  EXPECT_EQ(L("time_label")->text(), Text(u"TimeConsume") + QStringLiteral(" 00:00:00"));
  EXPECT_FALSE(L("time_label")->isHidden());

  engine_.Touch("go");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  EXPECT_TRUE(L("time_label")->isHidden());
  EXPECT_EQ(L("pro_rate_label")->text(), QStringLiteral("100%"));
  EXPECT_EQ(L("copy_lable")->text(), QStringLiteral("Done"));
  for (const char* name : {"parname_label", "parSize_label", "partype_label", "parImage_label"}) {
    EXPECT_TRUE(L(name)->text().isEmpty()) << name;
  }
  ExpectBoxes({ErrorBox(QStringLiteral("Something failed"))});
  ASSERT_EQ(Rows().size(), 2);
  EXPECT_TRUE(Rows()[1].endsWith(QStringLiteral("   Finished")));
}

// The callbacks called directly: the percentage label is written only when the value changes;
// the progress groups are shown apart; the elapsed time is reset, ticks (the first after a reset
// without the blank) and is hidden, the ticks going on after a stop.
TEST_F(Window, ProgressGroupsPercentageAndTime) {
  Build();
  auto* bar = C<QProgressBar>("copy_progress");
  auto* label = L("pro_rate_label");
  CMainframeUI::OnSetProPos(37);
  label->setText(QStringLiteral("marker"));
  bar->setValue(0);
  CMainframeUI::OnSetProPos(37);
  EXPECT_EQ(label->text(), QStringLiteral("marker"));
  EXPECT_EQ(bar->value(), 37);

  CMainframeUI::OnShowPro(1, 0);
  EXPECT_FALSE(bar->isHidden() || label->isHidden());
  EXPECT_TRUE(L("parname_label")->isHidden());
  CMainframeUI::OnShowPro(0, 7);
  EXPECT_TRUE(L("copy_lable")->isHidden());
  EXPECT_FALSE(L("parSize_label")->isHidden() || L("partype_label")->isHidden());

  // The reset itself is shown by the reports test.
  auto* time = L("time_label");
  const QString consumed = Text(u"TimeConsume");
  w_->ElapsedTick();
  CMainframeUI::OnSetTime(5);
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
  auto* list = C<QListWidget>("output_edit");
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

TEST_F(Window, ChooseFolderOffersTheCurrentFolderAndKeepsItOnCancel) {
  QString title, initial, answer = QStringLiteral("/chosen/folder");
  options_.chooseFolder = [&](QWidget*, const QString& t, const QString& i) {
    title = t;
    initial = i;
    return answer;
  };
  Build();
  auto* edit = C<QLineEdit>("firmware_edit");
  edit->setText(QStringLiteral("/start"));
  B("selDec_btn")->click();
  EXPECT_EQ(title, Text(u"SelDec"));
  EXPECT_EQ(initial, QStringLiteral("/start"));
  answer.clear();
  B("selDec_btn")->click();
  EXPECT_EQ(initial, QStringLiteral("/chosen/folder"));
  EXPECT_EQ(edit->text(), QStringLiteral("/chosen/folder"));
}

// Help without a viewer names it (the button and F1 anywhere alike); with one, the help file of
// the language is opened, or named when it is missing.
TEST_F(Window, HelpOpensTheLanguagesFileOrSaysWhatIsMissing) {
  TempDir bin;
  const ScopedEnv path("PATH", bin.path().c_str());
  const std::string opened = bin.Join("opened");
  Build();
  B("help_btn")->click();
  QTest::keyClick(C<QLineEdit>("firmware_edit"), Qt::Key_F1);
  const ShownBox noViewer{Text(u"FileNotFound2") + QStringLiteral("xdg-open"), QString(),
                          BoxKind::kHelpError};
  ExpectBoxes({noViewer, noViewer});

  // A viewer that writes its arguments where the test can read them.
  const std::string viewer = bin.Join("xdg-open");
  WriteFile(viewer, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + opened + ".tmp\n/bin/mv " + opened +
                        ".tmp " + opened + "\n");
  chmod(viewer.c_str(), 0755);
  QTest::keyClick(w_.get(), Qt::Key_F1);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(opened); }));
  EXPECT_EQ(ReadLines(opened),
            std::vector<std::string>{std::string(BRINDLE_TEST_DIR) + "/help_en.mht"});

  options_.helpFolder = plat::FromUtf8(work_.path()) + u"/";
  Build();
  B("help_btn")->click();
  ASSERT_EQ(boxes_.boxes.size(), 3u);
  EXPECT_EQ(boxes_.boxes[2].text,
            Text(u"HelpFileNotFound") + QString::fromStdString(work_.Join("help_en.mht")));
}

// The window's tests show the ordinary values; these are the limits.
TEST(FrontText, ElapsedTimeLogLinesAndDiskLabels) {
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
}

TEST(FrontText, HelpFileOfEachLanguageAndTheChooserTitle) {
  const std::pair<uint16_t, const char16_t*> help[] = {
      {0x0804, u"help_ch.mht"}, {0x0404, u"help_tw.mht"}, {0x0C04, u"help_tw.mht"},  // Hong Kong
      {0x1004, u"help_en.mht"},  // Singapore
      {0x0409, u"help_en.mht"}};
  for (const auto& [id, file] : help) EXPECT_EQ(std::u16string(HelpFileName(id)), file) << id;
  EXPECT_EQ(ChooserTitle(std::u16string(60, u'x')), std::u16string(49, u'x'));
  EXPECT_EQ(ChooserTitle(u"short"), u"short");
  // A character outside the basic plane is never cut in half.
  EXPECT_EQ(ChooserTitle(std::u16string(48, u'y') + u"\U0001F4BEzz"), std::u16string(48, u'y'));
}

// The caption area of a 400 x 300 window: 40 rows high, 30 pixels kept free on the right.
TEST(CaptionHitTest, CaptionRowsDragUnlessAControlStaysClickable) {
  const CaptionInsets caption{0, 0, 30, 40};
  const struct {
    QPoint at;
    CaptionInsets caption;
    ControlKind under;
    int hit;
  } cases[] = {
      {{0, 0}, caption, ControlKind::kOther, kHitCaption},
      {{369, 39}, caption, ControlKind::kOther, kHitCaption},
      // The right inset and the row below the caption are client area.
      {{370, 10}, caption, ControlKind::kOther, kHitClient},
      {{10, 40}, caption, ControlKind::kOther, kHitClient},
      {{10, 10}, caption, ControlKind::kButton, kHitClient},
      // A left inset moves the start of the area; one at the top leaves the top rows alone.
      {{4, 10}, {5, 0, 0, 40}, ControlKind::kOther, kHitClient},
      {{5, 10}, {5, 0, 0, 40}, ControlKind::kOther, kHitCaption},
      {{10, 3}, {0, 4, 0, 40}, ControlKind::kOther, kHitClient}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(CaptionHitTest(c.at, QRect(0, 0, 400, 300), c.caption, c.under), c.hit) << i;
  }
}

TEST(CaptionHitTest, KindsOfControls) {
  App();
  // Buttons, plain labels and bare widgets are met in the window's own caption.
  QWidget parent;
  QCheckBox check(&parent);
  QLabel selectable(&parent);
  selectable.setTextInteractionFlags(Qt::TextSelectableByMouse);
  QLabel links(&parent);
  links.setOpenExternalLinks(true);
  QLabel keyboardOnly(&parent);
  keyboardOnly.setTextInteractionFlags(Qt::TextSelectableByKeyboard);
  const std::pair<const QWidget*, ControlKind> kinds[] = {
      {nullptr, ControlKind::kNone},  {&check, ControlKind::kOption},
      {&selectable, ControlKind::kText}, {&links, ControlKind::kText},
      {&keyboardOnly, ControlKind::kOther}};
  for (size_t i = 0; i < std::size(kinds); ++i) {
    EXPECT_EQ(KindOfControl(kinds[i].first), kinds[i].second) << i;
  }
}

TEST(WindowShape, TopCornersRoundBottomCornersSquareAndTheSkinsValues) {
  // The window's own corners are checked with the skin's values; here the inside of the arc.
  const QRegion shape = TopRoundedRegion(QRect(0, 0, 200, 100), QSize(6, 6));
  EXPECT_TRUE(shape.contains(QPoint(100, 0)) && shape.contains(QPoint(3, 3)));
  EXPECT_FALSE(shape.contains(QPoint(1, 0)) || shape.contains(QPoint(100, 100)));
  // No rounding: nothing to apply, the window stays rectangular.
  EXPECT_TRUE(TopRoundedRegion(QRect(0, 0, 200, 100), QSize(0, 0)).isEmpty());
  const CaptionInsets c = ParseCaptionInsets(QStringLiteral("0, 2,30,48"));
  EXPECT_EQ(std::vector<int>({c.left, c.top, c.right, c.bottom}), std::vector<int>({0, 2, 30, 48}));
  EXPECT_EQ(ParseCaptionInsets(QStringLiteral("a,b,c,d")).bottom, 0);
  EXPECT_EQ(ParseCornerSize(QStringLiteral("12,10")), QSize(12, 10));
  EXPECT_EQ(ParseCornerSize(QStringLiteral("12")), QSize(0, 0));
}

TEST(SingleInstance, ASecondCopyAsksTheFirstToShowItself) {
  App();
  TempDir dir;
  const QString name = QString::fromStdString(dir.Join("marker"));
  SingleInstance first(name);
  EXPECT_FALSE(first.ActivateRunningCopy());
  QSignalSpy shown(&first, &SingleInstance::showRequested);
  // The second copy blocks while it waits for the answer, so it runs on its own thread.
  std::atomic<bool> secondEnds{false};
  std::thread second([&] { secondEnds = SingleInstance(name).ActivateRunningCopy(); });
  ASSERT_TRUE(WaitFor([&] { return shown.count() == 1; }));
  second.join();
  EXPECT_TRUE(secondEnds);
}

TEST(SingleInstance, AStaleSocketIsReplaced) {
  App();
  TempDir dir;
  // A copy that died left its socket file behind, with nobody listening on it.
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.Join("marker").c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  SingleInstance next(QString::fromStdString(dir.Join("marker")));
  EXPECT_FALSE(next.ActivateRunningCopy());
  EXPECT_TRUE(next.listening());
}

TEST(SingleInstance, AForeignServerIsNotTakenForARunningCopy) {
  App();
  TempDir dir;
  const QString name = QString::fromStdString(dir.Join("marker"));
  // Another program listens under the name and answers something else.
  QLocalServer foreign;
  ASSERT_TRUE(foreign.listen(name));
  QObject::connect(&foreign, &QLocalServer::newConnection, [&foreign] {
    QLocalSocket* socket = foreign.nextPendingConnection();
    socket->write("busy\n");
    socket->flush();
  });
  std::atomic<bool> ends{true}, listening{false};
  std::thread starting([&] {
    SingleInstance copy(name);
    ends = copy.ActivateRunningCopy();
    listening = copy.listening();
  });
  ASSERT_TRUE(WaitFor([&] { return !ends; }));
  starting.join();
  EXPECT_TRUE(listening);
}

// The program itself, twice, with a private runtime folder: the second shows the first and
// ends with 0, which it does only with the first copy's answer to the show request.
TEST(SingleInstance, TheSecondProgramShowsTheFirstAndEnds) {
  TempDir dir;
  std::string program = std::string(BRINDLE_BIN_DIR) + "/Brindle";
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + dir.path(),
                                  "XDG_RUNTIME_DIR=" + dir.path(), "LANG=C.UTF-8",
                                  "PATH=/usr/bin:/bin"};
  for (const char* kept : {"LSAN_OPTIONS", "ASAN_OPTIONS"}) {
    if (const char* value = std::getenv(kept)) env.push_back(std::string(kept) + "=" + value);
  }
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  auto start = [&](const std::string& errors) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT, 0600);
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    const int err = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return err == 0 ? pid : -1;
  };
  const pid_t first = start(dir.Join("first.err"));
  ASSERT_GT(first, 0);
  // The first copy is up once its marker socket exists.
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(dir.Join(kInstanceMarker)); }))
      << ReadFile(dir.Join("first.err"));
  const pid_t second = start(dir.Join("second.err"));
  ASSERT_GT(second, 0);
  int status = -1;
  const bool ended = WaitFor([&] { return waitpid(second, &status, WNOHANG) == second; });
  if (!ended) kill(second, SIGKILL);
  EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << ReadFile(dir.Join("second.err"));
  // The first copy is still running.
  EXPECT_EQ(waitpid(first, &status, WNOHANG), 0);
  kill(first, SIGTERM);
  waitpid(first, &status, 0);
}

}  // namespace
