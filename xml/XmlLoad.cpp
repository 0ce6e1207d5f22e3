// Reading a file and turning its bytes into the UTF-16 document text: byte-order marks,
// declared encodings, UTF-8 detection and conversion through iconv.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "Platform.h"
#include "XmlDocument.h"
#include "XmlSyntax.h"
#include "XmlTables.h"

namespace {

// The encoding declaration is looked for in this much of the file's start.
constexpr size_t kHeadBytes = 1024;
// Offsets in the index are 32-bit, and no encoding yields more units than bytes.
constexpr uint64_t kMaxFileBytes = UINT32_MAX;
constexpr size_t kMaxErrorText = 100;

constexpr unsigned char kUtf8Bom[] = {0xEF, 0xBB, 0xBF};
constexpr unsigned char kUtf16LeBom[] = {0xFF, 0xFE};
constexpr unsigned char kUtf16BeBom[] = {0xFE, 0xFF};

template <size_t N>
bool StartsWithMark(std::string_view bytes, const unsigned char (&mark)[N]) {
  if (bytes.size() < N) return false;
  for (size_t i = 0; i < N; ++i) {
    if (static_cast<unsigned char>(bytes[i]) != mark[i]) return false;
  }
  return true;
}

std::u16string Number(uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string Ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

char16_t LowerAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool HasPrefixNoCase(std::u16string_view text, size_t pos, std::u16string_view prefix) {
  return pos <= text.size() && text.size() - pos >= prefix.size() &&
         EqualsNoCase(text.substr(pos, prefix.size()), prefix);
}

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && xml::IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && xml::IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Is the character after a tag's name-like word one that ends it?
bool EndsWord(std::u16string_view text, size_t pos) {
  return pos >= text.size() || xml::IsSpace(text[pos]) || text[pos] == u'>' ||
         text[pos] == u'/';
}

// End of the tag beginning at `pos` (the '>' outside quotes), or the end of the text.
size_t TagEnd(std::u16string_view text, size_t pos) {
  char16_t quote = 0;
  for (; pos < text.size(); ++pos) {
    const char16_t c = text[pos];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == u'"' || c == u'\'') {
      quote = c;
    } else if (c == u'>') {
      return pos;
    }
  }
  return text.size();
}

// charset=NAME inside a meta element's content attribute.
std::u16string_view CharsetOfContent(std::u16string_view content) {
  for (size_t pos = 0; pos + 7 <= content.size(); ++pos) {
    if (!HasPrefixNoCase(content, pos, u"charset")) continue;
    size_t p = pos + 7;
    while (p < content.size() && xml::IsSpace(content[p])) ++p;
    if (p >= content.size() || content[p] != u'=') continue;
    ++p;
    while (p < content.size() && xml::IsSpace(content[p])) ++p;
    const size_t begin = p;
    while (p < content.size() && !xml::IsSpace(content[p]) && content[p] != u';' &&
           content[p] != u'"' && content[p] != u'\'') {
      ++p;
    }
    return content.substr(begin, p - begin);
  }
  return {};
}

// The encoding named by a leading xml declaration, or by the meta Content-Type of an html
// document (up to the end of its head). Empty when nothing is declared.
std::u16string DeclaredEncoding(std::u16string_view head) {
  size_t pos = 0;
  while (pos < head.size() && xml::IsSpace(head[pos])) ++pos;
  if (head.substr(pos).starts_with(u"<?xml") &&
      (pos + 5 >= head.size() || xml::IsSpace(head[pos + 5]) || head[pos + 5] == u'?')) {
    size_t end = head.find(u"?>", pos);
    if (end == std::u16string_view::npos) end = head.size();
    std::u16string encoding;
    xml::ScanAttributes(head.substr(0, end), pos + 5,
                        [&](std::u16string_view name, std::u16string_view value) {
                          if (name != u"encoding") return false;
                          encoding = Trim(value);
                          return true;
                        });
    return encoding;
  }

  // HTML: past comments, the document type and processing instructions to "<html".
  while (pos < head.size()) {
    while (pos < head.size() && xml::IsSpace(head[pos])) ++pos;
    if (head.substr(pos).starts_with(u"<!--")) {
      const size_t close = head.find(u"-->", pos + 4);
      if (close == std::u16string_view::npos) return {};
      pos = close + 3;
    } else if (head.substr(pos).starts_with(u"<!") || head.substr(pos).starts_with(u"<?")) {
      pos = TagEnd(head, pos) + 1;
    } else {
      break;
    }
  }
  if (!HasPrefixNoCase(head, pos, u"<html") || !EndsWord(head, pos + 5)) return {};
  pos += 5;
  while (pos < head.size()) {
    const size_t lt = head.find(u'<', pos);
    if (lt == std::u16string_view::npos) break;
    if (HasPrefixNoCase(head, lt, u"</head") && EndsWord(head, lt + 6)) break;
    if (!HasPrefixNoCase(head, lt, u"<meta") || !EndsWord(head, lt + 5)) {
      pos = lt + 1;
      continue;
    }
    const size_t end = TagEnd(head, lt);
    std::u16string_view httpEquiv;
    std::u16string_view content;
    xml::ScanAttributes(head.substr(0, end), lt + 5,
                        [&](std::u16string_view name, std::u16string_view value) {
                          if (EqualsNoCase(name, u"http-equiv")) httpEquiv = value;
                          if (EqualsNoCase(name, u"content")) content = value;
                          return false;
                        });
    if (EqualsNoCase(Trim(httpEquiv), u"Content-Type")) {
      const std::u16string_view charset = CharsetOfContent(content);
      if (!charset.empty()) return std::u16string(charset);
    }
    pos = end;
  }
  return {};
}

// Every byte of 0x80 or more begins a complete, shortest-form UTF-8 sequence.
bool IsUtf8(std::string_view bytes) {
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b == 0) break;
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char c = static_cast<unsigned char>(bytes[i + k]);
      if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return false;
    }
    i += extra + 1;
  }
  return true;
}

bool IsUtf8Name(std::string_view name) {
  const std::u16string wide(name.begin(), name.end());
  return EqualsNoCase(wide, u"UTF-8") || EqualsNoCase(wide, u"UTF8");
}

bool IsWideCodePage(int codePage) {
  return codePage == 1200 || codePage == 1201 || codePage == 12000 || codePage == 12001 ||
         codePage == xml::kUtf32CodePage;
}

// 8-bit bytes to UTF-16 from the code page an encoding name gives.
std::u16string Convert(std::string_view bytes, const std::u16string& encoding) {
  int codePage = xml::CharsetCodePage(encoding);
  if (codePage == xml::kUnknownCodePage) codePage = xml::kSystemCodePage;
  if (codePage == xml::kUtf8CodePage) return plat::FromUtf8(bytes);
  std::vector<std::string> names;
  if (codePage == xml::kUtf32CodePage) {
    names.push_back(encoding.starts_with(u"UTF-32BE") ? "UTF-32BE" : "UTF-32LE");
  } else if (codePage == xml::kSystemCodePage) {
    names.push_back(plat::LocaleCodeSet());
  } else {
    names = xml::IconvNamesOfCodePage(codePage);
    // A code page iconv does not know is read like an undeclared file.
    names.push_back(plat::LocaleCodeSet());
  }
  std::u16string text;
  for (const std::string& name : names) {
    if (IsUtf8Name(name)) return plat::FromUtf8(bytes);
    if (plat::FromCodeSet(bytes, name, text)) return text;
  }
  return plat::FromUtf8(bytes);
}

}  // namespace

bool XmlDocument::LoadFromFile(const std::u16string& path) {
  if ((docFlags_ & (kStreamRead | kStreamWrite)) != 0) return false;
  result_.clear();
  std::string bytes;
  int error = 0;
  const int fd = open(plat::ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
  } else {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) <= kMaxFileBytes) {
      bytes.reserve(static_cast<size_t>(st.st_size));
    }
    char buffer[65536];
    while (true) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
      }
      if (got == 0) break;
      if (bytes.size() + static_cast<size_t>(got) > kMaxFileBytes) {
        error = EFBIG;
        break;
      }
      bytes.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
  }
  if (error != 0) {
    std::u16string message = plat::ErrorText(error);
    message = message.substr(0, std::min(message.find_first_of(u"\r\n"), kMaxErrorText));
    AddResult(u"file_error", {{"msg", message}, {"n", Number(static_cast<uint64_t>(error))}});
    doc_.clear();
    docFlags_ &= ~(kUtf16LeMark | kUtf8Mark | kUtf16BeMark);
    ClearIndex();
    return false;
  }
  return LoadBytes(std::move(bytes));
}

bool XmlDocument::LoadFromBytes(std::string_view bytes) {
  if ((docFlags_ & (kStreamRead | kStreamWrite)) != 0) return false;
  result_.clear();
  if (bytes.size() > kMaxFileBytes) {
    AddResult(u"file_error", {{"msg", plat::ErrorText(EFBIG)}, {"n", Number(EFBIG)}});
    doc_.clear();
    docFlags_ &= ~(kUtf16LeMark | kUtf8Mark | kUtf16BeMark);
    ClearIndex();
    return false;
  }
  return LoadBytes(std::string(bytes));
}

bool XmlDocument::LoadBytes(std::string bytes) {
  Decode(std::move(bytes));
  return Parse();
}

void XmlDocument::Decode(std::string bytes) {
  docFlags_ &= ~(kUtf16LeMark | kUtf8Mark | kUtf16BeMark);
  const std::string_view all(bytes);
  std::u16string encoding;
  size_t markLength = 0;
  if (StartsWithMark(all, kUtf8Bom)) {
    encoding = u"UTF-8";
    docFlags_ |= kUtf8Mark;
    markLength = sizeof kUtf8Bom;
  } else if (StartsWithMark(all, kUtf16LeBom)) {
    encoding = u"UTF-16LE";
    docFlags_ |= kUtf16LeMark;
    markLength = sizeof kUtf16LeBom;
  } else if (StartsWithMark(all, kUtf16BeBom)) {
    encoding = u"UTF-16BE";
    docFlags_ |= kUtf16BeMark;
    markLength = sizeof kUtf16BeBom;
  }
  if (markLength != 0) {
    AddResult(u"bom", {{"encoding", encoding}});
  } else {
    encoding = DeclaredEncoding(plat::FromUtf8(all.substr(0, kHeadBytes)));
    // The declaration was readable as 8-bit text, so the bytes are not 16 or 32 bits wide
    // whatever it says.
    if (IsWideCodePage(xml::CharsetCodePage(encoding))) encoding.clear();
    if (encoding.empty() && !all.empty() && all[0] == '<') encoding = u"UTF-8";
  }
  const std::string_view body = all.substr(markLength);

  if ((docFlags_ & (kUtf16LeMark | kUtf16BeMark)) != 0) {
    const bool bigEndian = (docFlags_ & kUtf16BeMark) != 0;
    const size_t units = body.size() / 2;
    doc_.clear();
    doc_.reserve(units);
    uint64_t nulls = 0;
    for (size_t k = 0; k < units; ++k) {
      const unsigned char b0 = static_cast<unsigned char>(body[2 * k]);
      const unsigned char b1 = static_cast<unsigned char>(body[2 * k + 1]);
      const char16_t unit = bigEndian ? static_cast<char16_t>((b0 << 8) | b1)
                                      : static_cast<char16_t>(b0 | (b1 << 8));
      if (unit == 0) {
        ++nulls;
      } else {
        doc_ += unit;
      }
    }
    if (nulls != 0) AddResult(u"nulls_removed", {{"count", Number(nulls)}});
    if (bigEndian) AddResult(u"endian_swap", {});
    AddResult(u"read", {{"encoding", encoding}, {"length", Number(units)}});
    return;
  }

  // Zero bytes are dropped before anything looks at the text.
  bytes.erase(0, markLength);
  const size_t before = bytes.size();
  bytes.erase(std::remove(bytes.begin(), bytes.end(), '\0'), bytes.end());
  if (bytes.size() != before) AddResult(u"nulls_removed", {{"count", Number(before - bytes.size())}});
  const std::string& text = bytes;
  if (encoding.empty()) {
    if (IsUtf8(text)) {
      encoding = u"UTF-8";
      AddResult(u"read", {{"encoding", encoding}, {"length", Number(text.size())}});
    }
    AddResult(u"utf8_detection",
              {{"encoding", encoding.empty() ? Ascii(plat::LocaleCodeSet()) : encoding}});
  }
  doc_ = Convert(text, encoding);
  AddResult(u"converted_to", {{"encoding", u"UTF-16"}, {"length", Number(doc_.size())}});
}
