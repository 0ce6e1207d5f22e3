// The window's texts in one catalogue language. Built once per language: the language is
// chosen once per process, so GuiTestSupport sets the locale before main.
#include "FrontText.h"
#include "GuiTestSupport.h"
#include "LocalText.h"
#include "Platform.h"

#include <QAbstractButton>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

namespace {

#if defined(BRINDLE_TEST_LANG_chs)
constexpr int kLanguageCode = 1;
constexpr const char16_t* kRefresh = u"刷新";
constexpr const char* kQtTranslation = "qtbase_zh_CN.qm";
constexpr const char16_t* kOk = u"确定";
#elif defined(BRINDLE_TEST_LANG_tw)
constexpr int kLanguageCode = 3;
constexpr const char16_t* kRefresh = u"重新整理";
constexpr const char* kQtTranslation = "qtbase_zh_TW.qm";
constexpr const char16_t* kOk = u"確定";
#else
constexpr int kLanguageCode = 2;
constexpr const char16_t* kRefresh = u"Refresh";
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
  // One control of each kind: label, button, group, check box.
  const std::pair<const char*, const char16_t*> texts[] = {{"title", u"Title"},
                                                           {"startWrite_btn", u"StartBtn"},
                                                           {"progress_view", u"WriteProgress"},
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

// The message boxes' buttons and Qt's dialogs speak the window's language.
TEST(WindowLanguage, QtsOwnTextsSpeakTheLanguage) {
  App();
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (kQtTranslation != nullptr && !QFile::exists(folder + "/" + kQtTranslation)) {
    GTEST_SKIP() << "Qt's translations are not installed (qt6-translations-l10n)";
  }
  EXPECT_EQ(InstallQtTranslations(&App(), plat::SystemLangId()), kQtTranslation != nullptr);
  QMessageBox box;
  box.setStandardButtons(QMessageBox::Ok);
  EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QString::fromStdU16String(kOk));
}

}  // namespace
