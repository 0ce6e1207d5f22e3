// brindle-screenshot: the real window and the real engine writing a firmware folder onto an
// image file offered as a USB card reader's card; the window is grabbed from the screen once
// ready to start (OUTPUT_PREFIX-idle.png) and while the job is under way (-job.png), in the
// language of the locale. Used by scripts/screenshot under Xvfb.
// Usage: brindle-screenshot FIRMWARE_FOLDER CARD_IMAGE OUTPUT_PREFIX
#include "MainframeUI.h"
#include "LocalText.h"
#include "Platform.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <filesystem>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FIRMWARE_FOLDER CARD_IMAGE OUTPUT_PREFIX\n", argv[0]);
    return 2;
  }
  const std::string card = argv[2];
  const QString output = QString::fromLocal8Bit(argv[3]) + QStringLiteral("-job.png");
  const QString idleOutput = QString::fromLocal8Bit(argv[3]) + QStringLiteral("-idle.png");
  InstallQtTranslations(&app, plat::SystemLangId());
  std::error_code error;
  const uint64_t size = std::filesystem::file_size(card, error);
  if (error) {
    std::fprintf(stderr, "cannot read %s: %s\n", card.c_str(), error.message().c_str());
    return 2;
  }

  // A real program folder: the engine, the skin, the catalogue and the help files of bin/.
  MainframeOptions options = MainframeOptions::Defaults();
  const std::u16string bin = plat::FromUtf8(BRINDLE_BIN_DIR) + u"/";
  options.skinPath = bin + u"res/skin.xml";
  options.helpFolder = bin;
  options.enginePath = plat::ToUtf8(bin) + "libPlinth.so";
  options.settingsPath = plat::FromUtf8(std::filesystem::temp_directory_path().string()) +
                         u"/brindle-screenshot.ini";
  options.diskSource = [card, size](const std::function<void(const std::u16string&)>&) {
    std::vector<DISK_DATA> disks(2);
    disks[0].diskNumber = 0;
    disks[0].diskSize = 256ull << 30;
    std::snprintf(disks[0].devicePath, sizeof disks[0].devicePath, "/dev/nvme0n1");
    disks[1].diskNumber = 1;
    disks[1].isUsb = 1;
    disks[1].removable = 1;
    disks[1].diskSize = size;
    std::snprintf(disks[1].devicePath, sizeof disks[1].devicePath, "%s", card.c_str());
    std::snprintf(disks[1].vendor, sizeof disks[1].vendor, "Generic-");
    std::snprintf(disks[1].model, sizeof disks[1].model, "SD/MMC");
    return disks;
  };
  int failures = 0;
  options.messageBox = [&failures](QWidget*, const QString& text, const QString&, BoxKind) {
    std::fprintf(stderr, "message box: %s\n", text.toLocal8Bit().constData());
    ++failures;
    return kAnswerOk;
  };
  options.quit = [] {};
  options.endProcess = [] {};

  CMainframeUI window(options);
  window.setWindowTitle(QString::fromStdU16String(LocalText(u"Title", 0)));
  if (!window.BuildWindow()) {
    std::fprintf(stderr, "%s\n", window.buildError().toLocal8Bit().constData());
    return 1;
  }
  window.show();
  // The one card is chosen already; the firmware folder is typed in.
  window.findChild<QLineEdit*>("firmware_edit")->setText(QString::fromLocal8Bit(argv[1]));
  auto grab = [&] {
    const QRect frame = window.frameGeometry();
    return window.screen()->grabWindow(0, frame.x() - 16, frame.y() - 16, frame.width() + 32,
                                       frame.height() + 32);
  };
  QTimer::singleShot(500, [&] { QCoreApplication::exit(0); });
  app.exec();
  if (!grab().save(idleOutput, "PNG")) {
    std::fprintf(stderr, "cannot save %s\n", idleOutput.toLocal8Bit().constData());
    return 1;
  }
  window.findChild<QPushButton*>("startWrite_btn")->click();

  // Grab once the copy is well under way, with the output list and the time label filled; keep
  // an earlier mid-copy picture in case the job is too quick for that.
  bool saved = false;
  QPixmap candidate;
  auto* bar = window.findChild<QProgressBar*>("copy_progress");
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    const bool copying = !bar->isHidden() && bar->value() >= 20 && bar->value() <= 95;
    if (!saved && copying) {
      if (bar->value() >= 35 && bar->value() <= 90) {
        saved = grab().save(output, "PNG");
        std::fprintf(stderr, "grabbed at %d%%\n", bar->value());
      } else {
        candidate = grab();
      }
    }
    if (window.idle()) QCoreApplication::exit(0);
  });
  poll.start(20);
  app.exec();
  window.JoinJob();
  if (!saved && !candidate.isNull()) {
    saved = candidate.save(output, "PNG");
    std::fprintf(stderr, "grabbed early in the copy\n");
  }
  if (!saved) std::fprintf(stderr, "the job ended before it could be grabbed\n");
  return saved && failures == 0 ? 0 : 1;
}
