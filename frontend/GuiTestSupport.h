// Shared pieces of the window tests: the application object, recorded message boxes and the
// window's options. Folders, tools and files are in testsupport/TestSupport.h.
#pragma once

#include "MainframeUI.h"
#include "testsupport/TestSupport.h"

#include <QApplication>
#include <QString>

#include <vector>

namespace guitest {

// The process's QApplication, made on first use on the offscreen platform.
QApplication& App();

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

// Options for a window beside the test executable's resources, with settings in `settings`,
// boxes recorded, no engine, and no real dialogs or process exits.
MainframeOptions TestOptions(BoxRecorder& boxes, const testsupport::TempDir& settings);

}  // namespace guitest
