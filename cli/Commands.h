// The subcommands of brindle-cli, one file each; CliTable.cpp lists them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct UsageProgram;

// brindle-cli's commands and options: its help, manual page and completion.
const UsageProgram& CliProgram();
// Prints the help of `command` on standard output; returns kExitOk.
int ShowCommandHelp(std::string_view command);

int RunList(const std::vector<std::string>& args);
int RunWrite(const std::vector<std::string>& args);
int RunUpdate(const std::vector<std::string>& args);
int RunRecover(const std::vector<std::string>& args);
int RunVerify(const std::vector<std::string>& args);
int RunCheck(const std::vector<std::string>& args);
int RunChecksum(const std::vector<std::string>& args);
int RunStation(const std::vector<std::string>& args);
