// What the tests of every module share: a temporary folder, outside tools, whole files.
// The standard library and POSIX only, so that every test may link it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it. Throws
// std::runtime_error when none can be made, which fails the test that needed it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a shell command with /usr/sbin and /sbin on the path. Standard output and error, of
// every part of the command, go together into `output` when it is given. Returns the exit
// status, or -1 when the command could not run or did not exit normally.
int RunTool(const std::string& command, std::string* output = nullptr);
// RunTool's output alone, for checks that compare only what a tool printed.
std::string ToolOutput(const std::string& command);
// Whether an executable of that name is found in PATH, /usr/sbin or /sbin.
bool HaveTool(const std::string& name);
// Single quotes for the shell.
std::string Quote(const std::string& text);

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Makes `path` hold exactly the given content; false when it could not be written whole.
bool WriteFile(const std::string& path, std::string_view content);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
// Bytes [offset, offset + count) of a file; fewer at its end, none when it cannot be read.
std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, uint64_t count);
// Writes `bytes` into an existing file at `offset`; false unless all of them were written.
bool WriteBytesAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
// The size of a file in bytes; -1 when it does not exist.
int64_t FileSize(const std::string& path);
// UTF-16 code units as bytes, big- or little-endian, without a byte order mark.
std::string Utf16Bytes(std::u16string_view text, bool bigEndian);

// Sets an environment variable (unsets it for nullptr) and puts back what was there before
// when it goes out of scope, so a test leaves its process as it found it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  void Set(const char* value) const;

 private:
  std::string name_;
  bool had_;
  std::string old_;
};

// A loop device attached to an image file (losetup -f --show -P, so that the machine's shared
// loop devices are never guessed at), detached again whatever happens, after unmounting
// what the test said it mounted from it.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  // "/dev/loopN"; empty when none could be attached (error() says why).
  const std::string& name() const { return name_; }
  const std::string& error() const { return error_; }
  std::string Partition(int number) const { return name_ + "p" + std::to_string(number); }
  void Mounted(const std::string& point) { mounts_.push_back(point); }

 private:
  std::string name_;
  std::string error_;
  std::vector<std::string> mounts_;
};

}  // namespace testsupport
