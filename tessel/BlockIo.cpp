// Block-I/O plumbing: the image file and the engine's CImageComm behind one interface.
#include "Tessel.h"

#include "tessel/VolumeBuilder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace tessel {
namespace {

// Largest single request: the engine widens misaligned requests into a buffer of this size.
constexpr size_t kMaxRequest = size_t(1) << 20;
constexpr uint64_t kSector = 512;
// Granule of ZeroWhereNotZero: a file system block, and a page of the device's cache. It
// reads 64 KiB at a time into one small buffer: a fresh megabyte costs more in page faults
// than the reads themselves, and the kernel reads ahead of a sequential reader anyway.
constexpr size_t kCheckPiece = 4096;
constexpr size_t kCheckRead = 16 * kCheckPiece;
static_assert(kCheckRead % kCheckPiece == 0);

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

bool CommTarget::Zero(uint64_t offset, uint64_t length) {
  return length == 0 || comm_->ZeroBlock(length, int64_t(offset)) != 0;
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

uint64_t WholeSectorsEnd(uint64_t volumeSize) { return volumeSize / kSector * kSector; }

bool BlockTarget::ZeroWhereNotZero(uint64_t from, uint64_t to) {
  if (from >= to) return true;
  static const uint8_t kZeros[kCheckPiece] = {};
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kCheckRead]);
  // Each run of pieces holding anything but zeros is cleared with one request.
  uint64_t runStart = 0;
  bool inRun = false;
  for (uint64_t at = from; at < to;) {
    const size_t span = size_t(std::min<uint64_t>(to - at, kCheckRead));
    if (!Read(buffer.get(), span, at)) return false;
    for (size_t piece = 0; piece < span; piece += kCheckPiece) {
      const size_t n = std::min(kCheckPiece, span - piece);
      const bool dirty = std::memcmp(buffer.get() + piece, kZeros, n) != 0;
      if (dirty && !inRun) runStart = at + piece;
      if (!dirty && inRun && !Zero(runStart, at + piece - runStart)) return false;
      inRun = dirty;
    }
    at += span;
  }
  return !inRun || Zero(runStart, to - runStart);
}

}  // namespace tessel
