#include "CliCommon.h"

#include <algorithm>
#include <iostream>

#include "LocalText.h"
#include "Platform.h"
#include "TextUtil.h"

std::string Text(const char16_t* key, std::initializer_list<std::string_view> args) {
  std::vector<std::u16string> wide;
  for (std::string_view arg : args) wide.push_back(plat::FromUtf8(arg));
  std::u16string format = LocalText(key, 0);
  // Without its catalogue the program still says what happened: the key and its values.
  if (format.empty()) {
    format = key;
    for (size_t i = 1; i <= wide.size(); ++i) format += u" {" + plat::FromUtf8(std::to_string(i)) + u"}";
  }
  return plat::ToUtf8(FormatText(format, wide));
}

int UsageError(std::string_view command, std::string_view message) {
  const std::string invocation =
      std::string(kProgramName) + (command.empty() ? "" : " ") + std::string(command);
  std::cerr << kProgramName << ": " << message << "\n"
            << Text(u"CliTryHelp", {invocation}) << "\n";
  return kExitUsage;
}

bool ArgReader::Flag(std::string_view name) {
  if (Done() || Current() != name) return false;
  ++next_;
  return true;
}

bool ArgReader::Option(std::string_view name, std::string& value, bool& missing) {
  missing = false;
  if (Done()) return false;
  const std::string& arg = Current();
  if (arg == name || (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
                      arg[name.size()] == '=')) {
    last_ = name;
  }
  if (arg == name) {
    ++next_;
    if (Done()) {
      missing = true;
    } else {
      value = args_[next_++];
    }
    return true;
  }
  if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
      arg[name.size()] == '=') {
    value = arg.substr(name.size() + 1);
    ++next_;
    return true;
  }
  return false;
}

bool AskYes(std::string_view prompt) {
  std::cerr << kProgramName << ": " << prompt << std::flush;
  std::string answer;
  return std::getline(std::cin, answer) && answer == "yes";
}

void ShowErrorText(const std::u16string& text) { std::cerr << "Error: " << Utf8(text) << "\n"; }

void ShowKeyError(const char16_t* key, const std::u16string& suffix) {
  ShowErrorText(LocalText(key, 0) + suffix);
}

bool CheckFirmwareFolder(const std::string& folder) {
  const std::u16string wide = plat::FromUtf8(folder);
  if (Trim(wide).empty()) {
    ShowKeyError(u"FirmwareNull");
    return false;
  }
  if (!plat::IsDirectory(wide)) {
    ShowKeyError(u"DecNotFound", wide);
    return false;
  }
  if (!plat::PathExists(wide + u"/config.xml")) {
    ShowKeyError(u"ConfigNotFound");
    return false;
  }
  return true;
}

std::string Utf8(const std::u16string& text) { return plat::ToUtf8(text); }

std::string ValidUtf8(std::string_view bytes) { return plat::ToUtf8(plat::FromUtf8(bytes)); }

std::string JsonString(std::string_view utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

namespace {

// Terminal columns taken by UTF-8 text, one per character.
size_t DisplayWidth(std::string_view utf8) {
  size_t width = 0;
  for (char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

}  // namespace

void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - DisplayWidth(row[i]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
}
