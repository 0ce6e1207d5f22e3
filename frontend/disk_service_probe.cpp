// Test helper: does what the window does with a disk it cannot open itself, as whatever user
// it is started as, against the disk service on the bus at BUS_ADDRESS.
//   disk_service_probe BUS_ADDRESS DEVICE
// prints "opened exclusive" (or "opened shared") and exits 0, or prints the refusal:
// "unavailable", "not-authorized" or "failed", then the service's message, and exits 1.
#include "DiskService.h"
#include "Platform.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  QCoreApplication app(argc, argv);
  const std::string device = argv[2];
  DiskService service(QDBusConnection::connectToBus(QString::fromUtf8(argv[1]),
                                                    QStringLiteral("disk-service-probe")));
  const DiskGrant grant = service.OpenForWriting(device);
  // By DiskGrant::Result.
  const char* const kResultNames[] = {"opened", "unavailable", "not-authorized", "failed"};
  if (grant.result != DiskGrant::kOpened) {
    std::cout << kResultNames[grant.result] << " " << plat::ToUtf8(grant.message) << "\n";
    return 1;
  }
  // Held exclusively, a second exclusive open of the device fails with EBUSY (as root).
  const int second = open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
  std::cout << "opened " << (second < 0 && errno == EBUSY ? "exclusive" : "shared") << "\n";
  if (second >= 0) close(second);
  close(grant.fd);
  return 0;
}
