#include "DiskCompare.h"

#include "PlinthApp.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Reads of this size keep a card (and dd's bs=4M) busy; a few of them in flight let the card
// run ahead of the comparison.
constexpr size_t kBlockBytes = size_t(4) << 20;
constexpr size_t kBlocksInFlight = 4;
// Any logical block size direct reads can need (the disk takes at most 64 KiB).
constexpr size_t kBufferAlign = size_t(64) << 10;
static_assert(kBlockBytes % kBufferAlign == 0 && kBufferAlign % kSectorSize == 0);

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

Buffer AlignedBlock() {
  auto* p = static_cast<uint8_t*>(std::aligned_alloc(kBufferAlign, kBlockBytes));
  if (p == nullptr) throw std::bad_alloc();
  return Buffer(p);
}

// The blocks the card reader hands to the comparer, and how far each side has come.
class BlockRing {
 public:
  explicit BlockRing(uint64_t blocks) : blocks_(blocks) {
    for (Buffer& b : slots_) b = AlignedBlock();
  }
  uint8_t* Slot(uint64_t block) { return slots_[block % kBlocksInFlight].get(); }

  // Reader: waits until block `block` may be filled; false when the comparer has given up.
  bool WaitForRoom(uint64_t block) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return block < compared_ + kBlocksInFlight || comparerStopped_; });
    return !comparerStopped_;
  }
  void Filled(uint64_t block) { Update([&] { read_ = block + 1; }); }
  void ReaderDone() { Update([&] { readerDone_ = true; }); }

  // Comparer: waits until block `block` has been read; false when no more will be.
  bool WaitForBlock(uint64_t block) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return block < read_ || readerDone_; });
    return block < read_;
  }
  void Compared(uint64_t block) { Update([&] { compared_ = block + 1; }); }
  void ComparerStopped() { Update([&] { comparerStopped_ = true; }); }

  int32_t Percent() {
    std::lock_guard lock(mutex_);
    return blocks_ == 0 ? 100 : static_cast<int32_t>(compared_ * 100 / blocks_);
  }

 private:
  template <typename Change>
  void Update(Change change) {
    {
      std::lock_guard lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  Buffer slots_[kBlocksInFlight];
  uint64_t blocks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t read_ = 0;
  uint64_t compared_ = 0;
  bool readerDone_ = false;
  bool comparerStopped_ = false;
};

// The comparer's side: the expected bytes of each block, compared with what the card gave.
// Everything here runs on the helper thread; the results are read after it has ended.
struct Comparer {
  SourceReader& source;
  ExpectedExtent extent;
  uint64_t length;  // bytes of the extent on the card
  BlockRing& ring;

  std::vector<uint8_t> expected = std::vector<uint8_t>(kBlockBytes);  // made before the thread

  uint64_t firstBadSector = 0;
  uint64_t badSectors = 0;
  int sourceError = 0;

  void Run() {
    const uint64_t blocks = (length + kBlockBytes - 1) / kBlockBytes;
    for (uint64_t block = 0; block < blocks; ++block) {
      const uint64_t at = block * kBlockBytes;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlockBytes, length - at));
      // The source is read while the card reader is busy with this block.
      if (!Expect(expected.data(), at, n)) {
        ring.ComparerStopped();
        return;
      }
      if (!ring.WaitForBlock(block)) return;
      const uint8_t* card = ring.Slot(block);
      if (std::memcmp(card, expected.data(), n) != 0) CountSectors(card, expected.data(), at, n);
      ring.Compared(block);
    }
  }

  // Bytes [at, at + n) of the extent: the source's, then zeros.
  bool Expect(uint8_t* out, uint64_t at, size_t n) {
    const size_t fromSource =
        at >= extent.dataBytes
            ? 0
            : static_cast<size_t>(std::min<uint64_t>(n, extent.dataBytes - at));
    if (fromSource > 0) {
      const int64_t got = source.Read(out, fromSource);
      if (got != static_cast<int64_t>(fromSource)) {
        // A source that ends early has changed since the job checked it.
        sourceError = got < 0 ? errno : EIO;
        return false;
      }
    }
    std::memset(out + fromSource, 0, n - fromSource);
    return true;
  }

  void CountSectors(const uint8_t* card, const uint8_t* want, uint64_t at, size_t n) {
    for (size_t s = 0; s < n; s += kSectorSize) {
      const size_t m = std::min<size_t>(kSectorSize, n - s);
      if (std::memcmp(card + s, want + s, m) == 0) continue;
      if (badSectors == 0) {
        firstBadSector = (static_cast<uint64_t>(extent.diskOffset) + at + s) / kSectorSize;
      }
      ++badSectors;
    }
  }
};

}  // namespace

CompareResult CompareWithDisk(CDiskLogicData& disk, SourceReader& source,
                              const ExpectedExtent& extent, uint64_t cardBytes) {
  CompareResult result;
  DiskJob.SetProPos(0);
  const uint64_t total = extent.dataBytes + extent.zeroBytes;
  const uint64_t start = static_cast<uint64_t>(extent.diskOffset);
  const uint64_t onCard = start >= cardBytes ? 0 : std::min(total, cardBytes - start);

  const uint64_t blocks = (onCard + kBlockBytes - 1) / kBlockBytes;
  BlockRing ring(blocks);
  Comparer comparer{source, extent, onCard, ring};
  std::thread helper([&comparer] { comparer.Run(); });
  bool readFailed = false;
  int32_t shown = 0;
  for (uint64_t block = 0; block < blocks; ++block) {
    if (!ring.WaitForRoom(block)) break;
    const uint64_t at = block * kBlockBytes;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kBlockBytes, onCard - at));
    if (disk.SeekDisk(extent.diskOffset + static_cast<int64_t>(at)) == -1 ||
        disk.ReadDisk(ring.Slot(block), n) != n) {
      readFailed = true;  // reported by the disk
      break;
    }
    ring.Filled(block);
    if (const int32_t percent = ring.Percent(); percent != shown) {
      shown = percent;
      DiskJob.SetProPos(percent);
    }
  }
  ring.ReaderDone();
  helper.join();

  if (readFailed) {
    result.status = CompareResult::Status::kDiskReadFailed;
    return result;
  }
  if (comparer.sourceError != 0) {
    result.status = CompareResult::Status::kSourceFailed;
    result.sourceError = comparer.sourceError;
    return result;
  }
  result.firstBadSector = comparer.firstBadSector;
  result.badSectors = comparer.badSectors;
  if (onCard < total) {
    // The card ends inside the extent: every sector it lacks differs.
    const uint64_t missingFrom = (start + onCard) / kSectorSize;
    const uint64_t missing = (start + total + kSectorSize - 1) / kSectorSize - missingFrom;
    if (result.badSectors == 0) result.firstBadSector = missingFrom;
    result.badSectors += missing;
    result.pastEnd = true;
  }
  result.status = result.badSectors > 0 ? CompareResult::Status::kDiffers
                                        : CompareResult::Status::kSame;
  DiskJob.SetProPos(100);
  return result;
}
