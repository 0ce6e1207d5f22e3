// The system's disk service (udisks2): it opens block devices for a user program after asking
// polkit, which may ask the user for a password through the desktop's authentication agent.
// So the window runs as its user on X11 and Wayland alike, and only the disk is privileged.
#pragma once

#include <QDBusConnection>
#include <QString>

#include <string>

struct DiskGrant {
  enum Result {
    kOpened,         // fd is the disk, read-write and held exclusively; the receiver closes it
    kUnavailable,    // no service on the bus, or it does not know the device
    kNotAuthorized,  // polkit said no, or the user dismissed the password dialog
    kFailed,         // the service could not open or unmount (busy, gone, ...)
  };
  Result result = kUnavailable;
  int fd = -1;
  std::u16string message;  // the service's reason, when not opened
};

// How a failed call to the service counts, by its D-Bus error name.
DiskGrant::Result ResultOfServiceError(const QString& errorName);

class DiskService {
 public:
  explicit DiskService(QDBusConnection bus) : bus_(std::move(bus)) {}

  // Unmounts every volume mounted from the disk (its partitions, or the disk itself when it
  // holds one file system), then opens it for reading and writing, exclusively.
  DiskGrant OpenForWriting(const std::string& device);
  // Asks the service to make the kernel read the disk's partition table again: the new
  // partitions of a written card appear at once, which a user process cannot ask for itself.
  void Rescan(const std::string& device);

 private:
  QDBusConnection bus_;
};
