// Broken and hostile firmware folders (engine/testdata/configs): each is read and judged, and
// must give exactly the report its expect.txt names while the target disk stays untouched.
// Folders with a "job" directive run the whole job export on a canary image instead: these
// are the folders that once wrote part of a card before a problem stopped them (or wrote a
// wrong card and called it a success).
//
// expect.txt, one directive a line ('#' starts a comment):
//   disk BYTES          the disk size handed to the job
//   mode 0|1            write or update job
//   make NAME BYTES     a sparse file made in the folder before the run (no repo space)
//   mkdir NAME / fifo NAME / link NAME TARGET
//   counts P B U UB     records read: partitions, bin files, update partitions, update bin files
//   result 0|1
//   report TEXT|none    {Key} is the catalogue text of Key, $DIR the folder, \n a line feed
//   job                 run MakeDisk (mode 0) or UpdateDisk (mode 1) on the canary image
//   target BYTES        the canary image's size (1 MiB unless given)
//   prepare SUBFOLDER   first write the image with the firmware in SUBFOLDER
//   lines KEY...        the job's output lines
#include "DiskLogicData.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "testing/TestDisk.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using testing_support::JobRecorder;
using testsupport::ReadFile;
using testsupport::TempDir;

const fs::path kCorpus = fs::path(BRINDLE_SOURCE_DIR) / "engine/testdata/configs";

struct Expectation {
  uint64_t disk = 0;
  int32_t mode = 0;
  std::vector<std::vector<std::string>> files;  // make, mkdir, fifo and link lines, as words
  bool hasCounts = false;
  size_t counts[4] = {};
  int32_t result = -1;
  std::string report;
  bool hasReport = false;
  bool job = false;
  uint64_t target = 1 << 20;
  std::string prepare;
  std::vector<std::string> lines;
};

Expectation ReadExpectation(const fs::path& file) {
  Expectation e;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string directive;
    words >> directive;
    if (directive == "disk") {
      words >> e.disk;
    } else if (directive == "mode") {
      words >> e.mode;
    } else if (directive == "make" || directive == "mkdir" || directive == "fifo" ||
               directive == "link") {
      e.files.emplace_back(1, directive);
      for (std::string word; words >> word;) e.files.back().push_back(word);
      words.clear();
    } else if (directive == "counts") {
      e.hasCounts = true;
      for (size_t& c : e.counts) words >> c;
    } else if (directive == "job") {
      e.job = true;
    } else if (directive == "target") {
      words >> e.target;
    } else if (directive == "prepare") {
      words >> e.prepare;
    } else if (directive == "lines") {
      for (std::string key; words >> key;) e.lines.push_back(key);
      words.clear();
    } else if (directive == "result") {
      words >> e.result;
    } else if (directive == "report") {
      e.report = line.substr(7);
      e.hasReport = e.report != "none";
    } else {
      ADD_FAILURE() << file << ": unknown directive " << directive;
    }
    if (words.fail()) ADD_FAILURE() << file << ": bad line: " << line;
  }
  return e;
}

// {Key} -> catalogue text, $DIR -> folder, \n -> line feed.
std::u16string Expand(const std::string& text, const std::string& dir) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{') {
      const size_t close = text.find('}', i);
      const std::u16string value = LocalText(plat::FromUtf8(text.substr(i + 1, close - i - 1)), 0);
      EXPECT_FALSE(value.empty()) << "no catalogue text for " << text.substr(i, close - i + 1);
      out += plat::ToUtf8(value);
      i = close;
    } else if (text.compare(i, 4, "$DIR") == 0) {
      out += dir;
      i += 3;
    } else if (text.compare(i, 2, "\\n") == 0) {
      out += '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return plat::FromUtf8(out);
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(kCorpus)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ConfigCorpus, HoldsEnoughCases) {
  EXPECT_GE(CaseNames().size(), 50u);
}

class ConfigCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(ConfigCorpus, GivesExactlyTheExpectedReportAndLeavesTheDiskAlone) {
  const fs::path source = kCorpus / GetParam();
  const Expectation e = ReadExpectation(source / "expect.txt");
  ASSERT_NE(e.result, -1) << "expect.txt names no result";

  TempDir temp;
  const std::string dir = temp.Join("firmware");
  fs::copy(source, dir, fs::copy_options::recursive);
  fs::remove(fs::path(dir) / "expect.txt");
  for (const std::vector<std::string>& f : e.files) {
    const std::string path = dir + "/" + f.at(1);
    if (f[0] == "make") testing_support::MakeImage(path, std::stoull(f.at(2)), false);
    if (f[0] == "mkdir") fs::create_directory(path);
    if (f[0] == "fifo") {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    }
    if (f[0] == "link") fs::create_symlink(f.at(2), path);
  }

  // The disk the job would write: nothing may reach it.
  const std::string target = temp.Join("target.img");
  testing_support::MakeImage(target, e.target, true);
  const uint64_t disk = e.disk != 0 ? e.disk : e.target;
  JobRecorder rec;
  if (!e.prepare.empty()) {
    MakeDisk(plat::FromUtf8(dir + "/" + e.prepare).c_str(), plat::FromUtf8(target).c_str(), disk);
    ASSERT_EQ(rec.lines.back(), LocalText(u"WriteSucess", 1));
    rec.Clear();
  }
  const std::string before = ReadFile(target);

  CPlinthApp job;
  job.outputFunc = DiskJob.outputFunc;
  job.showMsgFunc = DiskJob.showMsgFunc;
  job.diskSize = disk;
  if (e.job) {
    (e.mode == 0 ? MakeDisk : UpdateDisk)(plat::FromUtf8(dir).c_str(),
                                          plat::FromUtf8(target).c_str(), disk);
    std::vector<std::u16string> lines;
    for (const std::string& key : e.lines) lines.push_back(LocalText(plat::FromUtf8(key), 1));
    EXPECT_EQ(rec.lines, lines);
    EXPECT_EQ(DiskJob.disk, nullptr);
  } else {
    job.ParseConfig(plat::FromUtf8(dir + "/config.xml"));
    EXPECT_EQ(job.ValidateLayout(e.mode), e.result);
    EXPECT_TRUE(rec.lines.empty());  // no "OpenDisk": the disk was never opened
  }
  if (e.hasCounts) {
    const CPlinthApp& read = e.job ? DiskJob : job;
    EXPECT_EQ(read.partitions.size(), e.counts[0]);
    EXPECT_EQ(read.binFiles.size(), e.counts[1]);
    EXPECT_EQ(read.updatePartitions.size(), e.counts[2]);
    EXPECT_EQ(read.updateBinFiles.size(), e.counts[3]);
    EXPECT_EQ(read.partitionCount, static_cast<int32_t>(e.counts[0]));
  }
  if (e.hasReport) {
    ASSERT_EQ(rec.reports.size(), 1u);
    const std::u16string expected = Expand(e.report, dir);
    EXPECT_EQ(rec.reports[0], expected)
        << "got:\n" << plat::ToUtf8(rec.reports[0]) << "\nexpected:\n" << plat::ToUtf8(expected);
  } else {
    EXPECT_TRUE(rec.reports.empty());
  }
  EXPECT_TRUE(ReadFile(target) == before);
}

INSTANTIATE_TEST_SUITE_P(Configs, ConfigCorpus, ::testing::ValuesIn(CaseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
