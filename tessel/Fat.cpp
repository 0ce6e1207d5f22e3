// FAT16 and FAT32 volumes, laid out by the rules Microsoft publishes for FAT.
#include "Fat.h"

#include "LittleEndian.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string_view>

namespace tessel::fat {
namespace {

// Sectors per cluster by volume size (the published tables, 512-byte sectors).
uint8_t Fat16ClusterSectors(uint32_t total) {
  if (total <= 8400) return 1;       // below the table: 512-byte clusters keep >= 4085 clusters
  if (total <= 32680) return 2;      // 16 MB
  if (total <= 262144) return 4;     // 128 MB
  if (total <= 524288) return 8;     // 256 MB
  if (total <= 1048576) return 16;   // 512 MB
  if (total <= 2097152) return 32;   // 1 GB
  return 64;                         // 2 GB
}

uint8_t Fat32ClusterSectors(uint32_t total) {
  if (total <= 532480) return 1;     // 260 MB, small volumes included (>= 65525 clusters)
  if (total <= 16777216) return 8;   // 8 GB
  if (total <= 33554432) return 16;  // 16 GB
  if (total <= 67108864) return 32;  // 32 GB
  return 64;
}

// Boot sector fields (byte offsets).
constexpr size_t kJump = 0, kOem = 3, kBytesPerSector = 11, kSectorsPerCluster = 13,
                 kReservedSectors = 14, kFats = 16, kRootEntries = 17, kTotalSectors16 = 19,
                 kMedia = 21, kFatSize16 = 22, kSectorsPerTrackField = 24, kHeadsField = 26,
                 kHiddenSectors = 28, kTotalSectors32 = 32, kFatSize32 = 36, kExtFlags = 40,
                 kFsVersion = 42, kRootCluster = 44, kFsInfo = 48, kBackupBoot = 50,
                 kBootSignatureOffset = 510;
// The extended boot record: at 36 on FAT16, at 64 on FAT32; offsets within it.
constexpr size_t kFat16Extended = 36, kFat32Extended = 64;
constexpr size_t kDriveNumber = 0, kBootSig = 2, kVolumeId = 3, kVolumeLabel = 7, kFsType = 18;
// FSInfo fields.
constexpr size_t kInfoLeadSig = 0, kInfoStrucSig = 484, kInfoFreeCount = 488,
                 kInfoNextFree = 492, kInfoTrailSig = 508;
constexpr uint8_t kJmpShort = 0xEB;
constexpr uint8_t kNop = 0x90;
constexpr uint32_t kBootCodeFat16 = 0x3E;
constexpr uint32_t kBootCodeFat32 = 0x5A;
static_assert(kBootCodeFat16 == kFat16Extended + kFsType + 8);  // code right after the BPB
static_assert(kBootCodeFat32 == kFat32Extended + kFsType + 8);
constexpr uint16_t kBiosLoadAddress = 0x7C00;
constexpr uint16_t kSectorsPerTrack = 63;   // the usual LBA-assisted geometry
constexpr uint16_t kHeads = 255;
constexpr uint8_t kBiosFirstHardDisk = 0x80;
constexpr std::string_view kOemName = "MSWIN4.1";   // the name Microsoft's FAT document recommends
constexpr std::string_view kNoLabel = "NO NAME    ";
constexpr std::string_view kBootMessage =
    "\r\nThis is not a bootable disk.\r\nPress any key to restart.\r\n";
constexpr uint32_t kFat32FirstFreeHint = kFat32RootCluster + 1;
constexpr uint32_t kFat32EndOfChain = 0x0FFFFFFF;  // also: clean unmount, no I/O error
constexpr uint16_t kFat16EndOfChain = 0xFFFF;

// Real-mode code at 0x7C00 + offset: print the message with int 10h teletype, wait for a key
// with int 16h, then int 19h to let the BIOS try the next boot device.
void PutBootCode(uint8_t* sector, uint32_t offset) {
  const uint16_t message = uint16_t(kBiosLoadAddress + offset + 38);
  const uint8_t code[] = {
      0xFA,                                           // cli
      0x31, 0xC0,                                     // xor ax, ax
      0x8E, 0xD0,                                     // mov ss, ax
      0xBC, 0x00, 0x7C,                               // mov sp, 7C00h
      0xFB,                                           // sti
      0x8E, 0xD8,                                     // mov ds, ax
      0xBE, uint8_t(message), uint8_t(message >> 8),  // mov si, message
      0xFC,                                           // cld
      0xAC,                                           // print: lodsb
      0x84, 0xC0,                                     // test al, al
      0x74, 0x09,                                     // jz done
      0xB4, 0x0E,                                     // mov ah, 0Eh
      0xBB, 0x07, 0x00,                               // mov bx, 0007h
      0xCD, 0x10,                                     // int 10h
      0xEB, 0xF2,                                     // jmp print
      0x30, 0xE4,                                     // done: xor ah, ah
      0xCD, 0x16,                                     // int 16h
      0xCD, 0x19,                                     // int 19h
      0xF4,                                           // halt: hlt
      0xEB, 0xFD,                                     // jmp halt
  };
  static_assert(sizeof(code) == 38);
  static_assert(kBootCodeFat32 + sizeof(code) + kBootMessage.size() + 1 <= 510);
  std::memcpy(sector + offset, code, sizeof(code));
  std::memcpy(sector + offset + sizeof(code), kBootMessage.data(), kBootMessage.size());
}

void PutText(uint8_t* p, std::string_view text) { std::memcpy(p, text.data(), text.size()); }

// What a boot sector must hold before its counts mean anything.
constexpr uint8_t kJmpNear = 0xE9;
constexpr uint8_t kMediaLowest = 0xF8;   // fixed disks and the usual removable media
constexpr uint8_t kMediaFloppy = 0xF0;
constexpr uint32_t kLargestSectorSize = 4096;
constexpr uint32_t kLargestClusterSectors = 128;

bool PowerOfTwoUpTo(uint32_t value, uint32_t lowest, uint32_t highest) {
  return value >= lowest && value <= highest && (value & (value - 1)) == 0;
}

}  // namespace

int32_t ClassifyBootSector(const Sector& boot) {
  const uint8_t* p = boot.data();
  if (Get16(p + kBootSignatureOffset) != kBootSignature) return 0;
  if (!((p[kJump] == kJmpShort && p[kJump + 2] == kNop) || p[kJump] == kJmpNear)) return 0;
  const uint32_t bytesPerSector = Get16(p + kBytesPerSector);
  const uint32_t clusterSectors = p[kSectorsPerCluster];
  const uint32_t reserved = Get16(p + kReservedSectors);
  const uint32_t fats = p[kFats];
  const uint32_t media = p[kMedia];
  if (!PowerOfTwoUpTo(bytesPerSector, kSectorSize, kLargestSectorSize) ||
      !PowerOfTwoUpTo(clusterSectors, 1, kLargestClusterSectors) || reserved == 0 || fats == 0 ||
      (media != kMediaFloppy && media < kMediaLowest)) {
    return 0;
  }
  const uint32_t rootEntries = Get16(p + kRootEntries);
  const uint32_t fatSize16 = Get16(p + kFatSize16);
  const uint32_t fatSize = fatSize16 != 0 ? fatSize16 : Get32(p + kFatSize32);
  const uint32_t total16 = Get16(p + kTotalSectors16);
  const uint64_t total = total16 != 0 ? total16 : Get32(p + kTotalSectors32);
  const uint64_t rootSectors =
      (uint64_t(rootEntries) * kDirEntrySize + bytesPerSector - 1) / bytesPerSector;
  const uint64_t system = reserved + uint64_t(fats) * fatSize + rootSectors;
  if (fatSize == 0 || total <= system) return 0;
  const uint64_t clusters = (total - system) / clusterSectors;
  if (fatSize16 != 0) return clusters >= kFat16MinClusters && clusters <= kFat16MaxClusters ? 1 : 0;
  // FAT32 keeps its root directory in clusters and its FAT size in the 32-bit field only.
  return rootEntries == 0 && clusters >= kFat32MinClusters ? 2 : 0;
}

uint32_t VolumeSerialOf(const Sector& boot, Kind kind) {
  const size_t extended = kind == Kind::Fat32 ? kFat32Extended : kFat16Extended;
  return Get32(boot.data() + extended + kVolumeId);
}

uint32_t BootCodeOffset(Kind kind) {
  return kind == Kind::Fat32 ? kBootCodeFat32 : kBootCodeFat16;
}

std::optional<Layout> Plan(Kind kind, uint64_t sizeBytes) {
  const uint64_t sectors = sizeBytes / kSectorSize;
  const bool fat32 = kind == Kind::Fat32;
  if (kind == Kind::Fat16) {
    if (sectors < kFat16MinSectors || sectors > kFat16MaxSectors) return std::nullopt;
  } else if (fat32) {
    if (sectors < kFat32MinSectors || sectors > kFat32MaxSectors) return std::nullopt;
  } else {
    return std::nullopt;
  }

  Layout l{};
  l.kind = kind;
  l.totalSectors = uint32_t(sectors);
  uint16_t reserved;
  if (fat32) {
    l.sectorsPerCluster = Fat32ClusterSectors(l.totalSectors);
    reserved = kFat32BaseReserved;
  } else {
    l.sectorsPerCluster = Fat16ClusterSectors(l.totalSectors);
    reserved = kFat16BaseReserved;
    l.rootEntries = kFat16RootEntries;
    l.rootDirSectors = (kFat16RootEntries * kDirEntrySize + kSectorSize - 1) / kSectorSize;
  }
  const uint32_t spc = l.sectorsPerCluster;

  // Microsoft's FAT size formula: it may overshoot by a sector, never undershoot.
  const uint64_t tmp1 = uint64_t(l.totalSectors) - (reserved + l.rootDirSectors);
  uint64_t tmp2 = 256 * uint64_t(spc) + kFatCount;
  if (fat32) tmp2 /= 2;
  l.fatSectors = uint32_t((tmp1 + tmp2 - 1) / tmp2);

  // Grow the reserved area so the data region starts on a cluster boundary.
  uint64_t dataStart = reserved + uint64_t(kFatCount) * l.fatSectors + l.rootDirSectors;
  const uint64_t pad = (spc - dataStart % spc) % spc;
  dataStart += pad;
  reserved = uint16_t(reserved + pad);
  if (dataStart >= l.totalSectors) return std::nullopt;
  uint64_t clusters = (l.totalSectors - dataStart) / spc;

  const uint32_t maxClusters = fat32 ? kFat32MaxClusters : kFat16ClusterCap;
  if (clusters > maxClusters) {
    // Near 2 GiB FAT16 holds a few clusters too many: give them to the reserved area rather
    // than use 64 KiB clusters, which not every reader accepts.
    const uint64_t extra = (clusters - maxClusters) * spc;
    if (reserved + extra > 0xFFFF) return std::nullopt;
    reserved = uint16_t(reserved + extra);
    clusters = maxClusters;
  }
  const uint32_t minClusters = fat32 ? kFat32MinClusters : kFat16MinClusters;
  if (clusters < minClusters) return std::nullopt;
  const uint64_t entriesPerFat = uint64_t(l.fatSectors) * kSectorSize / (fat32 ? 4 : 2);
  if (entriesPerFat < clusters + 2) return std::nullopt;

  l.reservedSectors = reserved;
  l.clusterCount = uint32_t(clusters);
  return l;
}

Sector BootSector(const Layout& l, uint32_t volumeSerial) {
  Sector s{};
  uint8_t* p = s.data();
  const bool fat32 = l.kind == Kind::Fat32;
  const uint32_t code = BootCodeOffset(l.kind);
  p[kJump] = kJmpShort;
  p[kJump + 1] = uint8_t(code - 2);
  p[kJump + 2] = kNop;
  PutText(p + kOem, kOemName);
  Put16(p + kBytesPerSector, kSectorSize);
  p[kSectorsPerCluster] = l.sectorsPerCluster;
  Put16(p + kReservedSectors, l.reservedSectors);
  p[kFats] = kFatCount;
  Put16(p + kRootEntries, l.rootEntries);
  const bool small = !fat32 && l.totalSectors < 0x10000;
  Put16(p + kTotalSectors16, small ? uint16_t(l.totalSectors) : 0);
  p[kMedia] = kMediaFixedDisk;
  Put16(p + kFatSize16, fat32 ? 0 : uint16_t(l.fatSectors));
  Put16(p + kSectorsPerTrackField, kSectorsPerTrack);
  Put16(p + kHeadsField, kHeads);
  Put32(p + kHiddenSectors, 0);  // unknown here, and only boot code would read it
  Put32(p + kTotalSectors32, small ? 0 : l.totalSectors);
  uint8_t* ext = p + kFat16Extended;
  if (fat32) {
    Put32(p + kFatSize32, l.fatSectors);
    Put16(p + kExtFlags, 0);  // FATs mirrored
    Put16(p + kFsVersion, 0);
    Put32(p + kRootCluster, kFat32RootCluster);
    Put16(p + kFsInfo, kFat32FsInfoSector);
    Put16(p + kBackupBoot, kFat32BackupBootSector);
    ext = p + kFat32Extended;
  }
  ext[kDriveNumber] = kBiosFirstHardDisk;
  ext[kBootSig] = kExtBootSignature;
  Put32(ext + kVolumeId, volumeSerial);
  PutText(ext + kVolumeLabel, kNoLabel);
  PutText(ext + kFsType, fat32 ? "FAT32   " : "FAT16   ");
  PutBootCode(p, code);
  Put16(p + kBootSignatureOffset, kBootSignature);
  return s;
}

Sector FsInfoSector(const Layout& l) {
  Sector s{};
  Put32(s.data() + kInfoLeadSig, kFsInfoLeadSig);
  Put32(s.data() + kInfoStrucSig, kFsInfoStrucSig);
  Put32(s.data() + kInfoFreeCount, l.clusterCount - 1);  // all but the root directory's cluster
  Put32(s.data() + kInfoNextFree, kFat32FirstFreeHint);
  Put32(s.data() + kInfoTrailSig, kFsInfoTrailSig);
  return s;
}

Sector FirstFatSector(const Layout& l) {
  Sector s{};
  if (l.kind == Kind::Fat32) {
    Put32(s.data(), 0x0FFFFF00u | kMediaFixedDisk);
    Put32(s.data() + 4, kFat32EndOfChain);
    Put32(s.data() + 8, kFat32EndOfChain);  // the root directory: one cluster
  } else {
    Put16(s.data(), uint16_t(0xFF00u | kMediaFixedDisk));
    Put16(s.data() + 2, kFat16EndOfChain);
  }
  return s;
}

bool Write(const Layout& l, BlockTarget& target, uint32_t volumeSerial) {
  const bool fat32 = l.kind == Kind::Fat32;
  const uint64_t volumeEnd = uint64_t(l.totalSectors) * kSectorSize;
  // The FATs and the empty root directory start as zeros. The reserved sectors around the
  // boot sectors (many, when FAT16 near 2 GiB gives its spare clusters to them) are read by
  // no one: like the free clusters they keep what they hold, but for the signature areas.
  const uint64_t fatsStart = uint64_t(l.FatStart(0)) * kSectorSize;
  uint64_t systemEnd = uint64_t(l.DataStart()) * kSectorSize;
  if (fat32) systemEnd += uint64_t(l.sectorsPerCluster) * kSectorSize;
  if (!target.ZeroWhereNotZero(0, fatsStart) || !target.Zero(fatsStart, systemEnd - fatsStart))
    return false;
  const uint64_t headEnd = std::max(systemEnd, std::min(volumeEnd, kSignatureArea));
  if (!target.ZeroWhereNotZero(systemEnd, headEnd)) return false;

  const Sector fat = FirstFatSector(l);
  for (unsigned copy = 0; copy < kFatCount; ++copy) {
    if (!target.Write(fat.data(), fat.size(), uint64_t(l.FatStart(copy)) * kSectorSize))
      return false;
  }
  const Sector boot = BootSector(l, volumeSerial);
  if (fat32) {
    const Sector info = FsInfoSector(l);
    if (!target.Write(info.data(), info.size(), kFat32FsInfoSector * kSectorSize) ||
        !target.Write(info.data(), info.size(),
                      (kFat32BackupBootSector + kFat32FsInfoSector) * kSectorSize) ||
        !target.Write(boot.data(), boot.size(), kFat32BackupBootSector * kSectorSize))
      return false;
  }
  // The tail after the tables: the engine shows progress by the highest offset written.
  const uint64_t tailStart = std::max(headEnd, volumeEnd - std::min(volumeEnd, kSignatureArea));
  if (!target.ZeroWhereNotZero(tailStart, volumeEnd)) return false;
  // The boot sector last: an interrupted build leaves no volume that looks complete.
  if (!target.Write(boot.data(), boot.size(), 0)) return false;
  return target.Flush();
}

}  // namespace tessel::fat

namespace tessel {

bool BuildFat(Kind kind, uint64_t size, BlockTarget& target, const BuildOptions& options) {
  const std::optional<fat::Layout> layout = fat::Plan(kind, size);
  if (!layout) return false;
  uint32_t serial;
  if (options.volumeSerial) {
    serial = *options.volumeSerial;
  } else {
    std::random_device random;
    serial = random();
  }
  return fat::Write(*layout, target, serial);
}

}  // namespace tessel
