// Brindle: one copy per user, a frameless window built from res/skin.xml, run until exit.
#include "GuiUsage.h"
#include "LocalText.h"
#include "MainframeUI.h"
#include "Platform.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

int main(int argc, char* argv[]) {
  if (const int status = HandleGuiArguments(argc, argv); status >= 0) return status;
  QApplication app(argc, argv);
  // Wayland compositors and X11 task bars find the desktop entry, and with it the icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("brindle"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("brindle")));
  SingleInstance instance(SingleInstance::DefaultName());
  if (instance.ActivateRunningCopy()) return 0;
  InstallQtTranslations(&app, plat::SystemLangId());

  CMainframeUI window;
  window.setWindowTitle(QString::fromStdU16String(LocalText(u"Title", 0)));
  if (!window.BuildWindow()) {
    QMessageBox::critical(nullptr, QStringLiteral("Error"), window.buildError());
    return 1;
  }
  QObject::connect(&instance, &SingleInstance::showRequested, &window, [&window] {
    window.showNormal();
    window.raise();
    window.activateWindow();
  });
  window.show();
  return app.exec();
}
