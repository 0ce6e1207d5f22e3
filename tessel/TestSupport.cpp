#include "TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace tessel::test {

bool MakeSparseFile(const std::string& path, uint64_t size) {
  return testsupport::WriteFile(path, "") && truncate(path.c_str(), off_t(size)) == 0;
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
  return n < 0 ? 0 : uint32_t(n);
}

int32_t FileComm::ZeroBlock(uint64_t length, int64_t offset) {
  log_.emplace_back(offset, length);
  if (offset < 0 || (failAfter_ >= 0 && offset + int64_t(length) > failAfter_)) return 0;
  return fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, base_ + offset,
                   off_t(length)) == 0;
}

uint32_t FileComm::ReadBlock(void* buffer, uint32_t length, int64_t offset) {
  if (length > largest_) largest_ = length;
  if (offset < 0 || (failAfter_ >= 0 && offset + int64_t(length) > failAfter_)) return 0;
  const ssize_t n = pread(fd_, buffer, length, base_ + offset);
  return n < 0 ? 0 : uint32_t(n);
}

std::string BlkidValues(const std::string& path, const std::string& tags) {
  return testsupport::ToolOutput("blkid -c /dev/null -p -o value " + tags + " " +
                                 testsupport::Quote(path));
}

std::string ExpectClean(Kind kind, const std::string& image) {
  const bool ext4 = kind == Kind::Ext4;
  std::string out;
  const std::string check = ext4 ? "e2fsck -fn " : "fsck.fat -n ";
  EXPECT_EQ(testsupport::RunTool(check + testsupport::Quote(image), &out), 0) << out;
  if (!ext4) {
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  }
  return out;
}

}  // namespace tessel::test
