// The volume builder's C++ interface, used by the exported VolumeBuilder and by the tests.
// Everything here is callable without libTessel.so (link tessel_core).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CImageComm;

namespace tessel {

enum class Kind : int32_t { Fat16 = 1, Fat32 = 2, Ext4 = 5 };

// Size limits in bytes, inclusive. A size outside them gives no builder at all.
//   FAT16: 3 MiB (4085 clusters of 512 bytes and their FATs need about 2.1 MB, more than
//          2 MiB; capacities come in whole MiB) to 2 GiB (about 65500 clusters of 32 KiB;
//          64 KiB clusters are not readable everywhere, so they are never made).
//   FAT32: more than 66600 sectors (the smallest size giving 65525 clusters of 512 bytes with
//          its FATs, the published table's floor) to 0xFFFFFFFF sectors (32-bit sector count).
//   ext4:  2 MiB (the smallest size that still holds a journal with 1 KiB blocks) to 16 TiB
//          (an MBR partition never exceeds 2 TiB; beyond 16 TiB the inode count and the
//          memory needed for the bitmaps are untested).
struct SizeLimits {
  uint64_t min;
  uint64_t max;
};
SizeLimits LimitsOf(Kind kind);
bool SizeFits(Kind kind, uint64_t size);
// Kind from the export's integer; nullopt for 0 and unknown values.
std::optional<Kind> KindFromInt(int32_t kind);

// Deterministic output for tests; unset fields are random (serial, UUID) or the current time.
struct BuildOptions {
  std::optional<uint32_t> volumeSerial;          // FAT volume id
  std::optional<std::array<uint8_t, 16>> uuid;   // ext4 UUID; the directory hash seed follows it
  std::optional<int64_t> time;                   // seconds since 1970 for every time stamp
};

// Byte-addressed storage of one volume; offsets count from the volume's first byte.
class BlockTarget {
 public:
  virtual ~BlockTarget() = default;
  virtual bool Write(const void* data, size_t length, uint64_t offset) = 0;
  virtual bool Read(void* buffer, size_t length, uint64_t offset) = 0;
  // Makes the range read as zeros. The default writes zeros.
  virtual bool Zero(uint64_t offset, uint64_t length);
  // Makes [from, to) read as zeros, zeroing only what is not zero already. The default reads
  // it in 4 KiB pieces counted from `from`: a card that holds zeros there costs a read and no
  // write.
  virtual bool ZeroWhereNotZero(uint64_t from, uint64_t to);
  virtual bool Flush() { return true; }
};

// Writes through the engine's block-I/O object. Requests are split so none exceeds 1 MiB;
// a zero range goes to the object whole, which clears it without moving the bytes if it can.
class CommTarget final : public BlockTarget {
 public:
  explicit CommTarget(CImageComm* comm) : comm_(comm) {}
  bool Write(const void* data, size_t length, uint64_t offset) override;
  bool Read(void* buffer, size_t length, uint64_t offset) override;
  bool Zero(uint64_t offset, uint64_t length) override;

 private:
  CImageComm* comm_;
};

// An open image file; Zero punches holes so that zeros cost no space.
class FileTarget final : public BlockTarget {
 public:
  explicit FileTarget(int fd) : fd_(fd) {}
  bool Write(const void* data, size_t length, uint64_t offset) override;
  bool Read(void* buffer, size_t length, uint64_t offset) override;
  bool Zero(uint64_t offset, uint64_t length) override;
  bool Flush() override;

 private:
  int fd_;
};

// Other file systems, RAID members and partition tables keep their signatures in the first
// and the last MiB of a volume; a new volume clears both.
constexpr uint64_t kSignatureArea = uint64_t(1) << 20;
// The end of the volume's last whole sector: bytes after it belong to no file system, and on
// an image file whose size is no whole number of sectors they cannot be written as a sector.
uint64_t WholeSectorsEnd(uint64_t volumeSize);

// Makes a volume of `size` bytes on `target`. False when the size does not fit or I/O fails.
bool BuildFat(Kind kind, uint64_t size, BlockTarget& target, const BuildOptions& options);
bool BuildExt4(uint64_t size, BlockTarget& target, const BuildOptions& options);
bool BuildOnTarget(Kind kind, uint64_t size, BlockTarget& target, const BuildOptions& options);

// A new sparse image file of exactly `size` bytes at `utf8Path` (created O_EXCL|O_NOFOLLOW,
// mode 0600). On failure nothing is left at the path.
bool BuildImageFile(Kind kind, uint64_t size, const std::string& utf8Path,
                    const BuildOptions& options);

// 1 FAT16, 2 FAT32, 3 ext2, 4 ext3, 5 ext4, 0 anything else (FAT12 included).
int32_t Identify(const std::string& utf8Path);
// The same codes for a volume read through a target (a partition has no path of its own),
// decided from the FAT boot sector or the ext superblock alone; -1 when the reads fail.
int32_t IdentifyVolume(BlockTarget& target);

// The sectors VerifyVolume counts in.
constexpr uint32_t kSectorBytes = 512;

// What a volume holds compared with what Build makes: Identify's code, and the sectors
// (from the volume's start) whose bytes differ.
struct VolumeFindings {
  int32_t identified = 0;
  uint64_t firstBadSector = 0;
  uint64_t badSectors = 0;
};
// Identifies the volume on `target` and, with a kind, compares it with a volume of that kind
// and size as Build makes it. False when a read fails.
bool VerifyVolume(std::optional<Kind> kind, uint64_t size, BlockTarget& target,
                  VolumeFindings& findings);
// Where every ext file system keeps its superblock, and the code Identify gives it (3 ext2,
// 4 ext3, 5 ext4, 0 no ext superblock) by its features, as blkid decides.
constexpr uint64_t kExtSuperblockOffset = 1024;
constexpr size_t kExtSuperblockSize = 1024;
int32_t ClassifyExtSuperblock(const uint8_t* superblock);
// The ext4 part of VerifyVolume: the superblock's geometry, features and checksum.
bool CheckExt4Superblock(uint64_t size, BlockTarget& target, VolumeFindings& findings);

// A target that writes nothing: it keeps what a build writes (later writes over earlier
// ones), so that the result can be compared with a volume afterwards.
class ExpectedVolume final : public BlockTarget {
 public:
  bool Write(const void* data, size_t length, uint64_t offset) override;
  bool Zero(uint64_t offset, uint64_t length) override;
  // Whatever the card held there, the build leaves zeros.
  bool ZeroWhereNotZero(uint64_t from, uint64_t to) override {
    return from >= to || Zero(from, to - from);
  }
  // A build that reads back what it wrote cannot be replayed here.
  bool Read(void*, size_t, uint64_t) override { return false; }
  // Reads every kept range of `volume`; counts the sectors that differ. False when a read fails.
  bool Compare(BlockTarget& volume, uint64_t& firstBadSector, uint64_t& badSectors) const;

 private:
  struct Piece {
    uint64_t end;
    std::shared_ptr<const std::vector<uint8_t>> data;  // null: zeros
    uint64_t skip;                                      // where this piece starts in `data`
  };
  void Put(uint64_t from, uint64_t to, std::shared_ptr<const std::vector<uint8_t>> data);
  std::map<uint64_t, Piece> pieces_;  // by start; never overlapping
};

// A path in the locale's code set, as it crosses the export, to UTF-8. Empty on failure.
std::string PathFromLocale(const char* path);

}  // namespace tessel
