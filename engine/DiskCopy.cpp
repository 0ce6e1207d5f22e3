// The disk's bulk writes: the streaming copy of a file (its holes as zero ranges), zero
// ranges themselves, and clearing a whole card.
#include "AlignedBuffer.h"
#include "DiskLogicData.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "SourceReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

// Progress goes out once per 64 KiB of the copy (and at the end of each piece of data).
constexpr int64_t kProgressStep = 65536;
static_assert(kProgressStep % kSectorSize == 0);
// Direct writes wait for the device, so each must keep it busy: a whole number of the
// device's largest requests (none split into a full one and a stub), at least 4 MiB of
// them, so that several are in flight at once as with dd bs=4M.
constexpr uint64_t kDirectBatch = uint64_t(4) << 20;
constexpr uint64_t kMaxBatch = uint64_t(8) << 20;
// Buffered writes only fill the page cache; the write-behind below paces them.
constexpr uint64_t kBufferedBatch = uint64_t(1) << 20;
// Zeros written where a target cannot zero a range otherwise, per call.
constexpr uint64_t kZeroWrite = uint64_t(1) << 20;
// Buffered writes (image files) go out behind the copy; the copy waits for what is this far
// behind it, so memory holds little unwritten data and progress trails the device closely.
constexpr int64_t kWriteBehind = int64_t(32) << 20;
// Zero ranges go in pieces, each one progress step: a device without a zero-out command
// receives zeros from the kernel at its own pace.
constexpr uint64_t kZeroPiece = uint64_t(64) << 20;
constexpr uint64_t kClearPiece = uint64_t(32) << 20;
// Zero-out and discard take whole logical blocks; this covers every size up to a page.
constexpr int64_t kZeroAlign = 4096;
// Blocks read back after a discard to see whether the device returns zeros for it.
constexpr size_t kProbe = 4096;

int64_t RoundUp(int64_t value, int64_t unit) { return (value + unit - 1) / unit * unit; }
int64_t RoundDown(int64_t value, int64_t unit) { return value / unit * unit; }

int32_t PercentOf(int64_t written, int64_t fileSize) {
  if (fileSize <= 0) return 100;
  const double percent = static_cast<double>(written) / static_cast<double>(fileSize) * 100.0;
  // Zero padding after the file's last byte counts as written; the bar still stops at 100.
  return percent >= 100.0 ? 100 : static_cast<int32_t>(percent);
}

// Errors that mean "this target has no such command", not "the device failed".
bool CannotDo(int err) {
  return err == EOPNOTSUPP || err == ENOTTY || err == EINVAL || err == ENOSYS;
}

// The stretch of the source from `at` (a multiple of 512): data, or a hole, and where it
// ends. Holes shrink to the whole sectors they cover, so no byte of data is taken for one;
// a file system that knows no holes is data to its end.
struct Extent {
  bool hole;
  int64_t end;
};
Extent ExtentAt(SourceReader& source, int64_t at, int64_t fileEnd) {
  const auto data = static_cast<int64_t>(source.DataFrom(static_cast<uint64_t>(at)));
  if (data >= fileEnd) return {true, fileEnd};
  const int64_t holeEnd = RoundDown(data, kSectorSize);
  if (holeEnd > at) return {true, holeEnd};
  const auto hole = static_cast<int64_t>(source.HoleFrom(static_cast<uint64_t>(std::max(at, data))));
  return {false, std::min(RoundUp(hole, kSectorSize), fileEnd)};
}

}  // namespace

// The writing side of one streaming copy: the source read a batch at a time, written direct
// (block devices) or through the page cache with ranged syncs behind it (image files, and
// devices that refuse direct transfers); zero ranges between batches; a progress value per
// 64 KiB or zero piece once the device has it, the last ones after a flush. Positions are
// relative to the copy's start.
class CopyStream {
 public:
  CopyStream(CDiskLogicData& disk, int64_t start, int64_t fileSize)
      : disk_(disk),
        start_(start),
        fileSize_(fileSize),
        direct_(disk.StartDirect() != 0),
        batchSize_(direct_ ? BatchSize(disk.io_->MaxRequest(disk.handle), disk.directAlign_)
                           : kBufferedBatch),
        buffer_(batchSize_, disk.directAlign_) {}
  ~CopyStream() { disk_.EndDirect(); }
  CopyStream(const CopyStream&) = delete;
  CopyStream& operator=(const CopyStream&) = delete;

  // Where the next chunk goes, and how much room it has there (a multiple of 512).
  uint8_t* Next() const { return buffer_.data() + filled_; }
  size_t Room() const { return static_cast<size_t>(batchSize_) - filled_; }

  // The `length` bytes just put at Next(). Only the copy's last bytes may end inside a
  // sector; they are written exactly, and the disk's bytes after them stay.
  bool Add(size_t length) {
    const int64_t from = batchAt_ + static_cast<int64_t>(filled_);
    const int64_t to = from + static_cast<int64_t>(length);
    for (int64_t step = (from / kProgressStep + 1) * kProgressStep; step < to;
         step += kProgressStep) {
      pending_.push_back(step);
    }
    pending_.push_back(to);
    filled_ += length;
    return Room() >= kSectorSize || WriteBatch();
  }

  // [from, to) of the disk reads as zeros afterwards.
  bool Zero(int64_t from, int64_t to) {
    if (!WriteBatch()) return false;
    for (int64_t at = from; at < to;) {
      const int64_t n = std::min<int64_t>(static_cast<int64_t>(kZeroPiece), to - at);
      if (disk_.ZeroRange(start_ + at, static_cast<uint64_t>(n)) == 0) return false;
      lastOp_ = at;
      at += n;
      written_ = batchAt_ = at;
      disk_.position_ = start_ + at;
      pending_.push_back(at);
      if (!Settle()) return false;
    }
    return true;
  }

  // Writes what is left, waits until the device has all of it, and sends the last progress.
  bool Finish() {
    if (!WriteBatch()) return false;
    if (written_ > 0) {
      if (!direct_ && !Sync(written_)) return false;
      if (disk_.FlushDisk() == 0) return false;
    }
    Confirm(std::numeric_limits<int64_t>::max());
    return true;
  }

 private:
  static uint64_t BatchSize(uint64_t request, uint32_t align) {
    if (request == 0 || request % kSectorSize != 0 || request % align != 0) return kDirectBatch;
    if (request >= kMaxBatch) return kMaxBatch / align * align;
    return (kDirectBatch + request - 1) / request * request;
  }

  bool WriteBatch() {
    if (filled_ == 0) return true;
    const int64_t at = batchAt_;
    const int64_t done = disk_.WriteAt(buffer_.data(), filled_, start_ + at);
    disk_.position_ = start_ + at + std::max<int64_t>(done, 0);
    if (done != static_cast<int64_t>(filled_)) return false;  // reported
    if (!direct_) {
      // Start the device on it now; Settle waits for it once the copy is far enough ahead.
      // A device that fails here fails the waiting sync or the flush as well.
      disk_.io_->SyncRange(disk_.handle, start_ + at, filled_, false);
    }
    lastOp_ = at;
    batchAt_ = written_ = at + static_cast<int64_t>(filled_);
    filled_ = 0;
    return Settle();
  }

  // Progress for whatever has surely reached the device: direct, everything before the
  // latest write (which has returned); buffered, whatever the write-behind waited for.
  bool Settle() {
    if (direct_) {
      Confirm(lastOp_);
      return true;
    }
    const int64_t behind = written_ - kWriteBehind;
    if (behind > synced_ && !Sync(behind)) return false;
    Confirm(synced_);
    return true;
  }

  bool Sync(int64_t upTo) {
    if (upTo <= synced_) return true;
    while (disk_.io_->SyncRange(disk_.handle, start_ + synced_,
                                static_cast<uint64_t>(upTo - synced_), true) != 0) {
      const int err = errno;
      if (err == EINTR) continue;
      disk_.ReportError(u"WriteFileFailed", err);
      return false;
    }
    synced_ = upTo;
    return true;
  }

  void Confirm(int64_t upTo) {
    size_t n = 0;
    while (n < pending_.size() && pending_[n] <= upTo) {
      DiskJob.SetProPos(PercentOf(pending_[n], fileSize_));
      ++n;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
  }

  CDiskLogicData& disk_;
  const int64_t start_;
  const int64_t fileSize_;
  const bool direct_;
  const uint64_t batchSize_;
  AlignedBuffer buffer_;
  size_t filled_ = 0;         // bytes of the batch not yet written
  int64_t batchAt_ = 0;       // where the batch goes
  int64_t written_ = 0;       // end of what has been handed to the device
  int64_t lastOp_ = 0;        // start of the latest write or zero range
  int64_t synced_ = 0;        // buffered: end of what the device is known to hold
  std::vector<int64_t> pending_;  // ends of chunks and zero pieces without progress yet
};

int32_t CDiskLogicData::CopyFileToDisk(const std::u16string& path, int64_t limit) {
  if (handle < 0) return 0;
  const std::unique_ptr<SourceReader> source = OpenFileSource(path);
  if (source == nullptr) {
    DiskJob.ShowReport(errno == EBADMSG ? SourceFailureText(path, errno)
                                        : LocalText(u"OpenFileFailed", 0) + path);
    return 0;
  }
  // Progress counts the bytes the card receives: a compressed file's decompressed ones.
  const auto fileSize =
      static_cast<int64_t>(std::min<uint64_t>(source->Size(), std::numeric_limits<int64_t>::max()));
  DiskJob.SetProPos(0);
  limit = std::max<int64_t>(limit, 0);
  // Keeps every position below start + limit representable.
  limit = std::min(limit, std::numeric_limits<int64_t>::max() - position_);
  auto fileEnd = static_cast<int64_t>(
      std::min<uint64_t>(source->Size(), std::numeric_limits<int64_t>::max()));
  // A file that ends inside a sector has the rest of that sector written as zeros, unless
  // the limit comes first: then it ends exactly at the file's last byte.
  auto paddedEnd = [&]() {
    const int64_t padded = RoundUp(fileEnd, kSectorSize);
    return padded <= limit ? padded : fileEnd;
  };

  bool ok = true;
  {
    CopyStream stream(*this, position_, fileSize);
    int64_t at = 0;
    while (ok && at < std::min(fileEnd, limit)) {
      const Extent extent = ExtentAt(*source, at, fileEnd);
      const int64_t end = std::min(extent.end, limit);
      if (extent.hole) {
        ok = stream.Zero(at, end == fileEnd ? paddedEnd() : end);
        source->Skip(static_cast<uint64_t>(end - at));
        at = end;
        continue;
      }
      while (ok && at < end) {
        const size_t want =
            static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(stream.Room()), end - at));
        const int64_t got = source->Read(stream.Next(), want);
        if (got < 0) {
          DiskJob.ShowReport(SourceFailureText(path, errno));
          ok = false;
          break;
        }
        const size_t n = static_cast<size_t>(got);
        if (n < want) fileEnd = at + got;  // the file ended early: this is its end now
        if (n == 0) break;
        size_t length = n;
        if (n % kSectorSize != 0 && at + got == fileEnd) {
          length = static_cast<size_t>(paddedEnd() - at);
          std::memset(stream.Next() + n, 0, length - n);
        }
        ok = stream.Add(length);
        at += got;
      }
    }
    ok = ok && stream.Finish();
  }
  return ok ? 1 : 0;
}

int64_t CDiskLogicData::WriteZeros(int64_t offset, uint64_t length) {
  if (length == 0) return 0;
  const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, kZeroWrite));
  AlignedBuffer zeros(piece, directAlign_);
  std::memset(zeros.data(), 0, piece);
  uint64_t done = 0;
  while (done < length) {
    const uint64_t n = std::min<uint64_t>(piece, length - done);
    const int64_t put = WriteAt(zeros.data(), n, offset + static_cast<int64_t>(done));
    done += static_cast<uint64_t>(std::max<int64_t>(put, 0));
    if (put != static_cast<int64_t>(n)) break;  // reported
  }
  return static_cast<int64_t>(done);
}

bool CDiskLogicData::RangeOnDisk(int64_t offset, uint64_t length) const {
  if (offset >= 0 &&
      length <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - offset)) {
    return true;
  }
  ReportError(u"WriteFileFailed", EINVAL);
  return false;
}

int32_t CDiskLogicData::ZeroRange(int64_t offset, uint64_t length) {
  if (handle < 0 || !RangeOnDisk(offset, length)) return 0;
  const int64_t end = offset + static_cast<int64_t>(length);
  const int64_t from = RoundUp(offset, kZeroAlign);
  const int64_t to = RoundDown(end, kZeroAlign);
  if (!zeroOutRefused_ && to > from) {
    unflushed_ = true;
    int rc;
    while ((rc = io_->ZeroOut(handle, from, static_cast<uint64_t>(to - from))) != 0 &&
           errno == EINTR) {
    }
    if (rc == 0) {
      // The ends that cover a block only in part get their zeros written.
      const uint64_t head = static_cast<uint64_t>(from - offset);
      const uint64_t tail = static_cast<uint64_t>(end - to);
      return WriteZeros(offset, head) == static_cast<int64_t>(head) &&
                     WriteZeros(to, tail) == static_cast<int64_t>(tail)
                 ? 1
                 : 0;
    }
    const int err = errno;
    if (!CannotDo(err)) {
      ReportError(u"WriteFileFailed", err);
      return 0;
    }
    zeroOutRefused_ = true;
  }
  return WriteZeros(offset, length) == static_cast<int64_t>(length) ? 1 : 0;
}

int32_t CDiskLogicData::ClearRange(int64_t offset, uint64_t length) {
  if (handle < 0 || !RangeOnDisk(offset, length)) return 0;
  AlignedBuffer probe(kProbe, kPageAlign);
  // Discarded blocks read back as zeros on some devices and as old data or 0xFF on others:
  // a few blocks of each discarded piece are read back, and the first that is not zero ends
  // discarding for the rest of the card. 1 discarded, 0 not, -1 failed (reported).
  auto discard = [&](int64_t at, int64_t end) {
    if (discardRefused_ || end - at < kZeroAlign) return 0;
    unflushed_ = true;
    if (io_->Discard(handle, at, static_cast<uint64_t>(end - at)) != 0) {
      discardRefused_ = true;  // zeroing says so if the device has really failed
      return 0;
    }
    const int64_t middle = RoundDown(at + (end - at) / 2, kZeroAlign);
    for (int64_t sample : {at, middle, end - static_cast<int64_t>(kProbe)}) {
      if (ReadAt(probe.data(), kProbe, sample) != static_cast<int64_t>(kProbe)) return -1;
      if (std::any_of(probe.data(), probe.data() + kProbe, [](uint8_t b) { return b != 0; })) {
        discardRefused_ = true;
        return 0;
      }
    }
    return 1;
  };
  const int64_t rangeEnd = offset + static_cast<int64_t>(length);
  uint64_t done = 0;
  while (done < length) {
    const int64_t at = offset + static_cast<int64_t>(done);
    // Pieces end on whole blocks, so only the range's own ends are ever written as zeros.
    int64_t end = at + static_cast<int64_t>(std::min<uint64_t>(kClearPiece, length - done));
    if (end < rangeEnd && RoundDown(end, kZeroAlign) > at) end = RoundDown(end, kZeroAlign);
    const uint64_t n = static_cast<uint64_t>(end - at);
    const int64_t from = std::min(end, RoundUp(at, kZeroAlign));
    const int64_t to = std::max(from, RoundDown(end, kZeroAlign));
    const int discarded = discard(from, to);
    if (discarded < 0) return 0;
    const bool cleared = discarded > 0
                             ? ZeroRange(at, static_cast<uint64_t>(from - at)) != 0 &&
                                   ZeroRange(to, static_cast<uint64_t>(end - to)) != 0
                             : ZeroRange(at, n) != 0;
    if (!cleared) return 0;
    done += n;
    const double percent = static_cast<double>(done) * 100.0 / static_cast<double>(length);
    DiskJob.SetProPos(percent >= 99.0 ? 99 : static_cast<int32_t>(percent));
  }
  return 1;
}
