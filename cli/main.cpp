// brindle-cli: the command-line front end. Dispatches to the commands of its table.
#include <iostream>
#include <string>
#include <vector>

#include "CliCommon.h"
#include "Commands.h"
#include "Usage.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const UsageProgram& program = CliProgram();
  if (args.empty()) {
    PrintProgramHelp(std::cerr, program, CatalogueLookup());
    return kExitUsage;
  }
  const std::string& first = args[0];
  int status = kExitOk;
  if (first == "-h" || first == "--help") {
    PrintProgramHelp(std::cout, program, CatalogueLookup());
  } else if (first == "--version") {
    PrintVersion(std::cout, program, CatalogueLookup());
  } else if (const UsageCommand* command = FindCommand(program, first)) {
    status = command->run(std::vector<std::string>(args.begin() + 1, args.end()));
  } else {
    return UsageError("", Text(u"CliUnknownCommand", {first}));
  }
  // Output a script never received is no success (a full disk, a closed pipe).
  if (!std::cout.flush()) {
    std::cerr << kProgramName << ": " << Text(u"CliCannotWriteOutput") << "\n";
    return kExitFailure;
  }
  return status;
}
