#include "Usage.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

TEST(FillText, EnglishBreaksAtBlanksAndIndentsTheFollowingLines) {
  EXPECT_EQ(FillText("one two three four", 10, 2, 0), "one two\n  three\n  four\n");
  EXPECT_EQ(FillText("  spaced   out  ", 80, 0, 0), "spaced out\n");
  // A word longer than the line stands alone rather than being cut.
  EXPECT_EQ(FillText("a /very/long/path b", 8, 0, 0), "a\n/very/long/path\nb\n");
  // The first line starts where the caller's text ends.
  EXPECT_EQ(FillText("alpha beta", 12, 4, 6), "alpha\n    beta\n");
}

TEST(FillText, WideCharactersTakeTwoColumnsAndBreakAnywhere) {
  EXPECT_EQ(TextColumns("写入 SD"), 7u);
  // Six columns a line: three characters; the closing comma never starts a line.
  EXPECT_EQ(FillText("写入整张卡，然后", 6, 0, 0), "写入整\n张卡，\n然后\n");
  EXPECT_EQ(FillText("使用 --size 选项", 8, 0, 0), "使用\n--size\n选项\n");
}

// A small program whose texts are the keys themselves, to see the layout alone.
UsageProgram Sample() {
  UsageProgram p;
  p.name = "tool";
  p.summaryKey = u"Summary";
  p.arguments = "COMMAND [OPTIONS]";
  p.before = {u"About"};
  p.options = {{"-h", "--help", nullptr, u"Help"}};
  p.commands = {{"go", "[OPTIONS] FOLDER", {ValueKind::kFolder}, u"GoSummary", {u"GoAbout"},
                 {{nullptr, "--size", "SIZE", u"Size"}, {"-y", "--yes", nullptr, u"Yes"}},
                 {u"GoNote"}}};
  p.seeAlso = {"other(1)"};
  return p;
}

TextLookup Texts(std::map<std::u16string, std::u16string> texts) {
  return [texts](const char16_t* key) {
    const auto it = texts.find(key);
    return it != texts.end() ? it->second : std::u16string(key);
  };
}

TEST(Help, CommandHelpListsUsageParagraphsAndOptions) {
  const UsageProgram p = Sample();
  std::ostringstream out;
  PrintCommandHelp(out, p, p.commands[0], Texts({{u"UsageHeading", u"Usage: "}}));
  EXPECT_EQ(out.str(),
            "Usage: tool go [OPTIONS] FOLDER\n"
            "\nGoAbout\n"
            "\nUsageOptions\n"
            "  --size SIZE       Size\n"
            "  -y, --yes         Yes\n"
            "\nGoNote\n");
}

TEST(ManPage, TextIsEscapedForRoffAndOptionsUseMinusSigns) {
  const UsageProgram p = Sample();
  const std::string page = ManPage(p, Texts({{u"About", u".starts with a dot, C:\\path"},
                                             {u"Size", u"bytes; see --yes and -y"}}));
  EXPECT_NE(page.find("\n\\&.starts with a dot, C:\\epath\n"), std::string::npos) << page;
  EXPECT_NE(page.find("\\fB\\-\\-size\\fR \\fISIZE\\fR\nbytes; see \\-\\-yes and \\-y\n"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("\\fBtool\\fR \\fBgo\\fR [\\fIOPTIONS\\fR] \\fIFOLDER\\fR\n"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find(".SH \"SEE ALSO\"\n.BR other (1)\n"), std::string::npos) << page;
}

}  // namespace
