#include "Platform.h"

#include <cerrno>
#include <iconv.h>

namespace plat {

namespace {
constexpr char16_t kReplacementChar = 0xFFFD;

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Converts one step; returns false when the input at `in` cannot be converted (EILSEQ/EINVAL).
bool Step(iconv_t cd, char*& in, size_t& inLeft, std::string& out) {
  char buffer[4096];
  while (inLeft > 0) {
    char* o = buffer;
    size_t oLeft = sizeof buffer;
    const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, static_cast<size_t>(o - buffer));
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    return false;
  }
  char* o = buffer;
  size_t oLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, &o, &oLeft);
  out.append(buffer, static_cast<size_t>(o - buffer));
  return true;
}
}  // namespace

bool ToCodeSet(std::u16string_view text, const std::string& code, std::string& out,
               char replacement) {
  out.clear();
  Converter conv(code.c_str(), "UTF-16LE");
  if (!conv.ok()) return false;
  // Feed one character (one or two units) at a time past failures, so each unmappable
  // character becomes exactly one replacement byte.
  std::string le;
  le.reserve(text.size() * 2);
  for (char16_t u : text) {
    le += static_cast<char>(u & 0xFF);
    le += static_cast<char>(u >> 8);
  }
  char* in = le.data();
  size_t inLeft = le.size();
  while (inLeft > 0) {
    if (Step(conv.get(), in, inLeft, out)) break;
    // Skip the offending character: a surrogate pair is four bytes, anything else two.
    size_t skip = 2;
    if (inLeft >= 4) {
      const char16_t u = static_cast<char16_t>(static_cast<unsigned char>(in[0]) |
                                               (static_cast<unsigned char>(in[1]) << 8));
      const char16_t v = static_cast<char16_t>(static_cast<unsigned char>(in[2]) |
                                               (static_cast<unsigned char>(in[3]) << 8));
      if (u >= 0xD800 && u <= 0xDBFF && v >= 0xDC00 && v <= 0xDFFF) skip = 4;
    }
    if (skip > inLeft) skip = inLeft;
    in += skip;
    inLeft -= skip;
    out += replacement;
    iconv(conv.get(), nullptr, nullptr, nullptr, nullptr);
  }
  return true;
}

bool FromCodeSet(std::string_view bytes, const std::string& code, std::u16string& out) {
  out.clear();
  Converter conv("UTF-16LE", code.c_str());
  if (!conv.ok()) return false;
  std::string copy(bytes);
  char* in = copy.data();
  size_t inLeft = copy.size();
  std::string raw;
  auto flush = [&] {
    for (size_t i = 0; i + 1 < raw.size(); i += 2) {
      out += static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                   (static_cast<unsigned char>(raw[i + 1]) << 8));
    }
    raw.clear();
  };
  while (inLeft > 0) {
    const bool done = Step(conv.get(), in, inLeft, raw);
    flush();
    if (done) break;
    out += kReplacementChar;
    ++in;
    --inLeft;
    iconv(conv.get(), nullptr, nullptr, nullptr, nullptr);
  }
  flush();
  return true;
}

}  // namespace plat
