#include "GuiTestSupport.h"

#include "Platform.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>

namespace {

#if defined(BRINDLE_TEST_LANG_chs)
constexpr char kTestLocale[] = "zh_CN.UTF-8";
#elif defined(BRINDLE_TEST_LANG_tw)
constexpr char kTestLocale[] = "zh_HK.UTF-8";
#elif defined(BRINDLE_TEST_LANG_en)
constexpr char kTestLocale[] = "zh_SG.UTF-8";  // Chinese (Singapore) reads the English texts
#else
constexpr char kTestLocale[] = "C.UTF-8";
#endif

// Before main: the catalogue language is chosen once per process, at the first lookup.
[[maybe_unused]] const bool kLocaleSet = [] {
  setenv("LC_ALL", kTestLocale, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  return true;
}();

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

}  // namespace

namespace guitest {

QApplication& App() {
  static QApplication* app = [] {
    static int argc = 1;
    static char name[] = "brindle-test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

MessageBoxFunc BoxRecorder::Func() {
  return [this](QWidget*, const QString& text, const QString& caption, BoxKind kind) {
    boxes.push_back({text, caption, kind});
    if (kind != BoxKind::kQuestion) return kAnswerOk;
    if (answers.empty()) return kAnswerNo;
    const int answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  };
}

DISK_DATA Disk(int32_t number, bool usb, uint64_t size, const std::string& devicePath) {
  DISK_DATA d{};
  d.diskNumber = number;
  d.isUsb = usb ? 1 : 0;
  d.diskSize = size;
  std::snprintf(d.devicePath, sizeof d.devicePath, "%s", devicePath.c_str());
  return d;
}

FakeEngine::FakeEngine() { setenv("BRINDLE_FAKE_ENGINE_DIR", dir_.path().c_str(), 1); }

FakeEngine::~FakeEngine() { unsetenv("BRINDLE_FAKE_ENGINE_DIR"); }

MainframeOptions TestOptions(BoxRecorder& boxes, const testsupport::TempDir& settings,
                             const FakeEngine* engine) {
  MainframeOptions o = MainframeOptions::Defaults();
  o.settingsPath = plat::FromUtf8(settings.Join("config.ini"));
  o.settingsFallback.clear();
  o.diskSource = [](const std::function<void(const std::u16string&)>&) {
    return std::vector<DISK_DATA>{};
  };
  o.messageBox = boxes.Func();
  o.chooseFolder = [](QWidget*, const QString&, const QString&) { return QString(); };
  o.quit = [] {};
  o.endProcess = [] {};
  o.enginePath = engine != nullptr ? BRINDLE_TEST_DIR "/libbrindle_fake_engine.so"
                                   : "/nonexistent/libPlinth.so";
  return o;
}

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

void ExpectLayoutHoldsDuringAJob(CMainframeUI& window, int logRows) {
  auto* log = window.findChild<QListWidget*>(QStringLiteral("output_edit"));
  auto* image = window.findChild<QLabel*>(QStringLiteral("parImage_label"));
  ASSERT_TRUE(log != nullptr && image != nullptr);
  const QSize size = window.size();
  const std::map<QString, QRect> idle = Places(window);

  const std::u16string longPath = u"/home/someone/firmware/" + std::u16string(150, u'd') +
                                  u"/rootfs-with-a-long-name.ext4";
  const std::u16string longLine = u"Writing " + std::u16string(300, u'w') + u" the end";
  CMainframeUI::OnShowPro(1, 1);
  CMainframeUI::OnSetTime(1);
  CMainframeUI::OnSetProPos(57);
  CMainframeUI::OnSetCopyTip((u"Writing partition 2 " + longPath).c_str(), u"rootfs",
                             u"1.00G", u"Ext4", longPath.c_str());
  for (int i = 0; i < 40; ++i) CMainframeUI::OnOutput(longLine.c_str());
  const std::map<QString, QRect> job = Places(window);

  EXPECT_EQ(window.size(), size);
  for (const auto& [name, place] : idle) EXPECT_EQ(job.at(name), place) << name.toStdString();
  const QRect logPlace = job.at(QStringLiteral("output_edit"));
  for (const auto& [name, place] : job) {
    const QWidget* widget = window.findChild<QWidget*>(name);
    if (widget == log || widget->isHidden() || widget->isAncestorOf(log)) continue;
    EXPECT_FALSE(place.intersects(logPlace)) << name.toStdString() << " covers the log";
    EXPECT_TRUE(window.rect().contains(place)) << name.toStdString() << " is outside";
  }
  const int rowHeight = log->visualItemRect(log->item(0)).height();
  ASSERT_GT(rowHeight, 0);
  EXPECT_GE(log->viewport()->height() / rowHeight, logRows);

  // The long texts: cut in their places, whole in the tooltip.
  const QString path = QString::fromStdU16String(longPath);
  EXPECT_EQ(image->toolTip(), path);
  EXPECT_TRUE(image->text().contains(QChar(0x2026)) && image->text().endsWith(".ext4"))
      << image->text().toStdString();
  EXPECT_LE(image->fontMetrics().horizontalAdvance(image->text()), image->contentsRect().width());
  QListWidgetItem* last = log->item(log->count() - 1);
  EXPECT_EQ(last->toolTip(), last->text());
  EXPECT_LE(log->visualItemRect(last).width(), log->viewport()->width());
  EXPECT_EQ(log->horizontalScrollBar()->maximum(), 0);

  // Back to idle: the same places again; a short text is shown whole, without a tooltip.
  CMainframeUI::OnSetCopyTip(u"Done", nullptr, nullptr, nullptr, u"boot.img");
  CMainframeUI::OnShowPro(0, 0);
  CMainframeUI::OnSetTime(0);
  EXPECT_EQ(image->text(), QStringLiteral("boot.img"));
  EXPECT_TRUE(image->toolTip().isEmpty());
  EXPECT_EQ(Places(window), idle);
}

}  // namespace guitest
