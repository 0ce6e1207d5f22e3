#include "Config.h"
#include "ConfigReview.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <limits>
#include <string>

namespace {

using testsupport::TempDir;

constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();

TEST(DecimalConversion, AcceptsWhiteSpaceAndOneSignAndStopsAtTheFirstNonDigit) {
  struct Case {
    const char16_t* text;
    int64_t value;
  } cases[] = {
      {u"256", 256},
      {u"\t\r\n-12x", -12},
      {u"+7", 7},
      {u"0x10", 0},
      {u"", 0},
      {u"--5", 0},
      {u"+-5", 0},
      {u"\u30005", 0},  // only ASCII white space is skipped
      {u"9223372036854775807", kMax64},
      {u"9223372036854775808", kMax64},
      {u"-9223372036854775808", kMin64},
      {u"-9223372036854775809", kMin64},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseDecimal(c.text), c.value) << plat::ToUtf8(c.text);
  }
}

TEST(DecimalConversion, CapacitiesAndSectorsNeverWrap) {
  EXPECT_EQ(CapacityBytesOf(u"256"), 268435456);
  EXPECT_EQ(CapacityBytesOf(u"MiB"), 0);
  EXPECT_EQ(CapacityBytesOf(u"-1"), -1048576);
  // The largest MiB count whose bytes fit in 64 bits, and the first that does not.
  EXPECT_EQ(CapacityBytesOf(u"8796093022207"), 8796093022207 * 1048576);
  EXPECT_EQ(CapacityBytesOf(u"8796093022208"), kCapacityTooBig);
  EXPECT_EQ(CapacityBytesOf(u"-8796093022209"), kCapacityTooBig);
  EXPECT_NE(kCapacityTooBig % 1048576, 0);  // no real capacity can look like the marker

  EXPECT_EQ(SectorOf(u"2048"), 2048);
  EXPECT_EQ(SectorOf(u"-5"), -5);
  EXPECT_EQ(SectorOf(u"2147483647"), 2147483647);
  EXPECT_EQ(SectorOf(u"2147483648"), kOffsetOutOfRange);
  EXPECT_EQ(SectorOf(u"4294967296"), kOffsetOutOfRange);  // would wrap to 0 in 32 bits
  EXPECT_EQ(SectorOf(u"-2147483649"), kOffsetOutOfRange);
}

class ParseTest : public ::testing::Test {
 protected:
  std::u16string Write(const std::string& xml) {
    EXPECT_TRUE(testsupport::WriteFile(dir_.Join("config.xml"), xml));
    return plat::FromUtf8(dir_.Join("config.xml"));
  }
  // Every record read, a line each: name, bytes, image, active, offset, type code.
  std::vector<std::string> Records() const {
    std::vector<std::string> out;
    auto u = [](const std::u16string& text) { return plat::ToUtf8(text); };
    for (const PartitionSpec& p : job_.partitions) {
      out.push_back(u(p.name) + " " + std::to_string(p.capacityBytes) + " " + u(p.imagePath) +
                    " " + std::to_string(p.active) + " " + std::to_string(p.offset) + " " +
                    std::to_string(p.type));
    }
    for (const BinFileSpec& b : job_.binFiles) {
      out.push_back("bin " + u(b.path) + " " + std::to_string(b.offset));
    }
    for (const auto& p : job_.updatePartitions) {
      out.push_back("update " + u(p.name) + " " + std::to_string(p.index) + " " +
                    u(p.imagePath) + " " + std::to_string(p.type));
    }
    for (const BinFileSpec& b : job_.updateBinFiles) {
      out.push_back("update bin " + u(b.path) + " " + std::to_string(b.offset));
    }
    return out;
  }
  TempDir dir_;
  CPlinthApp job_;
};

TEST_F(ParseTest, ReadsEveryRecordOfAFullConfiguration) {
  job_.ParseConfig(Write(R"(<?xml version="1.0" encoding="UTF-8"?>
<diskMaker>
  <partitions>
    <partition name=" boot " capacity="256" imagePath=" boot.img " active=" TRUE " offset=" 2048" type="FAT32"/>
    <partition name="rootfs" capacity=" 8" imagePath="" active="yes" offset="1" type=" ext4 "/>
    <partition name="data" capacity="lots" active="truex" type="ntfs"/>
    <partition name="e" active="1"/>
  </partitions>
  <binFiles>
    <file path=" u-boot.bin" offset="16"/>
    <file path="sub\spl.bin" offset="-3"/>
  </binFiles>
  <update>
    <partitions>
      <partition name=" rootfs" imagePath="root2.img " type="EXT3"/>
      <partition name="Boot" imagePath="" type="fat16"/>
    </partitions>
    <binFiles>
      <file path="env.bin" offset="1024"/>
    </binFiles>
  </update>
</diskMaker>
)"));
  // Absent attributes read as empty; active is "true" in any case only; bin paths are not
  // trimmed; "Boot" is not "boot".
  const std::string dir = dir_.path();
  EXPECT_EQ(Records(), (std::vector<std::string>{
                           "boot 268435456 " + dir + "/boot.img 1 2048 11",
                           "rootfs 8388608  0 1 133",
                           "data 0  0 0 0",
                           "e 0  0 0 0",
                           "bin " + dir + "/ u-boot.bin 16",
                           "bin " + dir + "/sub/spl.bin -3",
                           "update rootfs 1 " + dir + "/root2.img 132",
                           "update Boot -1  6",
                           "update bin " + dir + "/env.bin 1024",
                       }));
}

TEST_F(ParseTest, SectionsAreFoundOnlyInTheirOrder) {
  struct Case {
    const char* name;
    const char* body;
    size_t parts, bins, updates, updateBins;
  } cases[] = {
      {"update before binFiles", R"(<partitions><partition name="p"/></partitions>
        <update><binFiles><file path="u"/></binFiles></update>
        <binFiles><file path="a"/></binFiles>)", 1, 1, 0, 0},
      {"absent sections keep the place", R"(<update><partitions><partition name="p"/></partitions>
        <binFiles><file path="u"/></binFiles></update>)", 0, 0, 1, 1},
      {"update binFiles before update partitions", R"(<update><binFiles><file path="u"/></binFiles>
        <partitions><partition name="p"/></partitions></update>)", 0, 0, 1, 0},
      {"only the first of each section", R"(<partitions><partition name="a"/></partitions>
        <partitions><partition name="b"/><partition name="c"/></partitions>
        <binFiles><file/></binFiles><binFiles><file/><file/></binFiles>)", 1, 1, 0, 0},
      {"names match whole and exactly", R"(<Partitions><partition/></Partitions>
        <partitions><partitions/><Partition/><partition/></partitions>)", 1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CPlinthApp job;
    job.ParseConfig(Write(std::string("<diskMaker>") + c.body + "</diskMaker>"));
    EXPECT_EQ(job.partitions.size(), c.parts);
    EXPECT_EQ(job.binFiles.size(), c.bins);
    EXPECT_EQ(job.updatePartitions.size(), c.updates);
    EXPECT_EQ(job.updateBinFiles.size(), c.updateBins);
  }
}

std::vector<std::string> NoteTexts(const std::vector<ConfigNote>& notes) {
  std::vector<std::string> texts;
  for (const ConfigNote& n : notes) {
    std::string text = std::to_string(n.kind) + " " + std::to_string(n.line) + " " +
                       plat::ToUtf8(n.text);
    if (!n.element.empty()) text += " of " + plat::ToUtf8(n.element);
    texts.push_back(text);
  }
  return texts;
}

// What the reader passes over without a word, each with its line: unknown names, sections out
// of their order or repeated. (A clean configuration is the command-line check's test.)
TEST_F(ParseTest, ReviewNamesWhatTheReaderPassesOver) {
  const std::u16string path = Write(R"(<?xml version="1.0"?>
<diskMaker version="2">
  <binFiles><file path="early.bin" offset="8"/></binFiles>
  <partitions>
    <partition name="a" capcity="16" offset="2048"/>
    <partiton name="b" capacity="16"/>
    <partition name="c" capacity="1"><note/></partition>
  </partitions>
  <binfiles/>
  <partitions/>
  <update>
    <binFiles/>
    <partitions><partition name="a" capacity="2"/></partitions>
    <binFiles><file path="u.bin" offset="9" size="1"/></binFiles>
  </update>
</diskMaker>)");
  EXPECT_EQ(NoteTexts(ReviewConfig(path)),
            (std::vector<std::string>{
                "3 2 version of diskMaker",
                "4 3 binFiles",
                "3 5 capcity of partition",
                "2 6 partiton",
                "2 7 note",
                "2 9 binfiles",
                "4 10 partitions",
                "4 12 binFiles",
                "3 13 capacity of partition",
                "3 14 size of file",
            }));
}

TEST_F(ParseTest, ReviewOfAConfigurationTheReaderReadsNothingOf) {
  EXPECT_EQ(NoteTexts(ReviewConfig(Write("<diskmaker><partitions/></diskmaker>"))),
            std::vector<std::string>{"2 1 diskmaker"});
  const std::vector<ConfigNote> broken = ReviewConfig(Write("<diskMaker><a></diskMaker>"));
  ASSERT_EQ(broken.size(), 1u);
  EXPECT_EQ(broken[0].kind, ConfigNote::kNotWellFormed);
  EXPECT_NE(broken[0].text.find(u"unended_start_tag"), std::u16string::npos);
  ASSERT_EQ(mkfifo(dir_.Join("fifo.xml").c_str(), 0600), 0);
  // Never waited on.
  const std::vector<ConfigNote> fifo = ReviewConfig(plat::FromUtf8(dir_.Join("fifo.xml")));
  ASSERT_EQ(fifo.size(), 1u);
  EXPECT_EQ(fifo[0].kind, ConfigNote::kUnreadable);
  EXPECT_EQ(fifo[0].error, EINVAL);
}

}  // namespace
