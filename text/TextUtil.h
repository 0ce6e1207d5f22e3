// Small text, path and list routines shared by the engine and the front ends.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// Wide text to 8-bit text. Selector 1: GBK (code page 936), 2: Big5 (950), anything else: the
// locale's code set. Characters the code set cannot hold become a space.
class CChineseConvertor {
 public:
  std::string ToMultiByte(const char16_t* text, int selector) const;

 private:
  std::string replacement_ = " ";
};

// 1 when `path` names an existing folder (following links), else 0.
int DirectoryExists(const std::u16string& path);
// Creates the folder with every missing parent; 1 when it exists afterwards.
int EnsureDirectory(const std::u16string& path);
// 1 when `list` holds `name`, ignoring letter case.
int ContainsNoCase(std::u16string name, const std::vector<std::u16string>& list);

// Case-insensitive equality (ASCII, Latin-1, Greek and Cyrillic letters).
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
// White space trimmed at both ends.
std::u16string Trim(std::u16string_view text);

// A catalogue text used as a format with one integer: the first "%d" (or "%i") takes the value,
// "%%" gives "%", every other character, other conversions included, is copied as written.
// Catalogue texts are data, never handed to printf.
std::u16string FormatWithInt(std::u16string_view format, int value);

// A catalogue text with numbered places: "{1}" to "{9}" take the arguments in order, so each
// language puts them where its word order wants them. A place without an argument, and every
// other character, is copied as written.
std::u16string FormatText(std::u16string_view format,
                          std::initializer_list<std::u16string_view> args);
std::u16string FormatText(std::u16string_view format, const std::vector<std::u16string>& args);

// Sizes as the user sees them: "512B", "1.50K", "64.00M", "7.40G", "2.00T".
std::u16string FormatSizeText(int64_t bytes);

// printf-style "%.2f" of a double, as UTF-16.
std::u16string FormatFixed2(double value);
