#include "DiskLogicData.h"

#include "AlignedBuffer.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <linux/fs.h>
#include <new>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

CDiskLogicData* currentDisk = nullptr;

namespace {

// Linux moves at most this much in one read or write call anyway.
constexpr uint64_t kMaxTransfer = 0x40000000;
// A bounce buffer takes at most this much of a transfer at a time.
constexpr size_t kBounceBatch = size_t(1) << 20;
// The largest logical block size taken for direct transfers.
constexpr uint32_t kMaxDirectAlign = 65536;
static_assert(kBounceBatch % kMaxDirectAlign == 0);

class PosixIo final : public DiskIo {
 public:
  ssize_t ReadAt(int fd, void* buffer, size_t count, int64_t offset) override {
    return pread(fd, buffer, count, static_cast<off_t>(offset));
  }
  ssize_t WriteAt(int fd, const void* buffer, size_t count, int64_t offset) override {
    return pwrite(fd, buffer, count, static_cast<off_t>(offset));
  }
  int Flush(int fd) override { return fsync(fd); }
  uint32_t DirectOn(int fd) override {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
    int blockSize = 0;
    if (ioctl(fd, BLKSSZGET, &blockSize) != 0 || blockSize <= 0) return 0;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) return 0;
    return static_cast<uint32_t>(blockSize);
  }
  int DirectOff(int fd) override {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, flags & ~O_DIRECT);
  }
  int DropCache(int fd, int64_t offset, int64_t length) override {
    // Dirty pages are never dropped, so they are written back first.
    if (sync_file_range(fd, offset, length,
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                            SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
      return -1;
    }
    const int err = posix_fadvise(fd, offset, length, POSIX_FADV_DONTNEED);
    if (err != 0) {
      errno = err;
      return -1;
    }
    return 0;
  }
  uint64_t MaxRequest(int fd) override {
    // In 512-byte sectors; the kernel caps the answer at 65535.
    unsigned short sectors = 0;
    if (!IsBlockDevice(fd) || ioctl(fd, BLKSECTGET, &sectors) != 0) return 0;
    return uint64_t{sectors} * 512;
  }
  int SyncRange(int fd, int64_t offset, uint64_t length, bool wait) override {
    const unsigned flags = wait ? SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                      SYNC_FILE_RANGE_WAIT_AFTER
                                : SYNC_FILE_RANGE_WRITE;
    return sync_file_range(fd, offset, static_cast<off_t>(length), flags);
  }
  int ZeroOut(int fd, int64_t offset, uint64_t length) override {
    if (IsBlockDevice(fd)) {
      uint64_t range[2] = {static_cast<uint64_t>(offset), length};
      return ioctl(fd, BLKZEROOUT, range);
    }
    return PunchHole(fd, offset, length);
  }
  int Discard(int fd, int64_t offset, uint64_t length) override {
    if (IsBlockDevice(fd)) {
      uint64_t range[2] = {static_cast<uint64_t>(offset), length};
      return ioctl(fd, BLKDISCARD, range);
    }
    return PunchHole(fd, offset, length);
  }

 private:
  static bool IsBlockDevice(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
  }
  // The size stays: a hole past the end of an image must not make it longer or shorter.
  static int PunchHole(int fd, int64_t offset, uint64_t length) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
      errno = ENOTTY;
      return -1;
    }
    return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset,
                     static_cast<off_t>(length));
  }
};

bool SameBlockDevice(int fd, const std::string& path) {
  struct stat held;
  struct stat named;
  return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && S_ISBLK(held.st_mode) &&
         S_ISBLK(named.st_mode) && held.st_rdev == named.st_rdev;
}

// The descriptor handed over for one job. Closed when the library unloads unused.
struct HandedDisk {
  std::string path;
  int fd = -1;
  ~HandedDisk() { Drop(); }
  void Drop() {
    if (fd >= 0) close(fd);
    fd = -1;
    path.clear();
  }
  // The descriptor for `path`, once; -1 when none was handed over for it.
  int Take(const std::string& wanted) {
    if (fd < 0 || wanted != path) return -1;
    const int taken = fd;
    fd = -1;
    path.clear();
    // The path must still name the device the descriptor holds.
    if (!SameBlockDevice(taken, wanted)) {
      close(taken);
      return -1;
    }
    return taken;
  }
};

HandedDisk handed;

DiskIo* defaultIo = nullptr;

// A write-protected card opens for writing and fails only at its first write: it is refused
// here instead. The descriptor, or -1 (closed) with `err` EROFS.
int RefuseReadOnly(int fd, int access, int& err) {
  int readOnly = 0;
  if (access != O_RDWR || ioctl(fd, BLKROGET, &readOnly) != 0 || readOnly == 0) return fd;
  close(fd);
  err = EROFS;
  return -1;
}

// A block device is opened exclusively; a regular file is an image, locked for the job;
// nothing else is a disk. `access` is O_RDWR or O_RDONLY; a descriptor handed over for the
// path serves either. -1 with `err` set to an errno value: EROFS for a read-only device
// opened for writing, EBUSY for a target that is in use, ENOTBLK for something that is no disk.
int OpenTarget(const std::string& path, int access, int& err, bool& block) {
  if (const int fd = handed.Take(path); fd >= 0) {
    block = true;
    return RefuseReadOnly(fd, access, err);
  }
  struct stat before;
  if (stat(path.c_str(), &before) != 0) {
    err = errno;
    return -1;
  }
  block = S_ISBLK(before.st_mode);
  int flags = access | O_CLOEXEC | O_NOCTTY;
  if (block) {
    flags |= O_EXCL;
  } else if (!S_ISREG(before.st_mode)) {
    err = ENOTBLK;
    return -1;
  }
  int fd;
  do {
    fd = open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  // The path may have been replaced between the two looks.
  struct stat opened;
  err = 0;
  if (fstat(fd, &opened) != 0 || (opened.st_mode & S_IFMT) != (before.st_mode & S_IFMT)) {
    err = ENOTBLK;
  } else if (block) {
    return RefuseReadOnly(fd, access, err);
  } else if (flock(fd, (access == O_RDWR ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    // As the exclusive open holds a block device: a second job on the image is refused while
    // one writes it; jobs that only read may share it.
    err = errno == EWOULDBLOCK ? EBUSY : errno;
  }
  if (err != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::u16string OpenFailureText(const std::u16string& path, int err, bool block) {
  // A write-protected card; an image file on a read-only file system just says so.
  if (err == EROFS && block) return LocalText(u"DiskReadOnly", 0) + path;
  if (err == EBUSY) return LocalText(u"DiskInUse", 0) + path;
  std::u16string text = LocalText(u"OpenDiskReason", 0) + path + u": " + plat::ErrorText(err);
  // Only a device needs root, and only a process without it is told so.
  if (block && (err == EACCES || err == EPERM) && geteuid() != 0) {
    text += u"\n" + LocalText(u"DiskNeedsRoot", 0);
  }
  return text;
}

// Of `moved` bytes that start `head` bytes before the caller's, how many were the caller's.
uint64_t PastHead(int64_t moved, uint64_t head) {
  return moved > 0 && static_cast<uint64_t>(moved) > head ? static_cast<uint64_t>(moved) - head : 0;
}

// Room for the blocks any `count` bytes cover, up to one batch.
size_t BounceSize(uint64_t count, uint64_t align) {
  return static_cast<size_t>(
      std::min<uint64_t>(kBounceBatch, (count + 2 * align - 2) / align * align));
}

}  // namespace

bool HandOverDisk(const std::u16string& path, int fd) {
  const std::string native = plat::ToUtf8(path);
  if (fd < 0 || !SameBlockDevice(fd, native)) return false;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) != O_RDWR) return false;
  // An exclusive hold makes every other exclusive open fail with EBUSY. Where this process
  // may open the device at all, a second exclusive open that succeeds proves there is none.
  const int probe = open(native.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (probe >= 0) {
    close(probe);
    return false;
  }
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  handed.Drop();
  handed.path = native;
  handed.fd = copy;
  return true;
}

DiskIo& PosixDiskIo() {
  static PosixIo io;
  return io;
}

void CDiskLogicData::SetDefaultIo(DiskIo* io) { defaultIo = io; }

CDiskLogicData::CDiskLogicData() : io_(defaultIo != nullptr ? defaultIo : &PosixDiskIo()) {
  currentDisk = this;
}

CDiskLogicData::~CDiskLogicData() {
  CloseDisk();
  if (currentDisk == this) currentDisk = nullptr;
}

int32_t CDiskLogicData::OpenDisk(const std::u16string& path) { return Open(path, O_RDWR); }

int32_t CDiskLogicData::OpenDiskForReading(const std::u16string& path) {
  return Open(path, O_RDONLY);
}

int32_t CDiskLogicData::Open(const std::u16string& path, int access) {
  DiskJob.ReportKey(u"OpenDisk");
  int err = 0;
  bool block = false;
  const int fd = OpenTarget(plat::ToUtf8(path), access, err, block);
  if (fd < 0) {
    DiskJob.ShowReport(OpenFailureText(path, err, block));
    DiskJob.ReportKey(u"OpenDiskFailed");
    return 0;
  }
  CloseDisk();
  handle = fd;
  position_ = 0;
  unflushed_ = true;  // whatever came before this job, the first flush is made
  DiskJob.ReportKey(u"OpenDiskSuccess");
  return 1;
}

void CDiskLogicData::CloseDisk() {
  if (handle < 0) return;
  close(handle);  // nothing to retry: on Linux the descriptor is gone whatever close says
  handle = -1;
}

int32_t CDiskLogicData::SeekToStart() {
  if (handle < 0) return -1;
  position_ = 0;
  return 0;
}

int32_t CDiskLogicData::SeekDisk(int64_t offset) {
  if (handle < 0) return -1;
  if (offset < 0) {
    ReportError(u"WriteFileFailed", EINVAL);
    return -1;
  }
  position_ = offset;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(offset)));
}

int64_t CDiskLogicData::ReadDisk(void* buffer, uint32_t count) {
  if (handle < 0) return -1;
  const int64_t done = ReadAt(buffer, count, position_);
  position_ += done;
  return done;
}

int64_t CDiskLogicData::WriteDisk(const void* buffer, uint32_t count) {
  if (handle < 0) return -1;
  const int64_t done = WriteAt(buffer, count, position_);
  position_ += done;
  return done;
}

int64_t CDiskLogicData::WriteSector(const void* buffer, uint32_t sector) {
  if (SeekDisk(static_cast<int64_t>(sector) * kSectorSize) == -1) return 0;
  return WriteDisk(buffer, kSectorSize);
}

int32_t CDiskLogicData::FlushDisk() {
  if (handle < 0) return 0;
  // Nothing written since the last flush: all of it is on the device already, and a flush
  // of an idle loop device over a busy disk may still take a noticeable time.
  if (!unflushed_) return 1;
  while (io_->Flush(handle) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    ReportError(u"WriteFileFailed", err);
    return 0;
  }
  unflushed_ = false;
  return 1;
}

int32_t CDiskLogicData::DropCachedRange(int64_t offset, int64_t length) {
  if (handle < 0) return 0;
  while (io_->DropCache(handle, offset, length) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    ReportError(u"ReadFileFailed", err);
    return 0;
  }
  return 1;
}

int64_t CDiskLogicData::OpenedSize() const {
  struct stat st;
  if (handle < 0 || fstat(handle, &st) != 0) return -1;
  if (S_ISREG(st.st_mode)) return st.st_size;
  uint64_t bytes = 0;
  if (S_ISBLK(st.st_mode) && ioctl(handle, BLKGETSIZE64, &bytes) == 0 &&
      bytes <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return static_cast<int64_t>(bytes);
  }
  return -1;
}

int64_t CDiskLogicData::GetFileLength(const std::u16string& path) {
  struct stat st;
  if (stat(plat::ToUtf8(path).c_str(), &st) != 0) return -1;
  if (S_ISREG(st.st_mode)) return st.st_size;
  if (S_ISBLK(st.st_mode)) return plat::FileLength(path);
  return -1;
}

uint32_t CDiskLogicData::SetTotalSectors(uint64_t diskBytes) {
  // Beyond 2 TiB a 32-bit count cannot hold the disk; wrapping would make it look small.
  totalSectors = static_cast<uint32_t>(
      std::min<uint64_t>(diskBytes / kSectorSize, std::numeric_limits<uint32_t>::max()));
  return totalSectors;
}

std::u16string CDiskLogicData::GetErrorText(int code) const { return plat::ErrorText(code); }

int64_t CDiskLogicData::ReadAt(void* buffer, uint64_t count, int64_t offset) {
  if (offset < 0 || count > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - offset)) {
    ReportError(u"ReadFileFailed", EINVAL);
    return 0;
  }
  if (DirectFits(buffer, count, offset)) return RawReadAt(buffer, count, offset);
  return BounceReadAt(static_cast<uint8_t*>(buffer), count, offset);
}

int64_t CDiskLogicData::WriteAt(const void* buffer, uint64_t count, int64_t offset) {
  if (offset < 0 || count > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - offset)) {
    ReportError(u"WriteFileFailed", EINVAL);
    return 0;
  }
  if (DirectFits(buffer, count, offset)) return RawWriteAt(buffer, count, offset);
  return BounceWriteAt(static_cast<const uint8_t*>(buffer), count, offset);
}

bool CDiskLogicData::DirectFits(const void* buffer, uint64_t count, int64_t offset) const {
  if (directAlign_ == 0) return true;
  return reinterpret_cast<uintptr_t>(buffer) % directAlign_ == 0 && count % directAlign_ == 0 &&
         static_cast<uint64_t>(offset) % directAlign_ == 0;
}

// The covering blocks are transferred whole, a batch at a time; a write first reads the
// blocks it covers only in part, so the bytes around it stay as they are.
int64_t CDiskLogicData::BounceReadAt(uint8_t* bytes, uint64_t count, int64_t offset) {
  const uint64_t align = directAlign_;
  AlignedBuffer bounce(BounceSize(count, align), align);
  uint64_t done = 0;
  while (done < count) {
    const int64_t at = offset + static_cast<int64_t>(done);
    const uint64_t head = static_cast<uint64_t>(at) % align;
    const uint64_t length = std::min<uint64_t>(count - done, kBounceBatch - head);
    const uint64_t span = (head + length + align - 1) / align * align;
    const int64_t got = RawReadAt(bounce.data(), span, at - static_cast<int64_t>(head));
    const uint64_t moved = std::min(length, PastHead(got, head));
    std::memcpy(bytes + done, bounce.data() + head, moved);
    done += moved;
    if (static_cast<uint64_t>(got) != span) break;  // reported
  }
  return static_cast<int64_t>(done);
}

int64_t CDiskLogicData::BounceWriteAt(const uint8_t* bytes, uint64_t count, int64_t offset) {
  const uint64_t align = directAlign_;
  AlignedBuffer bounce(BounceSize(count, align), align);
  uint64_t done = 0;
  while (done < count) {
    const int64_t at = offset + static_cast<int64_t>(done);
    const uint64_t head = static_cast<uint64_t>(at) % align;
    const uint64_t length = std::min<uint64_t>(count - done, kBounceBatch - head);
    const uint64_t span = (head + length + align - 1) / align * align;
    const int64_t blockAt = at - static_cast<int64_t>(head);
    if (head != 0 &&
        RawReadAt(bounce.data(), align, blockAt) != static_cast<int64_t>(align)) {
      break;
    }
    const bool partTail = (head + length) % align != 0;
    if (partTail && (span > align || head == 0) &&
        RawReadAt(bounce.data() + span - align, align,
                  blockAt + static_cast<int64_t>(span - align)) != static_cast<int64_t>(align)) {
      break;
    }
    std::memcpy(bounce.data() + head, bytes + done, length);
    const int64_t put = RawWriteAt(bounce.data(), span, blockAt);
    done += std::min(length, PastHead(put, head));
    if (static_cast<uint64_t>(put) != span) break;  // reported
  }
  return static_cast<int64_t>(done);
}

uint32_t CDiskLogicData::StartDirect() {
  const uint32_t align = io_->DirectOn(handle);
  directAlign_ = align;
  if (align == 0) return 0;
  // The engine's 512-byte sectors must be whole blocks of the bounce and batch buffers.
  if (align % kSectorSize != 0 || (align & (align - 1)) != 0 || align > kMaxDirectAlign) {
    io_->DirectOff(handle);
    directAlign_ = 0;
  }
  return directAlign_;
}

void CDiskLogicData::EndDirect() {
  if (directAlign_ == 0) return;
  // Should switching back fail, transfers stay aligned: they still work, only slower.
  if (io_->DirectOff(handle) == 0) directAlign_ = 0;
}

int64_t CDiskLogicData::RawReadAt(void* buffer, uint64_t count, int64_t offset) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < count) {
    const size_t chunk = static_cast<size_t>(std::min(count - done, kMaxTransfer));
    const ssize_t n = io_->ReadAt(handle, bytes + done, chunk, offset + static_cast<int64_t>(done));
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      ReportError(u"ReadFileFailed", err);
      break;
    }
    if (n == 0) {
      // The end of the disk: the caller asked for bytes that are not there.
      ReportError(u"ReadFileFailed", EIO);
      break;
    }
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t CDiskLogicData::RawWriteAt(const void* buffer, uint64_t count, int64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  unflushed_ = true;
  uint64_t done = 0;
  while (done < count) {
    const size_t chunk = static_cast<size_t>(std::min(count - done, kMaxTransfer));
    const ssize_t n =
        io_->WriteAt(handle, bytes + done, chunk, offset + static_cast<int64_t>(done));
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      ReportError(u"WriteFileFailed", err);
      break;
    }
    if (n == 0) {
      // A write that moves nothing is the device being full.
      ReportError(u"WriteFileFailed", ENOSPC);
      break;
    }
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

void CDiskLogicData::ReportError(const char16_t* key, int err) const {
  // errno 0 would read "Success"; a failure must never look like one.
  DiskJob.ShowReport(LocalText(key, 0) + GetErrorText(err != 0 ? err : EIO));
}
