// What the subcommands of brindle-cli share: exit codes, option reading, output helpers.
#pragma once

#include <initializer_list>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

inline constexpr const char* kProgramName = "brindle-cli";

// A catalogue text as UTF-8, its numbered places ("{1}") filled with `args`. Without the
// catalogue, the key followed by the values.
std::string Text(const char16_t* key, std::initializer_list<std::string_view> args = {});

// Reports a usage error on stderr with a pointer to the command's help; returns kExitUsage.
int UsageError(std::string_view command, std::string_view message);

// The arguments one at a time. Options are "--name", "--name VALUE" or "--name=VALUE".
class ArgReader {
 public:
  explicit ArgReader(const std::vector<std::string>& args) : args_(args) {}

  bool Done() const { return next_ >= args_.size(); }
  const std::string& Current() const { return args_[next_]; }
  // True when the current argument is the flag `name`; moves past it.
  bool Flag(std::string_view name);
  // True when the current argument is the option `name` (with its value here or next);
  // `missing` is set when the value is absent.
  bool Option(std::string_view name, std::string& value, bool& missing);
  // The name of the option the last successful Option() call matched.
  const std::string& LastOption() const { return last_; }

 private:
  const std::vector<std::string>& args_;
  size_t next_ = 0;
  std::string last_;
};

// Shows `prompt` on stderr and reads one line of standard input: true only for "yes", the
// English word in every language, as the prompts say.
bool AskYes(std::string_view prompt);

// The front end's message box: "Error: <text>" on stderr.
void ShowErrorText(const std::u16string& text);
// The same for a catalogue text and what follows it.
void ShowKeyError(const char16_t* key, const std::u16string& suffix = {});

// The window's checks on a firmware folder, with its texts: named, a folder, with config.xml.
bool CheckFirmwareFolder(const std::string& folder);

// UTF-16 to UTF-8; 8-bit text of unknown form to valid UTF-8 (bad bytes become U+FFFD).
std::string Utf8(const std::u16string& text);
std::string ValidUtf8(std::string_view bytes);

// A JSON string literal, quotes included.
std::string JsonString(std::string_view utf8);

// Rows of cells, the first row the heading, padded to columns two blanks apart.
void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows);
