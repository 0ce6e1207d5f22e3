#include "GuiUsage.h"

#include <iostream>
#include <string_view>

#include "Usage.h"

const UsageProgram& GuiProgram() {
  static const UsageProgram program = [] {
    UsageProgram p;
    // The name people start it by: the launcher in bin/.
    p.name = "brindle";
    p.summaryKey = u"GuiSummary";
    p.arguments = "[OPTIONS]";
    p.before = {u"GuiAbout", u"GuiAccess", u"GuiSettings"};
    p.options = {{"-h", "--help", nullptr, u"UsageOptHelp"},
                 {nullptr, "--version", nullptr, u"UsageOptVersion"}};
    p.after = {u"GuiQtOptions"};
    p.seeAlso = {"brindle-cli(1)"};
    return p;
  }();
  return program;
}

int HandleGuiArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      PrintProgramHelp(std::cout, GuiProgram(), CatalogueLookup());
      return std::cout.flush() ? 0 : 1;
    }
    if (arg == "--version") {
      PrintVersion(std::cout, GuiProgram(), CatalogueLookup());
      return std::cout.flush() ? 0 : 1;
    }
  }
  return -1;
}
