// Shared pieces of the window tests: the application object, recorded message boxes, fixture
// disks and the scripted stand-in engine. Folders, tools and files are in
// testsupport/TestSupport.h.
#pragma once

#include "MainframeUI.h"
#include "testsupport/TestSupport.h"

#include <QApplication>
#include <QString>

#include <filesystem>
#include <string>
#include <vector>

namespace guitest {

// The process's QApplication, made on first use on the offscreen platform.
QApplication& App();

std::vector<std::string> ReadLines(const std::string& path);

struct ShownBox {
  QString text;
  QString caption;
  BoxKind kind;
};

// Records every box; questions get the next queued answer (No when none is queued).
class BoxRecorder {
 public:
  MessageBoxFunc Func();
  std::vector<ShownBox> boxes;
  std::vector<int> answers;
};

DISK_DATA Disk(int32_t number, bool usb, uint64_t size, const std::string& devicePath);

// The stand-in engine: a script folder and the library's path.
class FakeEngine {
 public:
  FakeEngine();
  ~FakeEngine();
  void Script(const std::string& lines) const {
    testsupport::WriteFile(dir_.Join("script.txt"), lines);
  }
  std::vector<std::string> Calls() const { return ReadLines(dir_.Join("calls.txt")); }
  void Touch(const std::string& name) const { testsupport::WriteFile(dir_.Join(name), "1"); }
  bool Has(const std::string& name) const { return std::filesystem::exists(dir_.Join(name)); }
  const testsupport::TempDir& dir() const { return dir_; }

 private:
  testsupport::TempDir dir_;
};

// Options for a window beside the test executable's resources, with settings in `settings`,
// boxes recorded, the stand-in engine and no real dialogs or process exits.
MainframeOptions TestOptions(BoxRecorder& boxes, const testsupport::TempDir& settings,
                             const FakeEngine* engine);

// Waits, handling events, until `done` holds; false after a generous safety limit.
bool WaitFor(const std::function<bool()>& done);

// Takes the shown window into the job view (progress group, copy details and time shown, texts
// far too long for their places, a full log) and back to idle, and checks that the layout
// holds: no widget moves or changes size, the window keeps its size, nothing overlaps the log,
// which shows at least `logRows` rows, and the long texts are cut with the whole in a tooltip.
void ExpectLayoutHoldsDuringAJob(CMainframeUI& window, int logRows);

}  // namespace guitest
