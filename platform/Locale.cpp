#include "Platform.h"

#include <cstdlib>

namespace plat {

namespace {
std::string_view LocaleFromEnvironment() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}
}  // namespace

uint16_t LangIdOfLocale(std::string_view locale) {
  // Language and territory only: "zh_TW.UTF-8@stroke" -> "zh_TW".
  const size_t cut = locale.find_first_of(".@");
  const std::string_view base = locale.substr(0, cut);
  if (base == "zh_CN") return 0x0804;
  if (base == "zh_TW") return 0x0404;
  if (base == "zh_HK") return 0x0C04;
  if (base == "zh_SG") return 0x1004;
  if (base == "zh_MO") return 0x1404;
  return 0x0409;
}

uint16_t SystemLangId() { return LangIdOfLocale(LocaleFromEnvironment()); }

std::string CodeSetOfLocale(std::string_view locale) {
  const size_t dot = locale.find('.');
  if (dot == std::string_view::npos) return "UTF-8";
  std::string_view code = locale.substr(dot + 1);
  code = code.substr(0, code.find('@'));
  if (code.empty()) return "UTF-8";
  return std::string(code);
}

// The C and POSIX locales name no code set; file names on Linux are UTF-8 by convention.
std::string LocaleCodeSet() { return CodeSetOfLocale(LocaleFromEnvironment()); }

}  // namespace plat
