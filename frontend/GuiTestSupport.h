// Shared pieces of the window tests: the application object, temporary folders, recorded
// message boxes, fixture disks and the scripted stand-in engine.
#pragma once

#include "MainframeUI.h"

#include <QApplication>
#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace guitest {

// The locale this test executable runs in, set before main.
const char* TestLocale();

// The process's QApplication, made on first use on the offscreen platform.
QApplication& App();

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::u16string Wide() const;

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
bool FileExists(const std::string& path);

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
  std::string library() const;
  void Script(const std::string& lines) const { WriteFile(dir_.File("script.txt"), lines); }
  std::vector<std::string> Calls() const { return ReadLines(dir_.File("calls.txt")); }
  void Touch(const std::string& name) const { WriteFile(dir_.File(name), "1"); }
  bool Has(const std::string& name) const { return FileExists(dir_.File(name)); }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
};

// Options for a window beside the test executable's resources, with settings in `settings`,
// boxes recorded, the stand-in engine and no real dialogs or process exits.
MainframeOptions TestOptions(BoxRecorder& boxes, const TempDir& settings,
                             const FakeEngine* engine);

// Waits, handling events, until `done` holds; false after a generous safety limit.
bool WaitFor(const std::function<bool()>& done);

}  // namespace guitest
