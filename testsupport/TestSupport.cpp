#include "TestSupport.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace testsupport {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  // Short: the window tests put local sockets in here, whose paths have a small limit.
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/brindle-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int RunTool(const std::string& command, std::string* output) {
  // exec 2>&1 sends the error output of every part of a compound command along, not only
  // that of its last part.
  const std::string full = "PATH=\"$PATH:/usr/sbin:/sbin\"; export PATH; exec 2>&1; " + command;
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output != nullptr) *output = std::move(text);
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ToolOutput(const std::string& command) {
  std::string output;
  RunTool(command, &output);
  return output;
}

bool HaveTool(const std::string& name) {
  return RunTool("command -v " + Quote(name) + " >/dev/null") == 0;
}

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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), std::streamsize(content.size()));
  out.close();
  return !out.fail();
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  return WriteFile(path, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, uint64_t count) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(in.seekg(std::streamoff(offset)) ? count : 0);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  bytes.resize(size_t(in.gcount()));
  return bytes;
}

bool WriteBytesAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(std::streamoff(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  return !out.fail();
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string Utf16Bytes(std::u16string_view text, bool bigEndian) {
  std::string out;
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    out += bigEndian ? high : low;
    out += bigEndian ? low : high;
  }
  return out;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  Set(value);
}

ScopedEnv::~ScopedEnv() { Set(had_ ? old_.c_str() : nullptr); }

void ScopedEnv::Set(const char* value) const {
  if (value != nullptr) {
    setenv(name_.c_str(), value, 1);
  } else {
    unsetenv(name_.c_str());
  }
}

LoopDevice::LoopDevice(const std::string& image) {
  std::string output;
  if (RunTool("losetup -f --show -P " + Quote(image), &output) == 0 &&
      output.rfind("/dev/loop", 0) == 0) {
    name_ = output.substr(0, output.find('\n'));
  } else {
    error_ = output;
  }
}

LoopDevice::~LoopDevice() {
  for (const std::string& point : mounts_) umount2(point.c_str(), MNT_DETACH);
  if (!name_.empty()) RunTool("losetup -d " + Quote(name_));
}

}  // namespace testsupport
