// brindle-cli: the command-line front end. Dispatches to one subcommand per file.
#include <iostream>
#include <string>
#include <vector>

#include "CliCommon.h"
#include "Commands.h"

namespace {

const CliCommand kCommands[] = {
    {"list", "list the disks that can be written", RunList, ListHelp},
    {"write", "write a whole card or image from a firmware folder", RunWrite, WriteHelp},
    {"update", "update the partitions a firmware folder's update section names", RunUpdate,
     UpdateHelp},
    {"recover", "make a card one empty FAT32 file system again", RunRecover, RecoverHelp},
};

const CliCommand* FindCommand(std::string_view name) {
  for (const CliCommand& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

void MainHelp(std::ostream& out) {
  out << "Usage: " << kProgramName << " COMMAND [OPTIONS]\n"
         "\n"
         "Writes firmware sets onto SD cards and disk images.\n"
         "\n"
         "Commands:\n";
  for (const CliCommand& command : kCommands) {
    out << "  " << command.name << std::string(10 - std::string_view(command.name).size(), ' ')
        << command.summary << "\n";
  }
  out << "\n"
         "'" << kProgramName << " COMMAND --help' describes a command.\n"
         "Exit status: 0 on success, 1 when the work failed, 2 for a usage error.\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    MainHelp(std::cerr);
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (first == "-h" || first == "--help") {
    MainHelp(std::cout);
    return kExitOk;
  }
  if (first == "help") {
    if (args.size() == 1) {
      MainHelp(std::cout);
      return kExitOk;
    }
    const CliCommand* command = FindCommand(args[1]);
    if (command == nullptr) return UsageError("", "unknown command '" + args[1] + "'");
    command->help(std::cout);
    return kExitOk;
  }
  const CliCommand* command = FindCommand(first);
  if (command == nullptr) return UsageError("", "unknown command '" + first + "'");
  const int status = command->run(std::vector<std::string>(args.begin() + 1, args.end()));
  // Output a script never received is no success (a full disk, a closed pipe).
  if (!std::cout.flush()) {
    std::cerr << kProgramName << ": cannot write the output\n";
    return kExitFailure;
  }
  return status;
}
