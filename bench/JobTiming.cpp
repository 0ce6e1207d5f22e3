// job-timing: runs one engine job through libPlinth.so, as the front ends do, and prints when
// its progress reached 100 % and when its last line came, so a benchmark can show how long
// the bar stands full before the job ends.
//
//   job-timing write FIRMWARE_DIR TARGET SIZE
//   job-timing recover TARGET SIZE
//
// Output, one line: "total SECONDS last100 SECONDS gap SECONDS lines N", where last100 is the
// time of the last progress value 100 (-1 when none came), gap the time from it to the last
// output line. Exit status 0 when the job's last line is its success line.
#include "LocalText.h"
#include "Platform.h"
#include "PlinthBinding.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point gStart;
double gLast100 = -1;
double gLastLine = -1;
std::u16string gLastText;
int gLines = 0;

double Now() { return std::chrono::duration<double>(Clock::now() - gStart).count(); }

void OnOutput(const char16_t* line) {
  gLastLine = Now();
  gLastText = line != nullptr ? line : u"";
  ++gLines;
}
void OnShowPro(int32_t, int32_t) {}
void OnSetProPos(int32_t percent) {
  if (percent >= 100) gLast100 = Now();
}
void OnSetCopyTip(const char16_t*, const char16_t*, const char16_t*, const char16_t*,
                  const char16_t*) {}
void OnSetTime(int32_t) {}
void OnShowMsg(char16_t* text) {
  std::fprintf(stderr, "%s\n", plat::ToUtf8(text != nullptr ? text : u"").c_str());
  std::free(text);
}

int Usage() {
  std::fprintf(stderr,
               "usage: job-timing write FIRMWARE_DIR TARGET SIZE\n"
               "       job-timing recover TARGET SIZE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const bool write = std::strcmp(argv[1], "write") == 0;
  const bool recover = std::strcmp(argv[1], "recover") == 0;
  if ((!write || argc != 5) && (!recover || argc != 4)) return Usage();
  const std::u16string folder = write ? plat::FromUtf8(argv[2]) : u"";
  const std::u16string target = plat::FromUtf8(argv[write ? 3 : 2]);
  const uint64_t size = std::strtoull(argv[write ? 4 : 3], nullptr, 10);

  const PlinthCallbacks callbacks{OnOutput,   OnShowPro, OnSetProPos,
                                  OnSetCopyTip, OnSetTime, OnShowMsg};
  std::string error;
  gStart = Clock::now();
  if (!RunPlinthJob(PlinthLibrary::DefaultPath(), callbacks,
                    write ? PlinthJob::kWrite : PlinthJob::kRecover, folder, target, size,
                    &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const double total = Now();
  std::printf("total %.4f last100 %.4f gap %.4f lines %d\n", total, gLast100,
              gLast100 < 0 ? -1.0 : gLastLine - gLast100, gLines);
  const std::u16string success = LocalText(write ? u"WriteSucess" : u"RecoverSucess", 1);
  return gLastText == success ? 0 : 1;
}
