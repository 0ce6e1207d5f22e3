// Writes the manual pages and the bash completion from the programs' tables, in the
// catalogue's English section: brindle-mkdoc CATALOGUE OUTPUT_DIR
#include <fstream>
#include <iostream>
#include <string>

#include "Commands.h"
#include "LocalText.h"
#include "Platform.h"
#include "Usage.h"
#ifdef BRINDLE_WITH_GUI
#include "GuiUsage.h"
#endif

namespace {

constexpr int kEnglish = 2;

bool Write(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (out.flush()) return true;
  std::cerr << "brindle-mkdoc: cannot write " << path << "\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: brindle-mkdoc CATALOGUE OUTPUT_DIR\n";
    return 2;
  }
  const std::u16string catalogue = plat::FromUtf8(argv[1]);
  if (!plat::IsRegularFile(catalogue)) {
    std::cerr << "brindle-mkdoc: no catalogue at " << argv[1] << "\n";
    return 1;
  }
  const std::string out = argv[2];
  const TextLookup english = [&](const char16_t* key) {
    return LocalTextFrom(catalogue, kEnglish, key, 0);
  };
  bool ok = Write(out + "/brindle-cli.1", ManPage(CliProgram(), english)) &&
            Write(out + "/brindle-cli.bash-completion", BashCompletion(CliProgram()));
#ifdef BRINDLE_WITH_GUI
  ok = ok && Write(out + "/brindle.1", ManPage(GuiProgram(), english));
#endif
  return ok ? 0 : 1;
}
