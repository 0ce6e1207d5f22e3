// Brindle's command line: its help, manual page and version, from the same kind of table as
// brindle-cli's. No Qt, so the documentation tool reads it too.
#pragma once

struct UsageProgram;

const UsageProgram& GuiProgram();

// Handles --help and --version before the window starts (no display needed for them).
// Returns the exit status when one of them was given, -1 to go on.
int HandleGuiArguments(int argc, char** argv);
