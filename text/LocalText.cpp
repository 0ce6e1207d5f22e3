#include "LocalText.h"

#include "Platform.h"
#include "ProfileReader.h"

#include <atomic>

namespace {
// 0 until the first lookup of this module; every module (program, engine) has its own copy.
std::atomic<int> g_languageCode{0};
}  // namespace

int LanguageCodeOf(unsigned langId) {
  switch (langId) {
    case 0x0804:
      return 1;
    case 0x0404:
    case 0x0C04:
      return 3;
    default:
      return 2;
  }
}

int ModuleLanguageCode() {
  int code = g_languageCode.load(std::memory_order_relaxed);
  if (code == 0) {
    // Two first calls at once compute the same value, so a plain store is enough.
    code = LanguageCodeOf(plat::SystemLangId());
    g_languageCode.store(code, std::memory_order_relaxed);
  }
  return code;
}

const char16_t* SectionOfLanguage(int languageCode) {
  switch (languageCode) {
    case 1:
      return u"CHS_TEXT";
    case 3:
      return u"TW_TEXT";
    default:
      return u"EN_TEXT";
  }
}

std::u16string LocalTextFrom(const std::u16string& iniPath, int languageCode,
                             const std::u16string& key, int lineFeed) {
  std::u16string text = ProfileReader(iniPath).Read(SectionOfLanguage(languageCode), key);
  if (lineFeed != 0) text += u'\n';
  return text;
}

std::u16string LocalText(std::u16string key, int lineFeed) {
  // Read afresh on every call: the catalogue is small and this keeps no state but the language.
  return LocalTextFrom(plat::ExecutableFolder() + u"text_info.ini", ModuleLanguageCode(), key,
                       lineFeed);
}
