// A program's command line, described once: the help it prints, its manual page and its bash
// completion are all made from this description. Texts are message keys, so the help follows
// the catalogue's language; the names of commands, options and values stay as typed.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

// What an argument or an option's value is, so the completion can offer the right things.
enum class ValueKind {
  kText,     // anything the user types: nothing to offer
  kFile,     // an existing file
  kFolder,   // an existing folder
  kTarget,   // a disk: a block device or an image file
  kCommand,  // one of the program's commands
};

struct UsageOption {
  const char* shortName;  // "-y", or nullptr
  const char* longName;   // "--yes"
  const char* value;      // "SIZE", or nullptr for a flag
  const char16_t* helpKey;
  ValueKind kind = ValueKind::kText;
};

struct UsageCommand {
  const char* name;                  // "write"
  const char* arguments;             // "[OPTIONS] FIRMWARE_DIR TARGET"
  std::vector<ValueKind> positional;  // what each argument after the options is
  const char16_t* summaryKey;        // one line, in the program's list of commands
  std::vector<const char16_t*> before;  // paragraphs above the options
  std::vector<UsageOption> options;
  std::vector<const char16_t*> after;   // paragraphs below the options
  // The command's entry point: the arguments after its name; the exit status.
  int (*run)(const std::vector<std::string>& args) = nullptr;
};

struct UsageProgram {
  const char* name;                     // "brindle-cli"
  const char16_t* summaryKey;           // what the program is, in one line
  const char* arguments;                // "COMMAND [OPTIONS]"
  std::vector<const char16_t*> before;  // paragraphs above the commands and options
  std::vector<UsageOption> options;     // the program's own options (--help, --version)
  std::vector<UsageCommand> commands;
  std::vector<const char16_t*> after;   // paragraphs at the end (exit status, files)
  std::vector<const char*> seeAlso;     // "brindle(1)"
};

// Looks a message key up: LocalText for the running program, a given catalogue for tools.
using TextLookup = std::function<std::u16string(const char16_t* key)>;
TextLookup CatalogueLookup();

const UsageCommand* FindCommand(const UsageProgram& program, std::string_view name);

// The program's help: usage line, paragraphs, commands with their summaries, options.
void PrintProgramHelp(std::ostream& out, const UsageProgram& program, const TextLookup& text);
void PrintCommandHelp(std::ostream& out, const UsageProgram& program, const UsageCommand& command,
                      const TextLookup& text);
// "NAME VERSION" and the licence line.
void PrintVersion(std::ostream& out, const UsageProgram& program, const TextLookup& text);

// The manual page (section 1, roff with the man macros) from the same texts the help prints.
std::string ManPage(const UsageProgram& program, const TextLookup& text);
// A bash completion script for the program's commands, options and arguments.
std::string BashCompletion(const UsageProgram& program);

// UTF-8 text filled into lines of at most `width` columns after `indent` blanks, the first
// line after `firstIndent` (which may already hold text). Wide (CJK) characters take two
// columns and may break anywhere; other text breaks at blanks. Each line ends in "\n".
std::string FillText(std::string_view text, size_t width, size_t indent, size_t firstIndent);
// Terminal columns of UTF-8 text.
size_t TextColumns(std::string_view text);
