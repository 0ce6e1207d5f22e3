#include "DiskService.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QMap>
#include <QVariant>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kPartition = QStringLiteral("org.freedesktop.UDisks2.Partition");
// Long enough for a user to read the password dialog and answer it.
constexpr int kCallTimeoutMs = 5 * 60 * 1000;

using Interfaces = QMap<QString, QVariantMap>;

QDBusMessage Call(QDBusConnection& bus, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& args) {
  QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
  message.setArguments(args);
  message.setInteractiveAuthorizationAllowed(true);
  return bus.call(message, QDBus::Block, kCallTimeoutMs);
}

bool Failed(const QDBusMessage& reply, DiskGrant& grant) {
  if (reply.type() != QDBusMessage::ErrorMessage) return false;
  grant.result = ResultOfServiceError(reply.errorName());
  grant.message = reply.errorMessage().toStdU16String();
  return true;
}

// Every object the service manages, with its interfaces and their properties. False (with
// `grant` set) when the service did not answer.
bool ManagedObjects(QDBusConnection& bus, DiskGrant& grant, QMap<QString, Interfaces>& objects) {
  const QDBusMessage reply = Call(bus, QStringLiteral("/org/freedesktop/UDisks2"),
                                  QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                  QStringLiteral("GetManagedObjects"), {});
  if (Failed(reply, grant)) return false;
  if (reply.arguments().isEmpty()) return true;
  const QDBusArgument map = reply.arguments().at(0).value<QDBusArgument>();
  map.beginMap();
  while (!map.atEnd()) {
    QDBusObjectPath path;
    Interfaces interfaces;
    map.beginMapEntry();
    map >> path >> interfaces;
    map.endMapEntry();
    objects.insert(path.path(), interfaces);
  }
  map.endMap();
  return true;
}

bool HasMountPoints(const QVariantMap& filesystem) {
  const QVariant points = filesystem.value(QStringLiteral("MountPoints"));
  if (!points.canConvert<QDBusArgument>()) return false;
  QList<QByteArray> list;
  points.value<QDBusArgument>() >> list;
  return !list.isEmpty();
}

// The service's object for a device node; empty (with `grant` set) when there is none.
QString ObjectOf(QDBusConnection& bus, const std::string& device, DiskGrant& grant) {
  const QVariantMap spec{{QStringLiteral("path"), QString::fromStdString(device)}};
  const QDBusMessage reply = Call(bus, QStringLiteral("/org/freedesktop/UDisks2/Manager"),
                                  QStringLiteral("org.freedesktop.UDisks2.Manager"),
                                  QStringLiteral("ResolveDevice"), {spec, QVariantMap()});
  if (Failed(reply, grant)) return {};
  QList<QDBusObjectPath> found;
  if (!reply.arguments().isEmpty()) reply.arguments().at(0).value<QDBusArgument>() >> found;
  if (found.isEmpty()) {
    grant.result = DiskGrant::kUnavailable;
    return {};
  }
  return found.first().path();
}

}  // namespace

DiskGrant::Result ResultOfServiceError(const QString& errorName) {
  static const char* const kAbsent[] = {
      "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
      "org.freedesktop.DBus.Error.NoServer",       "org.freedesktop.DBus.Error.Disconnected",
      "org.freedesktop.DBus.Error.UnknownMethod",  "org.freedesktop.DBus.Error.UnknownObject",
      "org.freedesktop.DBus.Error.UnknownInterface", "org.freedesktop.DBus.Error.Spawn.ServiceNotFound",
  };
  for (const char* name : kAbsent) {
    if (errorName == QLatin1String(name)) return DiskGrant::kUnavailable;
  }
  if (errorName.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized"))) {
    return DiskGrant::kNotAuthorized;
  }
  return DiskGrant::kFailed;
}

DiskGrant DiskService::OpenForWriting(const std::string& device) {
  DiskGrant grant;
  if (!bus_.isConnected()) {
    grant.message = bus_.lastError().message().toStdU16String();
    return grant;
  }
  const QString disk = ObjectOf(bus_, device, grant);
  if (disk.isEmpty()) return grant;

  // An exclusive open fails while anything of the disk is mounted (a card's volumes are
  // mounted by the desktop as soon as it is inserted).
  QMap<QString, Interfaces> objects;
  if (!ManagedObjects(bus_, grant, objects)) return grant;
  for (auto it = objects.begin(); it != objects.end(); ++it) {
    const Interfaces& interfaces = it.value();
    const bool ofDisk = it.key() == disk ||
                        interfaces.value(kPartition).value(QStringLiteral("Table"))
                                .value<QDBusObjectPath>().path() == disk;
    if (!ofDisk || !interfaces.contains(kFilesystem) || !HasMountPoints(interfaces[kFilesystem])) {
      continue;
    }
    const QDBusMessage reply =
        Call(bus_, it.key(), kFilesystem, QStringLiteral("Unmount"), {QVariantMap()});
    if (Failed(reply, grant)) return grant;
  }

  const QVariantMap options{{QStringLiteral("flags"), int{O_EXCL}}};
  const QDBusMessage reply =
      Call(bus_, disk, kBlock, QStringLiteral("OpenDevice"), {QStringLiteral("rw"), options});
  if (Failed(reply, grant)) return grant;
  const QDBusUnixFileDescriptor handle =
      reply.arguments().isEmpty() ? QDBusUnixFileDescriptor()
                                  : reply.arguments().at(0).value<QDBusUnixFileDescriptor>();
  // The descriptor object closes its own copy; the grant keeps a duplicate.
  const int fd = handle.isValid() ? fcntl(handle.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
  if (fd < 0) {
    grant.result = DiskGrant::kFailed;
    return grant;
  }
  grant.result = DiskGrant::kOpened;
  grant.fd = fd;
  return grant;
}

void DiskService::Rescan(const std::string& device) {
  DiskGrant ignored;
  const QString disk = ObjectOf(bus_, device, ignored);
  if (!disk.isEmpty()) Call(bus_, disk, kBlock, QStringLiteral("Rescan"), {QVariantMap()});
}
