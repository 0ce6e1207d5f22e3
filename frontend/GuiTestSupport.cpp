#include "GuiTestSupport.h"

#include "Platform.h"

#include <cstdlib>

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

MainframeOptions TestOptions(BoxRecorder& boxes, const testsupport::TempDir& settings) {
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
  o.enginePath = "/nonexistent/libPlinth.so";
  return o;
}

}  // namespace guitest
