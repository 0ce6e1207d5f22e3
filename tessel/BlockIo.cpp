// Block-I/O plumbing: the image file and the engine's CImageComm behind one interface.
#include "Tessel.h"

#include "tessel/VolumeBuilder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace tessel {
namespace {

// Largest single request: the engine widens misaligned requests into a buffer of this size.
constexpr size_t kMaxRequest = size_t(1) << 20;

}  // namespace

bool BlockTarget::Zero(uint64_t offset, uint64_t length) {
  const std::vector<uint8_t> zeros(size_t(std::min<uint64_t>(length, kMaxRequest)), 0);
  while (length > 0) {
    const size_t n = size_t(std::min<uint64_t>(length, zeros.size()));
    if (!Write(zeros.data(), n, offset)) return false;
    offset += n;
    length -= n;
  }
  return true;
}

bool CommTarget::Write(const void* data, size_t length, uint64_t offset) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const uint32_t n = uint32_t(std::min(length, kMaxRequest));
    // The engine answers a widened request with the widened count, so more is fine.
    if (comm_->WriteBlock(p, n, int64_t(offset)) < n) return false;
    p += n;
    offset += n;
    length -= n;
  }
  return true;
}

bool CommTarget::Read(void* buffer, size_t length, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    const uint32_t n = uint32_t(std::min(length, kMaxRequest));
    if (comm_->ReadBlock(p, n, int64_t(offset)) < n) return false;
    p += n;
    offset += n;
    length -= n;
  }
  return true;
}

bool FileTarget::Write(const void* data, size_t length, uint64_t offset) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = pwrite(fd_, p, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += uint64_t(n);
    length -= size_t(n);
  }
  return true;
}

bool FileTarget::Read(void* buffer, size_t length, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    const ssize_t n = pread(fd_, p, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // reading past the end of the image is an error too
    p += n;
    offset += uint64_t(n);
    length -= size_t(n);
  }
  return true;
}

bool FileTarget::Zero(uint64_t offset, uint64_t length) {
  if (length == 0) return true;
  if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(offset), off_t(length)) ==
      0)
    return true;
  return BlockTarget::Zero(offset, length);  // file systems without holes
}

bool FileTarget::Flush() { return fsync(fd_) == 0; }

bool ClearSignatures(BlockTarget& target, uint64_t volumeSize) {
  const uint64_t head = std::min(volumeSize, kSignatureArea);
  if (!target.Zero(0, head)) return false;
  const uint64_t tailStart = std::max(head, volumeSize - std::min(volumeSize, kSignatureArea));
  return target.Zero(tailStart, volumeSize - tailStart);
}

}  // namespace tessel
