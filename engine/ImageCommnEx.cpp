#include "ImageCommnEx.h"

#include "DiskLogicData.h"
#include "PlinthApp.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A long zero range goes in pieces, each reported as a write of its own.
constexpr uint64_t kZeroPiece = uint64_t(64) << 20;

uint64_t RoundUpToSector(uint64_t bytes) {
  return (bytes + kSectorSize - 1) / kSectorSize * kSectorSize;
}

}  // namespace

// Progress of an in-place build follows the highest offset written: a request above the
// mark moves it. A short request just above a long one would move the bar back, so such a
// value is not sent. 100 belongs to the end of the build, sent once the builder has returned.
void CImageCommnEx::ReportProgress(CDiskLogicData& disk, int64_t offset, uint64_t length) {
  if (offset <= disk.fsProgressMark || disk.fsSize == 0) return;
  disk.fsProgressMark = offset;
  int64_t percent = static_cast<int64_t>((static_cast<double>(offset) + static_cast<double>(length)) *
                                         100.0 / static_cast<double>(disk.fsSize));
  if (percent >= 100) percent = 99;
  if (percent < lastPercent_) return;
  lastPercent_ = static_cast<int32_t>(percent);
  DiskJob.SetProPos(lastPercent_);
}

uint32_t CImageCommnEx::WriteBlock(const void* data, uint32_t length, int64_t offset) {
  CDiskLogicData* disk = currentDisk;
  if (disk == nullptr || offset < 0) return 0;
  const int64_t position = static_cast<int64_t>(disk->fsStartSector) * kSectorSize + offset;
  const uint32_t r = static_cast<uint32_t>(position % kSectorSize);
  const int64_t aligned = position - r;
  int64_t written = 0;
  int64_t expected = length;
  if (r == 0 && length % kSectorSize == 0) {
    if (disk->SeekDisk(position) == -1) return 0;
    written = disk->WriteDisk(data, length);
  } else {
    // Read the covering sectors, lay the data over them, write them back.
    const uint64_t widened = RoundUpToSector(uint64_t{r} + length);
    if (widened > UINT32_MAX) return 0;
    std::vector<uint8_t> buffer(widened);
    if (disk->SeekDisk(aligned) == -1) return 0;
    if (disk->ReadDisk(buffer.data(), static_cast<uint32_t>(widened)) !=
        static_cast<int64_t>(widened)) {
      failed_ = true;
      return 0;
    }
    std::memcpy(buffer.data() + r, data, length);
    if (disk->SeekDisk(aligned) == -1) return 0;
    expected = static_cast<int64_t>(widened);
    written = disk->WriteDisk(buffer.data(), static_cast<uint32_t>(widened));
  }
  if (written != expected) failed_ = true;
  ReportProgress(*disk, offset, length);
  return written > 0 ? static_cast<uint32_t>(written) : 0;
}

int32_t CImageCommnEx::ZeroBlock(uint64_t length, int64_t offset) {
  CDiskLogicData* disk = currentDisk;
  if (disk == nullptr || offset < 0) return 0;
  const int64_t base = static_cast<int64_t>(disk->fsStartSector) * kSectorSize;
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = std::min(kZeroPiece, length - done);
    const int64_t at = offset + static_cast<int64_t>(done);
    if (disk->ZeroRange(base + at, n) == 0) {
      failed_ = true;
      return 0;
    }
    ReportProgress(*disk, at, n);
    done += n;
  }
  return 1;
}

uint32_t CImageCommnEx::ReadBlock(void* buffer, uint32_t length, int64_t offset) {
  CDiskLogicData* disk = currentDisk;
  if (disk == nullptr || offset < 0) return 0;
  const int64_t position = static_cast<int64_t>(disk->fsStartSector) * kSectorSize + offset;
  const uint32_t r = static_cast<uint32_t>(position % kSectorSize);
  if (r == 0 && length % kSectorSize == 0) {
    if (disk->SeekDisk(position) == -1) return 0;
    const int64_t got = disk->ReadDisk(buffer, length);
    if (got != static_cast<int64_t>(length)) failed_ = true;
    return got > 0 ? static_cast<uint32_t>(got) : 0;
  }
  const uint64_t widened = RoundUpToSector(uint64_t{r} + length);
  if (widened > UINT32_MAX) return 0;
  std::vector<uint8_t> sectors(widened);
  if (disk->SeekDisk(position - r) == -1) return 0;
  const int64_t got = disk->ReadDisk(sectors.data(), static_cast<uint32_t>(widened));
  if (got != static_cast<int64_t>(widened)) {
    failed_ = true;
    return 0;
  }
  std::memcpy(buffer, sectors.data() + r, length);
  return static_cast<uint32_t>(widened);
}
