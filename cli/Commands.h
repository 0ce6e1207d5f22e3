// The subcommands of brindle-cli, one file each.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

int RunList(const std::vector<std::string>& args);
void ListHelp(std::ostream& out);
