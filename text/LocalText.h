// The message catalogue: every user-visible text is named by a message key and looked up in
// "text_info.ini" beside the running executable, in the section of the system language.
#pragma once

#include <string>

// The text of `key` in the language section chosen once per module from the locale; a missing
// file, section or key gives the empty text. A non-zero `lineFeed` appends one "\n".
std::u16string LocalText(std::u16string key, int lineFeed);

// The same lookup on a given catalogue file and language id (for tests and tools).
std::u16string LocalTextFrom(const std::u16string& iniPath, int languageCode,
                             const std::u16string& key, int lineFeed);

// Language codes of the catalogue: 1 "CHS_TEXT", 3 "TW_TEXT", 2 "EN_TEXT".
int LanguageCodeOf(unsigned langId);
// The module's language code, chosen on first use and kept.
int ModuleLanguageCode();
const char16_t* SectionOfLanguage(int languageCode);
