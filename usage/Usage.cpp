#include "Usage.h"

#include <ostream>
#include <sstream>

#include "BrindleVersion.h"
#include "LocalText.h"
#include "Platform.h"

namespace {

// Help lines stay inside a classic terminal.
constexpr size_t kHelpWidth = 79;
// Where option and command descriptions start in the help.
constexpr size_t kColumn = 20;

std::string Utf8(const std::u16string& text) { return plat::ToUtf8(text); }

// One code point of UTF-8 at `i`, moving `i` past it; malformed bytes count as one each.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto b = static_cast<unsigned char>(s[i++]);
  int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
  char32_t c = extra == 3 ? b & 0x07 : extra == 2 ? b & 0x0F : extra == 1 ? b & 0x1F : b;
  while (extra-- > 0 && i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) {
    c = (c << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
  }
  return c;
}

// East Asian wide characters: two columns, and a line may break before or after each.
bool IsWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// Punctuation that closes a phrase never starts a line.
bool IsClosingPunctuation(char32_t c) {
  return c == 0x3001 || c == 0x3002 || c == 0xFF0C || c == 0xFF0E || c == 0xFF1A ||
         c == 0xFF1B || c == 0xFF1F || c == 0xFF01 || c == 0xFF09 || c == 0x300D ||
         c == 0x300F || c == 0x3011;
}

struct Token {
  std::string text;
  size_t columns = 0;
  bool spaceBefore = false;  // separated from the previous token by a blank
  bool closing = false;
};

std::vector<Token> Tokens(std::string_view text) {
  std::vector<Token> tokens;
  bool space = false;
  bool inWord = false;
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    const char32_t c = NextCodePoint(text, i);
    const std::string_view bytes = text.substr(start, i - start);
    if (c == ' ' || c == '\t' || c == '\n') {
      space = true;
      inWord = false;
    } else if (IsWide(c)) {
      tokens.push_back({std::string(bytes), 2, space, IsClosingPunctuation(c)});
      space = false;
      inWord = false;
    } else if (inWord) {
      tokens.back().text += bytes;
      tokens.back().columns += 1;
    } else {
      tokens.push_back({std::string(bytes), 1, space, false});
      space = false;
      inWord = true;
    }
  }
  return tokens;
}

std::string Key(const TextLookup& text, const char16_t* key) { return Utf8(text(key)); }

std::string OptionNames(const UsageOption& option) {
  std::string names;
  if (option.shortName != nullptr) names = std::string(option.shortName) + ", ";
  names += option.longName;
  if (option.value != nullptr) names += std::string(" ") + option.value;
  return names;
}

void PrintParagraphs(std::ostream& out, const std::vector<const char16_t*>& keys,
                     const TextLookup& text) {
  for (const char16_t* key : keys) out << "\n" << FillText(Key(text, key), kHelpWidth, 0, 0);
}

// "  name      description", the description filled from kColumn.
void PrintEntry(std::ostream& out, const std::string& name, const std::string& description) {
  out << "  " << name;
  size_t used = 2 + TextColumns(name);
  if (used + 2 > kColumn) {
    out << "\n";
    used = 0;
  }
  out << std::string(kColumn - used, ' ') << FillText(description, kHelpWidth, kColumn, kColumn);
}

void PrintOptions(std::ostream& out, const std::vector<UsageOption>& options,
                  const TextLookup& text) {
  if (options.empty()) return;
  out << "\n" << Key(text, u"UsageOptions") << "\n";
  for (const UsageOption& option : options) PrintEntry(out, OptionNames(option), Key(text, option.helpKey));
}

// ---- roff ----

// Text safe in a roff line: backslashes written as \e, a leading dot or quote made harmless,
// and the hyphens of options made minus signs so that they can be copied from the page.
std::string Roff(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char before = i == 0 ? ' ' : text[i - 1];
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-' && (before == ' ' || before == '-' || before == '(' || before == '\'' ||
                            before == '[' || before == '"' || before == '/')) {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// "[OPTIONS] FIRMWARE_DIR TARGET": words in capitals are what the user fills in.
std::string RoffArguments(std::string_view arguments) {
  std::string out;
  std::istringstream words{std::string(arguments)};
  std::string word;
  while (words >> word) {
    if (!out.empty()) out += ' ';
    size_t a = 0;
    while (a < word.size() && (word[a] == '[' || word[a] == '(')) ++a;
    size_t b = word.size();
    while (b > a && (word[b - 1] == ']' || word[b - 1] == ')' || word[b - 1] == '.')) --b;
    const std::string core = word.substr(a, b - a);
    const bool placeholder = !core.empty() && core == Upper(core) && core[0] != '-';
    out += Roff(word.substr(0, a));
    out += placeholder ? "\\fI" + Roff(core) + "\\fR" : "\\fB" + Roff(core) + "\\fR";
    out += Roff(word.substr(b));
  }
  return out;
}

void RoffOptions(std::ostream& out, const std::vector<UsageOption>& options,
                 const TextLookup& text) {
  for (const UsageOption& option : options) {
    out << ".TP\n";
    if (option.shortName != nullptr) out << "\\fB" << Roff(option.shortName) << "\\fR, ";
    out << "\\fB" << Roff(option.longName) << "\\fR";
    if (option.value != nullptr) out << " \\fI" << Roff(option.value) << "\\fR";
    out << "\n" << Roff(Key(text, option.helpKey)) << "\n";
  }
}

void RoffParagraphs(std::ostream& out, const std::vector<const char16_t*>& keys,
                    const TextLookup& text) {
  for (const char16_t* key : keys) out << ".PP\n" << Roff(Key(text, key)) << "\n";
}

// ---- bash ----

const char* KindWord(ValueKind kind) {
  switch (kind) {
    case ValueKind::kFile: return "file";
    case ValueKind::kFolder: return "folder";
    case ValueKind::kTarget: return "target";
    case ValueKind::kCommand: return "command";
    case ValueKind::kText: break;
  }
  return "text";
}

std::string Words(const std::vector<UsageOption>& options, bool values) {
  std::string words;
  for (const UsageOption& option : options) {
    if (values && option.value == nullptr) continue;
    for (const char* name : {option.shortName, option.longName}) {
      if (name == nullptr) continue;
      if (!words.empty()) words += ' ';
      words += name;
      if (values) words += std::string(":") + KindWord(option.kind);
    }
  }
  return words;
}

}  // namespace

TextLookup CatalogueLookup() {
  return [](const char16_t* key) { return LocalText(key, 0); };
}

const UsageCommand* FindCommand(const UsageProgram& program, std::string_view name) {
  for (const UsageCommand& command : program.commands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

size_t TextColumns(std::string_view text) {
  size_t columns = 0;
  for (size_t i = 0; i < text.size();) columns += IsWide(NextCodePoint(text, i)) ? 2 : 1;
  return columns;
}

std::string FillText(std::string_view text, size_t width, size_t indent, size_t firstIndent) {
  std::string out;
  size_t column = firstIndent;
  bool lineEmpty = true;
  for (const Token& token : Tokens(text)) {
    const size_t gap = lineEmpty || !token.spaceBefore ? 0 : 1;
    if (!lineEmpty && !token.closing && column + gap + token.columns > width) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
      lineEmpty = true;
    } else if (gap != 0) {
      out += ' ';
      column += 1;
    }
    out += token.text;
    column += token.columns;
    lineEmpty = false;
  }
  return out + "\n";
}

void PrintProgramHelp(std::ostream& out, const UsageProgram& program, const TextLookup& text) {
  out << Key(text, u"UsageHeading") << program.name << " " << program.arguments << "\n\n"
      << FillText(Key(text, program.summaryKey), kHelpWidth, 0, 0);
  PrintParagraphs(out, program.before, text);
  if (!program.commands.empty()) {
    out << "\n" << Key(text, u"UsageCommands") << "\n";
    for (const UsageCommand& command : program.commands) {
      PrintEntry(out, command.name, Key(text, command.summaryKey));
    }
  }
  PrintOptions(out, program.options, text);
  PrintParagraphs(out, program.after, text);
}

void PrintCommandHelp(std::ostream& out, const UsageProgram& program, const UsageCommand& command,
                      const TextLookup& text) {
  out << Key(text, u"UsageHeading") << program.name << " " << command.name << " "
      << command.arguments << "\n";
  PrintParagraphs(out, command.before, text);
  PrintOptions(out, command.options, text);
  PrintParagraphs(out, command.after, text);
}

void PrintVersion(std::ostream& out, const UsageProgram& program, const TextLookup& text) {
  out << program.name << " " << kBrindleVersion << "\n"
      << FillText(Key(text, u"VersionLicence"), kHelpWidth, 0, 0);
}

std::string ManPage(const UsageProgram& program, const TextLookup& text) {
  std::ostringstream out;
  out << ".TH " << Roff(Upper(program.name)) << " 1 \"\" \"Brindle " << kBrindleVersion
      << "\" \"User Commands\"\n"
      << ".SH NAME\n"
      << Roff(program.name) << " \\- " << Roff(Key(text, program.summaryKey)) << "\n"
      << ".SH SYNOPSIS\n";
  if (program.commands.empty()) {
    out << "\\fB" << Roff(program.name) << "\\fR " << RoffArguments(program.arguments) << "\n";
  }
  for (const UsageCommand& command : program.commands) {
    out << "\\fB" << Roff(program.name) << "\\fR \\fB" << Roff(command.name) << "\\fR "
        << RoffArguments(command.arguments) << "\n.br\n";
  }
  out << ".SH DESCRIPTION\n";
  RoffParagraphs(out, program.before, text);
  if (!program.options.empty()) {
    out << ".SH OPTIONS\n";
    RoffOptions(out, program.options, text);
  }
  if (!program.commands.empty()) out << ".SH COMMANDS\n";
  for (const UsageCommand& command : program.commands) {
    out << ".SS \"" << Roff(command.name) << " " << Roff(command.arguments) << "\"\n"
        << Roff(Key(text, command.summaryKey)) << "\n";
    RoffParagraphs(out, command.before, text);
    RoffOptions(out, command.options, text);
    if (!command.after.empty()) out << ".PP\n";
    for (size_t i = 0; i < command.after.size(); ++i) {
      out << (i == 0 ? "" : ".PP\n") << Roff(Key(text, command.after[i])) << "\n";
    }
  }
  if (!program.after.empty()) {
    out << ".SH NOTES\n";
    RoffParagraphs(out, program.after, text);
  }
  if (!program.seeAlso.empty()) {
    out << ".SH \"SEE ALSO\"\n";
    for (size_t i = 0; i < program.seeAlso.size(); ++i) {
      const std::string ref = program.seeAlso[i];
      const size_t paren = ref.find('(');
      out << ".BR " << Roff(ref.substr(0, paren)) << " " << ref.substr(paren)
          << (i + 1 < program.seeAlso.size() ? " ," : "") << "\n";
    }
  }
  return out.str();
}

std::string BashCompletion(const UsageProgram& program) {
  std::string function = "_";
  for (const char c : std::string(program.name)) function += c == '-' ? '_' : c;
  std::string commands;
  for (const UsageCommand& command : program.commands) {
    commands += (commands.empty() ? "" : " ") + std::string(command.name);
  }
  std::ostringstream out;
  out << "# bash completion for " << program.name
      << ", made from its table of commands and options.\n"
      << function << "_offer() {\n"
      << "    case $1 in\n"
      << "        file) _filedir ;;\n"
      << "        folder) _filedir -d ;;\n"
      << "        target)\n"
      << "            _filedir\n"
      << "            local disks\n"
      << "            disks=$(lsblk -dnpo NAME 2>/dev/null)\n"
      << "            COMPREPLY+=($(compgen -W \"$disks\" -- \"$cur\")) ;;\n"
      << "        command) COMPREPLY=($(compgen -W \"" << commands << "\" -- \"$cur\")) ;;\n"
      << "    esac\n"
      << "}\n\n"
      << function << "() {\n"
      << "    local cur prev words cword\n"
      << "    _init_completion || return\n\n"
      << "    local command=\"\" at=0 i\n";
  if (!program.commands.empty()) {
    out << "    for ((i = 1; i < cword; i++)); do\n"
        << "        if [[ ${words[i]} != -* ]]; then command=${words[i]}; at=$i; break; fi\n"
        << "    done\n";
  }
  out << "    local options values positional\n"
      << "    case $command in\n"
      << "        \"\")\n"
      << "            options=\"" << Words(program.options, false) << "\"\n"
      << "            values=\"" << Words(program.options, true) << "\"\n"
      << "            positional=\"" << (program.commands.empty() ? "" : "command") << "\" ;;\n";
  for (const UsageCommand& command : program.commands) {
    std::string positional;
    for (const ValueKind kind : command.positional) {
      positional += (positional.empty() ? "" : " ") + std::string(KindWord(kind));
    }
    out << "        " << command.name << ")\n"
        << "            options=\"" << Words(command.options, false) << "\"\n"
        << "            values=\"" << Words(command.options, true) << "\"\n"
        << "            positional=\"" << positional << "\" ;;\n";
  }
  out << "        *) return ;;\n"
      << "    esac\n\n"
      << "    local v\n"
      << "    for v in $values; do\n"
      << "        if [[ $prev == \"${v%%:*}\" ]]; then " << function
      << "_offer \"${v#*:}\"; return; fi\n"
      << "    done\n"
      << "    if [[ $cur == -* ]]; then\n"
      << "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      << "        return\n"
      << "    fi\n\n"
      << "    # Which argument this is: the words after the command that are neither options\n"
      << "    # nor their values.\n"
      << "    local n=0 skip=\"\"\n"
      << "    for ((i = at + 1; i < cword; i++)); do\n"
      << "        if [[ -n $skip ]]; then skip=\"\"; continue; fi\n"
      << "        if [[ ${words[i]} == -* ]]; then\n"
      << "            for v in $values; do [[ ${words[i]} == \"${v%%:*}\" ]] && skip=1; done\n"
      << "            continue\n"
      << "        fi\n"
      << "        n=$((n + 1))\n"
      << "    done\n"
      << "    local kinds=($positional)\n"
      // A command may take any number of targets after its other arguments.
      << "    [[ ${#kinds[@]} -gt 0 && $n -ge ${#kinds[@]} && ${kinds[-1]} == target ]] &&\n"
      << "        n=$((${#kinds[@]} - 1))\n"
      << "    [[ $n -lt ${#kinds[@]} ]] && " << function << "_offer \"${kinds[n]}\"\n"
      << "}\n"
      << "complete -F " << function << " " << program.name << "\n";
  return out.str();
}
