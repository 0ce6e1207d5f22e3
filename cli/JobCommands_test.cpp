// brindle-cli write, update and recover run as a program on image files, the results checked
// with sfdisk, fsck.fat, e2fsck, blkid and cmp.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "CliCommon.h"
#include "CliTestSupport.h"
#include "testsupport/TestSupport.h"

using namespace cli_test;
using namespace testsupport;

namespace {

constexpr uint64_t kMiB = 1 << 20;

class CliJob : public ExampleTest {
 protected:
  std::string Card() const { return dir_.Join("card.img"); }
  std::string FwArgs(const std::string& command) const {
    return command + " " + Quote(Example()) + " " + Quote(Card());
  }
};

// The main job end to end: a new image at the layout's size, written and read back, updated,
// checked on its own (nothing it finds is ever written), recovered.
TEST_F(CliJob, WriteVerifyUpdateRecoverAnImageFile) {
  if (!HaveTool("sfdisk")) GTEST_SKIP() << "needs sfdisk";
  const Outcome write = RunCli(FwArgs("write --verify"));
  ASSERT_EQ(write.status, 0) << write.out << write.err;
  EXPECT_EQ(LogTexts(write.out),
            KeyTexts({u"OpenDisk", u"OpenDiskSuccess", u"WrtieParToPhy", u"WriteBinFileToPhy",
                      u"WriteSucess", u"OpenDisk", u"OpenDiskSuccess", u"VerifyParToPhy",
                      u"VerifyBinFileToPhy", u"VerifySucess"}));
  EXPECT_TRUE(Has(write.err, "created the image file")) << write.err;
  // The new image ends exactly where the last logical partition ends.
  EXPECT_EQ(FileSize(Card()), static_cast<int64_t>(kExampleEndSector * 512));

  std::string table;
  ASSERT_EQ(RunTool("sfdisk -d " + Quote(Card()), &table), 0) << table;
  EXPECT_TRUE(Has(table, Card() + "2 : start=      133121, size=      540924, type=f")) << table;
  const char* types[] = {"b, bootable", "b", "6", "83", "83"};
  const std::string scratch = dir_.Join("part.img");
  for (size_t i = 0; i < std::size(kExampleParts); ++i) {
    const ExamplePart& part = kExampleParts[i];
    char line[160];
    std::snprintf(line, sizeof line, "%d : start=%12llu, size=%12llu, type=%s\n",
                  kExamplePartNumbers[i],
                  static_cast<unsigned long long>(part.start),
                  static_cast<unsigned long long>(part.count), types[i]);
    EXPECT_TRUE(Has(table, Card() + line)) << line << table;
    ASSERT_EQ(RunTool("dd if=" + Quote(Card()) + " of=" + Quote(scratch) + " bs=512 skip=" +
                      std::to_string(part.start) + " count=" + std::to_string(part.count) +
                      " status=none"),
              0);
    ExpectVolume(scratch, part.fsType);
  }
  ExpectFileAt(Card(), kExampleParts[0].start, Example() + "/boot.img");
  ExpectFileAt(Card(), kExampleParts[4].start, Example() + "/rootfs.img");
  ExpectFileAt(Card(), 1984, Example() + "/bin/env.bin");

  const Outcome update = RunCli(FwArgs("update --verify"));
  ASSERT_EQ(update.status, 0) << update.out << update.err;
  EXPECT_EQ(LogTexts(update.out),
            KeyTexts({u"OpenDisk", u"OpenDiskSuccess", u"UpdateParToPhy", u"UpdateBinToPhy",
                      u"UpdateSucess", u"OpenDisk", u"OpenDiskSuccess", u"VerifyParToPhy",
                      u"VerifyBinFileToPhy", u"VerifySucess"}));
  EXPECT_EQ(update.err, "");
  ExpectFileAt(Card(), kExampleParts[0].start, Example() + "/boot-v2.img");

  // One byte of the new boot partition changed: exit status 1, and the check writes nothing.
  const uint64_t bad = kExampleParts[0].start + 10;
  const std::vector<uint8_t> byte = ReadBytes(Card(), bad * 512 + 7, 1);
  ASSERT_TRUE(WriteBytesAt(Card(), bad * 512 + 7, {static_cast<uint8_t>(byte.at(0) ^ 0xFF)}));
  const uint64_t before = std::filesystem::last_write_time(Card()).time_since_epoch().count();
  const Outcome check = RunCliExpecting(1, FwArgs("verify --update"));
  ASSERT_FALSE(LogTexts(check.out).empty());
  EXPECT_EQ(LogTexts(check.out).back(), KeyText(u"VerifyFailed"));
  EXPECT_EQ(std::filesystem::last_write_time(Card()).time_since_epoch().count(), before);

  // One FAT32 volume over the whole disk, made over the old file systems. Free space keeps
  // the old root file system's bytes until --wipe clears them (all but its last MiB, which
  // the new volume's signature area clears either way).
  const ExamplePart& rootfs = kExampleParts[4];
  const std::string rootfsZero = "cmp -s -i " + std::to_string(rootfs.start * 512) + ":0 -n " +
                                 std::to_string(rootfs.count * 512 - kMiB) + " " + Quote(Card()) +
                                 " /dev/zero";
  for (const std::string options : {"", "--wipe "}) {
    const Outcome recover = RunCli("recover " + options + Quote(Card()));
    ASSERT_EQ(recover.status, 0) << recover.out << recover.err;
    EXPECT_EQ(LogTexts(recover.out),
              KeyTexts({u"OpenDisk", u"OpenDiskSuccess", u"RecoverTip", u"RecoverSucess"}));
    ExpectVolume(Card(), "vfat");
    EXPECT_EQ(ToolOutput("blkid -p -o value -s VERSION " + Quote(Card())), "FAT32\n");
    EXPECT_EQ(FileSize(Card()), static_cast<int64_t>(kExampleEndSector * 512));
    EXPECT_EQ(RunTool(rootfsZero) == 0, !options.empty()) << options;
  }
  EXPECT_EQ(RunCli(FwArgs("write --wipe")).status, 2);
}

// --size makes a new image, sparse. (An empty image is sized the same way: the refusals' test.)
TEST_F(CliJob, SizeOption) {
  const std::string card = dir_.Join("sized.img");
  RunCliExpecting(0, "write --size 512M " + Quote(Example()) + " " + Quote(card));
  EXPECT_EQ(FileSize(card), 512 * static_cast<int64_t>(kMiB));
  struct stat st {};
  ASSERT_EQ(stat(card.c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 512 * static_cast<int64_t>(kMiB));  // far fewer blocks than bytes
}

// Jobs that fail or are refused: the exit status, the log (none when refused before the engine
// runs), the reason, and the target as it was: never made when it was not there.
TEST_F(CliJob, FailedAndRefusedJobsChangeNothing) {
  const std::string fw = Quote(Example());
  std::filesystem::create_directories(dir_.Join("folder"));
  std::filesystem::create_directories(dir_.Join("plans-nothing"));
  WriteFile(dir_.Join("plans-nothing/config.xml"), "<?xml version=\"1.0\"?><diskMaker/>");
  WriteFile(dir_.Join("small.img"), std::vector<uint8_t>(8 * kMiB, 0xEE));
  const std::vector<const char16_t*> openFailed = {u"OpenDisk", u"OpenDiskFailed"};
  const struct {
    std::string command;
    std::string target;  // in the test's folder, or absolute
    int status;
    std::vector<const char16_t*> log;
    std::string err;
  } cases[] = {
      {"write " + fw, "/dev/brindle-no-such-disk", 1, {}, "no such device"},
      {"write " + fw, "folder", 1, openFailed, ""},  // a folder is no disk
      // The window's checks on the firmware folder, before any image is made.
      {"write " + Quote(dir_.Join("nothing")), "x.img", 1, {},
       "Error: " + KeyText(u"DecNotFound") + dir_.Join("nothing") + "\n"},
      {"update " + Quote(dir_.Join("folder")), "x.img", 1, {},
       "Error: " + KeyText(u"ConfigNotFound") + "\n"},
      // No size to be had: the engine's validation says why.
      {"write " + Quote(dir_.Join("plans-nothing")), "x.img", 1, {}, KeyText(u"NoWriteInfoFound")},
      {"verify " + fw, "x.img", 1, openFailed, ""},
      // A card too small for the layout: validation's report, no line.
      {"write " + fw, "small.img", 1, {}, "Error: "},
      {"recover", "x.img", 2, {}, "does not exist: --size"},
      // An existing image keeps its size; every form ParseSize refuses is its unit test's.
      {"write --size=1G " + fw, "small.img", 2, {}, "--size is for a new image"},
      {"write --size 12Q " + fw, "x.img", 2, {}, "is no size"},
  };
  for (const auto& c : cases) {
    const std::string target = c.target[0] == '/' ? c.target : dir_.Join(c.target);
    SCOPED_TRACE(c.command + " " + target);
    const bool existed = std::filesystem::exists(target);
    const bool file = std::filesystem::is_regular_file(target);
    const std::string before = file ? ReadFile(target) : "";
    const Outcome run = RunCli(c.command + " " + Quote(target));
    EXPECT_EQ(run.status, c.status);
    if (c.log.empty()) {
      EXPECT_EQ(run.out, "");
    } else {
      EXPECT_EQ(LogTexts(run.out), KeyTexts(c.log));
    }
    EXPECT_TRUE(Has(run.err, c.err)) << run.err;
    EXPECT_EQ(std::filesystem::exists(target), existed);
    EXPECT_TRUE(!file || ReadFile(target) == before) << "changed";
  }
}

TEST_F(CliJob, UsageErrorsAndHelp) {
  const std::string fw = Quote(Example());
  const std::vector<std::string> usages = {
      "", "frobnicate", "help nothing", "list --bogus", "list --sysfs", "list --mountinfo",
      "list extra", "write", "write " + fw, "write " + fw + " a.img ./a.img", "write --size",
      "write --bogus " + fw + " x.img",
      "update", "update " + fw, "recover", "recover a.img a.img", "recover --sysfs",
      "write --yes=1 " + fw + " x.img", "recover --verify x.img", "verify " + fw,
      "verify --yes " + fw + " x.img", "verify --size 1M " + fw + " x.img", "write --report " + fw,
      "station", "station " + fw + " x", "station --count 0 " + fw, "station --yes " + fw};
  for (const std::string& args : usages) {
    const Outcome run = RunCliExpecting(2, args);
    EXPECT_EQ(run.out, "") << args;
    EXPECT_TRUE(Has(run.err, args.empty() ? "Usage: brindle-cli" : "Try 'brindle-cli")) << args;
  }
  for (const std::string command : {"list", "write", "update", "recover", "verify"}) {
    for (const std::string& form : {command + " --help", command + " -h", "help " + command}) {
      const Outcome run = RunCliExpecting(0, form);
      EXPECT_EQ(run.out.rfind("Usage: brindle-cli " + command, 0), 0u) << run.out;
      EXPECT_EQ(run.err, "") << form;
    }
  }
  for (const char* form : {"--help", "-h", "help"}) {
    EXPECT_TRUE(Has(RunCliExpecting(0, form).out, "  write ")) << form;
  }
}

// On a terminal one progress line is rewritten in place; the log lines stay whole.
TEST_F(CliJob, ProgressLineOnATerminal) {
  if (!HaveTool("script")) GTEST_SKIP() << "needs script (util-linux) for a terminal";
  const std::string command = Cli() + " " + FwArgs("write");
  std::string run;
  EXPECT_EQ(RunTool("script -qec " + Quote(command) + " /dev/null </dev/null", &run), 0) << run;
  const std::string format = KeyText(u"WriteParTip");  // "... %d"
  const std::string first = "\r" + format.substr(0, format.find("%d")) + "1  ";
  EXPECT_TRUE(Has(run, first)) << run;
  EXPECT_TRUE(Has(run, "100%  00:00:")) << run;
  // The success line arrives on a line of its own, the progress line erased before it.
  EXPECT_TRUE(Has(run, "\r\x1b[K20"));
  EXPECT_TRUE(Has(run, "   " + KeyText(u"WriteSucess") + "\r\n"));
}

// The log's reader going away does not stop the job halfway through the disk.
TEST_F(CliJob, ALogReaderThatLeavesDoesNotStopTheJob) {
  const std::string command = Cli() + " " + FwArgs("write") +
                              " 2>/dev/null | head -c 1 >/dev/null; echo ${PIPESTATUS[0]}";
  // Written completely, but the log was lost: no success for the caller.
  EXPECT_EQ(ToolOutput("bash -c " + Quote(command)), "1\n");
  ExpectFileAt(Card(), kExampleParts[4].start, Example() + "/rootfs.img");
}

// The new reports of brindle-cli: `check` with its warnings and problems, files outside the
// firmware folder, a --size too small for the layout. None of them writes anything. (Other
// languages are the same code with another catalogue section; an image another job holds is
// the engine's disk test.)
TEST(CliRefusals, EveryReport) {
  TempDir dir;
  const std::string fw = dir.Join("fw");
  std::filesystem::create_directories(fw);
  WriteFile(dir.Join("secret.img"), std::string(4096, 's'));
  WriteFile(fw + "/config.xml", R"(<?xml version="1.0"?>
<diskMaker>
<partitions>
<partition name="boot" capcity="16" offset="2048"/>
<partiton name="x"/>
<partition name="root" capacity="4" imagePath="../secret.img"/>
</partitions>
</diskMaker>
)");
  const std::string clean = dir.Join("clean");
  std::filesystem::create_directories(clean);
  WriteFile(clean + "/config.xml", R"(<diskMaker><partitions><partition name="boot"
    capacity="4" offset="2048" imagePath="../secret.img"/></partitions></diskMaker>)");

  const Outcome check = RunCliExpecting(1, "check " + Quote(fw));
  const std::string attribute = Text(u"CliConfigUnknownAttribute", {"capcity", "partition"});
  EXPECT_EQ(check.out,
            Text(u"CliCheckWarning", {"4", attribute}) + "\n" +
                Text(u"CliCheckWarning", {"5", Text(u"CliConfigUnknownElement", {"partiton"})}) +
                "\n" + Text(u"WrittenInfoErr") + "\n" + Text(u"Par") + " boot:" +
                Text(u"CapacityErr") + "\n" + Text(u"Par") + " root:" + Text(u"FileOutsideFolder") +
                fw + "/../secret.img\n" + Text(u"CliCheckProblems") + "\n");
  const Outcome allowed = RunCliExpecting(0, "check --allow-outside " + Quote(clean));
  EXPECT_EQ(allowed.out, Text(u"CliCheckClean") + "\n");

  // Refused before the image is made; the image made for the job is gone again.
  const std::string card = dir.Join("card.img");
  const Outcome small = RunCliExpecting(1, "write --size 2M " + Quote(clean) + " " + Quote(card));
  EXPECT_EQ(small.err, "brindle-cli: " +
                           Text(u"CliSizeTooSmall", {"2.00M (2097152B)", "5.00M (5242880B)"}) +
                           "\n");
  const Outcome outside = RunCliExpecting(1, "write " + Quote(clean) + " " + Quote(card));
  EXPECT_EQ(outside.out, "");
  for (const std::string& part : {Text(u"FileOutsideFolder") + clean + "/../secret.img",
                                  Text(u"CliImageRemoved", {card}), Text(u"CliAllowOutsideHint")}) {
    EXPECT_TRUE(Has(outside.err, part)) << part << "\n" << outside.err;
  }
  EXPECT_EQ(FileSize(card), -1);
  // An empty image file given its size for a job that failed is empty again.
  const std::string empty = dir.Join("empty.img");
  WriteFile(empty, "");
  EXPECT_EQ(RunCli("write " + Quote(clean) + " " + Quote(empty)).status, 1);
  EXPECT_EQ(FileSize(empty), 0);
}

}  // namespace
