// Test helper: does what the window does with a disk it cannot open itself, as whatever user
// it is started as, against the disk service on the bus at BUS_ADDRESS.
//   disk_service_probe BUS_ADDRESS DEVICE open
//       prints "opened exclusive" (or "opened shared") and exits 0, or prints the refusal
//   disk_service_probe BUS_ADDRESS DEVICE write FIRMWARE_DIR SIZE
//       writes the firmware through the descriptor with the real engine; exit 0 on success
// A refusal prints "unavailable", "not-authorized" or "failed", then the service's message.
#include "DiskService.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthBinding.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

bool g_succeeded = false;

void OnOutput(const char16_t* line) {
  const std::u16string text = line != nullptr ? line : u"";
  std::cout << plat::ToUtf8(text) << std::flush;
  if (text == LocalText(u"WriteSucess", 1)) g_succeeded = true;
}

void OnShowMsg(char16_t* text) {
  std::cout << "Error: " << plat::ToUtf8(text != nullptr ? text : u"") << "\n";
  std::free(text);
}

// By DiskGrant::Result.
const char* const kResultNames[] = {"opened", "unavailable", "not-authorized", "failed"};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  QCoreApplication app(argc, argv);
  const std::string device = argv[2];
  const std::string mode = argv[3];
  DiskService service(QDBusConnection::connectToBus(QString::fromUtf8(argv[1]),
                                                    QStringLiteral("disk-service-probe")));
  const DiskGrant grant = service.OpenForWriting(device);
  if (grant.result != DiskGrant::kOpened) {
    std::cout << kResultNames[grant.result] << " " << plat::ToUtf8(grant.message) << "\n";
    return 1;
  }
  if (mode == "open") {
    // Held exclusively, a second exclusive open of the device fails with EBUSY (as root).
    const int second = open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
    std::cout << "opened " << (second < 0 && errno == EBUSY ? "exclusive" : "shared") << "\n";
    if (second >= 0) close(second);
    close(grant.fd);
    return 0;
  }
  if (mode != "write" || argc < 6) return 2;
  PlinthCallbacks callbacks;
  callbacks.output = OnOutput;
  callbacks.showMsg = OnShowMsg;
  std::string error;
  const bool ran = RunPlinthJob(std::string(BRINDLE_BIN_DIR) + "/libPlinth.so", callbacks,
                                PlinthJob::kWrite, plat::FromUtf8(argv[4]), plat::FromUtf8(device),
                                std::strtoull(argv[5], nullptr, 10), &error, grant.fd);
  close(grant.fd);
  if (!ran) std::cout << "engine: " << error << "\n";
  return ran && g_succeeded ? 0 : 1;
}
