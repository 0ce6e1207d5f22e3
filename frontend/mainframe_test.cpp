// The real window built from res/skin.xml, driven offscreen: controls and texts, the disk list,
// settings, help, the jobs' checks and their boxes, the callbacks' effects, and exit.
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
  QStringList Rows() {
    QStringList rows;
    auto* list = C<QListWidget>("output_edit");
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
  }
  std::vector<QString> BoxTexts() const {
    std::vector<QString> texts;
    for (const ShownBox& b : boxes_.boxes) texts.push_back(b.text);
    return texts;
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

TEST_F(Window, EveryControlByNameAndKindWithItsStartupText) {
  Build();
  for (const char* name : {"close_btn", "refresh_btn", "selDec_btn", "startWrite_btn",
                           "recover_btn", "clearinfo_btn", "minsize_btn", "quite_btn",
                           "update_btn", "help_btn"}) {
    C<QPushButton>(name);
  }
  C<QComboBox>("disk_combo");
  C<QLineEdit>("firmware_edit");
  C<QProgressBar>("copy_progress");
  C<QListWidget>("output_edit");
  for (const char* name : {"time_label", "copy_lable", "pro_rate_label", "parname_label",
                           "parSize_label", "partype_label", "parImage_label", "title",
                           "diskdrive_label", "firmware_label"}) {
    C<QLabel>(name);
  }
  EXPECT_EQ(C<QLabel>("title")->text(), Text(u"Title"));
  EXPECT_EQ(C<QLabel>("title")->text(), QStringLiteral("Brindle Firmware Writer"));
  EXPECT_EQ(C<QLabel>("diskdrive_label")->text(), Text(u"DiskDrive"));
  EXPECT_EQ(C<QLabel>("firmware_label")->text(), Text(u"Firmware"));
  EXPECT_EQ(B("refresh_btn")->text(), QStringLiteral("Refresh"));
  EXPECT_EQ(B("selDec_btn")->text(), Text(u"Select"));
  EXPECT_EQ(B("startWrite_btn")->text(), Text(u"StartBtn"));
  EXPECT_EQ(B("recover_btn")->text(), Text(u"RecoverBtn"));
  EXPECT_EQ(B("update_btn")->text(), Text(u"UpdateBtn"));
  EXPECT_EQ(C<QGroupBox>("progress_view")->title(), Text(u"WriteProgress"));
  EXPECT_EQ(C<QGroupBox>("output_view")->title(), Text(u"Output"));
  EXPECT_EQ(B("clearinfo_btn")->text(), Text(u"ClearBtn"));
  EXPECT_EQ(B("close_btn")->text(), QStringLiteral("Exit"));
  EXPECT_EQ(C<QCheckBox>("verify_check")->text(), Text(u"VerifyAfterWrite"));
  EXPECT_FALSE(C<QCheckBox>("verify_check")->isChecked());

  // The progress group starts hidden, as after OnShowPro(0, 0), with the bar's range 0 to 100.
  for (const char* name : {"copy_lable", "pro_rate_label", "parname_label", "parSize_label",
                           "partype_label", "parImage_label"}) {
    EXPECT_TRUE(C<QLabel>(name)->isHidden()) << name;
  }
  EXPECT_TRUE(C<QProgressBar>("copy_progress")->isHidden());
  EXPECT_EQ(C<QProgressBar>("copy_progress")->minimum(), 0);
  EXPECT_EQ(C<QProgressBar>("copy_progress")->maximum(), 100);
  EXPECT_TRUE(C<QLineEdit>("firmware_edit")->text().isEmpty());
  EXPECT_TRUE(w_->idle());
  EXPECT_EQ(w_->lastProgress(), -1);
  // Centred on the screen.
  const QPoint offset = w_->geometry().center() - w_->screen()->availableGeometry().center();
  EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << "," << offset.y();
}

TEST_F(Window, FramelessFixedSizeAndRoundedTopCorners) {
  Build();
  EXPECT_TRUE(w_->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(w_->minimumSize(), w_->maximumSize());
  EXPECT_EQ(w_->roundCorner(), QSize(12, 12));
  const QRegion mask = w_->mask();
  ASSERT_FALSE(mask.isEmpty());
  EXPECT_FALSE(mask.contains(QPoint(0, 0)));
  EXPECT_FALSE(mask.contains(QPoint(w_->width() - 1, 0)));
  EXPECT_TRUE(mask.contains(QPoint(0, w_->height() - 1)));
  EXPECT_TRUE(mask.contains(QPoint(w_->width() - 1, w_->height() - 1)));

  // Minimising keeps the shape.
  B("minsize_btn")->click();
  EXPECT_TRUE(w_->isMinimized());
  EXPECT_EQ(w_->mask(), mask);
  w_->OnSystemCommand(kScRestore);
  EXPECT_FALSE(w_->isMinimized());
  EXPECT_EQ(w_->mask(), mask);
}

TEST_F(Window, TheLayoutHoldsDuringAJob) {
  Build();
  ExpectLayoutHoldsDuringAJob(*w_, 12);
}

TEST_F(Window, IconAndTheDropDownArrow) {
  Build();
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
  std::string machine = "usbboot";
  options_.diskSource = [&machine](const std::function<void(const std::u16string&)>& report) {
    const std::string root = std::string(BRINDLE_SOURCE_DIR) + "/disks/testdata/" + machine;
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
}

TEST_F(Window, AnUnreadableMountTableIsShownInAnErrorBox) {
  const std::string root = std::string(BRINDLE_SOURCE_DIR) + "/disks/testdata/cardreader";
  options_.diskSource = [root](const std::function<void(const std::u16string&)>& report) {
    DiskInfo info(root + "/sys", root + "/no-such-mountinfo");
    info.SetParentWnd(report);
    std::vector<DISK_DATA> disks;
    info.GetRes(disks);
    return disks;
  };
  Build();
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].caption, QStringLiteral("Error"));
  EXPECT_TRUE(boxes_.boxes[0].text.startsWith(Text(u"GetLogicDriveFail")));
  EXPECT_EQ(C<QComboBox>("disk_combo")->count(), 1);
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
  EXPECT_EQ(ProfileReader(plat::FromUtf8(settings_.Join("config.ini"))).Read(u"FIRMWARE", u"PATH"),
            u" /some/folder ")
      << ReadFile(settings_.Join("config.ini"));
  // The close button and the window manager's close run the same procedure.
  B("close_btn")->click();
  EXPECT_EQ(quits, 2);
  w_->close();
  EXPECT_EQ(quits, 3);
  EXPECT_TRUE(w_->isVisible());
}

TEST_F(Window, ExitWhileAJobRunsAsksAndOnYesEndsTheProcess) {
  int quits = 0, ends = 0;
  options_.quit = [&] { ++quits; };
  options_.endProcess = [&] { ++ends; };
  engine_.Script("mark started\nwait release\n");
  ReadyToWrite();
  B("startWrite_btn")->click();
  ASSERT_TRUE(WaitFor([&] { return engine_.Has("started"); }));

  boxes_.answers = {kAnswerNo};
  B("quite_btn")->click();
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].kind, BoxKind::kQuestion);
  EXPECT_EQ(boxes_.boxes[0].text, Text(u"ExitTip"));
  EXPECT_EQ(boxes_.boxes[0].caption, Text(u"Tip"));
  EXPECT_EQ(quits + ends, 0);
  EXPECT_FALSE(FileExists(settings_.Join("config.ini")));
  EXPECT_FALSE(w_->idle());

  boxes_.answers = {kAnswerYes};
  w_->close();
  ASSERT_EQ(boxes_.boxes.size(), 2u);
  EXPECT_EQ(boxes_.boxes[1].text, Text(u"ExitTip"));
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(quits, 0);
  EXPECT_NE(ReadFile(settings_.Join("config.ini")).find(Firmware()), std::string::npos);

  engine_.Touch("release");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
}

TEST_F(Window, ControlsAreDisabledWhileAJobRunsAndEnabledAfter) {
  engine_.Script("mark started\nwait release\n");
  ReadyToWrite();
  auto* list = C<QListWidget>("output_edit");
  list->addItem(QStringLiteral("old line"));
  B("clearinfo_btn")->setEnabled(true);
  const char* jobControls[] = {"startWrite_btn", "update_btn", "recover_btn", "refresh_btn"};
  const char* freeControls[] = {"selDec_btn", "help_btn", "minsize_btn", "close_btn",
                                "quite_btn"};

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

  engine_.Touch("release");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  for (const char* name : jobControls) EXPECT_TRUE(B(name)->isEnabled()) << name;
  EXPECT_TRUE(C<QComboBox>("disk_combo")->isEnabled());
  EXPECT_FALSE(w_->elapsedTimer().isActive());
  // Only the next output line enables the clear button again.
  EXPECT_FALSE(B("clearinfo_btn")->isEnabled());
}

TEST_F(Window, WriteAndUpdateRegisterSixCallbacksAndPassTheDiskRecord) {
  ReadyToWrite();
  const std::string folder = Firmware();
  C<QLineEdit>("firmware_edit")->setText(QString::fromStdString("  " + folder + " "));
  RunToEnd("startWrite_btn");
  RunToEnd("update_btn");
  const std::vector<std::string> registration = {
      "InitOutputFunc set",     "InitShowProFunc set", "InitSetProPosFunc set",
      "InitSetCopyTipFunc set", "InitSetTimeFunc set", "InitShowMsgFunc set"};
  std::vector<std::string> expected = registration;
  expected.push_back("MakeDisk " + folder + "|" + image_ + "|" + std::to_string(8 * kGiB));
  expected.insert(expected.end(), registration.begin(), registration.end());
  expected.push_back("UpdateDisk " + folder + "|" + image_ + "|" + std::to_string(8 * kGiB));
  EXPECT_EQ(engine_.Calls(), expected);
  EXPECT_TRUE(boxes_.boxes.empty());
}

// "Verify after writing": the verify job of the same kind follows a write or update that
// reported success, on the same disk; the choice is kept in config.ini.
TEST_F(Window, VerifyAfterWritingFollowsOnlyASuccessfulJob) {
  WriteFile(plat::ToUtf8(options_.settingsPath), "[JOB]\nVERIFY=1\n");
  ReadyToWrite();
  const std::string folder = Firmware();
  const std::string disk = "|" + image_ + "|" + std::to_string(8 * kGiB);
  auto* check = C<QCheckBox>("verify_check");
  EXPECT_TRUE(check->isChecked());
  auto jobCalls = [&] {
    std::vector<std::string> jobs;
    for (const std::string& call : engine_.Calls()) {
      if (call.rfind("Init", 0) != 0) jobs.push_back(call);
    }
    return jobs;
  };
  engine_.Script("out " + plat::ToUtf8(LocalText(u"WriteSucess", 0)) + "\n");
  RunToEnd("startWrite_btn");
  // The verify job's lines follow the write job's in the log (this engine says the same).
  EXPECT_EQ(Rows().size(), 2);
  engine_.Script("out " + plat::ToUtf8(LocalText(u"UpdateSucess", 0)) + "\n");
  RunToEnd("update_btn");
  // A job that did not succeed is not read back, nor is one while the box is clear.
  engine_.Script("out " + plat::ToUtf8(LocalText(u"WriteFailed", 0)) + "\n");
  RunToEnd("startWrite_btn");
  check->setChecked(false);
  engine_.Script("out " + plat::ToUtf8(LocalText(u"WriteSucess", 0)) + "\n");
  RunToEnd("startWrite_btn");
  EXPECT_EQ(jobCalls(), (std::vector<std::string>{
                            "MakeDisk " + folder + disk, "VerifyDisk " + folder + disk + "|0",
                            "UpdateDisk " + folder + disk, "VerifyDisk " + folder + disk + "|1",
                            "MakeDisk " + folder + disk, "MakeDisk " + folder + disk}));
  EXPECT_TRUE(boxes_.boxes.empty());
  B("quite_btn")->click();
  EXPECT_EQ(ProfileReader(options_.settingsPath).Read(u"JOB", u"VERIFY"), u"0");
}

// A job refused only for files outside the firmware folder: the window asks, and on Yes runs
// the job again with them allowed; when something else was wrong too, it does not ask.
TEST_F(Window, FilesOutsideTheFolderAreWrittenOnlyWhenTheUserSaysSo) {
  ReadyToWrite();
  const std::string folder = Firmware();
  const std::vector<std::string> registration = {
      "InitOutputFunc set",     "InitShowProFunc set", "InitSetProPosFunc set",
      "InitSetCopyTipFunc set", "InitSetTimeFunc set", "InitShowMsgFunc set"};
  const std::string make = "MakeDisk " + folder + "|" + image_ + "|" + std::to_string(8 * kGiB);
  const struct {
    const char* script;
    int answer;
    bool again;
  } cases[] = {{"refuse 1\n", kAnswerYes, true}, {"refuse 3\n", kAnswerYes, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.script) + std::to_string(c.answer));
    std::filesystem::remove(engine_.dir().Join("calls.txt"));
    engine_.Script(c.script);
    boxes_.boxes.clear();
    boxes_.answers = {c.answer};
    RunToEnd("startWrite_btn");
    std::vector<std::string> expected = registration;
    expected.push_back(make);
    if (c.again) {
      expected.insert(expected.end(), registration.begin(), registration.end());
      expected.push_back("SetJobOption 1 1");
      expected.push_back(make);
    }
    EXPECT_EQ(engine_.Calls(), expected);
    const bool asked = std::string(c.script) == "refuse 1\n";
    ASSERT_EQ(boxes_.boxes.size(), asked ? 1u : 0u);
    if (asked) {
      EXPECT_EQ(boxes_.boxes[0].text, Text(u"AllowOutsideAsk"));
      EXPECT_EQ(boxes_.boxes[0].caption, Text(u"Tip"));
      EXPECT_EQ(boxes_.boxes[0].kind, BoxKind::kQuestion);
    }
  }
}

class JobChecks : public Window, public ::testing::WithParamInterface<const char*> {};

TEST_P(JobChecks, EachFailingCheckShowsItsBoxAndEndsTheJob) {
  ReadyToWrite();
  auto* edit = C<QLineEdit>("firmware_edit");
  auto* combo = C<QComboBox>("disk_combo");
  const std::string folder = Firmware();
  const std::string plainFile = work_.Join("card.img");
  const std::string empty = work_.Join("empty");
  std::filesystem::create_directories(empty);

  struct Case {
    QString edit;
    int selection;
    QString box;
  };
  const Case cases[] = {
      // Every input wrong: only the first check speaks.
      {QStringLiteral("   "), -1, Text(u"FirmwareNull")},
      {QString::fromStdString(work_.Join("missing")), -1,
       Text(u"DecNotFound") + QString::fromStdString(work_.Join("missing"))},
      {QString::fromStdString(plainFile), 0,
       Text(u"DecNotFound") + QString::fromStdString(plainFile)},
      {QString::fromStdString(empty), 0, Text(u"ConfigNotFound")},
      {QString::fromStdString(folder), -1, Text(u"DiskNull")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.box.toStdString());
    boxes_.boxes.clear();
    C<QListWidget>("output_edit")->addItem(QStringLiteral("left from before"));
    edit->setText(c.edit);
    combo->setCurrentIndex(c.selection);
    RunToEnd(GetParam());
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].text, c.box);
    EXPECT_EQ(boxes_.boxes[0].caption, QStringLiteral("Error"));
    EXPECT_EQ(boxes_.boxes[0].kind, BoxKind::kError);
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
      EXPECT_EQ(BoxTexts(), std::vector<QString>{refusals[row]});
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
  ASSERT_EQ(boxes_.boxes.size(), 2u);
  for (const ShownBox& box : boxes_.boxes) {
    EXPECT_EQ(box.text, Text(GetParam().key) + QStringLiteral("/dev/sdz") + GetParam().detail);
    EXPECT_EQ(box.caption, QStringLiteral("Error"));
  }
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
  EXPECT_EQ(ResultOfServiceError(QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown")),
            DiskGrant::kUnavailable);
  EXPECT_EQ(ResultOfServiceError(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod")),
            DiskGrant::kUnavailable);
  EXPECT_EQ(ResultOfServiceError(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed")),
            DiskGrant::kNotAuthorized);
  EXPECT_EQ(ResultOfServiceError(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain")),
            DiskGrant::kNotAuthorized);
  EXPECT_EQ(ResultOfServiceError(QStringLiteral("org.freedesktop.UDisks2.Error.Failed")),
            DiskGrant::kFailed);
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

TEST_F(Recover, NoDiskSelectedStopsTheJobBeforeTheEngine) {
  Build();
  RunToEnd("recover_btn");
  ASSERT_EQ(BoxTexts(), std::vector<QString>{Text(u"DiskNull")});
  EXPECT_TRUE(engine_.Calls().empty());
  // The recover job starts no timer.
  EXPECT_FALSE(w_->elapsedTimer().isActive());
}

// Five callbacks and the volume built on the disk, with the progress group shown meanwhile.
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
  EXPECT_FALSE(C<QLabel>("pro_rate_label")->isHidden());
  EXPECT_TRUE(C<QLabel>("parname_label")->isHidden());
  engine_.Touch("go");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  const std::vector<std::string> expected = {
      "InitOutputFunc set",
      "InitShowProFunc set",
      "InitSetProPosFunc set",
      "InitSetCopyTipFunc set",
      "InitShowMsgFunc set",
      "RemovePartitionsInPlace " + disk + "|" + std::to_string(4 * kGiB) + "|0"};
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
  auto* time = C<QLabel>("time_label");
  // Each report was complete before the engine went on.
  ASSERT_EQ(Rows().size(), 1);
  EXPECT_TRUE(Rows()[0].endsWith(QStringLiteral("   Opening the disk")));
  EXPECT_FALSE(C<QLabel>("copy_lable")->isHidden());
  EXPECT_FALSE(C<QLabel>("parImage_label")->isHidden());
  EXPECT_EQ(C<QLabel>("copy_lable")->text(), QStringLiteral("Writing partition 1"));
  EXPECT_EQ(C<QLabel>("parname_label")->text(), QStringLiteral("boot"));
  EXPECT_EQ(C<QLabel>("parSize_label")->text(), QStringLiteral("64.00M"));
  EXPECT_EQ(C<QLabel>("partype_label")->text(), QStringLiteral("fat32"));
  EXPECT_EQ(C<QLabel>("parImage_label")->text(), QStringLiteral("/fw/boot.img"));
  EXPECT_EQ(C<QProgressBar>("copy_progress")->value(), 37);
  EXPECT_EQ(C<QLabel>("pro_rate_label")->text(), QStringLiteral("37%"));
  EXPECT_FALSE(time->isHidden());
  EXPECT_EQ(time->text(), Text(u"TimeConsume") + QStringLiteral(" 00:00:00"));
  EXPECT_EQ(w_->elapsedSeconds(), 0u);
  EXPECT_TRUE(B("clearinfo_btn")->isEnabled());

  // The ticks: the first after the reset shows 00:00:00 without the blank.
  w_->ElapsedTick();
  EXPECT_EQ(time->text(), Text(u"TimeConsume") + QStringLiteral("00:00:00"));
  w_->ElapsedTick();
  EXPECT_EQ(time->text(), Text(u"TimeConsume") + QStringLiteral("00:00:01"));

  engine_.Touch("go");
  ASSERT_TRUE(WaitFor([&] { return w_->idle(); }));
  EXPECT_TRUE(time->isHidden());
  EXPECT_EQ(C<QLabel>("pro_rate_label")->text(), QStringLiteral("100%"));
  EXPECT_EQ(w_->lastProgress(), 100);
  EXPECT_EQ(C<QLabel>("copy_lable")->text(), QStringLiteral("Done"));
  EXPECT_TRUE(C<QLabel>("parname_label")->text().isEmpty());
  EXPECT_TRUE(C<QLabel>("parImage_label")->text().isEmpty());
  ASSERT_EQ(BoxTexts(), std::vector<QString>{QStringLiteral("Something failed")});
  EXPECT_EQ(boxes_.boxes[0].caption, QStringLiteral("Error"));
  ASSERT_EQ(Rows().size(), 2);
  EXPECT_TRUE(Rows()[1].endsWith(QStringLiteral("   Finished")));
}

TEST_F(Window, OutputLinesCarryTheirTimestampAndTheListEmptiesAfterForty) {
  Build();
  auto* list = C<QListWidget>("output_edit");
  const std::time_t before = std::time(nullptr);
  CMainframeUI::OnOutput(u"line 1\n");
  const std::time_t after = std::time(nullptr);
  const QString row = list->item(0)->text();
  const QString full = list->item(0)->data(Qt::UserRole).toString();
  EXPECT_TRUE(row == QString::fromStdU16String(FormatTimestamp(before)) + "   line 1" ||
              row == QString::fromStdU16String(FormatTimestamp(after)) + "   line 1")
      << row.toStdString();
  EXPECT_EQ(full, row + QStringLiteral("\n\r\n"));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{8}-\\d\\d:\\d\\d:\\d\\d   line 1$"))
                  .match(row)
                  .hasMatch());
  EXPECT_EQ(list->currentRow(), 0);

  for (int i = 2; i <= 40; ++i) {
    CMainframeUI::OnOutput(QStringLiteral("line %1\n").arg(i).toStdU16String().c_str());
  }
  EXPECT_EQ(list->count(), 40);
  CMainframeUI::OnOutput(u"line 41\n");
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

TEST_F(Window, ThePercentageLabelIsWrittenOnlyWhenTheValueChanges) {
  Build();
  auto* bar = C<QProgressBar>("copy_progress");
  auto* label = C<QLabel>("pro_rate_label");
  CMainframeUI::OnSetProPos(37);
  EXPECT_EQ(label->text(), QStringLiteral("37%"));
  EXPECT_EQ(bar->value(), 37);
  label->setText(QStringLiteral("marker"));
  bar->setValue(0);
  CMainframeUI::OnSetProPos(37);
  EXPECT_EQ(label->text(), QStringLiteral("marker"));
  EXPECT_EQ(bar->value(), 37);
  CMainframeUI::OnSetProPos(38);
  EXPECT_EQ(label->text(), QStringLiteral("38%"));
  EXPECT_EQ(w_->lastProgress(), 38);
}

TEST_F(Window, CopyTipNullTextsEmptyTheirLabelsAndShowProTogglesTheGroups) {
  Build();
  CMainframeUI::OnSetCopyTip(u"tip", u"name", u"size", u"type", u"image");
  CMainframeUI::OnSetCopyTip(u"next", nullptr, nullptr, u"fat16", nullptr);
  EXPECT_EQ(C<QLabel>("copy_lable")->text(), QStringLiteral("next"));
  EXPECT_TRUE(C<QLabel>("parname_label")->text().isEmpty());
  EXPECT_TRUE(C<QLabel>("parSize_label")->text().isEmpty());
  EXPECT_EQ(C<QLabel>("partype_label")->text(), QStringLiteral("fat16"));
  EXPECT_TRUE(C<QLabel>("parImage_label")->text().isEmpty());

  CMainframeUI::OnShowPro(1, 0);
  EXPECT_FALSE(C<QProgressBar>("copy_progress")->isHidden());
  EXPECT_FALSE(C<QLabel>("pro_rate_label")->isHidden());
  EXPECT_TRUE(C<QLabel>("parname_label")->isHidden());
  CMainframeUI::OnShowPro(0, 7);
  EXPECT_TRUE(C<QLabel>("copy_lable")->isHidden());
  EXPECT_FALSE(C<QLabel>("parSize_label")->isHidden());
  EXPECT_FALSE(C<QLabel>("partype_label")->isHidden());
}

TEST_F(Window, TimeLabelResetAndHide) {
  Build();
  auto* time = C<QLabel>("time_label");
  w_->ElapsedTick();
  w_->ElapsedTick();
  EXPECT_EQ(w_->elapsedSeconds(), 2u);
  CMainframeUI::OnSetTime(5);
  EXPECT_EQ(w_->elapsedSeconds(), 0u);
  EXPECT_EQ(time->text(), Text(u"TimeConsume") + QStringLiteral(" 00:00:00"));
  EXPECT_FALSE(time->isHidden());
  CMainframeUI::OnSetTime(0);
  EXPECT_TRUE(time->isHidden());
  EXPECT_EQ(time->text(), Text(u"TimeConsume") + QStringLiteral(" 00:00:00"));
  // Ticks after the stop go on updating the hidden label.
  w_->ElapsedTick();
  EXPECT_EQ(time->text(), Text(u"TimeConsume") + QStringLiteral("00:00:00"));
  EXPECT_TRUE(time->isHidden());
}

TEST_F(Window, ShowMsgTakesOwnershipOfTheMallocedText) {
  Build();
  const char16_t text[] = u"The disk is full.";
  auto* copy = static_cast<char16_t*>(std::malloc(sizeof text));
  std::memcpy(copy, text, sizeof text);
  CMainframeUI::OnShowMsg(copy);  // the sanitizer build reports a leak or a double free
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].text, QStringLiteral("The disk is full."));
  EXPECT_EQ(boxes_.boxes[0].caption, QStringLiteral("Error"));
  EXPECT_EQ(boxes_.boxes[0].kind, BoxKind::kError);
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

class Help : public Window {
 protected:
  void SetUp() override {
    Window::SetUp();
    const char* path = std::getenv("PATH");
    oldPath_ = path != nullptr ? path : "";
    setenv("PATH", bin_.path().c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", oldPath_.c_str(), 1);
    Window::TearDown();
  }
  // A viewer that writes its arguments where the test can read them.
  void InstallViewer() {
    const std::string viewer = bin_.Join("xdg-open");
    WriteFile(viewer, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + bin_.Join("opened.tmp") +
                          "\n/bin/mv " + bin_.Join("opened.tmp") + " " + bin_.Join("opened") + "\n");
    chmod(viewer.c_str(), 0755);
  }
  TempDir bin_;
  std::string oldPath_;
};

TEST_F(Help, WithoutAViewerTheBoxNamesIt) {
  Build();
  B("help_btn")->click();
  ASSERT_EQ(BoxTexts(), std::vector<QString>{Text(u"FileNotFound2") + QStringLiteral("xdg-open")});
  EXPECT_EQ(boxes_.boxes[0].kind, BoxKind::kHelpError);
  EXPECT_TRUE(boxes_.boxes[0].caption.isEmpty());
  // F1 anywhere in the window does the same.
  QTest::keyClick(C<QLineEdit>("firmware_edit"), Qt::Key_F1);
  EXPECT_EQ(boxes_.boxes.size(), 2u);
}

TEST_F(Help, AMissingHelpFileIsNamed) {
  InstallViewer();
  options_.helpFolder = plat::FromUtf8(work_.path()) + u"/";
  Build();
  B("help_btn")->click();
  ASSERT_EQ(BoxTexts(), std::vector<QString>{Text(u"HelpFileNotFound") +
                                             QString::fromStdString(work_.Join("help_en.mht"))});
  EXPECT_FALSE(FileExists(bin_.Join("opened")));
}

TEST_F(Help, TheViewerOpensTheHelpFileOfTheLanguage) {
  InstallViewer();
  Build();
  QTest::keyClick(w_.get(), Qt::Key_F1);
  ASSERT_TRUE(WaitFor([&] { return FileExists(bin_.Join("opened")); }));
  EXPECT_EQ(ReadLines(bin_.Join("opened")),
            std::vector<std::string>{std::string(BRINDLE_TEST_DIR) + "/help_en.mht"});
  EXPECT_TRUE(boxes_.boxes.empty());
}

// The real engine writes an image file offered as a USB disk, from the window.
TEST_F(Window, AFullWriteJobOntoAnImageFile) {
  const std::string engine = std::string(BRINDLE_BIN_DIR) + "/libPlinth.so";
  void* handle = dlopen(engine.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) GTEST_SKIP() << "libPlinth.so is not built: " << dlerror();
  const bool ready = dlsym(handle, "MakeDisk") != nullptr;
  dlclose(handle);
  if (!ready) GTEST_SKIP() << "libPlinth.so has no MakeDisk export yet";
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
  RunToEnd("startWrite_btn");

  EXPECT_TRUE(boxes_.boxes.empty()) << boxes_.boxes[0].text.toStdString();
  const QStringList rows = Rows();
  // The engine's log, each line behind its timestamp.
  const QString expectedTexts[] = {Text(u"OpenDisk"), Text(u"OpenDiskSuccess"),
                                   Text(u"WrtieParToPhy"), Text(u"WriteSucess")};
  ASSERT_EQ(rows.size(), 4) << rows.join('\n').toStdString();
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{8}-\\d\\d:\\d\\d:\\d\\d   ") +
                                   QRegularExpression::escape(expectedTexts[i]) + "$")
                    .match(rows[i])
                    .hasMatch())
        << rows[i].toStdString();
  }
  // The copy tip of the one partition stays; the group is hidden at the end.
  EXPECT_EQ(C<QLabel>("copy_lable")->text(),
            QString::fromStdU16String(FormatWithInt(LocalText(u"WriteParTip", 0), 1)));
  EXPECT_EQ(C<QLabel>("parname_label")->text(), Text(u"ParName") + QStringLiteral("boot"));
  EXPECT_EQ(C<QLabel>("parSize_label")->text(), Text(u"ParSize") + QStringLiteral("16.00M"));
  EXPECT_TRUE(C<QLabel>("partype_label")->text().startsWith(Text(u"ParType")));
  EXPECT_EQ(C<QLabel>("parImage_label")->text(), Text(u"ImgFile") + QStringLiteral("boot.img"));
  EXPECT_TRUE(C<QLabel>("copy_lable")->isHidden());
  EXPECT_TRUE(C<QLabel>("parname_label")->isHidden());
  EXPECT_EQ(C<QProgressBar>("copy_progress")->value(), 100);
  EXPECT_EQ(C<QLabel>("pro_rate_label")->text(), QStringLiteral("100%"));
  EXPECT_EQ(w_->lastProgress(), 100);
  // Reset by the engine's timed copy, maybe one tick later: with or without the blank.
  EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(Text(u"TimeConsume")) +
                                 " ?\\d\\d:\\d\\d:\\d\\d$")
                  .match(C<QLabel>("time_label")->text())
                  .hasMatch())
      << C<QLabel>("time_label")->text().toStdString();
  EXPECT_TRUE(C<QLabel>("time_label")->isHidden());

  // The partition table, read by a tool of its own.
  if (HaveTool("sfdisk")) {
    const std::string dump = work_.Join("sfdisk.txt");
    ASSERT_EQ(RunTool("sfdisk -d " + Quote(card) + " > " + Quote(dump) + " 2>/dev/null"), 0);
    EXPECT_NE(ReadFile(dump).find("start=        2048"), std::string::npos) << ReadFile(dump);
  }

  // Verified after writing: the verify job's lines follow in the log.
  C<QCheckBox>("verify_check")->setChecked(true);
  RunToEnd("startWrite_btn");
  EXPECT_TRUE(boxes_.boxes.empty()) << boxes_.boxes[0].text.toStdString();
  const QStringList verified = Rows();
  const QString verifyTexts[] = {Text(u"OpenDisk"),       Text(u"OpenDiskSuccess"),
                                 Text(u"WrtieParToPhy"),  Text(u"WriteSucess"),
                                 Text(u"OpenDisk"),       Text(u"OpenDiskSuccess"),
                                 Text(u"VerifyParToPhy"), Text(u"VerifySucess")};
  ASSERT_EQ(verified.size(), 8) << verified.join('\n').toStdString();
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(verified[i].endsWith(verifyTexts[i])) << i;
  EXPECT_EQ(C<QLabel>("copy_lable")->text(),
            QString::fromStdU16String(FormatWithInt(LocalText(u"VerifyParTip", 0), 1)));
}

}  // namespace

namespace {

// The real volume builder and engine recover an image file offered as a USB disk.
TEST_F(Recover, AFullRecoverJobOntoAnImageFile) {
  const std::string engine = std::string(BRINDLE_BIN_DIR) + "/libPlinth.so";
  void* handle = dlopen(engine.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) GTEST_SKIP() << engine << " is not built";
  const bool ready = dlsym(handle, "RemovePartitionsInPlace") != nullptr;
  dlclose(handle);
  if (!ready) GTEST_SKIP() << engine << " has no RemovePartitionsInPlace export yet";
  const std::string card = work_.Join("card.img");
  WriteFile(card, std::string(1 << 20, '\xA5'));
  std::filesystem::resize_file(card, 64u << 20);
  options_.enginePath = engine;
  UseDisks({Disk(0, true, 64u << 20, card)});
  Build();
  C<QComboBox>("disk_combo")->setCurrentIndex(0);
  RunToEnd("recover_btn");

  EXPECT_TRUE(boxes_.boxes.empty()) << boxes_.boxes[0].text.toStdString();
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
