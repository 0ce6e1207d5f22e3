#include "CliTestSupport.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "LocalText.h"
#include "Platform.h"
#include "testsupport/TestSupport.h"

namespace cli_test {

using testsupport::Quote;
using testsupport::RunTool;

Outcome RunCli(const std::string& args, const std::string& input) {
  char errName[] = "/tmp/brindle-cli-err-XXXXXX";
  const int errFd = mkstemp(errName);
  EXPECT_GE(errFd, 0);
  if (errFd >= 0) close(errFd);
  const std::string command = Cli() + " " + args +
                              " <" + Quote(input) + " 2>" + Quote(errName);
  Outcome outcome;
  // The command sends its own error output to the file, so `out` holds standard output only.
  outcome.status = RunTool(command, &outcome.out);
  EXPECT_NE(outcome.status, -1) << "did not run or did not exit: " << command;
  outcome.err = testsupport::ReadFile(errName);
  unlink(errName);
  return outcome;
}

Outcome RunCliExpecting(int status, const std::string& args) {
  Outcome outcome = RunCli(args);
  EXPECT_EQ(outcome.status, status) << args << "\n" << outcome.out << outcome.err;
  return outcome;
}

std::string Cli() { return Quote(std::string(BRINDLE_BIN_DIR) + "/brindle-cli"); }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string KeyText(const char16_t* key) { return plat::ToUtf8(LocalText(key, 0)); }

std::vector<std::string> LogTexts(const std::string& out) {
  // The stamp's exact form is the reporter's unit test; here, that every line carries one.
  static const std::regex kLine("[0-9]{8}-[0-9]{2}:[0-9]{2}:[0-9]{2}   ([^\r]*)");
  std::vector<std::string> texts;
  std::smatch match;
  for (const std::string& line : SplitLines(out)) {
    EXPECT_TRUE(std::regex_match(line, match, kLine)) << "not a log line: '" << line << "'";
    texts.push_back(match.empty() ? "" : match[1].str());
  }
  return texts;
}

std::vector<std::string> KeyTexts(const std::vector<const char16_t*>& keys) {
  std::vector<std::string> texts;
  for (const char16_t* key : keys) texts.push_back(KeyText(key));
  return texts;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void ExpectVolume(const std::string& path, const std::string& fsType) {
  EXPECT_EQ(testsupport::ToolOutput("blkid -p -o value -s TYPE " + Quote(path)), fsType + "\n")
      << path;
  std::string check;
  EXPECT_EQ(RunTool((fsType == "ext4" ? "e2fsck -fn " : "fsck.fat -n ") + Quote(path), &check), 0)
      << path << ":\n" << check;
}

void ExpectFileAt(const std::string& image, uint64_t sector, const std::string& file) {
  const int64_t length = testsupport::FileSize(file);
  ASSERT_GT(length, 0) << file;
  std::string cmp;
  EXPECT_EQ(RunTool("cmp -i " + std::to_string(sector * 512) + ":0 -n " + std::to_string(length) +
                        " " + Quote(image) + " " + Quote(file),
                    &cmp),
            0)
      << file << ": " << cmp;
}

void ExampleTest::SetUpTestSuite() {
  for (const char* tool : {"mkfs.fat", "mcopy", "mke2fs", "truncate", "blkid", "fsck.fat",
                           "e2fsck", "cmp", "dd"}) {
    if (!testsupport::HaveTool(tool)) {
      missingTool_ = tool;
      return;
    }
  }
  example_ = std::make_unique<testsupport::TempDir>();
  std::string output;
  if (RunTool(Quote(std::string(BRINDLE_SOURCE_DIR) + "/examples/make-example") + " " +
                  Quote(Example()),
              &output) != 0) {
    missingTool_ = "a working examples/make-example: " + output;
  }
}

void ExampleTest::SetUp() {
  if (!missingTool_.empty()) GTEST_SKIP() << "needs " << missingTool_;
}

}  // namespace cli_test
