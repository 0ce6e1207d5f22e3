#include "TextUtil.h"

#include "Platform.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

std::string CChineseConvertor::ToMultiByte(const char16_t* text, int selector) const {
  std::string code;
  switch (selector) {
    case 1:
      code = "GBK";
      break;
    case 2:
      code = "BIG5";
      break;
    default:
      code = plat::LocaleCodeSet();
      break;
  }
  std::string out;
  if (text == nullptr) return out;
  if (!plat::ToCodeSet(text, code, out, replacement_[0])) {
    // A code set iconv does not know: UTF-8 is what Linux file names use.
    out = plat::ToUtf8(text);
  }
  return out;
}

int DirectoryExists(const std::u16string& path) {
  return !path.empty() && plat::IsDirectory(path) ? 1 : 0;
}

int EnsureDirectory(const std::u16string& path) {
  if (DirectoryExists(path)) return 1;
  const std::string p = plat::ToUtf8(path);
  // Create each missing parent in turn; failures show up in the final test.
  for (size_t slash = p.find('/', 1); ; slash = p.find('/', slash + 1)) {
    const std::string part = p.substr(0, slash);
    if (!part.empty()) mkdir(part.c_str(), 0777);
    if (slash == std::string::npos) break;
  }
  return DirectoryExists(path);
}

namespace {
char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 32);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
  return c;
}
}  // namespace

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

int ContainsNoCase(std::u16string name, const std::vector<std::u16string>& list) {
  for (const std::u16string& entry : list) {
    if (EqualsNoCase(entry, name)) return 1;
  }
  return 0;
}

std::u16string Trim(std::u16string_view text) {
  auto space = [](char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f' ||
           c == 0x3000 || c == 0xA0 || c == 0xFEFF;
  };
  size_t b = 0, e = text.size();
  while (b < e && space(text[b])) ++b;
  while (e > b && space(text[e - 1])) --e;
  return std::u16string(text.substr(b, e - b));
}

namespace {

template <typename Args>
std::u16string FillPlaces(std::u16string_view format, const Args& args) {
  std::u16string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == u'{' && i + 2 < format.size() && format[i + 1] >= u'1' &&
        format[i + 1] <= u'9' && format[i + 2] == u'}') {
      const size_t n = static_cast<size_t>(format[i + 1] - u'1');
      if (n < args.size()) {
        out += *(args.begin() + n);
        i += 2;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

}  // namespace

std::u16string FormatText(std::u16string_view format,
                          std::initializer_list<std::u16string_view> args) {
  return FillPlaces(format, args);
}

std::u16string FormatText(std::u16string_view format, const std::vector<std::u16string>& args) {
  return FillPlaces(format, args);
}

std::u16string FormatWithInt(std::u16string_view format, int value) {
  std::u16string out;
  bool used = false;
  for (size_t i = 0; i < format.size(); ++i) {
    const char16_t c = format[i];
    if (c == u'%' && i + 1 < format.size()) {
      const char16_t next = format[i + 1];
      if (next == u'%') {
        out += u'%';
        ++i;
        continue;
      }
      if (!used && (next == u'd' || next == u'i')) {
        out += plat::FromUtf8(std::to_string(value));
        used = true;
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

std::u16string FormatFixed2(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return plat::FromUtf8(buffer);
}

std::u16string FormatSizeText(int64_t bytes) {
  constexpr int64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
  if (bytes < kKiB) {
    // The low 32 bits as a signed integer, as the size texts always showed them.
    return plat::FromUtf8(std::to_string(static_cast<int32_t>(static_cast<uint32_t>(bytes)))) +
           u"B";
  }
  if (bytes < kMiB) return FormatFixed2(static_cast<double>(bytes) / kKiB) + u"K";
  if (bytes < kGiB) return FormatFixed2(static_cast<double>(bytes) / kMiB) + u"M";
  // Large sizes go through single precision first, as the size texts always did.
  const double v = static_cast<double>(static_cast<float>(bytes));
  if (v / kMiB < 1048576.0) return FormatFixed2(v / static_cast<double>(kGiB)) + u"G";
  return FormatFixed2(v / 1099511627776.0) + u"T";
}
