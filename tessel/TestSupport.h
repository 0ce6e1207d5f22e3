// Helpers shared by the volume builder's tests: sparse files and a file-backed CImageComm
// target. Folders, tools and whole files are in testsupport/TestSupport.h.
#pragma once

#include "Tessel.h"
#include "tessel/VolumeBuilder.h"
#include "testsupport/TestSupport.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessel::test {

bool MakeSparseFile(const std::string& path, uint64_t size);

// A CImageComm on a file: volume offset 0 is file offset `base`. With `failAfter` set, every
// request that reaches past that volume offset fails, as a dying card would. Zero ranges
// become holes in the file.
class FileComm final : public CImageComm {
 public:
  FileComm(const std::string& path, int64_t base, int64_t failAfter = -1);
  ~FileComm();
  FileComm(const FileComm&) = delete;
  FileComm& operator=(const FileComm&) = delete;
  bool ok() const { return fd_ >= 0; }
  uint32_t WriteBlock(const void* data, uint32_t length, int64_t offset) override;
  uint32_t ReadBlock(void* buffer, uint32_t length, int64_t offset) override;
  int32_t ZeroBlock(uint64_t length, int64_t offset) override;
  // Every write and zero request in order: volume offset and length.
  const std::vector<std::pair<int64_t, uint64_t>>& log() const { return log_; }
  uint32_t largestRequest() const { return largest_; }

 private:
  int fd_;
  int64_t base_;
  int64_t failAfter_;
  uint32_t largest_ = 0;
  std::vector<std::pair<int64_t, uint64_t>> log_;
};

// blkid's low-level probe (no cache; ambiguity is an error and prints nothing) of the given
// tags, one value a line.
std::string BlkidValues(const std::string& path, const std::string& tags);

// fsck.fat -n (no word beyond its banner and summary) or e2fsck -fn must find the volume
// clean; their output comes back.
std::string ExpectClean(Kind kind, const std::string& image);

// Serial, UUID and time fixed, so that two builds give the same bytes.
inline BuildOptions FixedOptions() {
  BuildOptions o;
  o.volumeSerial = 0x12345678;
  o.uuid = std::array<uint8_t, 16>{0x0b, 0x1e, 0x55, 0xe1, 0x12, 0x34, 0x45, 0x67,
                                   0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67};
  o.time = 1700000000;
  return o;
}

constexpr uint64_t kMiB = uint64_t(1) << 20;
constexpr uint64_t kGiB = uint64_t(1) << 30;

}  // namespace tessel::test

#define TESSEL_REQUIRE_TOOLS(...)                  \
  for (const char* tool : {__VA_ARGS__})           \
    if (!::testsupport::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed"

// blkid and the checking tools of the kind's file system.
#define TESSEL_REQUIRE_CHECKERS(kind)                                             \
  TESSEL_REQUIRE_TOOLS("blkid", (kind) == ::tessel::Kind::Ext4 ? "e2fsck" : "fsck.fat", \
                       (kind) == ::tessel::Kind::Ext4 ? "debugfs" : "mcopy")
