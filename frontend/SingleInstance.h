// One running copy per user: the first copy listens on a local socket named by the marker; a
// later copy asks it to show itself and ends.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

inline constexpr char kInstanceMarker[] = "08B7F5DA-5D9E-4518-A96A-17877C3FA881";

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // `name` is the socket name or path; see DefaultName.
  explicit SingleInstance(QString name, QObject* parent = nullptr);

  // The marker in $XDG_RUNTIME_DIR when it is set, else the marker suffixed with the user id in
  // the temporary folder, so two users never meet.
  static QString DefaultName();

  // Either tells the running copy to show itself (true: this copy should end) or becomes the
  // running copy (false). A socket left by a copy that died is removed first.
  bool ActivateRunningCopy();
  bool listening() const { return server_.isListening(); }
  const QString& name() const { return name_; }

 signals:
  // A later copy asked this one to show its window.
  void showRequested();

 private:
  bool AskRunningCopy();
  void OnConnection();

  QString name_;
  QLocalServer server_;
};
