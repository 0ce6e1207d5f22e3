#include "TestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace tessel::test {

bool MakeSparseFile(const std::string& path, uint64_t size) {
  return testsupport::WriteFile(path, "") && truncate(path.c_str(), off_t(size)) == 0;
}

uint64_t AllocatedBytes(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_blocks) * 512 : 0;
}

FileComm::FileComm(const std::string& path, int64_t base, int64_t failAfter)
    : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC)), base_(base), failAfter_(failAfter) {}

FileComm::~FileComm() {
  if (fd_ >= 0) close(fd_);
}

uint32_t FileComm::WriteBlock(const void* data, uint32_t length, int64_t offset) {
  log_.emplace_back(offset, length);
  if (length > largest_) largest_ = length;
  if (offset < 0 || (failAfter_ >= 0 && offset + int64_t(length) > failAfter_)) return 0;
  const ssize_t n = pwrite(fd_, data, length, base_ + offset);
  if (n > 0) bytesWritten_ += uint64_t(n);
  return n < 0 ? 0 : uint32_t(n);
}

int32_t FileComm::ZeroBlock(uint64_t length, int64_t offset) {
  log_.emplace_back(offset, length);
  if (offset < 0 || (failAfter_ >= 0 && offset + int64_t(length) > failAfter_)) return 0;
  if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, base_ + offset,
                off_t(length)) != 0) {
    return 0;
  }
  bytesZeroed_ += length;
  return 1;
}

uint32_t FileComm::ReadBlock(void* buffer, uint32_t length, int64_t offset) {
  if (length > largest_) largest_ = length;
  if (offset < 0 || (failAfter_ >= 0 && offset + int64_t(length) > failAfter_)) return 0;
  const ssize_t n = pread(fd_, buffer, length, base_ + offset);
  return n < 0 ? 0 : uint32_t(n);
}

int BlkidProbe(const std::string& blkid, const std::string& path, std::string* output) {
  // -c /dev/null: no cache; -p: low-level probe, which reports ambiguity as an error.
  return testsupport::RunTool(blkid + " -c /dev/null -p -o export " + testsupport::Quote(path),
                              output);
}

std::string ExpectClean(Kind kind, const std::string& image) {
  const bool ext4 = kind == Kind::Ext4;
  std::string out;
  const int status = testsupport::RunTool(
      testsupport::FindTool(ext4 ? "e2fsck" : "fsck.fat") + (ext4 ? " -fn " : " -n ") +
          testsupport::Quote(image),
      &out);
  EXPECT_EQ(status, 0) << out;
  if (!ext4) {
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  }
  return out;
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
