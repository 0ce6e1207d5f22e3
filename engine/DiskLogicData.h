// The open target disk of one job: a block device or a disk image file, addressed in 512-byte
// sectors with 64-bit byte positions. Every failure of the disk is reported once, where it is
// detected, as a localised text through the job's message-box callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include "PlinthApp.h"

// Bytes per sector on the card. The device is never asked: every card this system writes
// uses 512-byte addressing.
inline constexpr uint32_t kSectorSize = 512;

// The operating-system side of the disk: positioned transfers and the flush on an open
// descriptor. Tests put a file-backed disk with injected failures in its place.
class DiskIo {
 public:
  virtual ~DiskIo() = default;
  // Each transfer moves at most `count` bytes at byte `offset` and returns the number moved,
  // 0 at the end of the file (read) or when nothing could be written, or -1 with errno set.
  virtual ssize_t ReadAt(int fd, void* buffer, size_t count, int64_t offset) = 0;
  virtual ssize_t WriteAt(int fd, const void* buffer, size_t count, int64_t offset) = 0;
  // 0, or -1 with errno set.
  virtual int Flush(int fd) = 0;
  // Direct transfers (O_DIRECT: no page cache, so each write returns once the device has
  // it). DirectOn switches a block device's descriptor to them and returns the alignment
  // they need (the device's logical block size) for memory, offsets and lengths; 0 when the
  // target is no block device or refuses them, and transfers stay buffered. DirectOff
  // switches back: 0, or -1 with errno set.
  virtual uint32_t DirectOn(int fd) = 0;
  virtual int DirectOff(int fd) = 0;
  // Writes the range's cached pages back and drops them, so that its next read comes from the
  // device: 0, or -1 with errno set.
  virtual int DropCache(int fd, int64_t offset, int64_t length) = 0;
  // The largest request the device takes whole, in bytes; 0 when it does not say.
  virtual uint64_t MaxRequest(int fd) = 0;
  // Starts writing [offset, offset + length) of buffered writes out to the device; with
  // `wait`, returns once that range has reached it. 0, or -1 with errno set.
  virtual int SyncRange(int fd, int64_t offset, uint64_t length, bool wait) = 0;
  // Makes the range read as zeros without sending them: the device's zero-out, or a hole in
  // an image file. Discard drops the range from the device, which may or may not read back
  // as zeros afterwards. 0, or -1 with errno set: EOPNOTSUPP, ENOTTY or EINVAL when the
  // target cannot, and the caller sends zeros.
  virtual int ZeroOut(int fd, int64_t offset, uint64_t length) = 0;
  virtual int Discard(int fd, int64_t offset, uint64_t length) = 0;
};

// pread / pwrite / fsync; O_DIRECT through fcntl, alignment from BLKSSZGET; request size
// from the device's max_sectors_kb; sync_file_range; BLKZEROOUT and BLKDISCARD on block
// devices, FALLOC_FL_PUNCH_HOLE on image files.
DiskIo& PosixDiskIo();

class CDiskLogicData {
 public:
  CDiskLogicData();  // becomes `currentDisk`
  // Closes a disk that is still open, so an exclusively opened device is never left held.
  virtual ~CDiskLogicData();
  CDiskLogicData(const CDiskLogicData&) = delete;
  CDiskLogicData& operator=(const CDiskLogicData&) = delete;

  // Opens a block device (exclusively, which also keeps the system from mounting it) or an
  // existing regular image file (locked for the job, so a second job on it is refused) for
  // reading and writing. Output lines "OpenDisk" then "OpenDiskSuccess" (1), or the reason in
  // a report and "OpenDiskFailed" (0). A read-only device is refused here, not at its first
  // write. Anything else, or a missing path, fails; nothing is ever created.
  int32_t OpenDisk(const std::u16string& path);
  // The same for reading only, so that a write-protected card can be checked.
  int32_t OpenDiskForReading(const std::u16string& path);
  // Closes the handle and forgets it, so a later call cannot reach a reused descriptor.
  void CloseDisk();
  bool IsOpen() const { return handle >= 0; }

  // -1 with no disk open (silently), else 0.
  int32_t SeekToStart();
  // Moves to byte `offset`. Returns the low 32 bits of the new position, or -1 after
  // reporting "WriteFileFailed" (negative offset); -1 silently with no disk open.
  int32_t SeekDisk(int64_t offset);
  // Transfer `count` bytes at the current position and advance it by what was moved.
  // -1 with no disk open (silently). Otherwise the number of bytes moved; a transfer that
  // cannot complete is reported ("ReadFileFailed" / "WriteFileFailed" with the system's
  // error text) and returns the partial count, 0 if nothing moved.
  int64_t ReadDisk(void* buffer, uint32_t count);
  int64_t WriteDisk(const void* buffer, uint32_t count);
  // Writes 512 bytes at sector * 512 (64-bit). The WriteDisk result, or 0 when the seek failed.
  int64_t WriteSector(const void* buffer, uint32_t sector);
  // Makes everything written so far reach the device (at once when nothing was written since
  // the last flush). 1, or 0 after reporting "WriteFileFailed"; 0 silently with no disk open.
  int32_t FlushDisk();

  // Reads that show what the device holds, not what memory remembers of it: direct reads from
  // a block device that takes them; otherwise the caller first drops what it is going to read
  // from the cache (DropCachedRange). Off again with EndUncachedReads or CloseDisk.
  void BeginUncachedReads() { StartDirect(); }
  void EndUncachedReads() { EndDirect(); }
  bool ReadsDirect() const { return directAlign_ != 0; }
  // 1, or 0 after reporting "ReadFileFailed"; 0 silently with no disk open.
  int32_t DropCachedRange(int64_t offset, int64_t length);
  // The size in bytes of the open target (an image file's length, a device's capacity);
  // -1 with no disk open or when the system cannot say.
  int64_t OpenedSize() const;

  // Size in bytes of a regular file (or block device); -1 when there is none at `path`.
  // Never blocks on a FIFO. Needs no open disk: validation asks it before there is one.
  static int64_t GetFileLength(const std::u16string& path);
  // Copies the file to the disk from the current position, writing every byte of the file
  // up to `limit` bytes and nothing past it; the file's holes become zero ranges. Progress
  // 0..100 through the job, one value per 64 KiB (and at the end of each stretch of data)
  // once it has reached the device, the last after a flush. 1 on success, 0 after a reported failure. A negative
  // limit is treated as 0. Block devices are written direct, image files with ranged syncs
  // behind the writes, so progress follows the device rather than memory.
  int32_t CopyFileToDisk(const std::u16string& path, int64_t limit);
  // Makes [offset, offset + length) read as zeros, at the cost of no data transfer where the
  // target allows (ZeroOut), else by writing zeros. 1, or 0 after a reported failure.
  int32_t ZeroRange(int64_t offset, uint64_t length);
  // Clears [offset, offset + length) for good, with progress 0..99 across it: discarded where
  // the device takes it and the discarded blocks read back as zeros, else as ZeroRange.
  int32_t ClearRange(int64_t offset, uint64_t length);
  // diskBytes / 512, saturated at the largest 32-bit sector count.
  uint32_t SetTotalSectors(uint64_t diskBytes);
  // The system's text for an errno value.
  std::u16string GetErrorText(int code) const;

  // Tests replace the operating system with a disk that fails on request: for one disk
  // object, or for every one made from now on (null: the operating system's again).
  void SetIo(DiskIo* io) { io_ = io != nullptr ? io : &PosixDiskIo(); }
  static void SetDefaultIo(DiskIo* io);
  int64_t Position() const { return position_; }

  // Fields, in the order the disk object has always had them.
  int32_t baseCylinder = 0;  // origins added to every computed CHS address
  int32_t baseHead = 0;
  int32_t baseSector = 1;    // CHS sectors count from 1
  uint32_t totalSectors = 0;
  uint32_t fsStartSector = 0;  // partition being built in place
  int64_t fsSize = 0;          // its size in bytes: the denominator of its progress
  int64_t fsProgressMark = 0;  // highest write offset already reported as progress
  int handle = -1;             // file descriptor; -1 = no disk open

  // ---- Partition table (MBR and the chain of extended boot records) ----
  struct Chs {
    int32_t cylinder = 0;
    int32_t head = 0;
    int32_t sector = 0;
  };
  // CHS address of an absolute sector, with 255 heads and 63 sectors a track, from the origins.
  Chs LbaToChs(uint32_t sector) const;
  // The 16 bytes of one partition entry at `position` of a table sector.
  static void FillPartitionEntry(uint8_t* buffer, size_t position, int32_t active, Chs first,
                                 uint8_t type, Chs last, uint32_t start, uint32_t count);
  // Entry 1: start `relativeStart` from `base`, count = size rounded up to sectors; returns
  // base + relativeStart.
  uint32_t SetFirstEntry(uint32_t base, uint32_t relativeStart, int32_t active, int64_t sizeBytes,
                         uint8_t type, uint8_t* buffer) const;
  // Entry 2: never active, count = size rounded down to sectors.
  void SetSecondEntry(uint32_t base, uint32_t relativeStart, int64_t sizeBytes, uint8_t type,
                      uint8_t* buffer) const;
  static void SetBootSignature(uint8_t* buffer);
  // The table sectors a write job writes. The MBR of the first partition (and of the extended
  // partition when extendedBytes > 0); returns the extended partition's start, 0 without one.
  uint32_t MakeMbrSector(const PartitionSpec& first, int64_t extendedBytes, uint8_t* mbr) const;
  // The EBR of a logical partition at extendedStart + cursor, linking to `next`; advances the
  // cursor past the partition when there is a next one and returns the partition's start.
  uint32_t MakeEbrSector(uint32_t extendedStart, uint32_t& cursor, const PartitionSpec& partition,
                         const PartitionSpec* next, uint8_t* ebr) const;
  // Partition-table type byte of a partition: from its image when it has one, else its type.
  static uint8_t ResolveTypeByte(const std::u16string& imagePath, int32_t typeCode);
  // Makes the MBR (entry 1 = the first partition, entry 2 = the extended partition when
  // extendedBytes > 0), clears sector 0 and fills the first partition; the MBR itself waits
  // for CommitPartitionTable. Hands back the extended start.
  int32_t WriteMbrPartition(const PartitionSpec& first, int64_t extendedBytes,
                            uint32_t& extendedStart);
  // Writes the MBR that WriteMbrPartition made and makes it reach the device; 1 at once when
  // there is none. Called once everything else is on the disk and flushed: until then sector
  // 0 holds no partition table, so an interrupted job never leaves a card that looks whole.
  int32_t CommitPartitionTable();
  // Fills a partition whose table sector is written: its image, or an empty volume.
  int32_t FillPartition(uint32_t startSector, const PartitionSpec& partition);
  // Writes the EBR of one logical partition at extendedStart + cursor and fills it.
  int32_t WriteLogicalPartition(uint32_t extendedStart, uint32_t& cursor,
                                const PartitionSpec& partition, const PartitionSpec* next);
  // Rewrites the type byte of partition k (0 = MBR entry 1, k = k links down the chain).
  int32_t SetPartitionType(int32_t k, uint8_t type);
  // Follows the chain k links down from the MBR. On kFound `buffer` holds the table sector of
  // partition k, read from byte `position`; kReadFailed has been reported.
  enum class Walk { kFound, kMissing, kReadFailed };
  Walk WalkChain(int32_t k, uint8_t* buffer, int64_t& position);
  // Absolute first sector and size of partition k; outputs untouched when it is not found.
  void LocatePartition(int32_t k, uint32_t& startSector, int64_t& sizeBytes);

  // ---- Partition writers ----
  int32_t CopyImageToPartition(uint32_t startSector, const std::u16string& imagePath,
                               int64_t capacityBytes);
  int32_t CopyImageToDiskStart(const std::u16string& path);
  int32_t CreateEmptyVolume(uint32_t startSector, int64_t capacityBytes, int32_t typeCode);
  // Builds an empty volume through the block-I/O target (CImageCommnEx) on the disk itself:
  // only its metadata and the signature areas are written, the rest keeps its bytes.
  // Progress as the target reports it, then 100 once the volume has reached the device;
  // with `quiet` nothing at all (a caller that reports progress of its own).
  int32_t BuildVolumeInPlace(uint32_t startSector, int64_t capacityBytes, int32_t kind,
                             bool quiet = false);

  // ---- Update pass ----
  int32_t RewritePartition(const UpdatePartitionSpec& entry);

 private:
  int32_t Open(const std::u16string& path, int access);
  // Whole transfers at an explicit position, looping over short transfers and retrying EINTR.
  // Report once and return the partial count on failure. While direct transfers are on,
  // any memory, offset or length they cannot take goes through an aligned bounce buffer.
  int64_t ReadAt(void* buffer, uint64_t count, int64_t offset);
  int64_t WriteAt(const void* buffer, uint64_t count, int64_t offset);
  int64_t RawReadAt(void* buffer, uint64_t count, int64_t offset);
  int64_t RawWriteAt(const void* buffer, uint64_t count, int64_t offset);
  int64_t BounceReadAt(uint8_t* bytes, uint64_t count, int64_t offset);
  int64_t BounceWriteAt(const uint8_t* bytes, uint64_t count, int64_t offset);
  bool DirectFits(const void* buffer, uint64_t count, int64_t offset) const;
  // Direct transfers for one streaming copy; the alignment they need, 0 when buffered.
  uint32_t StartDirect();
  void EndDirect();
  void ReportError(const char16_t* key, int err) const;
  int64_t WriteZeros(int64_t offset, uint64_t length);
  // Whether the range lies within 64-bit positions; reports "WriteFileFailed" when not.
  bool RangeOnDisk(int64_t offset, uint64_t length) const;

  friend class CopyStream;

  DiskIo* io_;
  int64_t position_ = 0;
  uint8_t pendingTable_[kSectorSize] = {};
  bool tablePending_ = false;
  uint32_t directAlign_ = 0;     // 0: buffered transfers
  bool zeroOutRefused_ = false;  // the target cannot zero without data: write zeros
  bool discardRefused_ = false;  // discarding does not clear: zero instead
  bool unflushed_ = false;       // written to since the last flush
};

// A descriptor the front end holds on the block device at `path` (see UseDiskHandle in
// plinth/Plinth.h). Kept as a duplicate until OpenDisk of the same path takes it, or until the
// library unloads. False when `fd` is not that block device, open for reading and writing and
// held exclusively; nothing is kept then.
bool HandOverDisk(const std::u16string& path, int fd);

// The most recently constructed disk object; cleared when that object is destroyed.
extern CDiskLogicData* currentDisk;
