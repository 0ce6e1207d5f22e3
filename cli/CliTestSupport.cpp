#include "CliTestSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "LocalText.h"
#include "Platform.h"

namespace cli_test {

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int ExitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

Outcome RunCli(const std::string& args, const std::string& input) {
  char errName[] = "/tmp/brindle-cli-err-XXXXXX";
  const int errFd = mkstemp(errName);
  EXPECT_GE(errFd, 0);
  if (errFd >= 0) close(errFd);
  const std::string command = Quote(std::string(BRINDLE_BIN_DIR) + "/brindle-cli") + " " + args +
                              " <" + Quote(input) + " 2>" + Quote(errName);
  Outcome outcome;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  if (pipe != nullptr) {
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.out.append(buffer, got);
    outcome.status = ExitStatus(pclose(pipe));
  }
  outcome.err = Slurp(errName);
  unlink(errName);
  return outcome;
}

ToolRun RunTool(const std::string& command) {
  ToolRun run;
  const std::string full = "PATH=$PATH:/usr/sbin:/sbin; " + command + " 2>&1";
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  run.status = ExitStatus(pclose(pipe));
  return run;
}

bool HaveTool(const std::string& tool) {
  return RunTool("command -v " + Quote(tool) + " >/dev/null").status == 0;
}

bool IsRoot() { return geteuid() == 0; }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string KeyText(const char16_t* key) { return plat::ToUtf8(LocalText(key, 0)); }

std::vector<std::string> LogTexts(const std::string& out) {
  static const std::regex kLogLine(R"(^(\d{8})-(\d{2}):(\d{2}):(\d{2})   (.*)$)");
  std::vector<std::string> texts;
  for (const std::string& line : SplitLines(out)) {
    std::smatch match;
    if (!std::regex_match(line, match, kLogLine)) {
      ADD_FAILURE() << "not a log line: '" << line << "'";
      continue;
    }
    EXPECT_LT(std::stoi(match[2]), 24) << line;
    EXPECT_LT(std::stoi(match[3]), 60) << line;
    texts.push_back(match[5]);
  }
  return texts;
}

std::vector<std::string> KeyTexts(const std::vector<const char16_t*>& keys) {
  std::vector<std::string> texts;
  for (const char16_t* key : keys) texts.push_back(KeyText(key));
  return texts;
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t count) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return bytes;
}

TempDir::TempDir() {
  char name[] = "/tmp/brindle-cli-test-XXXXXX";
  const char* made = mkdtemp(name);
  EXPECT_NE(made, nullptr);
  path_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
  if (path_ != "/tmp") RunTool("rm -rf " + Quote(path_));
}

std::string MissingExampleTool() {
  for (const char* tool : {"mkfs.fat", "mcopy", "mke2fs", "truncate"}) {
    if (!HaveTool(tool)) return tool;
  }
  return {};
}

bool MakeExample(const std::string& folder) {
  const ToolRun run =
      RunTool(Quote(std::string(BRINDLE_SOURCE_DIR) + "/examples/make-example") + " " + Quote(folder));
  EXPECT_EQ(run.status, 0) << run.output;
  return run.status == 0;
}

ToolRun CheckPartition(const std::string& image, const ExamplePart& part,
                       const std::string& scratch) {
  const ToolRun copy = RunTool("dd if=" + Quote(image) + " of=" + Quote(scratch) +
                               " bs=512 skip=" + std::to_string(part.start) +
                               " count=" + std::to_string(part.count) + " status=none");
  if (copy.status != 0) return copy;
  if (std::string(part.fsType) == "ext4") return RunTool("e2fsck -fn " + Quote(scratch));
  return RunTool("fsck.fat -n " + Quote(scratch));
}

}  // namespace cli_test
