// brindle-cli with the example firmware's files compressed (gzip, xz, zstd) and with sha256
// checksums: every format writes the card the raw files write (cmp), damaged files never end
// in a success, and `checksum` writes its copy of config.xml leaving the rest of the text as
// it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CliTestSupport.h"
#include "testsupport/TestSupport.h"

using namespace cli_test;
using namespace testsupport;

namespace {

// The example's images; the empty partition gets no file system, so that nothing of the card
// depends on when it was written.
constexpr const char* kConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<diskMaker>
  <partitions>
    <partition name="boot" capacity="48" imagePath="boot.img@" active="true" offset="2048" type="fat32"/>
    <partition name="data" capacity="1" imagePath="" offset="0"/>
    <partition name="rootfs" capacity="56" imagePath="rootfs.img@" offset="0" type="ext4"/>
  </partitions>
  <binFiles>
    <file path="bin\loader.bin@" offset="64"/>
    <file path="bin/env.bin" offset="1984"/>
  </binFiles>
</diskMaker>
)";
constexpr const char* kCompressed[] = {"boot.img", "rootfs.img", "bin/loader.bin"};
constexpr const char* kCardSize = "112M";

struct Format {
  const char* tool;
  const char* command;  // compresses a file to standard output
  const char* suffix;
};
constexpr Format kFormats[] = {
    {"gzip", "gzip -c -n", ".gz"}, {"xz", "xz -c -T1 -1", ".xz"}, {"zstd", "zstd -q -c", ".zst"}};

std::string Config(const std::string& suffix) {
  std::string text = kConfig;
  for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, suffix);
  return text;
}

class CompressedCli : public ExampleTest {
 protected:
  // The raw folder and one per format, beside the example.
  static void SetUpTestSuite() {
    ExampleTest::SetUpTestSuite();
    for (const Format& f : kFormats) {
      if (missingTool_.empty() && !HaveTool(f.tool)) missingTool_ = f.tool;
    }
    if (!missingTool_.empty()) return;
    RunTool("cp -r " + Quote(Example()) + " " + Quote(Folder("raw")));
    WriteFile(Folder("raw/config.xml"), Config(""));
    for (const Format& f : kFormats) {
      RunTool("cp -r " + Quote(Folder("raw")) + " " + Quote(Folder(f.tool)));
      for (const char* file : kCompressed) {
        const std::string path = Folder(f.tool) + "/" + file;
        RunTool(std::string(f.command) + " " + Quote(path) + " > " + Quote(path + f.suffix));
      }
      WriteFile(Folder(f.tool) + "/config.xml", Config(f.suffix));
    }
  }
  static std::string Folder(const std::string& name) { return example_->Join(name); }

  // A card image filled with a pattern, so that any write to it shows.
  std::string Card(const std::string& name) const {
    const std::string card = dir_.Join(name);
    RunTool("head -c " + std::string(kCardSize) + " /dev/zero | tr '\\0' '\\245' > " + Quote(card));
    return card;
  }
  static Outcome Job(const std::string& job, const std::string& folder, const std::string& card) {
    return RunCli(job + " -y " + Quote(folder) + " " + Quote(card));
  }
};

TEST_F(CompressedCli, EachFormatWritesTheCardTheRawFilesWrite) {
  const std::string raw = Card("raw.img");
  ASSERT_EQ(Job("write", Folder("raw"), raw).status, 0);
  for (const Format& f : kFormats) {
    const std::string card = Card(std::string(f.tool) + ".img");
    const Outcome write = Job("write", Folder(f.tool), card);
    EXPECT_EQ(write.status, 0) << f.tool << write.err;
    EXPECT_EQ(RunTool("cmp " + Quote(raw) + " " + Quote(card)), 0) << f.tool;
    // The verify job compares the card with the decompressed bytes.
    EXPECT_EQ(RunCli("verify " + Quote(Folder(f.tool)) + " " + Quote(card)).status, 0);
  }
}

// A flipped bit: where the size comes from the stream's own index, only the decoding while
// writing finds it. (A checksum that refuses the file first is the engine's validation test.)
TEST_F(CompressedCli, DamagedFilesNeverEndInASuccess) {
  for (const Format& f : kFormats) {
    const std::string folder = dir_.Join(f.tool);
    RunTool("cp -r " + Quote(Folder(f.tool)) + " " + Quote(folder));
    const std::string image = folder + "/rootfs.img" + f.suffix;
    std::string damaged = ReadFile(image);
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x08);
    ASSERT_TRUE(WriteFile(image, damaged));
    const Outcome run = Job("write", folder, Card("written.img"));
    EXPECT_EQ(run.status, 1) << f.tool;
    EXPECT_TRUE(Has(run.err, KeyText(u"CompressedFileDamaged") + image) ||
                Has(run.err, KeyText(u"CompressedFileBad") + image))
        << f.tool << run.err;
  }
}

TEST_F(CompressedCli, ChecksumCopiesConfigKeepingItsText) {
  if (!HaveTool("iconv")) GTEST_SKIP() << "iconv missing";
  const std::string folder = dir_.Join("fw");
  RunTool("cp -r " + Quote(Folder("raw")) + " " + Quote(folder));
  // GBK, a comment that looks like a tag, attributes across lines, a stale checksum.
  const std::string utf8 =
      "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<!-- <partition name=\"x\"/> -->\r\n"
      "<diskMaker>\r\n <partitions>\r\n  <partition name=\"引导\" capacity=\"48\"\r\n"
      "    imagePath=\"boot.img\" offset=\"2048\" sha256=\"00\" ></partition>\r\n"
      "  <partition name='空' capacity='1'/>\r\n </partitions>\r\n"
      " <binFiles><file path='bin/env.bin' offset='64'/></binFiles>\r\n</diskMaker>\r\n";
  WriteFile(dir_.Join("utf8.xml"), utf8);
  ASSERT_EQ(RunTool("iconv -f UTF-8 -t GBK " + Quote(dir_.Join("utf8.xml")) + " > " +
                    Quote(folder + "/config.xml")), 0);
  const std::string original = ReadFile(folder + "/config.xml");
  auto digest = [&](const std::string& file) {
    return ToolOutput("sha256sum " + Quote(folder + "/" + file)).substr(0, 64);
  };

  const Outcome run = RunCli("checksum " + Quote(folder));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(folder + "/config.xml"), original);
  std::string expected = original;
  expected.replace(expected.find("sha256=\"00\""), 11, "sha256=\"" + digest("boot.img") + "\"");
  expected.insert(expected.find("offset='64'") + 11, " sha256=\"" + digest("bin/env.bin") + "\"");
  EXPECT_EQ(ReadFile(folder + "/config-sha256.xml"), expected);

  // config.xml itself is never the copy, under any name.
  RunTool("ln -s config.xml " + Quote(folder + "/link.xml"));
  for (const std::string& out : {folder + "/config.xml", folder + "/link.xml"}) {
    EXPECT_EQ(RunCli("checksum " + Quote(folder) + " " + Quote(out)).status, 1) << out;
    EXPECT_EQ(ReadFile(folder + "/config.xml"), original);
  }
}

}  // namespace
