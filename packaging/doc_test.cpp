// The manual pages and the completion that install with the programs, against what the
// programs themselves say and accept: every text of each command is on the page (as man
// renders it), every option of the table is one the command takes, and bash offers the
// commands, options and files the table names.
#include "Commands.h"
#include "LocalText.h"
#include "Platform.h"
#include "Usage.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace {

using namespace testsupport;

const std::string kDoc = std::string(BRINDLE_BINARY_DIR) + "/doc";
const std::string kCli = std::string(BRINDLE_BIN_DIR) + "/brindle-cli";

// Words separated by single blanks: man fills lines its own way.
std::string Words(const std::string& text) {
  std::istringstream in(text);
  std::string word, out;
  while (in >> word) out += (out.empty() ? "" : " ") + word;
  return out;
}

std::string English(const char16_t* key) { return plat::ToUtf8(LocalText(key, 0)); }

std::string RenderedPage(const std::string& page) {
  // Wide lines, no hyphenation or adjustment, plain text: the words as written.
  return ToolOutput("MANWIDTH=2000 MAN_KEEP_FORMATTING= man --no-hyphenation --no-justification "
                    "-E UTF-8 -l " + Quote(page) + " 2>&1 | col -b");
}

// The program's own texts go through the same code as its commands'; the help's layout is the
// usage unit test's.
TEST(ManualPage, HoldsEveryTextOfEveryCommand) {
  if (!HaveTool("man") || !HaveTool("col")) GTEST_SKIP() << "no man or col";
  const std::string page = Words(RenderedPage(kDoc + "/brindle-cli.1"));
  for (const UsageCommand& command : CliProgram().commands) {
    EXPECT_NE(page.find(std::string(command.name) + " " + command.arguments), std::string::npos)
        << command.name;
    std::vector<const char16_t*> keys = {command.summaryKey};
    keys.insert(keys.end(), command.before.begin(), command.before.end());
    keys.insert(keys.end(), command.after.begin(), command.after.end());
    for (const UsageOption& option : command.options) {
      keys.push_back(option.helpKey);
      EXPECT_NE(page.find(option.longName), std::string::npos) << option.longName;
    }
    for (const char16_t* key : keys) {
      EXPECT_NE(page.find(Words(English(key))), std::string::npos) << Words(English(key));
    }
  }
}

TEST(CommandTable, EveryOptionIsOneTheCommandTakes) {
  const std::string unknown = English(u"CliUnknownOption");
  const std::string prefix = unknown.substr(0, unknown.find("{1}"));
  for (const UsageCommand& command : CliProgram().commands) {
    for (const UsageOption& option : command.options) {
      for (const char* name : {option.shortName, option.longName}) {
        if (name == nullptr) continue;
        std::string args = std::string(command.name) + " " + name;
        if (option.value != nullptr) args += " x";
        std::string output;
        RunTool(Quote(kCli) + " " + args + " </dev/null", &output);
        EXPECT_EQ(output.find(prefix + "'" + name + "'"), std::string::npos) << args << output;
      }
    }
  }
}

// What bash offers after `line` (the cursor at its end), one word a line, sorted.
std::string Offered(const std::string& line, const std::string& folder) {
  const std::string script =
      "source /usr/share/bash-completion/bash_completion; source " +
      Quote(kDoc + "/brindle-cli.bash-completion") + "; cd " + Quote(folder) +
      "; COMP_LINE=" + Quote(line) + "; COMP_POINT=${#COMP_LINE}; read -ra COMP_WORDS <<<\"$COMP_LINE\"; " +
      "[[ $COMP_LINE == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " +
      "_brindle_cli brindle-cli \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"; " +
      "printf '%s\\n' \"${COMPREPLY[@]}\" | sort";
  return ToolOutput("bash -c " + Quote(script));
}

TEST(Completion, OffersCommandsOptionsAndFilesFromTheTable) {
  if (!std::filesystem::exists("/usr/share/bash-completion/bash_completion")) {
    GTEST_SKIP() << "no bash-completion";
  }
  TempDir dir;
  std::filesystem::create_directory(dir.Join("fw"));
  WriteFile(dir.Join("card.img"), "");
  const std::string commands = "check\nchecksum\nhelp\nlist\nrecover\nstation\nupdate\nverify\nwrite\n";
  EXPECT_EQ(Offered("brindle-cli ", dir.path()), commands);
  EXPECT_EQ(Offered("brindle-cli write --s", dir.path()), "--size\n--swaps\n--sysfs\n");
  // The firmware folder takes folders only; --size takes no file; the target takes files.
  EXPECT_EQ(Offered("brindle-cli write --yes ", dir.path()), "fw\n");
  EXPECT_EQ(Offered("brindle-cli write --size ", dir.path()), "\n");
  EXPECT_NE(Offered("brindle-cli write fw c", dir.path()).find("card.img\n"), std::string::npos);
  // A help command's one argument is all it takes.
  EXPECT_EQ(Offered("brindle-cli help write ", dir.path()), "\n");
}

}  // namespace
