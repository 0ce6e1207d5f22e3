#include "GuiTestSupport.h"

#include "Platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>

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
const bool kLocaleSet = [] {
  setenv("LC_ALL", kTestLocale, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  return true;
}();

}  // namespace

namespace guitest {

const char* TestLocale() { return kLocaleSet ? kTestLocale : ""; }

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

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

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

std::string FakeEngine::library() const {
  return std::string(BRINDLE_TEST_DIR) + "/libbrindle_fake_engine.so";
}

MainframeOptions TestOptions(BoxRecorder& boxes, const testsupport::TempDir& settings,
                             const FakeEngine* engine) {
  MainframeOptions o = MainframeOptions::Defaults();
  o.settingsPath = plat::FromUtf8(settings.Join("config.ini"));
  o.settingsFallback.clear();
  o.imageFolder = plat::FromUtf8(settings.Join("Quillbox"));
  o.imagePath = o.imageFolder + u"/tmpDBR.img";
  o.diskSource = [](const std::function<void(const std::u16string&)>&) {
    return std::vector<DISK_DATA>{};
  };
  o.messageBox = boxes.Func();
  o.chooseFolder = [](QWidget*, const QString&, const QString&) { return QString(); };
  o.quit = [] {};
  o.endProcess = [] {};
  if (engine != nullptr) {
    o.enginePath = engine->library();
    o.tesselPath = engine->library();
  } else {
    o.enginePath = "/nonexistent/libPlinth.so";
    o.tesselPath = "/nonexistent/libTessel.so";
  }
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

}  // namespace guitest
