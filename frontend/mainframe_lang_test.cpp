// The window's texts in one catalogue language. Built once per language: the language is
// chosen once per process, so GuiTestSupport sets the locale before main.
#include "FrontText.h"
#include "GuiTestSupport.h"
#include "LocalText.h"
#include "Platform.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

#if defined(BRINDLE_TEST_LANG_chs)
constexpr int kLanguageCode = 1;
constexpr const char16_t* kRefresh = u"刷新";
constexpr const char16_t* kHelpFile = u"help_ch.mht";
constexpr const char* kQtTranslation = "qtbase_zh_CN.qm";
constexpr const char16_t* kOk = u"确定";
#elif defined(BRINDLE_TEST_LANG_tw)
constexpr int kLanguageCode = 3;
constexpr const char16_t* kRefresh = u"重新整理";
constexpr const char16_t* kHelpFile = u"help_tw.mht";
constexpr const char* kQtTranslation = "qtbase_zh_TW.qm";
constexpr const char16_t* kOk = u"確定";
#else
constexpr int kLanguageCode = 2;
constexpr const char16_t* kRefresh = u"Refresh";
constexpr const char16_t* kHelpFile = u"help_en.mht";
constexpr const char* kQtTranslation = nullptr;  // Qt's own texts are English
constexpr const char16_t* kOk = u"OK";
#endif

using namespace guitest;
using namespace testsupport;

QString Expected(const char16_t* key) {
  return QString::fromStdU16String(LocalTextFrom(
      plat::ExecutableFolder() + u"text_info.ini", kLanguageCode, key, 0));
}

TEST(WindowLanguage, StartupTextsComeFromTheLanguagesSection) {
  App();
  EXPECT_STREQ(getenv("LC_ALL"), TestLocale());
  EXPECT_EQ(ModuleLanguageCode(), kLanguageCode);
  BoxRecorder boxes;
  TempDir settings;
  CMainframeUI w(TestOptions(boxes, settings, nullptr));
  ASSERT_TRUE(w.BuildWindow()) << w.buildError().toStdString();
  // Each control's text, by the kind of control it is.
  auto text = [&](const char* name) -> QString {
    const QString object = QString::fromLatin1(name);
    if (auto* label = w.findChild<QLabel*>(object)) return label->text();
    if (auto* button = w.findChild<QAbstractButton*>(object)) return button->text();
    if (auto* group = w.findChild<QGroupBox*>(object)) return group->title();
    ADD_FAILURE() << "no control " << name;
    return {};
  };
  EXPECT_EQ(text("refresh_btn"), QString::fromStdU16String(kRefresh));
  const std::pair<const char*, const char16_t*> texts[] = {
      {"title", u"Title"},           {"diskdrive_label", u"DiskDrive"},
      {"firmware_label", u"Firmware"}, {"refresh_btn", u"Refresh"},
      {"selDec_btn", u"Select"},      {"startWrite_btn", u"StartBtn"},
      {"recover_btn", u"RecoverBtn"}, {"update_btn", u"UpdateBtn"},
      {"progress_view", u"WriteProgress"}, {"output_view", u"Output"},
      {"clearinfo_btn", u"ClearBtn"}, {"close_btn", u"Exit"},
      {"verify_check", u"VerifyAfterWrite"}};
  for (const auto& [name, key] : texts) {
    EXPECT_FALSE(Expected(key).isEmpty()) << name;
    EXPECT_EQ(text(name), Expected(key)) << name;
  }
  // With the language's texts in their places the layout holds during a job.
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  ExpectLayoutHoldsDuringAJob(w, 12);
}

TEST(WindowLanguage, HelpFileOfTheSystemLanguage) {
  EXPECT_EQ(std::u16string(HelpFileName(plat::SystemLangId())), kHelpFile);
}

// The message boxes' buttons and Qt's dialogs speak the window's language.
TEST(WindowLanguage, QtsOwnTextsSpeakTheLanguage) {
  App();
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (kQtTranslation != nullptr && !QFile::exists(folder + "/" + kQtTranslation)) {
    GTEST_SKIP() << "Qt's translations are not installed (qt6-translations-l10n)";
  }
  EXPECT_EQ(InstallQtTranslations(&App(), plat::SystemLangId()), kQtTranslation != nullptr);
  QMessageBox box;
  box.setStandardButtons(QMessageBox::Ok | QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QString::fromStdU16String(kOk));
  const QString yes = box.button(QMessageBox::Yes)->text();
  EXPECT_EQ(yes == QStringLiteral("&Yes"), kQtTranslation == nullptr) << yes.toStdString();
}

// The real engine's report of files outside the firmware folder, and the window's question
// whether to write them all the same; nothing is written.
TEST(WindowLanguage, TheEnginesRefusalsSpeakTheLanguage) {
  App();
  BoxRecorder boxes;  // every question answered No
  TempDir settings;
  TempDir work;
  const std::string fw = work.Join("fw");
  std::filesystem::create_directories(fw);
  ASSERT_TRUE(WriteFile(work.Join("outside.img"), std::string(4096, 'o')));
  ASSERT_TRUE(WriteFile(fw + "/config.xml",
                        "<diskMaker><partitions><partition name=\"boot\" capacity=\"1\" "
                        "offset=\"2048\" imagePath=\"../outside.img\"/></partitions></diskMaker>"));
  const std::string card = work.Join("card.img");
  ASSERT_TRUE(WriteFile(card, std::vector<uint8_t>(4 << 20, 0x77)));
  MainframeOptions options = TestOptions(boxes, settings, nullptr);
  options.enginePath = BRINDLE_BIN_DIR "/libPlinth.so";
  options.diskSource = [&](const std::function<void(const std::u16string&)>&) {
    return std::vector<DISK_DATA>{Disk(1, true, 4 << 20, card)};
  };
  CMainframeUI w(options);
  ASSERT_TRUE(w.BuildWindow()) << w.buildError().toStdString();
  w.findChild<QComboBox*>("disk_combo")->setCurrentIndex(0);
  w.findChild<QLineEdit*>("firmware_edit")->setText(QString::fromStdString(fw));
  w.findChild<QPushButton*>("startWrite_btn")->click();
  w.JoinJob();
  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[0].text, Expected(u"WrittenInfoErr") + "\n" + Expected(u"Par") + " boot:" +
                                     Expected(u"FileOutsideFolder") +
                                     QString::fromStdString(fw + "/../outside.img\n"));
  EXPECT_EQ(boxes.boxes[0].kind, BoxKind::kError);
  EXPECT_EQ(boxes.boxes[1].text, Expected(u"AllowOutsideAsk"));
  EXPECT_EQ(boxes.boxes[1].caption, Expected(u"Tip"));
  EXPECT_EQ(boxes.boxes[1].kind, BoxKind::kQuestion);

  EXPECT_EQ(ReadBytes(card, 0, 4 << 20), std::vector<uint8_t>(4 << 20, 0x77));
}

}  // namespace
