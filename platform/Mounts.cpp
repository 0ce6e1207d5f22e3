#include "Platform.h"

namespace plat {

std::string DecodeMountEscapes(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  const auto octal = [](char c, char top) { return c >= '0' && c <= top; };
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1], '3') &&
        octal(field[i + 2], '7') && octal(field[i + 3], '7')) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

}  // namespace plat
