// Several cards at once and the station, run as the program: image files without root, loop
// devices (one on a tmpfs that fills up) and a fixture sysfs whose cards come and go with root.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "CliTestSupport.h"
#include "testsupport/TestSupport.h"

using namespace cli_test;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kCardBytes = kExampleEndSector * 512;

class CardSetTest : public ExampleTest {
 protected:
  static void SetUpTestSuite() {
    ExampleTest::SetUpTestSuite();
    if (!missingTool_.empty()) return;
    // The same firmware with images only: no volume serial or UUID made at write time, so
    // every card written from it is the same to the byte.
    fs::copy(Example(), Fixed(), fs::copy_options::recursive);
    std::string config = ReadFile(Fixed() + "/config.xml");
    for (const char* name : {"data", "cache", "misc"}) {
      const size_t at = config.find("<partition name=\"" + std::string(name) + "\"");
      config.erase(at, config.find('\n', at) + 1 - at);
    }
    WriteFile(Fixed() + "/config.xml", config);
  }
  static std::string Fixed() { return example_->Join("fixed"); }
  // A card written alone from the image-only firmware, to compare the others with.
  std::string Alone() {
    const std::string alone = dir_.Join("alone.img");
    const Outcome run = RunCli("write " + Quote(Fixed()) + " " + Quote(alone));
    EXPECT_EQ(run.status, 0) << run.err;
    return alone;
  }
};

// The report's lines: `count` cards, the one on `failed` failed and the others succeeded (and
// verified when `verified`).
std::vector<std::string> ExpectResults(const std::string& report, size_t count,
                                       const std::string& failed, bool verified) {
  const std::vector<std::string> records = SplitLines(ReadFile(report));
  EXPECT_EQ(records.size(), count);
  for (const std::string& record : records) {
    const bool bad = Has(record, "\"device\":\"" + failed + "\"");
    EXPECT_TRUE(Has(record, bad ? "\"result\":\"failed\"" : "\"result\":\"succeeded\"")) << record;
    EXPECT_TRUE(Has(record, !bad && verified ? "\"verified\":true}" : "\"verified\":false}"))
        << record;
  }
  return records;
}

TEST_F(CardSetTest, ImageFilesAtOnceOneFailingSummaryAndReport) {
  const std::string alone = Alone();
  const std::string a = dir_.Join("a.img"), b = dir_.Join("b.img");
  const std::string bad = dir_.Join("missing/c.img");
  const std::string report = dir_.Join("report.jsonl");
  const Outcome run = RunCli("write --report " + Quote(report) + " " + Quote(Fixed()) + " " +
                             Quote(a) + " " + Quote(bad) + " " + Quote(b));
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_EQ(RunTool("cmp " + Quote(alone) + " " + Quote(a)), 0);
  EXPECT_EQ(RunTool("cmp " + Quote(alone) + " " + Quote(b)), 0);
  // Without a terminal every line of a card starts with its target; the summary follows.
  const std::vector<std::string> lines = SplitLines(run.out);
  ASSERT_GE(lines.size(), 5u) << run.out;
  size_t prefixed = 0;
  for (const std::string& line : lines) prefixed += line.rfind(a + ": ", 0) == 0 ? 1 : 0;
  EXPECT_EQ(prefixed, 5u) << run.out;  // open, opened, partitions, bin files, success
  EXPECT_EQ(lines.back(), "2 of 3 cards succeeded; failed: " + bad);
  EXPECT_TRUE(Has(run.err, bad + ": brindle-cli: cannot create the image file")) << run.err;

  const std::vector<std::string> records = ExpectResults(report, 3, bad, false);
  for (const std::string& record : records) {
    EXPECT_TRUE(Has(record, "\"firmware\":\"" + fs::canonical(Fixed()).string() + "\"")) << record;
    EXPECT_TRUE(Has(record, "\"job\":\"write\",")) << record;
    if (!Has(record, "\"device\":\"" + bad + "\"")) {
      EXPECT_TRUE(Has(record, "\"size\":" + std::to_string(FileSize(alone)) + ",")) << record;
    }
  }

  // The same card twice is a usage error before anything runs.
  const Outcome twice =
      RunCli("verify " + Quote(Fixed()) + " " + Quote(a) + " " + Quote(dir_.path() + "/./a.img"));
  EXPECT_EQ(twice.status, 2);
  EXPECT_EQ(twice.out, "");
  // A report that cannot be opened stops the set before any card is touched.
  const std::string untouched = dir_.Join("untouched.img");
  const Outcome noReport = RunCli("write --report " + Quote(dir_.Join("missing/r.jsonl")) + " " +
                                  Quote(Fixed()) + " " + Quote(untouched) + " " + Quote(b));
  EXPECT_EQ(noReport.status, 1);
  EXPECT_TRUE(Has(noReport.err, dir_.Join("missing/r.jsonl"))) << noReport.err;
  EXPECT_FALSE(fs::exists(untouched));
  EXPECT_EQ(RunTool("cmp " + Quote(alone) + " " + Quote(b)), 0);
  // Verify with several targets: the two good cards hold the firmware.
  const Outcome verify = RunCli("verify " + Quote(Fixed()) + " " + Quote(a) + " " + Quote(b));
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_EQ(SplitLines(verify.out).back(), "all 2 cards succeeded");

  // On a terminal: one line per card, redrawn in place, then the summary.
  if (!HaveTool("script")) GTEST_SKIP() << "needs script (util-linux) for a terminal";
  const std::string cli = Cli() + " verify " + Quote(Fixed()) + " " + Quote(a) + " " + Quote(b);
  const std::string shown = ToolOutput("script -qec " + Quote(cli) + " /dev/null </dev/null");
  EXPECT_TRUE(Has(shown, "\x1b[2A")) << shown;  // back up over both card lines
  for (const std::string& card : {a, b}) {
    EXPECT_TRUE(Has(shown, "\r" + card.substr(0, 12) + " ")) << shown;
  }
  EXPECT_TRUE(Has(shown, "all 2 cards succeeded")) << shown;
}

// Loop devices attached for the test and detached whatever happens.
struct Loops {
  std::vector<std::unique_ptr<LoopDevice>> devices;
  std::string Add(const std::string& image) {
    devices.push_back(std::make_unique<LoopDevice>(image));
    return devices.back()->name();
  }
};

struct Unmount {
  std::string path;
  ~Unmount() {
    if (!path.empty()) umount2(path.c_str(), MNT_DETACH);
  }
};

bool CanUseLoops() { return IsRoot() && fs::exists("/dev/loop-control") && HaveTool("losetup"); }

TEST_F(CardSetTest, FourLoopDevicesAtOnceOneOnAFillingTmpfs) {
  if (!CanUseLoops()) GTEST_SKIP() << "needs root and loop devices";
  const std::string alone = Alone();
  const std::string mnt = dir_.Join("small");
  fs::create_directory(mnt);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=48m") != 0) GTEST_SKIP() << "no tmpfs";
  Unmount unmount{mnt};
  Loops loops;
  std::vector<std::string> images;
  for (int i = 0; i < 4; ++i) {
    images.push_back(i == 3 ? mnt + "/card.img" : dir_.Join("card" + std::to_string(i) + ".img"));
    ASSERT_EQ(RunTool("truncate -s " + std::to_string(kCardBytes) + " " + Quote(images.back())), 0);
    if (loops.Add(images.back()).empty()) GTEST_SKIP() << loops.devices.back()->error();
  }
  auto targets = [&](size_t n) {
    std::string list;
    for (size_t i = 0; i < n; ++i) list += " " + Quote(loops.devices[i]->name());
    return list;
  };

  // Three good cards at once, each the same as the card written alone.
  const Outcome good = RunCli("write --yes --verify " + Quote(Fixed()) + targets(3));
  EXPECT_EQ(good.status, 0) << good.out << good.err;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(RunTool("cmp -n " + std::to_string(FileSize(alone)) + " " + Quote(alone) + " " +
                      Quote(loops.devices[i]->name())),
              0)
        << loops.devices[i]->name();
  }

  // The whole example (empty volumes built on each card) on all four: the card on the small
  // tmpfs fails, the others are written and verified.
  const std::string report = dir_.Join("report.jsonl");
  const Outcome four = RunCli("write --yes --verify --report " + Quote(report) + " " +
                              Quote(Example()) + targets(4));
  EXPECT_EQ(four.status, 1) << four.out << four.err;
  const std::string& full = loops.devices[3]->name();
  EXPECT_EQ(SplitLines(four.out).back(), "3 of 4 cards succeeded; failed: " + full) << four.out;
  EXPECT_TRUE(Has(four.out, full + ": ")) << four.out;
  ExpectResults(report, 4, full, true);
  for (size_t i = 0; i < 3; ++i) {
    ExpectVolume(loops.devices[i]->Partition(5), "vfat");
  }
}

// Slots of a USB card reader in a fixture sysfs, each card a real loop device, and a station
// run in the background against it.
class Station {
 public:
  Station(const TempDir& dir, size_t slots) : dir_(dir), sys_(dir.Join("sys")) {
    for (size_t i = 0; i < slots; ++i) {
      images.push_back(dir.Join("slot" + std::to_string(i) + ".img"));
      if (RunTool("truncate -s " + std::to_string(kCardBytes) + " " + Quote(images.back())) != 0 ||
          loops_.Add(images.back()).empty()) {
        return;
      }
    }
    fs::create_directories(sys_ + "/block");
    WriteFile(dir.Join("mountinfo"), "");
    ready_ = true;
  }
  ~Station() {
    if (thread_.joinable()) thread_.join();
  }
  bool ready() const { return ready_; }
  std::string Node(size_t i) const { return loops_.devices[i]->name(); }

  // A card in slot i, its reader's serial number `serial`.
  void Plug(size_t i, const std::string& serial) {
    const std::string name = fs::path(Node(i)).filename();
    const std::string usb = sys_ + "/devices/pci0000:00/usb1/1-" + std::to_string(i + 1);
    const std::string disk = usb + "/host0/block/" + name;
    fs::remove_all(usb);
    fs::create_directories(disk);
    WriteFile(usb + "/serial", serial + "\n");
    WriteFile(disk + "/dev", ReadFile("/sys/block/" + name + "/dev"));
    WriteFile(disk + "/removable", "1\n");
    WriteFile(disk + "/size", std::to_string(kExampleEndSector) + "\n");
    fs::create_directory_symlink(usb + "/host0", disk + "/device");
    fs::create_directory_symlink(disk, sys_ + "/block/" + name);
  }
  void Unplug(size_t i) { fs::remove(sys_ + "/block/" + fs::path(Node(i)).filename().string()); }

  void Start(const std::string& options, const std::string& firmware) {
    const std::string cli = Cli();
    thread_ = std::thread([=, this] {
      RunTool(cli + " station " + options + " --report " + Quote(Report()) + " --sysfs " +
              Quote(sys_) + " --mountinfo " + Quote(dir_.Join("mountinfo")) +
              " --swaps /nonexistent " + Quote(firmware) + " </dev/null >" + Quote(Out()) + " 2>" +
              Quote(Err()) + " & echo $! >" + Quote(dir_.Join("pid")) + "; wait $!; echo $? >" +
              Quote(dir_.Join("status")));
    });
  }
  // Waits (at most a minute) until `done` holds.
  template <typename Done>
  bool WaitFor(Done done) {
    for (int i = 0; i < 600 && !done(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
  }
  bool WaitForReport(size_t lines) {
    return WaitFor([&] { return SplitLines(ReadFile(Report())).size() >= lines; });
  }
  bool WaitForSaid(const std::string& text) {
    return WaitFor([&] { return Has(ReadFile(Err()), text); });
  }
  // The station's exit status once it has ended; -1 when it did not.
  int Stop(bool interrupt) {
    if (interrupt && WaitFor([&] { return !ReadFile(dir_.Join("pid")).empty(); })) {
      kill(std::stoi(ReadFile(dir_.Join("pid"))), SIGINT);
    }
    if (thread_.joinable()) thread_.join();
    const std::string status = ReadFile(dir_.Join("status"));
    return status.empty() ? -1 : std::stoi(status);
  }
  std::string Report() const { return dir_.Join("station.jsonl"); }
  std::string Out() const { return dir_.Join("out"); }
  std::string Err() const { return dir_.Join("err"); }
  std::vector<std::string> images;

 private:
  const TempDir& dir_;
  std::string sys_;
  Loops loops_;
  std::thread thread_;
  bool ready_ = false;
};

// One card present at the start (left alone), one that arrives, is written and goes, then a
// second; the report checked line by line.
TEST_F(CardSetTest, StationWritesCardsAsTheyComeAndGo) {
  if (!CanUseLoops()) GTEST_SKIP() << "needs root and loop devices";
  Station station(dir_, 3);
  if (!station.ready()) GTEST_SKIP() << "cannot attach loop devices";
  station.Plug(0, "PRESENT");
  station.Start("--count 2 --verify", Fixed());
  ASSERT_TRUE(station.WaitForSaid("waiting for cards")) << ReadFile(station.Err());
  station.Plug(1, "FIRST");
  const bool first = station.WaitForReport(1);
  station.Unplug(1);
  station.Plug(2, "SECOND");
  const bool second = first && station.WaitForReport(2);
  const int status = station.Stop(!second);
  ASSERT_TRUE(second) << ReadFile(station.Out()) << ReadFile(station.Err());

  EXPECT_EQ(status, 0) << ReadFile(station.Err());
  const std::vector<std::string> records = SplitLines(ReadFile(station.Report()));
  ASSERT_EQ(records.size(), 2u);
  const char* serials[] = {"FIRST", "SECOND"};
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(Has(records[i], "\"device\":\"" + station.Node(i + 1) + "\"")) << records[i];
    EXPECT_TRUE(Has(records[i], "\"serial\":\"" + std::string(serials[i]) + "\"")) << records[i];
    EXPECT_TRUE(Has(records[i], "\"size\":" + std::to_string(kCardBytes) + ",")) << records[i];
    EXPECT_TRUE(Has(records[i], "\"result\":\"succeeded\",")) << records[i];
    EXPECT_TRUE(Has(records[i], "\"verified\":true}")) << records[i];
    EXPECT_EQ(RunTool("cmp " + Quote(station.images[1]) + " " + Quote(station.images[i + 1])), 0);
  }
  const std::string said = ReadFile(station.Err());
  EXPECT_TRUE(Has(said, station.Node(0) + " was present at the start")) << said;
  EXPECT_TRUE(Has(said, station.Node(1) + " is done and may be removed (1 good so far)")) << said;
  // The card present at the start was never written.
  EXPECT_EQ(ToolOutput("cmp -n " + std::to_string(kCardBytes) + " " + Quote(station.images[0]) +
                       " /dev/zero 2>&1; echo $?"),
            "0\n");
}

// A card written before comes back (skipped without a terminal to ask on); a card pulled out
// during its job is never counted good; Ctrl-C ends the station.
TEST_F(CardSetTest, StationSkipsACardSeenBeforeAndFailsOneRemovedMidJob) {
  if (!CanUseLoops()) GTEST_SKIP() << "needs root and loop devices";
  Station station(dir_, 3);
  if (!station.ready()) GTEST_SKIP() << "cannot attach loop devices";
  station.Start("", Example());
  ASSERT_TRUE(station.WaitForSaid("waiting for cards")) << ReadFile(station.Err());
  station.Plug(0, "ONE");
  ASSERT_TRUE(station.WaitForReport(1)) << ReadFile(station.Err());
  // The same card again, in the next slot.
  station.Plug(1, "ONE");
  EXPECT_TRUE(station.WaitForSaid(station.Node(1) + " looks like a card already written"));
  station.Plug(2, "TWO");
  EXPECT_TRUE(station.WaitForSaid(station.Node(2) + ": job started"));
  station.Unplug(2);
  EXPECT_TRUE(station.WaitForReport(2));
  EXPECT_EQ(station.Stop(true), 1);

  const std::vector<std::string> records = SplitLines(ReadFile(station.Report()));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(Has(records[0], "\"result\":\"succeeded\"")) << records[0];
  EXPECT_TRUE(Has(records[1], "\"device\":\"" + station.Node(2) + "\"")) << records[1];
  EXPECT_TRUE(Has(records[1], "\"result\":\"failed\"")) << records[1];
  EXPECT_EQ(SplitLines(ReadFile(station.Out())).back(),
            "1 of 2 cards succeeded; failed: " + station.Node(2));
  EXPECT_EQ(ToolOutput("cmp -n " + std::to_string(kCardBytes) + " " + Quote(station.images[1]) +
                       " /dev/zero 2>&1; echo $?"),
            "0\n");
}

}  // namespace
