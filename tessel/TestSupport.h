// Helpers shared by the volume builder's tests: temp folders, outside tools, a file-backed
// CImageComm target.
#pragma once

#include "tessel/VolumeBuilder.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessel::test {

// Full path of a tool found in PATH, /usr/sbin or /sbin; empty when missing.
std::string FindTool(const std::string& name);
// Runs a shell command, stdout and stderr together into `output`; returns the exit status.
int RunTool(const std::string& command, std::string* output = nullptr);
std::string Quote(const std::string& text);

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool MakeSparseFile(const std::string& path, uint64_t size);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& data);
std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t length);
uint64_t AllocatedBytes(const std::string& path);
uint64_t FileSize(const std::string& path);

// A CImageComm on a file: volume offset 0 is file offset `base`. With `failAfter` set, every
// request that reaches past that volume offset fails, as a dying card would.
class FileComm final : public CImageComm {
 public:
  FileComm(const std::string& path, int64_t base, int64_t failAfter = -1);
  ~FileComm();
  FileComm(const FileComm&) = delete;
  FileComm& operator=(const FileComm&) = delete;
  bool ok() const { return fd_ >= 0; }
  uint32_t WriteBlock(const void* data, uint32_t length, int64_t offset) override;
  uint32_t ReadBlock(void* buffer, uint32_t length, int64_t offset) override;
  uint64_t writes() const { return writes_; }
  // Every write request in order: volume offset and length.
  const std::vector<std::pair<int64_t, uint32_t>>& log() const { return log_; }
  uint32_t largestRequest() const { return largest_; }

 private:
  int fd_;
  int64_t base_;
  int64_t failAfter_;
  uint64_t writes_ = 0;
  uint32_t largest_ = 0;
  std::vector<std::pair<int64_t, uint32_t>> log_;
};

// blkid's low-level probe of a file: "TYPE=vfat\nVERSION=FAT32\n..." lines; exit status back.
int BlkidProbe(const std::string& blkid, const std::string& path, std::string* output);
// The value of KEY in blkid's export output, empty when absent.
std::string ExportValue(const std::string& output, const std::string& key);

constexpr uint64_t kMiB = uint64_t(1) << 20;
constexpr uint64_t kGiB = uint64_t(1) << 30;

}  // namespace tessel::test

#define TESSEL_REQUIRE_TOOL(var, name)                                       \
  const std::string var = ::tessel::test::FindTool(name);                    \
  if (var.empty()) GTEST_SKIP() << name << " is not installed"
