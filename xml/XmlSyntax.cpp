#include "XmlSyntax.h"

#include <cstdint>

#include "XmlTables.h"

namespace xml {

namespace {

constexpr uint32_t kMaxCodePoint = 0x10FFFF;

int DigitValue(char16_t c, int base) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (base == 16 && c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// "#65" or "#x41" (already lower-cased); 0 when it is not a usable character.
uint32_t NumericReference(std::u16string_view name) {
  size_t pos = 1;
  int base = 10;
  if (pos < name.size() && name[pos] == u'x') {
    base = 16;
    ++pos;
  }
  if (pos >= name.size()) return 0;
  uint32_t value = 0;
  for (; pos < name.size(); ++pos) {
    const int digit = DigitValue(name[pos], base);
    if (digit < 0) return 0;
    value = value * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);  // <= 8 digits
  }
  // A surrogate on its own is no character; pairs come from one reference above 0xFFFF.
  if (value > kMaxCodePoint || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return value;
}

}  // namespace

std::u16string DecodeValue(std::u16string_view value) {
  std::u16string out;
  out.reserve(value.size());
  size_t i = 0;
  while (i < value.size()) {
    const char16_t c = value[i];
    if (c != u'&') {
      out += c;
      ++i;
      continue;
    }
    // Up to kMaxEntityNameLength ASCII characters, then ';'.
    size_t semicolon = 0;
    for (size_t j = i + 1; j < value.size() && j <= i + 1 + kMaxEntityNameLength; ++j) {
      if (value[j] == u';') {
        semicolon = j;
        break;
      }
      if (value[j] >= 0x80) break;
    }
    uint32_t code = 0;
    if (semicolon != 0) {
      const std::u16string_view written = value.substr(i + 1, semicolon - i - 1);
      if (!written.empty() && written[0] == u'#') {
        std::u16string lowered(written);
        for (char16_t& l : lowered) {
          if (l >= u'A' && l <= u'Z') l = static_cast<char16_t>(l + 32);
        }
        code = NumericReference(lowered);
      } else {
        code = EntityCodePoint(written);
      }
    }
    if (code == 0) {
      out += u'&';
      ++i;
      continue;
    }
    if (code > 0xFFFF) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    i = semicolon + 1;
  }
  return out;
}

}  // namespace xml
