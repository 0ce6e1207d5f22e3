// The system's disk service for real: udisksd, and polkitd deciding for it, on a private
// system bus. Each daemon runs in a mount namespace of its own (udisksd with a tmpfs /run
// holding a udev record for the test's loop device, polkitd with the test's rule), so nothing
// of the machine changes. A user the rule allows is handed a descriptor; a user without a rule
// is refused. Needs root, a loop device, udisks2, polkitd, dbus-daemon, unshare and setpriv:
// skips cleanly without.
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

using namespace testsupport;

constexpr const char* kUdisksd = "/usr/libexec/udisks2/udisksd";
constexpr const char* kPolkitd = "/usr/lib/polkit-1/polkitd";
constexpr const char* kRulesFolder = "/etc/polkit-1/rules.d";
constexpr const char* kAllowed = "65534";   // nobody: the test's rule lets it open devices
constexpr const char* kStranger = "1";      // daemon: no rule, no session, polkit says no

// A command run by sh in the background, its output in `log`; ended with the object.
class Daemon {
 public:
  Daemon(const std::string& command, const std::string& log) {
    pid_ = fork();
    if (pid_ == 0) {
      freopen(log.c_str(), "w", stdout);
      dup2(fileno(stdout), STDERR_FILENO);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Daemon() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

 private:
  pid_t pid_ = -1;
};

bool WaitUntil(const std::function<bool()>& done, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return done();
}

// Root is given the device read-write and held exclusively, and so is a user the rule allows
// (who cannot open the device itself to see that); a user without a rule is refused; no service
// on the bus is told apart from a refusal.
TEST(DiskService, OnlyAUserThePolicyAllowsIsGivenTheDevice) {
  if (geteuid() != 0) GTEST_SKIP() << "the daemons need root";
  for (const char* path : {kUdisksd, kPolkitd}) {
    if (access(path, X_OK) != 0) GTEST_SKIP() << "no " << path;
  }
  for (const char* tool : {"dbus-daemon", "unshare", "setpriv", "losetup"}) {
    if (!HaveTool(tool)) GTEST_SKIP() << "no " << tool;
  }
  if (!std::filesystem::is_directory(kRulesFolder)) GTEST_SKIP() << "no " << kRulesFolder;

  TempDir dir;
  // The users the test runs as reach the bus's socket.
  chmod(dir.path().c_str(), 0755);
  const std::string image = dir.Join("card.img");
  ASSERT_EQ(RunTool("truncate -s 1M " + Quote(image)), 0);
  LoopDevice loop(image);
  if (loop.name().empty()) GTEST_SKIP() << "no loop device: " << loop.error();
  struct stat st {};
  ASSERT_EQ(stat(loop.name().c_str(), &st), 0);

  const std::string socket = dir.Join("bus");
  const std::string address = "unix:path=" + socket;
  WriteFile(dir.Join("bus.conf"),
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n  <type>system</type>\n  <listen>" + address + "</listen>\n"
            "  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
            "    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
            "    <allow send_destination=\"*\"/>\n    <allow receive_sender=\"*\"/>\n"
            "  </policy>\n</busconfig>\n");
  const Daemon bus("exec dbus-daemon --nofork --config-file=" + Quote(dir.Join("bus.conf")),
                   dir.Join("bus.log"));
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(socket); }, 10))
      << ReadFile(dir.Join("bus.log"));
  chmod(socket.c_str(), 0777);

  const std::string rules = dir.Join("rules");
  std::filesystem::create_directory(rules);
  chmod(rules.c_str(), 0755);
  WriteFile(rules + "/50-brindle-test.rules",
            "polkit.addRule(function(action, subject) {\n"
            "  if (action.id.indexOf(\"org.freedesktop.udisks2.open-device\") == 0 &&\n"
            "      subject.user == \"nobody\") return polkit.Result.YES;\n"
            "});\n");
  chmod((rules + "/50-brindle-test.rules").c_str(), 0644);
  const std::string env = "exec env DBUS_SYSTEM_BUS_ADDRESS=" + Quote(address) +
                          " unshare -m --propagation private -- sh -c ";
  const Daemon polkit(env + Quote("mount --bind " + Quote(rules) + " " + kRulesFolder +
                                  " && exec " + kPolkitd + " --no-debug"),
                      dir.Join("polkit.log"));
  // udisks lists the devices udev has recorded; the private /run holds a record for ours.
  const std::string record = "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev));
  const Daemon udisks(env + Quote("mount -t tmpfs tmpfs /run && mkdir -p /run/udev/data && "
                                  "echo I:1 > " + record + " && exec " + kUdisksd),
                      dir.Join("udisks.log"));

  // The probe's output, run as `uid`.
  auto probe = [&](const std::string& uid, const std::string& bus, int* status) {
    // The answer only: GLib's own warnings on the error output (seen under load) stay apart.
    std::string output;
    *status = RunTool("setpriv --reuid=" + uid + " --regid=" + uid + " --clear-groups " +
                          Quote(std::string(BRINDLE_TEST_DIR) + "/disk_service_probe") + " " +
                          Quote(bus) + " " + Quote(loop.name()) + " 2>>" +
                          Quote(dir.Join("probe-errors.txt")),
                      &output);
    return output;
  };
  // Ready once root is given the device.
  int status = -1;
  if (!WaitUntil([&] { return probe("0", address, &status).rfind("opened", 0) == 0; }, 30)) {
    GTEST_SKIP() << "udisksd did not offer the loop device: " << ReadFile(dir.Join("udisks.log"))
                 << ReadFile(dir.Join("polkit.log"));
  }
  const struct {
    std::string uid, address, answer;
    int status;
  } cases[] = {{"0", address, "opened exclusive\n", 0},
               {kAllowed, address, "opened", 0},
               {kStranger, address, "not-authorized ", 1},
               {"0", "unix:path=" + dir.Join("no-bus"), "unavailable", 1}};
  for (const auto& c : cases) {
    const std::string out = probe(c.uid, c.address, &status);
    EXPECT_EQ(status, c.status) << out;
    EXPECT_EQ(out.rfind(c.answer, 0), 0u) << out;
  }
}

}  // namespace
