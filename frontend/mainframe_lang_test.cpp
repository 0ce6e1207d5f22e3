// The window's texts in one catalogue language. Built once per language: the language is
// chosen once per process, so GuiTestSupport sets the locale before main.
#include "FrontText.h"
#include "GuiTestSupport.h"
#include "LocalText.h"
#include "Platform.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QListWidget>
#include <QMessageBox>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <map>

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

// Every named widget's place in the window; Qt's own parts (qt_...) are left out.
std::map<QString, QRect> Places(const QWidget& window) {
  QCoreApplication::processEvents();  // pending layout requests
  std::map<QString, QRect> places;
  for (const QWidget* widget : window.findChildren<QWidget*>()) {
    const QString name = widget->objectName();
    if (name.isEmpty() || name.startsWith(QLatin1String("qt_"))) continue;
    places[name] = QRect(widget->mapTo(&window, QPoint(0, 0)), widget->size());
  }
  return places;
}

TEST(WindowLanguage, StartupTextsComeFromTheLanguagesSection) {
  App();
  EXPECT_EQ(ModuleLanguageCode(), kLanguageCode);
  BoxRecorder boxes;
  TempDir settings;
  CMainframeUI w(TestOptions(boxes, settings));
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
  // One control of each other kind: label, group, check box.
  const std::pair<const char*, const char16_t*> texts[] = {{"title", u"Title"},
                                                           {"progress_view", u"WriteProgress"},
                                                           {"verify_check", u"VerifyAfterWrite"}};
  for (const auto& [name, key] : texts) {
    EXPECT_FALSE(Expected(key).isEmpty()) << name;
    EXPECT_EQ(text(name), Expected(key)) << name;
  }

  // With the language's texts in their places the layout holds in the job view (progress group,
  // copy details and time shown, texts far too long for their places, a full log) and back:
  // no widget moves or changes size, nothing overlaps the log, which shows at least 12 rows,
  // and the long texts are cut with the whole in a tooltip.
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  auto* log = w.findChild<QListWidget*>(QStringLiteral("output_edit"));
  auto* image = w.findChild<QLabel*>(QStringLiteral("parImage_label"));
  ASSERT_TRUE(log != nullptr && image != nullptr);
  const QSize size = w.size();
  const std::map<QString, QRect> idle = Places(w);

  const std::u16string longPath = u"/home/someone/firmware/" + std::u16string(150, u'd') +
                                  u"/rootfs-with-a-long-name.ext4";
  const std::u16string longLine = u"Writing " + std::u16string(300, u'w') + u" the end";
  CMainframeUI::OnShowPro(1, 1);
  CMainframeUI::OnSetTime(1);
  CMainframeUI::OnSetProPos(57);
  CMainframeUI::OnSetCopyTip((u"Writing partition 2 " + longPath).c_str(), u"rootfs",
                             u"1.00G", u"Ext4", longPath.c_str());
  for (int i = 0; i < 40; ++i) CMainframeUI::OnOutput(longLine.c_str());
  const std::map<QString, QRect> job = Places(w);

  EXPECT_EQ(w.size(), size);
  for (const auto& [name, place] : idle) EXPECT_EQ(job.at(name), place) << name.toStdString();
  const QRect logPlace = job.at(QStringLiteral("output_edit"));
  for (const auto& [name, place] : job) {
    const QWidget* widget = w.findChild<QWidget*>(name);
    if (widget == log || widget->isHidden() || widget->isAncestorOf(log)) continue;
    EXPECT_FALSE(place.intersects(logPlace)) << name.toStdString() << " covers the log";
    EXPECT_TRUE(w.rect().contains(place)) << name.toStdString() << " is outside";
  }
  const int rowHeight = log->visualItemRect(log->item(0)).height();
  ASSERT_GT(rowHeight, 0);
  EXPECT_GE(log->viewport()->height() / rowHeight, 12);

  // The long texts: cut in their places, whole in the tooltip.
  const QString path = QString::fromStdU16String(longPath);
  EXPECT_EQ(image->toolTip(), path);
  EXPECT_TRUE(image->text().contains(QChar(0x2026)) && image->text().endsWith(".ext4"))
      << image->text().toStdString();
  EXPECT_LE(image->fontMetrics().horizontalAdvance(image->text()), image->contentsRect().width());
  QListWidgetItem* last = log->item(log->count() - 1);
  EXPECT_EQ(last->toolTip(), last->text());
  EXPECT_EQ(log->horizontalScrollBar()->maximum(), 0);

  // Back to idle: the same places again; a short text is shown whole, without a tooltip.
  CMainframeUI::OnSetCopyTip(u"Done", nullptr, nullptr, nullptr, u"boot.img");
  CMainframeUI::OnShowPro(0, 0);
  CMainframeUI::OnSetTime(0);
  EXPECT_EQ(image->text(), QStringLiteral("boot.img"));
  EXPECT_TRUE(image->toolTip().isEmpty());
  EXPECT_EQ(Places(w), idle);
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
