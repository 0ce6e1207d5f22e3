// The real window built from res/skin.xml, driven offscreen: controls, the disk list, settings,
// help, the jobs' checks and their boxes, the callbacks' effects, and exit. The startup texts
// and the layout during a job are checked in every language by mainframe_lang_test.
#include "DiskInfo.h"
#include "FrontText.h"
#include "GuiTestSupport.h"
#include "LocalText.h"
#include "MainframeUI.h"
#include "Platform.h"
#include "ProfileReader.h"
#include "TextUtil.h"
#include "SingleInstance.h"
#include "testsupport/TestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStandardItemModel>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

using namespace guitest;
using namespace testsupport;

QString Text(const char16_t* key) { return QString::fromStdU16String(LocalText(key, 0)); }

constexpr uint64_t kGiB = 1ull << 30;

// What the window registers before a write, update or verify job; recover sets no timer.
const std::vector<std::string> kJobCallbacks = {
    "InitOutputFunc set",     "InitShowProFunc set", "InitSetProPosFunc set",
    "InitSetCopyTipFunc set", "InitSetTimeFunc set", "InitShowMsgFunc set"};

ShownBox ErrorBox(const QString& text) { return {text, QStringLiteral("Error"), BoxKind::kError}; }

// libPlinth.so when it is built with `symbol`; empty otherwise.
std::string RealEngine(const char* symbol) {
  const std::string engine = std::string(BRINDLE_BIN_DIR) + "/libPlinth.so";
  void* handle = dlopen(engine.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return {};
  const bool ready = dlsym(handle, symbol) != nullptr;
  dlclose(handle);
  return ready ? engine : std::string();
}

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    options_ = TestOptions(boxes_, settings_, &engine_);
  }
  void TearDown() override {
    if (w_) w_->JoinJob();
    w_.reset();
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
  void UseDisks(std::vector<DISK_DATA> disks) {
    options_.diskSource = [disks](const std::function<void(const std::u16string&)>&) {
      return disks;
    };
  }
  // One USB disk (an image file) at position 1, selected; a firmware folder typed in.
  void ReadyToWrite() {
    image_ = work_.Join("card.img");
    WriteFile(image_, std::string(4096, '\0'));
    UseDisks({Disk(0, false, 500 * kGiB, "/dev/sda"), Disk(1, true, 8 * kGiB, image_)});
    Build();
    C<QComboBox>("disk_combo")->setCurrentIndex(0);
    C<QLineEdit>("firmware_edit")->setText(QString::fromStdString(Firmware()));
  }
  // " folder|disk|size" of a job on ReadyToWrite's disk.
  std::string JobArgs() {
    return " " + Firmware() + "|" + image_ + "|" + std::to_string(8 * kGiB);
  }
  void RunToEnd(const char* button) {
    B(button)->click();
    ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
    w_->JoinJob();
  }
  // A write job that waits in the engine until Release().
  void StartHeldWrite() {
    engine_.Script("mark started\nwait release\n");
    ReadyToWrite();
    B("startWrite_btn")->click();
  }
  void Release() {
    engine_.Touch("release");
    ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  }

  BoxRecorder boxes_;
  TempDir settings_;
  TempDir work_;
  FakeEngine engine_;
  MainframeOptions options_;
  std::unique_ptr<CMainframeUI> w_;
  std::string image_;
};

TEST_F(Window, EveryControlByNameAndKindTheIdleStateAndTheLook) {
  Build();
  for (const char* name : {"close_btn", "refresh_btn", "selDec_btn", "startWrite_btn",
                           "recover_btn", "clearinfo_btn", "minsize_btn", "quite_btn",
                           "update_btn", "help_btn"}) {
    B(name);
  }
  C<QComboBox>("disk_combo");
  C<QLineEdit>("firmware_edit");
  C<QListWidget>("output_edit");
  C<QGroupBox>("progress_view");
  C<QGroupBox>("output_view");
  for (const char* name : {"time_label", "title", "diskdrive_label", "firmware_label"}) L(name);
  // The progress group starts hidden, as after OnShowPro(0, 0), with the bar's range 0 to 100.
  for (const char* name : {"copy_lable", "pro_rate_label", "parname_label", "parSize_label",
                           "partype_label", "parImage_label"}) {
    EXPECT_TRUE(L(name)->isHidden()) << name;
  }
  auto* bar = C<QProgressBar>("copy_progress");
  EXPECT_TRUE(bar->isHidden());
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_FALSE(C<QCheckBox>("verify_check")->isChecked());
  EXPECT_TRUE(C<QLineEdit>("firmware_edit")->text().isEmpty());
  EXPECT_TRUE(w_->idle());
  EXPECT_EQ(w_->lastProgress(), -1);
  // Centred on the screen.
  const QPoint offset = w_->geometry().center() - w_->screen()->availableGeometry().center();
  EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << "," << offset.y();

  // Frameless, of a fixed size, with rounded top corners.
  EXPECT_TRUE(w_->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(w_->minimumSize(), w_->maximumSize());
  EXPECT_EQ(w_->roundCorner(), QSize(12, 12));
  const QRegion mask = w_->mask();
  ASSERT_FALSE(mask.isEmpty());
  EXPECT_FALSE(mask.contains(QPoint(0, 0)));
  EXPECT_FALSE(mask.contains(QPoint(w_->width() - 1, 0)));
  EXPECT_TRUE(mask.contains(QPoint(0, w_->height() - 1)));
  EXPECT_TRUE(mask.contains(QPoint(w_->width() - 1, w_->height() - 1)));

  EXPECT_FALSE(w_->windowIcon().pixmap(32, 32).isNull());
  EXPECT_FALSE(C<QLabel>("logo_mark")->pixmap().isNull());
  // The arrow is the skin's own image, drawn in the combo's drop-down button: dark pixels at
  // its right end, where the box is otherwise white and light grey.
  ASSERT_TRUE(QFile::exists(QStringLiteral("skin:icons/arrow-down.svg")));
  auto* combo = C<QComboBox>("disk_combo");
  const QImage box = combo->grab().toImage();
  int dark = 0;
  for (int x = box.width() - 24; x < box.width() - 4; ++x) {
    for (int y = 4; y < box.height() - 4; ++y) dark += qGray(box.pixel(x, y)) < 160;
  }
  EXPECT_GT(dark, 6);

  // Minimising keeps the shape.
  B("minsize_btn")->click();
  EXPECT_TRUE(w_->isMinimized());
  EXPECT_EQ(w_->mask(), mask);
  w_->OnSystemCommand(kScRestore);
  EXPECT_FALSE(w_->isMinimized());
  EXPECT_EQ(w_->mask(), mask);
}

TEST_F(Window, CaptionAreaDragsExceptOnItsButtons) {
  Build();
  auto at = [&](QWidget* widget) { return widget->mapToGlobal(widget->rect().center()); };
  // The plain title label and the empty caption bar drag; the window buttons stay buttons.
  EXPECT_EQ(w_->HitTest(at(C<QLabel>("title"))), kHitCaption);
  QWidget* under = w_->childAt(QPoint(w_->width() / 2, 10));
  EXPECT_EQ(w_->HitTest(w_->mapToGlobal(QPoint(w_->width() / 2, 10))), kHitCaption)
      << (under ? under->objectName().toStdString() + " " + under->metaObject()->className() : "none");
  for (const char* name : {"help_btn", "minsize_btn", "quite_btn"}) {
    EXPECT_EQ(w_->HitTest(at(B(name))), kHitClient) << name;
  }
  // Below the caption everything is client area, plain labels included.
  EXPECT_EQ(w_->HitTest(at(C<QLabel>("diskdrive_label"))), kHitClient);

  // Pressing on the title and moving the mouse moves the window; a press on a button does not.
  const QPoint before = w_->pos();
  QLabel* title = C<QLabel>("title");
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

  const QPoint moved = w_->pos();
  QPushButton* help = B("refresh_btn");
  QTest::mousePress(help, Qt::LeftButton, Qt::NoModifier, help->rect().center());
  QTest::mouseRelease(help, Qt::LeftButton, Qt::NoModifier, help->rect().center());
  EXPECT_EQ(w_->pos(), moved);
}

TEST_F(Window, BrokenSkinsAreRefusedWithAReason) {
  const std::string skin = ReadFile(std::string(BRINDLE_TEST_DIR) + "/res/skin.xml");
  std::string renamed = skin;
  const size_t at = renamed.find("\"recover_btn\"");
  ASSERT_NE(at, std::string::npos);
  renamed.replace(at, 13, "\"recover_xxx\"");
  WriteFile(work_.Join("skin.xml"), renamed);
  options_.skinPath = plat::FromUtf8(work_.Join("skin.xml"));
  CMainframeUI lacking(options_);
  EXPECT_FALSE(lacking.BuildWindow());
  EXPECT_TRUE(lacking.buildError().contains(QStringLiteral("recover_btn")));

  options_.skinPath = plat::FromUtf8(work_.Join("none.xml"));
  CMainframeUI missing(options_);
  EXPECT_FALSE(missing.BuildWindow());
  EXPECT_TRUE(missing.buildError().contains(QStringLiteral("none.xml")));
}

TEST_F(Window, DiskListShowsUsbDisksWithASizeByTheirPositions) {
  int enumerations = 0;
  const std::vector<DISK_DATA> disks = {
      Disk(0, false, 500 * kGiB, "/dev/sda"), Disk(1, true, 8 * kGiB, "/dev/sdb"),
      Disk(2, false, 250 * kGiB, "/dev/sdc"), Disk(3, true, 0, "/dev/sdd"),
      Disk(4, true, 15523840ull * 512, "/dev/sde")};
  options_.diskSource = [&](const std::function<void(const std::u16string&)>&) {
    ++enumerations;
    return disks;
  };
  Build();
  auto* combo = C<QComboBox>("disk_combo");
  ASSERT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->itemText(0), QStringLiteral("HD1: 8.00G \u2014 /dev/sdb"));
  EXPECT_EQ(combo->itemText(1), QStringLiteral("HD4: 7.40G \u2014 /dev/sde"));
  // Of two cards none is chosen for the user.
  EXPECT_EQ(combo->currentIndex(), -1);
  EXPECT_TRUE(combo->currentText().isEmpty());
  EXPECT_EQ(combo->placeholderText(), Text(u"DiskChoose"));
  EXPECT_EQ(w_->disks().size(), 5u);
  EXPECT_EQ(enumerations, 1);

  combo->setCurrentIndex(1);
  B("refresh_btn")->click();
  EXPECT_EQ(enumerations, 2);
  EXPECT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->currentIndex(), -1);
}

// A system booted from a USB stick, with a card reader holding a card and a write-protected
// one: the stick is listed but cannot be chosen, with the reason; the protected card is marked.
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
  const QString locked = QStringLiteral(" [") + Text(u"ReadOnlyTag") + "]";
  const QStringList expected = {
      QStringLiteral("HD1: 28.64G \u2014 SanDisk Ultra (/dev/sdb)") + system,
      QStringLiteral("HD2: 7.40G \u2014 Generic- SD/MMC (/dev/sdc)"),
      QStringLiteral("HD3: 3.69G \u2014 Generic- MicroSD/M2 (/dev/sdd)") + locked};
  ASSERT_EQ(combo->count(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(combo->itemText(i), expected[i]);
    EXPECT_EQ(items->item(i)->isEnabled(), i != 0) << i;
  }
  EXPECT_EQ(combo->itemData(0, Qt::ToolTipRole).toString(),
            expected[0] + "\n" + Text(u"SystemDisk") +
                "/ on /dev/mapper/sdb2_crypt, /boot/efi on /dev/sdb1, swap on /dev/sdb3");
  EXPECT_EQ(combo->currentIndex(), -1);  // two cards to choose from
  EXPECT_TRUE(boxes_.boxes.empty());

  // One card beside a fixed disk and an empty slot: chosen already, with its whole text as the
  // combo's tooltip.
  machine = "cardreader";
  B("refresh_btn")->click();
  ASSERT_EQ(combo->count(), 1);
  EXPECT_EQ(combo->currentIndex(), 0);
  EXPECT_EQ(combo->currentText(), QStringLiteral("HD1: 7.40G \u2014 Generic- SD/MMC (/dev/sdb)"));
  EXPECT_EQ(combo->toolTip(), combo->currentText());

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
  EXPECT_EQ(boxes_.boxes[0].caption, QStringLiteral("Error"));
  EXPECT_TRUE(boxes_.boxes[0].text.startsWith(Text(u"GetLogicDriveFail")));
  EXPECT_EQ(combo->count(), 1);
}

TEST_F(Window, SettingsLoadTrimmedAndForgetVanishedFolders) {
  const std::string folder = work_.Join("fw");
  std::filesystem::create_directories(folder);
  const std::u16string ini = options_.settingsPath;
  WriteFile(plat::ToUtf8(ini), "[FIRMWARE]\nPATH=   " + folder + "   \n");
  Build();
  EXPECT_EQ(C<QLineEdit>("firmware_edit")->text(), QString::fromStdString(folder));
  EXPECT_EQ(w_->LoadSettings(), plat::FromUtf8(folder));

  WriteFile(plat::ToUtf8(ini), "[firmware]\npath=" + work_.Join("gone") + "\n");
  EXPECT_EQ(w_->LoadSettings(), u"");
  std::filesystem::remove(plat::ToUtf8(ini));
  EXPECT_EQ(w_->LoadSettings(), u"");
}

TEST(Settings, UserFolderUnlessAWritableCopyIsBesideTheProgram) {
  testsupport::TempDir dir;
  std::filesystem::create_directories(dir.Join("lib"));
  const std::u16string program = plat::FromUtf8(dir.Join("lib/"));
  const std::u16string user = plat::FromUtf8(dir.Join("cfg/"));
  SettingsFiles files = ChooseSettingsFiles(program, user);
  EXPECT_EQ(files.path, user + u"brindle/config.ini");
  EXPECT_EQ(files.fallback, u"");

  ASSERT_TRUE(WriteFile(dir.Join("lib/config.ini"), "[FIRMWARE]\n"));
  files = ChooseSettingsFiles(program, user);
  EXPECT_EQ(files.path, program + u"config.ini");
  EXPECT_EQ(files.fallback, u"");

  if (geteuid() == 0) GTEST_SKIP() << "root may write every file";
  chmod(dir.Join("lib/config.ini").c_str(), 0444);
  files = ChooseSettingsFiles(program, user);
  EXPECT_EQ(files.path, user + u"brindle/config.ini");
  EXPECT_EQ(files.fallback, program + u"config.ini");
}

TEST_F(Window, SettingsReadTheProgramsCopyUntilTheUsersOwnIsSavedInAPrivateFolder) {
  const std::string folder = work_.Join("fw");
  std::filesystem::create_directories(folder);
  const std::string beside = work_.Join("beside.ini");
  WriteFile(beside, "[FIRMWARE]\nPATH=" + folder + "\n");
  options_.settingsPath = plat::FromUtf8(work_.Join("cfg/brindle/config.ini"));
  options_.settingsFallback = plat::FromUtf8(beside);
  Build();
  EXPECT_EQ(C<QLineEdit>("firmware_edit")->text(), QString::fromStdString(folder));

  C<QLineEdit>("firmware_edit")->setText(QStringLiteral("/elsewhere"));
  B("quite_btn")->click();
  EXPECT_EQ(ProfileReader(options_.settingsPath).Read(u"FIRMWARE", u"PATH"), u"/elsewhere");
  EXPECT_EQ(ReadFile(beside), "[FIRMWARE]\nPATH=" + folder + "\n");
  for (const char* made : {"cfg", "cfg/brindle"}) {
    struct stat st {};
    ASSERT_EQ(stat(work_.Join(made).c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << made;
  }
  // Once the user's own file exists, the program's copy is no longer read.
  EXPECT_EQ(w_->LoadSettings(), u"");
}

TEST_F(Window, ExitWhileIdleSavesTheFolderUntrimmedAndQuitsWithoutAsking) {
  int quits = 0, ends = 0;
  options_.quit = [&] { ++quits; };
  options_.endProcess = [&] { ++ends; };
  Build();
  C<QLineEdit>("firmware_edit")->setText(QStringLiteral(" /some/folder "));
  B("quite_btn")->click();
  EXPECT_TRUE(boxes_.boxes.empty());
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(ends, 0);
  EXPECT_EQ(ProfileReader(options_.settingsPath).Read(u"FIRMWARE", u"PATH"), u" /some/folder ");
  // The close button and the window manager's close run the same procedure.
  B("close_btn")->click();
  w_->close();
  EXPECT_EQ(quits, 3);
  EXPECT_TRUE(w_->isVisible());
}

TEST_F(Window, ExitWhileAJobRunsAsksAndOnYesEndsTheProcess) {
  int quits = 0, ends = 0;
  options_.quit = [&] { ++quits; };
  options_.endProcess = [&] { ++ends; };
  StartHeldWrite();
  ASSERT_TRUE(WaitFor([&] { return engine_.Has("started"); }));
  const ShownBox ask{Text(u"ExitTip"), Text(u"Tip"), BoxKind::kQuestion};
  boxes_.answers = {kAnswerNo};
  B("quite_btn")->click();
  ExpectBoxes({ask});
  EXPECT_EQ(quits + ends, 0);
  EXPECT_FALSE(FileExists(settings_.Join("config.ini")));
  EXPECT_FALSE(w_->idle());

  boxes_.answers = {kAnswerYes};
  w_->close();
  ExpectBoxes({ask, ask});
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(quits, 0);
  EXPECT_NE(ReadFile(settings_.Join("config.ini")).find(Firmware()), std::string::npos);
  Release();
}

TEST_F(Window, ControlsAreDisabledWhileAJobRunsAndEnabledAfter) {
  const char* jobControls[] = {"startWrite_btn", "update_btn", "recover_btn", "refresh_btn"};
  const char* freeControls[] = {"selDec_btn", "help_btn", "minsize_btn", "close_btn",
                                "quite_btn"};
  engine_.Script("mark started\nwait release\n");
  ReadyToWrite();
  auto* list = C<QListWidget>("output_edit");
  list->addItem(QStringLiteral("old line"));
  B("clearinfo_btn")->setEnabled(true);
  B("startWrite_btn")->click();
  EXPECT_FALSE(w_->idle());
  EXPECT_EQ(list->count(), 0);
  EXPECT_FALSE(B("clearinfo_btn")->isEnabled());
  for (const char* name : jobControls) EXPECT_FALSE(B(name)->isEnabled()) << name;
  EXPECT_FALSE(C<QComboBox>("disk_combo")->isEnabled());
  for (const char* name : freeControls) EXPECT_TRUE(B(name)->isEnabled()) << name;
  EXPECT_TRUE(C<QLineEdit>("firmware_edit")->isEnabled());
  EXPECT_TRUE(w_->elapsedTimer().isActive());
  ASSERT_TRUE(WaitFor([&] { return engine_.Has("started"); }));
  EXPECT_FALSE(B("startWrite_btn")->isEnabled());

  Release();
  for (const char* name : jobControls) EXPECT_TRUE(B(name)->isEnabled()) << name;
  EXPECT_TRUE(C<QComboBox>("disk_combo")->isEnabled());
  EXPECT_FALSE(w_->elapsedTimer().isActive());
  // Only the next output line enables the clear button again.
  EXPECT_FALSE(B("clearinfo_btn")->isEnabled());
}

// Each job registers its callbacks and gets the trimmed folder and the disk record; "verify
// after writing" follows a write or update that reported success, on the same disk, and the
// choice is kept in config.ini.
TEST_F(Window, JobsPassTheDiskRecordAndAreVerifiedOnlyAfterSuccess) {
  ReadyToWrite();
  const std::string args = JobArgs();
  C<QLineEdit>("firmware_edit")->setText(QString::fromStdString("  " + Firmware() + " "));
  RunToEnd("startWrite_btn");
  RunToEnd("update_btn");
  std::vector<std::string> expected = kJobCallbacks;
  expected.push_back("MakeDisk" + args);
  expected.insert(expected.end(), kJobCallbacks.begin(), kJobCallbacks.end());
  expected.push_back("UpdateDisk" + args);
  EXPECT_EQ(engine_.Calls(), expected);

  std::filesystem::remove(engine_.dir().Join("calls.txt"));
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
    engine_.Script("out " + plat::ToUtf8(LocalText(job.said ? job.said : u"WriteSucess", 0)) +
                   "\n");
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

class JobChecks : public Window, public ::testing::WithParamInterface<const char*> {};

TEST_P(JobChecks, EachFailingCheckShowsItsBoxAndEndsTheJob) {
  ReadyToWrite();
  auto* edit = C<QLineEdit>("firmware_edit");
  auto* combo = C<QComboBox>("disk_combo");
  const std::string folder = Firmware();
  const std::string empty = work_.Join("empty");
  std::filesystem::create_directories(empty);
  const struct {
    std::string edit;
    int selection;
    QString box;
  } cases[] = {
      // Every input wrong: only the first check speaks.
      {"   ", -1, Text(u"FirmwareNull")},
      {work_.Join("missing"), -1,
       Text(u"DecNotFound") + QString::fromStdString(work_.Join("missing"))},
      {image_, 0, Text(u"DecNotFound") + QString::fromStdString(image_)},
      {empty, 0, Text(u"ConfigNotFound")},
      {folder, -1, Text(u"DiskNull")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box.toStdString());
    boxes_.boxes.clear();
    C<QListWidget>("output_edit")->addItem(QStringLiteral("left from before"));
    edit->setText(QString::fromStdString(c.edit));
    combo->setCurrentIndex(c.selection);
    RunToEnd(GetParam());
    ExpectBoxes({ErrorBox(c.box)});
    // The list was emptied when the job started, and the controls are back.
    EXPECT_EQ(C<QListWidget>("output_edit")->count(), 0);
    EXPECT_TRUE(B(GetParam())->isEnabled());
    EXPECT_TRUE(combo->isEnabled());
  }
  EXPECT_TRUE(engine_.Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(WriteAndUpdate, JobChecks,
                         ::testing::Values("startWrite_btn", "update_btn"));

// The running system's disk (chosen by a program, as the list never lets a user) and a
// write-protected card: each refused with its reason before the engine is loaded, by every job.
TEST_F(Window, DisksThatMustNotBeWrittenAreRefusedBeforeTheEngineRuns) {
  const std::string image = work_.Join("card.img");
  WriteFile(image, "");
  DISK_DATA system = Disk(0, true, 8 * kGiB, image);
  std::snprintf(system.systemUse, sizeof system.systemUse, "/ on /dev/sdb2");
  DISK_DATA locked = Disk(1, true, 8 * kGiB, image);
  locked.readOnly = 1;
  UseDisks({system, locked});
  Build();
  C<QLineEdit>("firmware_edit")->setText(QString::fromStdString(Firmware()));
  const QString refusals[] = {Text(u"SystemDisk") + QStringLiteral("/ on /dev/sdb2"),
                              Text(u"DiskReadOnly") + QString::fromStdString(image)};
  for (int row = 0; row < 2; ++row) {
    for (const char* button : {"startWrite_btn", "update_btn", "recover_btn"}) {
      SCOPED_TRACE(button);
      boxes_.boxes.clear();
      C<QComboBox>("disk_combo")->setCurrentIndex(row);
      RunToEnd(button);
      ExpectBoxes({ErrorBox(refusals[row])});
    }
  }
  EXPECT_TRUE(engine_.Calls().empty());
  EXPECT_EQ(ReadFile(image), "");
}

// A disk this user cannot open is asked of the system's disk service; when it does not open
// it, the box says why (no service: root is needed) and the engine never runs.
struct RefusedAccess {
  const char* name;
  DiskGrant::Result result;
  const char16_t* key;
  QString detail;
};

class DiskServiceRefusals : public Window, public ::testing::WithParamInterface<RefusedAccess> {};

TEST_P(DiskServiceRefusals, TheReasonIsShownBeforeTheEngineRuns) {
  std::vector<std::string> asked;
  options_.deviceWritable = [](const std::u16string& path) { return path != u"/dev/sdz"; };
  options_.openDevice = [&](const std::string& device) {
    asked.push_back(device);
    return DiskGrant{GetParam().result, -1, u"Device or resource busy"};
  };
  UseDisks({Disk(0, true, 8 * kGiB, "/dev/sdz")});
  Build();
  C<QComboBox>("disk_combo")->setCurrentIndex(0);
  C<QLineEdit>("firmware_edit")->setText(QString::fromStdString(Firmware()));
  RunToEnd("startWrite_btn");
  RunToEnd("recover_btn");
  const ShownBox box =
      ErrorBox(Text(GetParam().key) + QStringLiteral("/dev/sdz") + GetParam().detail);
  ExpectBoxes({box, box});
  EXPECT_EQ(asked, (std::vector<std::string>{"/dev/sdz", "/dev/sdz"}));
  EXPECT_TRUE(engine_.Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Window, DiskServiceRefusals,
    ::testing::Values(RefusedAccess{"NoService", DiskGrant::kUnavailable, u"NeedRoot", {}},
                      RefusedAccess{"NotAuthorized", DiskGrant::kNotAuthorized, u"DiskAuthFailed",
                                    {}},
                      RefusedAccess{"Failed", DiskGrant::kFailed, u"DiskServiceFailed",
                                    QStringLiteral("\nDevice or resource busy")}),
    [](const ::testing::TestParamInfo<RefusedAccess>& info) { return info.param.name; });


TEST_F(Window, TheDiskServicesDescriptorGoesToTheEngineAndTheTableIsReadAgainAfter) {
  const std::string granted = work_.Join("granted");
  ASSERT_TRUE(WriteFile(granted, "x"));
  int opened = -1;
  std::vector<std::string> rescanned;
  options_.deviceWritable = [](const std::u16string& path) { return path != u"/dev/sdz"; };
  options_.openDevice = [&](const std::string&) {
    opened = open(granted.c_str(), O_RDWR | O_CLOEXEC);
    return DiskGrant{DiskGrant::kOpened, opened, {}};
  };
  options_.rescanDevice = [&](const std::string& device) { rescanned.push_back(device); };
  UseDisks({Disk(0, true, 8 * kGiB, "/dev/sdz")});
  Build();
  C<QComboBox>("disk_combo")->setCurrentIndex(0);
  C<QLineEdit>("firmware_edit")->setText(QString::fromStdString(Firmware()));
  RunToEnd("startWrite_btn");
  EXPECT_TRUE(boxes_.boxes.empty());
  ASSERT_GE(opened, 0);
  EXPECT_EQ(fcntl(opened, F_GETFD), -1) << "the window closes its descriptor after the job";
  const std::vector<std::string> calls = engine_.Calls();
  const auto handed = std::find(calls.begin(), calls.end(), "UseDiskHandle /dev/sdz|" + granted);
  ASSERT_NE(handed, calls.end());
  ASSERT_NE(handed + 1, calls.end());
  EXPECT_EQ((handed + 1)->rfind("MakeDisk ", 0), 0u) << *(handed + 1);
  EXPECT_EQ(rescanned, std::vector<std::string>{"/dev/sdz"});
}

TEST(DiskServiceErrors, AbsentServiceRefusalAndFailureAreTold) {
  const std::pair<const char*, DiskGrant::Result> cases[] = {
      {"org.freedesktop.DBus.Error.ServiceUnknown", DiskGrant::kUnavailable},
      {"org.freedesktop.DBus.Error.UnknownMethod", DiskGrant::kUnavailable},
      {"org.freedesktop.UDisks2.Error.NotAuthorizedDismissed", DiskGrant::kNotAuthorized},
      {"org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain", DiskGrant::kNotAuthorized},
      {"org.freedesktop.UDisks2.Error.Failed", DiskGrant::kFailed}};
  for (const auto& [name, result] : cases) {
    EXPECT_EQ(ResultOfServiceError(QString::fromLatin1(name)), result) << name;
  }
}

TEST(DeviceAccess, ImageFilesAlwaysPassBlockDevicesNeedWriteAccess) {
  TempDir dir;
  WriteFile(dir.Join("card.img"), "x");
  chmod(dir.Join("card.img").c_str(), 0400);
  EXPECT_TRUE(DeviceWritable(plat::FromUtf8(dir.Join("card.img"))));
  EXPECT_TRUE(DeviceWritable(u"/no/such/device"));
  if (geteuid() == 0) GTEST_SKIP() << "root may write every block device";
  for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
    struct stat st {};
    if (stat(entry.path().c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
        access(entry.path().c_str(), W_OK) != 0) {
      EXPECT_FALSE(DeviceWritable(plat::FromUtf8(entry.path().string())));
      return;
    }
  }
  GTEST_SKIP() << "no block device without write access in /dev";
}

TEST_F(Window, AMissingEngineIsReportedAndTheJobEndsNormally) {
  options_.enginePath = work_.Join("libPlinth.so");
  ReadyToWrite();
  RunToEnd("startWrite_btn");
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].caption, QStringLiteral("Error"));
  EXPECT_TRUE(boxes_.boxes[0].text.startsWith(Text(u"LoadPlinthFailed")));
  EXPECT_TRUE(boxes_.boxes[0].text.contains(QStringLiteral("libPlinth.so")));
  EXPECT_TRUE(B("startWrite_btn")->isEnabled());
  EXPECT_TRUE(w_->idle());
}

using Recover = Window;

using Recover = Window;

TEST_F(Recover, NoDiskSelectedStopsTheJobBeforeTheEngine) {
  Build();
  RunToEnd("recover_btn");
  ExpectBoxes({ErrorBox(Text(u"DiskNull"))});
  EXPECT_TRUE(engine_.Calls().empty());
}

// Five callbacks and the volume built on the disk, with the progress group shown meanwhile and
// no timer.
TEST_F(Recover, RegistersFiveCallbacksAndBuildsTheVolumeOnTheDisk) {
  const std::string disk = work_.Join("card.img");
  WriteFile(disk, std::string(4096, '\0'));
  UseDisks({Disk(0, false, 100 * kGiB, "/dev/sda"), Disk(1, true, 4 * kGiB, disk)});
  engine_.Script("pos 0\nmark building\nwait go\npos 100\n");
  Build();
  C<QComboBox>("disk_combo")->setCurrentIndex(0);
  B("recover_btn")->click();
  EXPECT_FALSE(w_->elapsedTimer().isActive());
  ASSERT_TRUE(WaitFor([&] { return engine_.Has("building"); }));
  EXPECT_FALSE(C<QProgressBar>("copy_progress")->isHidden());
  EXPECT_FALSE(L("pro_rate_label")->isHidden());
  EXPECT_TRUE(L("parname_label")->isHidden());
  engine_.Touch("go");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  std::vector<std::string> expected = kJobCallbacks;
  expected.erase(expected.begin() + 4);  // no timer
  expected.push_back("RemovePartitionsInPlace " + disk + "|" + std::to_string(4 * kGiB) + "|0");
  EXPECT_EQ(engine_.Calls(), expected);
  EXPECT_TRUE(boxes_.boxes.empty());
  EXPECT_EQ(C<QProgressBar>("copy_progress")->value(), 100);
  EXPECT_TRUE(C<QProgressBar>("copy_progress")->isHidden());
}

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
  auto* time = L("time_label");
  const QString zero = Text(u"TimeConsume") + QStringLiteral(" 00:00:00");
  // Each report was complete before the engine went on.
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
  EXPECT_FALSE(time->isHidden());
  EXPECT_EQ(time->text(), zero);
  EXPECT_EQ(w_->elapsedSeconds(), 0u);
  EXPECT_TRUE(B("clearinfo_btn")->isEnabled());

  engine_.Touch("go");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  EXPECT_TRUE(time->isHidden());
  EXPECT_EQ(time->text(), zero);
  EXPECT_EQ(L("pro_rate_label")->text(), QStringLiteral("100%"));
  EXPECT_EQ(w_->lastProgress(), 100);
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
  CMainframeUI::OnSetProPos(38);
  EXPECT_EQ(label->text(), QStringLiteral("38%"));
  EXPECT_EQ(w_->lastProgress(), 38);

  CMainframeUI::OnShowPro(1, 0);
  EXPECT_FALSE(bar->isHidden());
  EXPECT_FALSE(label->isHidden());
  EXPECT_TRUE(L("parname_label")->isHidden());
  CMainframeUI::OnShowPro(0, 7);
  EXPECT_TRUE(L("copy_lable")->isHidden());
  EXPECT_FALSE(L("parSize_label")->isHidden());
  EXPECT_FALSE(L("partype_label")->isHidden());

  auto* time = L("time_label");
  const QString consumed = Text(u"TimeConsume");
  w_->ElapsedTick();
  w_->ElapsedTick();
  EXPECT_EQ(w_->elapsedSeconds(), 2u);
  CMainframeUI::OnSetTime(5);
  EXPECT_EQ(w_->elapsedSeconds(), 0u);
  EXPECT_EQ(time->text(), consumed + QStringLiteral(" 00:00:00"));
  EXPECT_FALSE(time->isHidden());
  w_->ElapsedTick();
  EXPECT_EQ(time->text(), consumed + QStringLiteral("00:00:00"));
  w_->ElapsedTick();
  EXPECT_EQ(time->text(), consumed + QStringLiteral("00:00:01"));
  CMainframeUI::OnSetTime(0);
  EXPECT_TRUE(time->isHidden());
  w_->ElapsedTick();
  EXPECT_EQ(time->text(), consumed + QStringLiteral("00:00:02"));
  EXPECT_TRUE(time->isHidden());
}

TEST_F(Window, ShowMsgTakesOwnershipOfTheMallocedText) {
  Build();
  const char16_t text[] = u"The disk is full.";
  auto* copy = static_cast<char16_t*>(std::malloc(sizeof text));
  std::memcpy(copy, text, sizeof text);
  CMainframeUI::OnShowMsg(copy);  // the sanitizer build reports a leak or a double free
  ExpectBoxes({ErrorBox(QStringLiteral("The disk is full."))});
}

TEST_F(Window, OutputLinesCarryTheirTimestampAndTheListEmptiesAfterForty) {
  Build();
  auto* list = C<QListWidget>("output_edit");
  const std::time_t before = std::time(nullptr);
  CMainframeUI::OnOutput(u"line 1\n");
  const std::time_t after = std::time(nullptr);
  const QString row = list->item(0)->text();
  EXPECT_TRUE(row == QString::fromStdU16String(FormatTimestamp(before)) + "   line 1" ||
              row == QString::fromStdU16String(FormatTimestamp(after)) + "   line 1")
      << row.toStdString();
  EXPECT_EQ(list->item(0)->data(Qt::UserRole).toString(), row + QStringLiteral("\n\r\n"));
  EXPECT_EQ(list->currentRow(), 0);

  for (int i = 2; i <= 41; ++i) {
    CMainframeUI::OnOutput(QStringLiteral("line %1\n").arg(i).toStdU16String().c_str());
  }
  EXPECT_EQ(list->count(), 41);
  EXPECT_TRUE(list->item(40)->text().endsWith(QStringLiteral("line 41")));
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
  EXPECT_EQ(edit->text(), QStringLiteral("/chosen/folder"));
  answer.clear();
  B("selDec_btn")->click();
  EXPECT_EQ(initial, QStringLiteral("/chosen/folder"));
  EXPECT_EQ(edit->text(), QStringLiteral("/chosen/folder"));
}

// Help without a viewer names it (the button and F1 anywhere alike); with one, the help file of
// the language is opened, or named when it is missing.
TEST_F(Window, HelpOpensTheLanguagesFileOrSaysWhatIsMissing) {
  TempDir bin;
  const char* path = std::getenv("PATH");
  const std::string oldPath = path != nullptr ? path : "";
  setenv("PATH", bin.path().c_str(), 1);
  struct RestorePath {
    std::string path;
    ~RestorePath() { setenv("PATH", path.c_str(), 1); }
  } restore{oldPath};
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
  ASSERT_TRUE(WaitFor([&] { return FileExists(opened); }));
  EXPECT_EQ(ReadLines(opened),
            std::vector<std::string>{std::string(BRINDLE_TEST_DIR) + "/help_en.mht"});
  EXPECT_EQ(boxes_.boxes.size(), 2u);

  std::filesystem::remove(opened);
  options_.helpFolder = plat::FromUtf8(work_.path()) + u"/";
  Build();
  B("help_btn")->click();
  ASSERT_EQ(boxes_.boxes.size(), 3u);
  EXPECT_EQ(boxes_.boxes[2].text,
            Text(u"HelpFileNotFound") + QString::fromStdString(work_.Join("help_en.mht")));
  EXPECT_FALSE(FileExists(opened));
}

// The real engine writes an image file offered as a USB disk, from the window, and verifies it.
TEST_F(Window, AFullWriteJobOntoAnImageFile) {
  const std::string engine = RealEngine("MakeDisk");
  if (engine.empty()) GTEST_SKIP() << "libPlinth.so is not built";
  if (!HaveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat is not installed";

  const std::string folder = work_.Join("firmware");
  std::filesystem::create_directories(folder);
  const std::string boot = folder + "/boot.img";
  WriteFile(boot, "");
  std::filesystem::resize_file(boot, 8u << 20);
  ASSERT_EQ(RunTool("mkfs.fat -F 16 -s 1 -n BOOT " + Quote(boot) + " >/dev/null"), 0);
  WriteFile(folder + "/config.xml",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<diskMaker><partitions>\n"
            "<partition name=\"boot\" capacity=\"16\" imagePath=\"boot.img\" active=\"true\" "
            "offset=\"2048\" type=\"fat16\"/>\n"
            "</partitions><binFiles/></diskMaker>\n");
  const std::string card = work_.Join("card.img");
  WriteFile(card, "");
  std::filesystem::resize_file(card, 64u << 20);

  options_.enginePath = engine;
  UseDisks({Disk(0, false, 500 * kGiB, "/dev/sda"), Disk(1, true, 64u << 20, card)});
  Build();
  C<QComboBox>("disk_combo")->setCurrentIndex(0);
  C<QLineEdit>("firmware_edit")->setText(QString::fromStdString(folder));
  C<QCheckBox>("verify_check")->setChecked(true);
  RunToEnd("startWrite_btn");

  ExpectBoxes({});
  // The engine's log of both jobs, each line behind its timestamp.
  const QStringList rows = Rows();
  const QString texts[] = {Text(u"OpenDisk"),       Text(u"OpenDiskSuccess"),
                           Text(u"WrtieParToPhy"),  Text(u"WriteSucess"),
                           Text(u"OpenDisk"),       Text(u"OpenDiskSuccess"),
                           Text(u"VerifyParToPhy"), Text(u"VerifySucess")};
  ASSERT_EQ(rows.size(), 8) << rows.join('\n').toStdString();
  for (int i = 0; i < 8; ++i) {
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{8}-\\d\\d:\\d\\d:\\d\\d   ") +
                                   QRegularExpression::escape(texts[i]) + "$")
                    .match(rows[i])
                    .hasMatch())
        << rows[i].toStdString();
  }
  // The copy tip of the one partition stays; the group is hidden at the end.
  EXPECT_EQ(L("copy_lable")->text(),
            QString::fromStdU16String(FormatWithInt(LocalText(u"VerifyParTip", 0), 1)));
  EXPECT_EQ(L("parname_label")->text(), Text(u"ParName") + QStringLiteral("boot"));
  EXPECT_EQ(L("parSize_label")->text(), Text(u"ParSize") + QStringLiteral("16.00M"));
  EXPECT_TRUE(L("partype_label")->text().startsWith(Text(u"ParType")));
  EXPECT_EQ(L("parImage_label")->text(), Text(u"ImgFile") + QStringLiteral("boot.img"));
  EXPECT_TRUE(L("copy_lable")->isHidden());
  EXPECT_TRUE(L("parname_label")->isHidden());
  EXPECT_EQ(C<QProgressBar>("copy_progress")->value(), 100);
  EXPECT_EQ(L("pro_rate_label")->text(), QStringLiteral("100%"));
  // Reset by the engine's timed copy, maybe one tick later: with or without the blank.
  EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(Text(u"TimeConsume")) +
                                 " ?\\d\\d:\\d\\d:\\d\\d$")
                  .match(L("time_label")->text())
                  .hasMatch())
      << L("time_label")->text().toStdString();
  EXPECT_TRUE(L("time_label")->isHidden());
  // The partition table, read by a tool of its own.
  if (HaveTool("sfdisk")) {
    const std::string table = ToolOutput("sfdisk -d " + Quote(card) + " 2>/dev/null");
    EXPECT_NE(table.find("start=        2048"), std::string::npos) << table;
  }
}

// The real volume builder and engine recover an image file offered as a USB disk.
TEST_F(Recover, AFullRecoverJobOntoAnImageFile) {
  const std::string engine = RealEngine("RemovePartitionsInPlace");
  if (engine.empty()) GTEST_SKIP() << "libPlinth.so is not built";
  const std::string card = work_.Join("card.img");
  WriteFile(card, std::string(1 << 20, '\xA5'));
  std::filesystem::resize_file(card, 64u << 20);
  options_.enginePath = engine;
  UseDisks({Disk(0, true, 64u << 20, card)});
  Build();
  C<QComboBox>("disk_combo")->setCurrentIndex(0);
  RunToEnd("recover_btn");

  ExpectBoxes({});
  const QStringList rows = Rows();
  ASSERT_FALSE(rows.isEmpty());
  EXPECT_TRUE(rows.last().endsWith(QStringLiteral("   ") + Text(u"RecoverSucess")))
      << rows.join('\n').toStdString();
  // The card now starts with a FAT32 volume, as a tool of its own reads it.
  if (HaveTool("fsck.fat")) {
    EXPECT_EQ(RunTool("fsck.fat -n " + Quote(card) + " >/dev/null"), 0);
  }
  const std::string head = ReadFile(card).substr(0, 512);
  EXPECT_EQ(head.substr(82, 8), "FAT32   ");
  EXPECT_EQ(static_cast<unsigned char>(head[510]), 0x55);
  EXPECT_EQ(static_cast<unsigned char>(head[511]), 0xAA);
}

}  // namespace
