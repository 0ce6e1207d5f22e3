// The subcommands of brindle-cli, one file each.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

int RunList(const std::vector<std::string>& args);
void ListHelp(std::ostream& out);

int RunWrite(const std::vector<std::string>& args);
void WriteHelp(std::ostream& out);
int RunUpdate(const std::vector<std::string>& args);
void UpdateHelp(std::ostream& out);
int RunRecover(const std::vector<std::string>& args);
void RecoverHelp(std::ostream& out);
