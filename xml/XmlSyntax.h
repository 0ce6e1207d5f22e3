// Small pieces of the tag syntax shared by the parser, the attribute reader and the
// encoding-declaration scan.
#pragma once

#include <string>
#include <string_view>

namespace xml {

inline bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Walks the attributes of a tag from `pos` to the end of `tag`: a name, optionally "=" (white
// space allowed around it) and a value in double quotes, single quotes or unquoted. Stops at
// "/", ">" or "?" where a name would begin, or when `visit(name, rawValue)` returns true.
template <typename Visit>
void ScanAttributes(std::u16string_view tag, size_t pos, Visit&& visit) {
  const size_t end = tag.size();
  auto skipSpace = [&] {
    while (pos < end && IsSpace(tag[pos])) ++pos;
  };
  auto endsName = [](char16_t c) {
    return IsSpace(c) || c == u'=' || c == u'/' || c == u'>' || c == u'?' || c == u'"' ||
           c == u'\'';
  };
  while (true) {
    skipSpace();
    if (pos >= end) return;
    const char16_t c = tag[pos];
    if (c == u'/' || c == u'>' || c == u'?') return;
    const size_t nameBegin = pos;
    while (pos < end && !endsName(tag[pos])) ++pos;
    if (pos == nameBegin) {
      ++pos;  // a stray '=' or quote
      continue;
    }
    const std::u16string_view name = tag.substr(nameBegin, pos - nameBegin);
    skipSpace();
    std::u16string_view value;
    if (pos < end && tag[pos] == u'=') {
      ++pos;
      skipSpace();
      if (pos < end && (tag[pos] == u'"' || tag[pos] == u'\'')) {
        const char16_t quote = tag[pos++];
        size_t close = tag.find(quote, pos);
        if (close == std::u16string_view::npos) close = end;
        value = tag.substr(pos, close - pos);
        pos = close < end ? close + 1 : end;
      } else {
        const size_t valueBegin = pos;
        while (pos < end && !IsSpace(tag[pos]) && tag[pos] != u'>' &&
               !((tag[pos] == u'/' || tag[pos] == u'?') &&
                 (pos + 1 == end || tag[pos + 1] == u'>'))) {
          ++pos;
        }
        value = tag.substr(valueBegin, pos - valueBegin);
      }
    }
    if (visit(name, value)) return;
  }
}

// Replaces character references (decimal, hexadecimal) and entity references in an attribute
// value; a reference that names nothing is left as written.
std::u16string DecodeValue(std::u16string_view value);

}  // namespace xml
