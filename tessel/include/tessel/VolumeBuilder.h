// The binary contract between the engine and libTessel.so. Both sides compile this header;
// the order of the virtual operations is the ABI, so slots are never reordered or removed.
#pragma once

#include <cstdint>

// Block-I/O target of an in-place build. Offsets are bytes from the first byte of the volume.
// WriteBlock and ReadBlock return the number of bytes transferred, 0 on failure.
class CImageComm {
 public:
  virtual uint32_t WriteBlock(const void* data, uint32_t length, int64_t offset) = 0;  // slot 0
  virtual uint32_t ReadBlock(void* buffer, uint32_t length, int64_t offset) = 0;       // slot 1
  // Makes `length` bytes from `offset` read as zeros; non-zero on success. A target that can
  // do so without moving the bytes (a device's zero-out, a hole in a file) overrides this;
  // the default writes zeros.                                                     // slot 2
  virtual int32_t ZeroBlock(uint64_t length, int64_t offset) {
    static const uint8_t kZeros[65536] = {};
    while (length > 0) {
      const uint32_t n = length < sizeof kZeros ? uint32_t(length) : uint32_t(sizeof kZeros);
      if (WriteBlock(kZeros, n, offset) < n) return 0;
      offset += n;
      length -= n;
    }
    return 1;
  }

 protected:
  ~CImageComm() = default;  // owned by the engine, never deleted through this interface
};

// Volume kinds of CreateDisk.
enum VolumeKind : int32_t {
  kVolumeIdentifyOnly = 0,
  kVolumeFat16 = 1,
  kVolumeFat32 = 2,
  kVolumeExt4 = 5,
};

// What VerifyTarget found on a volume. Plain data: it crosses the library boundary.
struct VolumeCheck {
  int32_t identified;       // Identify's codes
  int32_t reserved;         // 0
  uint64_t firstBadSector;  // from the volume's first sector; meaningful when badSectors > 0
  uint64_t badSectors;      // sectors that differ from what Build writes; 0 when all match
};
static_assert(sizeof(VolumeCheck) == 24, "VolumeCheck crosses the library boundary");

// Results of Identify.
enum IdentifyResult : int32_t {
  kIdentifyUnknown = 0,
  kIdentifyFat16 = 1,
  kIdentifyFat32 = 2,
  kIdentifyExt2 = 3,
  kIdentifyExt3 = 4,
  kIdentifyExt4 = 5,
};

class VolumeBuilder {
 public:
  virtual void Release() = 0;                                             // slot 0, last call
  // Makes the volume: through the attached target, or else as a sparse image file at `path`
  // (8-bit text in the locale's code set). Non-zero on success.
  virtual int32_t Build(const char* path, int32_t reserved1, int32_t reserved2) = 0;  // slot 1
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  virtual void Reserved4() = 0;
  virtual void Reserved5() = 0;
  virtual void Reserved6() = 0;
  virtual void Reserved7() = 0;
  virtual void Reserved8() = 0;
  virtual void Reserved9() = 0;
  virtual void Reserved10() = 0;
  virtual void Reserved11() = 0;
  // Writes the next Build through `target` instead of a file. The builder does not own it.
  virtual void AttachTarget(CImageComm* target, int32_t enable) = 0;     // slot 12
  // Reads a volume through `target` (which the builder does not own): which file system it
  // holds, in Identify's codes, and for an object made to build a volume, the sectors that
  // differ from what Build writes for that kind and size (FAT: every byte Build writes, with
  // the volume's own serial number; ext4: the superblock's fields and checksum). A volume of
  // another file system counts the sectors where the expected one keeps its signature. An
  // identify-only object only identifies. 1 when the volume could be read, 0 otherwise.
  virtual int32_t VerifyTarget(CImageComm* target, VolumeCheck* check) = 0;  // slot 13
  virtual void Reserved14() = 0;
  virtual void Reserved15() = 0;
  virtual void Reserved16() = 0;
  virtual void Reserved17() = 0;
  // 1 FAT16, 2 FAT32, 3 ext2, 4 ext3, 5 ext4, 0 anything else.
  virtual int32_t Identify(const char* path) = 0;                        // slot 18

 protected:
  ~VolumeBuilder() = default;  // destroyed through Release
};

extern "C" {
// Null when `kind` cannot hold `size` bytes (or is unknown). Kind 0 with size 0: identify only.
typedef VolumeBuilder* (*CreateDiskFunc)(uint64_t size, int32_t kind);
VolumeBuilder* CreateDisk(uint64_t size, int32_t kind);
}
