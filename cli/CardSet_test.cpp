// brindle-cli on block devices and on several cards at once, run as the program: image files
// without root; with root the safety rule on a loop device described by a fixture sysfs, loop
// devices, and a fixture sysfs whose cards come and go.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
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
};

TEST_F(CardSetTest, ImageFilesAtOnceOneFailingSummaryAndReport) {
  // A card written alone from the image-only firmware, to compare the others with.
  const std::string alone = dir_.Join("alone.img");
  RunCliExpecting(0, "write " + Quote(Fixed()) + " " + Quote(alone));
  const std::string a = dir_.Join("a.img"), b = dir_.Join("b.img");
  const std::string bad = dir_.Join("missing/c.img");
  const std::string report = dir_.Join("report.jsonl");
  const Outcome run =
      RunCliExpecting(1, "write --verify --report " + Quote(report) + " " + Quote(Fixed()) + " " +
                             Quote(a) + " " + Quote(bad) + " " + Quote(b));
  EXPECT_EQ(RunTool("cmp " + Quote(alone) + " " + Quote(a)), 0);
  EXPECT_EQ(RunTool("cmp " + Quote(alone) + " " + Quote(b)), 0);
  // Without a terminal every line of a card starts with its target; the summary follows.
  const std::vector<std::string> lines = SplitLines(run.out);
  ASSERT_GE(lines.size(), 5u) << run.out;
  size_t prefixed = 0;
  for (const std::string& line : lines) prefixed += line.rfind(a + ": ", 0) == 0 ? 1 : 0;
  EXPECT_EQ(prefixed, 10u) << run.out;  // open, opened, partitions, bin files, success; verify
  EXPECT_EQ(lines.back(), "2 of 3 cards succeeded; failed: " + bad);
  EXPECT_TRUE(Has(run.err, bad + ": brindle-cli: cannot create the image file")) << run.err;

  const std::vector<std::string> records = SplitLines(ReadFile(report));
  EXPECT_EQ(records.size(), 3u);
  for (const std::string& record : records) {
    const bool good = !Has(record, "\"device\":\"" + bad + "\"");
    EXPECT_TRUE(Has(record, "\"firmware\":\"" + fs::canonical(Fixed()).string() +
                                "\",\"job\":\"write\",\"result\":\"" +
                                (good ? "succeeded" : "failed")))
        << record;
    EXPECT_TRUE(Has(record, good ? "\"verified\":true}" : "\"verified\":false}")) << record;
  }

  // Verified on a terminal: the two good cards hold the firmware; one line per card, redrawn
  // in place, then the summary.
  if (!HaveTool("script")) GTEST_SKIP() << "needs script (util-linux) for a terminal";
  const std::string cli = Cli() + " verify " + Quote(Fixed()) + " " + Quote(a) + " " + Quote(b);
  const std::string shown = ToolOutput("script -qec " + Quote(cli) + " /dev/null </dev/null");
  EXPECT_TRUE(Has(shown, "\x1b[2A")) << shown;  // back up over both card lines
  for (const std::string& card : {a, b}) {
    EXPECT_TRUE(Has(shown, "\r" + card.substr(0, 12) + " ")) << shown;
  }
  EXPECT_TRUE(Has(shown, "all 2 cards succeeded")) << shown;
}

bool CanUseLoops() {
  return geteuid() == 0 && fs::exists("/dev/loop-control") && HaveTool("losetup");
}

// A loop device that a fixture sysfs describes as the disk "sdx": the safety rule reads the
// fixture, the job writes the real device. Which disk is refused is the unit test's business;
// here, what a refusal does, and the confirmation a USB disk needs.
TEST(CliSafety, RefusedForcedAndConfirmed) {
  if (!CanUseLoops()) GTEST_SKIP() << "needs root and loop devices";
  TempDir dir;
  ASSERT_EQ(RunTool("truncate -s 4M " + Quote(dir.Join("card.img"))), 0);
  LoopDevice loop(dir.Join("card.img"));
  if (loop.name().empty()) GTEST_SKIP() << loop.error();
  struct stat st {};
  ASSERT_EQ(stat(loop.name().c_str(), &st), 0);
  const std::string majorNumber = std::to_string(major(st.st_rdev)) + ":";
  const unsigned minorNumber = minor(st.st_rdev);
  const std::string fw = dir.Join("fw");
  fs::create_directories(fw);
  WriteFile(fw + "/config.xml", R"(<diskMaker><partitions>
<partition name="a" capacity="1" offset="2048"/></partitions></diskMaker>)");
  WriteFile(dir.Join("mountinfo"), "");
  // The fixture's one disk "sdx" with the device number of our loop device: a removable disk
  // on USB, or a fixed one on SATA.
  const auto describe = [&](bool usb) {
    fs::remove_all(dir.Join("sys"));
    const std::string bus = usb ? "usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0"
                                : "ata1/host0/target0:0:0/0:0:0:0";
    const std::string disk = dir.Join("sys/devices/pci0000:00/0000:00:14.0/" + bus + "/block/sdx");
    fs::create_directories(disk + "/sdx1");
    WriteFile(disk + "/dev", majorNumber + std::to_string(minorNumber) + "\n");
    WriteFile(disk + "/removable", usb ? "1\n" : "0\n");
    WriteFile(disk + "/sdx1/dev", majorNumber + std::to_string(minorNumber + 1) + "\n");
    WriteFile(disk + "/sdx1/partition", "1\n");
    fs::create_directories(dir.Join("sys/block"));
    fs::create_directory_symlink(disk, dir.Join("sys/block/sdx"));
  };
  const auto args = [&](const std::string& options) {
    return "write " + options + " --sysfs " + Quote(dir.Join("sys")) + " --mountinfo " +
           Quote(dir.Join("mountinfo")) + " --swaps /nonexistent " + Quote(fw) + " " +
           Quote(loop.name());
  };
  // Refused before the engine runs: status 1, no log, `reason` in the error output, and the
  // card as it was.
  const auto expectRefused = [&](const Outcome& run, const std::string& reason) {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Has(run.err, reason)) << run.err;
    EXPECT_EQ(ReadBytes(loop.name(), 510, 2), std::vector<uint8_t>(2, 0)) << "written";
  };

  describe(false);
  expectRefused(RunCli(args("--yes")), "fixed disk");
  const Outcome forced = RunCli(args("--yes --force"));
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_TRUE(Has(forced.err, "warning")) << forced.err;
  EXPECT_EQ(ReadBytes(loop.name(), 510, 2), (std::vector<uint8_t>{0x55, 0xAA}));
  // Blank again for the refusals that follow.
  ASSERT_EQ(RunTool("dd if=/dev/zero of=" + Quote(loop.name()) + " bs=1M count=4 status=none"), 0);

  describe(true);
  expectRefused(RunCli(args("")), "--yes");  // no terminal to ask on
  WriteFile(dir.Join("mountinfo"), "26 1 " + majorNumber + std::to_string(minorNumber + 1) +
                                       " / /boot rw shared:1 - ext4 /dev/sdx1 rw\n");
  expectRefused(RunCli(args("--yes")), "/boot on /dev/sdx1");
  // Not even when forced: the engine would refuse it too.
  const Outcome forcedSystem = RunCli(args("--yes --force"));
  expectRefused(forcedSystem, "/boot on /dev/sdx1");
  EXPECT_FALSE(Has(forcedSystem.err, "--force")) << forcedSystem.err;

  if (!HaveTool("script")) GTEST_SKIP() << "needs script (util-linux) for a terminal";
  WriteFile(dir.Join("mountinfo"), "");
  const std::string cli = Cli() + " " + args("");
  for (const char* answer : {"no", "yes"}) {
    WriteFile(dir.Join("answer"), std::string(answer) + "\n");
    const std::string run =
        ToolOutput("script -qec " + Quote(cli) + " /dev/null <" + Quote(dir.Join("answer")));
    EXPECT_TRUE(Has(run, "Type yes to go on")) << run;
    EXPECT_EQ(Has(run, KeyText(u"WriteSucess")), std::string(answer) == "yes") << run;
    EXPECT_EQ(Has(run, "nothing was written"), std::string(answer) == "no") << run;
  }
}

// A loop device written, updated under a mounted partition and recovered. (Several cards at
// once are the image files' test: the set does not depend on the kind of target.)
TEST_F(CardSetTest, LoopDeviceWrittenUpdatedAndRecovered) {
  if (!CanUseLoops()) GTEST_SKIP() << "needs root and loop devices";
  const std::string image = dir_.Join("card.img"), other = dir_.Join("other.img");
  for (const std::string& path : {image, other}) {
    ASSERT_EQ(RunTool("truncate -s " + std::to_string(kCardBytes) + " " + Quote(path)), 0);
  }
  LoopDevice first(image), second(other);
  if (first.name().empty() || second.name().empty()) GTEST_SKIP() << first.error() << second.error();
  const std::string card = Quote(Example()) + " " + Quote(first.name());
  // Loop devices need no --force, but they do need the confirmation, asked once for a set.
  EXPECT_EQ(RunCli("write " + card).status, 1);
  EXPECT_EQ(RunCli("write " + card + " " + Quote(second.name())).status, 1);
  EXPECT_EQ(RunTool("cmp -n " + std::to_string(kCardBytes) + " " + Quote(image) + " /dev/zero"), 0);
  RunCliExpecting(0, "write --yes --verify " + card + " " + Quote(second.name()));
  RunCliExpecting(0, "verify " + card);  // only reads: no confirmation is asked for

  // A mounted partition of the card is taken away before the card is written again.
  const std::string point = dir_.Join("mnt");
  fs::create_directory(point);
  ASSERT_EQ(mount(first.Partition(8).c_str(), point.c_str(), "ext4", 0, nullptr), 0)
      << std::strerror(errno);
  first.Mounted(point);
  RunCliExpecting(0, "update --yes " + card);
  EXPECT_FALSE(Has(ReadFile("/proc/self/mountinfo"), " " + point + " "));
  // Every partition through the kernel's partition nodes: the table was read again.
  for (size_t i = 0; i < std::size(kExampleParts); ++i) {
    ExpectVolume(first.Partition(kExamplePartNumbers[i]), kExampleParts[i].fsType);
  }
  // What the loop device received is in the image file.
  ExpectFileAt(image, kExampleParts[0].start, Example() + "/boot-v2.img");

  RunCliExpecting(0, "recover --yes " + Quote(first.name()));
  ExpectVolume(first.name(), "vfat");
}

// Slots of a USB card reader in a fixture sysfs, each card a real loop device, and a station
// run in the background against it.
class Station {
 public:
  Station(const TempDir& dir, size_t slots) : dir_(dir), sys_(dir.Join("sys")) {
    fs::create_directories(sys_ + "/block");
    WriteFile(dir.Join("mountinfo"), "");
    for (size_t i = 0; i < slots; ++i) {
      images.push_back(dir.Join("slot" + std::to_string(i) + ".img"));
      RunTool("truncate -s " + std::to_string(kCardBytes) + " " + Quote(images.back()));
      loops_.push_back(std::make_unique<LoopDevice>(images.back()));  // none without its file
      ready_ = ready_ && !loops_.back()->name().empty();
    }
  }
  ~Station() {
    if (thread_.joinable()) thread_.join();
  }
  bool ready() const { return ready_; }
  std::string Node(size_t i) const { return loops_[i]->name(); }

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
  std::vector<std::unique_ptr<LoopDevice>> loops_;  // detached whatever happens
  std::thread thread_;
  bool ready_ = true;
};

// One card present at the start (left alone); one that arrives, is written and goes; the same
// card again in the next slot (skipped without a terminal to ask on); one pulled out during its
// job (never counted good); a last one that makes the count. The report checked line by line.
TEST_F(CardSetTest, StationWritesCardsAsTheyComeAndGo) {
  if (!CanUseLoops()) GTEST_SKIP() << "needs root and loop devices";
  Station station(dir_, 4);
  if (!station.ready()) GTEST_SKIP() << "cannot attach loop devices";
  station.Plug(0, "PRESENT");
  station.Start("--count 2 --verify", Fixed());
  ASSERT_TRUE(station.WaitForSaid("waiting for cards")) << ReadFile(station.Err());
  station.Plug(1, "FIRST");
  const bool first = station.WaitForReport(1);
  station.Unplug(1);
  station.Plug(2, "FIRST");
  EXPECT_TRUE(station.WaitForSaid(station.Node(2) + " looks like a card already written"));
  station.Plug(3, "PULLED");
  EXPECT_TRUE(station.WaitForSaid(station.Node(3) + ": job started"));
  station.Unplug(3);
  const bool pulled = first && station.WaitForReport(2);
  station.Plug(3, "LAST");
  const bool last = pulled && station.WaitForReport(3);
  const int status = station.Stop(!last);
  ASSERT_TRUE(last) << ReadFile(station.Out()) << ReadFile(station.Err());

  EXPECT_EQ(status, 1) << ReadFile(station.Err());  // one card failed
  const std::vector<std::string> records = SplitLines(ReadFile(station.Report()));
  ASSERT_EQ(records.size(), 3u);
  const std::pair<size_t, const char*> expected[] = {{1, "FIRST"}, {3, "PULLED"}, {3, "LAST"}};
  for (size_t i = 0; i < 3; ++i) {
    const auto& [slot, serial] = expected[i];
    EXPECT_TRUE(Has(records[i], "\"device\":\"" + station.Node(slot) + "\"")) << records[i];
    EXPECT_TRUE(Has(records[i], "\"serial\":\"" + std::string(serial) + "\",\"size\":" +
                                    std::to_string(kCardBytes) + ","))
        << records[i];
    EXPECT_TRUE(Has(records[i], i == 1 ? "\"result\":\"failed\"" : "\"result\":\"succeeded\""))
        << records[i];
  }
  EXPECT_EQ(RunTool("cmp " + Quote(station.images[1]) + " " + Quote(station.images[3])), 0);
  EXPECT_EQ(SplitLines(ReadFile(station.Out())).back(),
            "2 of 3 cards succeeded; failed: " + station.Node(3));
  const std::string said = ReadFile(station.Err());
  EXPECT_TRUE(Has(said, station.Node(1) + " is done and may be removed (1 good so far)")) << said;
  // The card present at the start and the one seen before were never written.
  for (size_t slot : {0, 2}) {
    EXPECT_EQ(RunTool("cmp -n " + std::to_string(kCardBytes) + " " + Quote(station.images[slot]) +
                      " /dev/zero"),
              0)
        << slot;
  }
}

}  // namespace
