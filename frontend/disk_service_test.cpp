// The system's disk service for real: udisksd, and polkitd deciding for it, on a private
// system bus. Each daemon runs in a mount namespace of its own (udisksd with a tmpfs /run
// holding a udev record for the test's loop device, polkitd with the test's rule), so nothing
// of the machine changes. A user the rule allows writes a card through the descriptor the
// service hands out; a user without a rule is refused. Needs root, a loop device, udisks2,
// polkitd, dbus-daemon, unshare and setpriv: skips cleanly without.
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
#include <memory>
#include <thread>

namespace {

using namespace testsupport;

constexpr const char* kUdisksd = "/usr/libexec/udisks2/udisksd";
constexpr const char* kPolkitd = "/usr/lib/polkit-1/polkitd";
constexpr const char* kRulesFolder = "/etc/polkit-1/rules.d";
constexpr const char* kAllowed = "65534";   // nobody: the test's rule lets it open devices
constexpr const char* kStranger = "1";      // daemon: no rule, no session, polkit says no
// Holds the example's layout (it ends at sector 674045) with room to spare.
constexpr uint64_t kCardBytes = 400ull << 20;

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

class DiskServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_ = Prepare();
    if (!skip_.empty()) TearDownTestSuite();
  }

  static void TearDownTestSuite() {
    udisks_.reset();
    polkit_.reset();
    bus_.reset();
    loop_.reset();
    dir_.reset();
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }

  static std::string Prepare() {
    if (geteuid() != 0) return "the daemons need root";
    for (const char* path : {kUdisksd, kPolkitd}) {
      if (access(path, X_OK) != 0) return std::string("no ") + path;
    }
    for (const char* tool : {"dbus-daemon", "unshare", "setpriv", "losetup", "sfdisk"}) {
      if (!HaveTool(tool)) return std::string("no ") + tool;
    }
    if (!std::filesystem::is_directory(kRulesFolder)) return std::string("no ") + kRulesFolder;

    dir_ = std::make_unique<TempDir>();
    // The users the test runs as read the firmware and reach the bus's socket.
    chmod(dir_->path().c_str(), 0755);
    const std::string image = dir_->Join("card.img");
    if (RunTool("truncate -s " + std::to_string(kCardBytes) + " " + Quote(image)) != 0) {
      return "cannot make the card image";
    }
    loop_ = std::make_unique<LoopDevice>(image);
    if (loop_->name().empty()) return "no loop device: " + loop_->error();
    struct stat st {};
    if (stat(loop_->name().c_str(), &st) != 0) return "the loop device vanished";

    const std::string socket = dir_->Join("bus");
    address_ = "unix:path=" + socket;
    WriteFile(dir_->Join("bus.conf"),
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n  <type>system</type>\n  <listen>" + address_ + "</listen>\n"
              "  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
              "    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
              "    <allow send_destination=\"*\"/>\n    <allow receive_sender=\"*\"/>\n"
              "  </policy>\n</busconfig>\n");
    bus_ = std::make_unique<Daemon>("exec dbus-daemon --nofork --config-file=" +
                                        Quote(dir_->Join("bus.conf")),
                                    dir_->Join("bus.log"));
    if (!WaitUntil([&] { return std::filesystem::exists(socket); }, 10)) {
      return "the private bus did not start: " + ReadFile(dir_->Join("bus.log"));
    }
    chmod(socket.c_str(), 0777);

    const std::string rules = dir_->Join("rules");
    std::filesystem::create_directory(rules);
    chmod(rules.c_str(), 0755);
    WriteFile(rules + "/50-brindle-test.rules",
              "polkit.addRule(function(action, subject) {\n"
              "  if (action.id.indexOf(\"org.freedesktop.udisks2.open-device\") == 0 &&\n"
              "      subject.user == \"nobody\") return polkit.Result.YES;\n"
              "});\n");
    chmod((rules + "/50-brindle-test.rules").c_str(), 0644);
    const std::string env = "exec env DBUS_SYSTEM_BUS_ADDRESS=" + Quote(address_) +
                            " unshare -m --propagation private -- sh -c ";
    polkit_ = std::make_unique<Daemon>(
        env + Quote("mount --bind " + Quote(rules) + " " + kRulesFolder + " && exec " +
                    kPolkitd + " --no-debug"),
        dir_->Join("polkit.log"));
    // udisks lists the devices udev has recorded; the private /run holds a record for ours.
    const std::string record = "/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                               std::to_string(minor(st.st_rdev));
    udisks_ = std::make_unique<Daemon>(
        env + Quote("mount -t tmpfs tmpfs /run && mkdir -p /run/udev/data && echo I:1 > " +
                    record + " && exec " + kUdisksd),
        dir_->Join("udisks.log"));
    // Ready once root is given the device.
    int status = -1;
    if (!WaitUntil([&] { return Probe("0", address_, "open", &status).rfind("opened", 0) == 0; },
                   30)) {
      return "udisksd did not offer the loop device: " + ReadFile(dir_->Join("udisks.log")) +
             ReadFile(dir_->Join("polkit.log"));
    }
    return {};
  }

  // The probe's output, run as `uid` (0: as the test itself).
  static std::string Probe(const std::string& uid, const std::string& address,
                           const std::string& args, int* status) {
    const std::string probe = std::string(BRINDLE_TEST_DIR) + "/disk_service_probe";
    const std::string as =
        uid == "0" ? "" : "setpriv --reuid=" + uid + " --regid=" + uid + " --clear-groups ";
    // The answer only: GLib's own warnings on the error output (seen under load) stay apart.
    std::string output;
    *status = RunTool(as + Quote(probe) + " " + Quote(address) + " " + Quote(loop_->name()) +
                          " " + args + " 2>>" + Quote(dir_->Join("probe-errors.txt")),
                      &output);
    return output;
  }

  static inline std::string skip_;
  static inline std::string address_;
  static inline std::unique_ptr<TempDir> dir_;
  static inline std::unique_ptr<LoopDevice> loop_;
  static inline std::unique_ptr<Daemon> bus_;
  static inline std::unique_ptr<Daemon> polkit_;
  static inline std::unique_ptr<Daemon> udisks_;
};

// Root is given the device read-write and held exclusively; a user without a rule is refused;
// no service on the bus is told apart from a refusal.
TEST_F(DiskServiceTest, WhoIsGivenTheDevice) {
  const struct {
    std::string uid, address, answer;
    int status;
  } cases[] = {{"0", address_, "opened exclusive\n", 0},
               {kStranger, address_, "not-authorized ", 1},
               {"0", "unix:path=" + dir_->Join("no-bus"), "unavailable", 1}};
  for (const auto& c : cases) {
    int status = -1;
    const std::string out = Probe(c.uid, c.address, "open", &status);
    EXPECT_EQ(status, c.status) << out;
    EXPECT_EQ(out.rfind(c.answer, 0), 0u) << out;
  }
}

TEST_F(DiskServiceTest, AUserThePolicyAllowsWritesACardThroughTheDescriptor) {
  // The user cannot open the device itself.
  EXPECT_NE(RunTool(std::string("setpriv --reuid=") + kAllowed + " --regid=" + kAllowed +
                    " --clear-groups sh -c " + Quote("exec 3<>" + loop_->name())),
            0);
  const std::string firmware = dir_->Join("firmware");
  std::string made;
  ASSERT_EQ(RunTool(Quote(std::string(BRINDLE_SOURCE_DIR) + "/examples/make-example") + " " +
                        Quote(firmware),
                    &made),
            0)
      << made;
  int status = -1;
  const std::string out =
      Probe(kAllowed, address_, "write " + Quote(firmware) + " " + std::to_string(kCardBytes),
            &status);
  EXPECT_EQ(status, 0) << out;
  const std::string table = ToolOutput("sfdisk -d " + Quote(loop_->name()));
  // The example's first and last partitions, where its config.xml puts them.
  EXPECT_NE(table.find("start=        2048, size=      131072"), std::string::npos) << table;
  EXPECT_NE(table.find("start=      411901, size=      262144"), std::string::npos) << table;
}

}  // namespace
