#include "SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>

#include <unistd.h>

namespace {

const QByteArray kShowRequest = "show\n";
const QByteArray kShowAnswer = "shown\n";
constexpr int kConnectMs = 1000;
constexpr int kAnswerMs = 3000;
constexpr int kLockMs = 5000;

}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
}

QString SingleInstance::DefaultName() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(runtime).exists()) {
    return QDir(runtime).filePath(QLatin1String(kInstanceMarker));
  }
  return QDir(QDir::tempPath())
      .filePath(QStringLiteral("%1-%2").arg(QLatin1String(kInstanceMarker)).arg(getuid()));
}

bool SingleInstance::AskRunningCopy() {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(kConnectMs)) return false;
  socket.write(kShowRequest);
  if (!socket.waitForBytesWritten(kAnswerMs)) return false;
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(kAnswerMs)) return false;
  }
  return socket.readLine() == kShowAnswer;
}

bool SingleInstance::ActivateRunningCopy() {
  // Two copies started at the same moment take turns, so only one of them ends up listening.
  QLockFile lock(name_ + QStringLiteral(".lock"));
  lock.tryLock(kLockMs);
  if (AskRunningCopy()) return true;
  QLocalServer::removeServer(name_);
  server_.listen(name_);
  return false;
}

void SingleInstance::OnConnection() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      while (socket->canReadLine()) {
        if (socket->readLine() != kShowRequest) continue;
        emit showRequested();
        socket->write(kShowAnswer);
        socket->flush();
      }
    });
  }
}
