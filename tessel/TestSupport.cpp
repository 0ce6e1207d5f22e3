#include "TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace tessel::test {

std::string FindTool(const std::string& name) {
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::stringstream list(dirs);
  std::string dir;
  while (std::getline(list, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

int RunTool(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessel-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool MakeSparseFile(const std::string& path, uint64_t size) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = ftruncate(fd, off_t(size)) == 0;
  return close(fd) == 0 && ok;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t length) {
  std::vector<uint8_t> data(length);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t n = pread(fd, data.data(), length, off_t(offset));
  close(fd);
  data.resize(n < 0 ? 0 : size_t(n));
  return data;
}

uint64_t AllocatedBytes(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
}

uint64_t FileSize(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

FileComm::FileComm(const std::string& path, int64_t base, int64_t failAfter)
    : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC)), base_(base), failAfter_(failAfter) {}

FileComm::~FileComm() {
  if (fd_ >= 0) close(fd_);
}

uint32_t FileComm::WriteBlock(const void* data, uint32_t length, int64_t offset) {
  ++writes_;
  log_.emplace_back(offset, length);
  if (length > largest_) largest_ = length;
  if (offset < 0 || (failAfter_ >= 0 && offset + int64_t(length) > failAfter_)) return 0;
  const ssize_t n = pwrite(fd_, data, length, base_ + offset);
  return n < 0 ? 0 : uint32_t(n);
}

uint32_t FileComm::ReadBlock(void* buffer, uint32_t length, int64_t offset) {
  if (length > largest_) largest_ = length;
  if (offset < 0 || (failAfter_ >= 0 && offset + int64_t(length) > failAfter_)) return 0;
  const ssize_t n = pread(fd_, buffer, length, base_ + offset);
  return n < 0 ? 0 : uint32_t(n);
}

int BlkidProbe(const std::string& blkid, const std::string& path, std::string* output) {
  // -c /dev/null: no cache; -p: low-level probe, which reports ambiguity as an error.
  return RunTool(blkid + " -c /dev/null -p -o export " + Quote(path), output);
}

std::string ExportValue(const std::string& output, const std::string& key) {
  std::stringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return {};
}

}  // namespace tessel::test
