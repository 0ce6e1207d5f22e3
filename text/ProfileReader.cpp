#include "ProfileReader.h"

#include "Platform.h"
#include "TextUtil.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// The system's profile reader fills a 260-unit buffer, terminator included.
constexpr size_t kMaxValueUnits = 259;

enum class Encoding { kUtf8, kUtf8Bom, kUtf16Le, kUtf16Be };

bool ReadWholeFile(const std::u16string& path, std::string& bytes) {
  std::ifstream in(plat::ToUtf8(path), std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  bytes = buffer.str();
  return true;
}

std::u16string Decode(const std::string& bytes, Encoding& encoding) {
  auto unit = [&](size_t i, bool big) {
    const unsigned a = static_cast<unsigned char>(bytes[i]);
    const unsigned b = static_cast<unsigned char>(bytes[i + 1]);
    return static_cast<char16_t>(big ? (a << 8 | b) : (b << 8 | a));
  };
  if (bytes.size() >= 2 && (bytes.compare(0, 2, "\xFF\xFE") == 0 ||
                            bytes.compare(0, 2, "\xFE\xFF") == 0)) {
    const bool big = bytes[0] == '\xFE';
    encoding = big ? Encoding::kUtf16Be : Encoding::kUtf16Le;
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += unit(i, big);
    return text;
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    encoding = Encoding::kUtf8Bom;
    return plat::FromUtf8(std::string_view(bytes).substr(3));
  }
  encoding = Encoding::kUtf8;
  return plat::FromUtf8(bytes);
}

std::vector<std::u16string> SplitLines(const std::u16string& text) {
  std::vector<std::u16string> lines;
  std::u16string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\r' || c == u'\n') {
      lines.push_back(line);
      line.clear();
      if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// "[name]" gives name; anything else is not a section header.
bool SectionName(const std::u16string& line, std::u16string& name) {
  const std::u16string t = Trim(line);
  if (t.size() < 2 || t.front() != u'[') return false;
  const size_t close = t.find(u']');
  if (close == std::u16string::npos) return false;
  name = Trim(std::u16string_view(t).substr(1, close - 1));
  return true;
}

bool KeyValue(const std::u16string& line, std::u16string& key, std::u16string& value) {
  const size_t eq = line.find(u'=');
  if (eq == std::u16string::npos) return false;
  key = Trim(std::u16string_view(line).substr(0, eq));
  value = Trim(std::u16string_view(line).substr(eq + 1));
  return !key.empty();
}

std::u16string Unquote(std::u16string value) {
  if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

std::u16string CutToBuffer(std::u16string value) {
  if (value.size() > kMaxValueUnits) {
    value.resize(kMaxValueUnits);
    // Never leave half of a surrogate pair behind.
    if (value.back() >= 0xD800 && value.back() <= 0xDBFF) value.pop_back();
  }
  return value;
}

}  // namespace

std::u16string ProfileReader::Read(const std::u16string& section,
                                   const std::u16string& key) const {
  std::string bytes;
  if (!ReadWholeFile(path_, bytes)) return {};
  Encoding encoding;
  bool inSection = false;
  for (const std::u16string& line : SplitLines(Decode(bytes, encoding))) {
    std::u16string name;
    if (SectionName(line, name)) {
      if (inSection) return {};  // the first section of that name decides
      inSection = EqualsNoCase(name, section);
      continue;
    }
    std::u16string k, v;
    if (inSection && KeyValue(line, k, v) && EqualsNoCase(k, key)) {
      return CutToBuffer(Unquote(v));
    }
  }
  return {};
}

bool WriteProfileString(const std::u16string& path, const std::u16string& section,
                        const std::u16string& key, const std::u16string& value) {
  std::string bytes;
  Encoding encoding = Encoding::kUtf8;
  std::vector<std::u16string> lines;
  if (ReadWholeFile(path, bytes)) lines = SplitLines(Decode(bytes, encoding));

  // A value with blanks at its ends is quoted so that reading it back keeps them.
  std::u16string stored = value;
  if (!value.empty() && (Trim(value) != value || (value.front() == u'"' && value.back() == u'"'))) {
    stored = u"\"" + value + u"\"";
  }
  const std::u16string entry = key + u"=" + stored;

  bool inSection = false;
  bool done = false;
  size_t sectionEnd = 0;  // index after the last line of the matching section
  bool found = false;
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    std::u16string name;
    if (SectionName(lines[i], name)) {
      if (inSection) break;
      inSection = EqualsNoCase(name, section);
      if (inSection) { found = true; sectionEnd = i + 1; }
      continue;
    }
    if (!inSection) continue;
    std::u16string k, v;
    if (KeyValue(lines[i], k, v) && EqualsNoCase(k, key)) {
      lines[i] = entry;
      done = true;
    } else if (!Trim(lines[i]).empty()) {
      sectionEnd = i + 1;
    }
  }
  if (!done) {
    if (found) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), entry);
    } else {
      lines.push_back(u"[" + section + u"]");
      lines.push_back(entry);
    }
  }

  std::u16string text;
  for (const std::u16string& line : lines) text += line + u"\n";
  std::string out;
  if (encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be) {
    const bool big = encoding == Encoding::kUtf16Be;
    out = big ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : text) {
      const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
      out += big ? hi : lo;
      out += big ? lo : hi;
    }
  } else {
    if (encoding == Encoding::kUtf8Bom) out = "\xEF\xBB\xBF";
    out += plat::ToUtf8(text);
  }
  // Write beside and rename, so a failed write never leaves half a settings file.
  const std::string target = plat::ToUtf8(path);
  const std::string temp = target + ".tmp";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    if (!file.flush()) {
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), target.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}
