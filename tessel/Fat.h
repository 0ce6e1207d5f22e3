// FAT16/FAT32 layout: pure arithmetic from the volume size, then the bytes of the system area.
#pragma once

#include "Tessel.h"

#include <array>
#include <cstdint>
#include <optional>

namespace tessel::fat {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kDirEntrySize = 32;
constexpr uint16_t kFat16RootEntries = 512;
constexpr uint16_t kFat16BaseReserved = 1;
constexpr uint16_t kFat32BaseReserved = 32;
constexpr uint8_t kFatCount = 2;
constexpr uint8_t kMediaFixedDisk = 0xF8;
constexpr uint32_t kFat32RootCluster = 2;
constexpr uint16_t kFat32FsInfoSector = 1;
constexpr uint16_t kFat32BackupBootSector = 6;
// Cluster-count bounds that decide the FAT type (readers count clusters, not labels).
constexpr uint32_t kFat16MinClusters = 4085;
constexpr uint32_t kFat16MaxClusters = 65524;
constexpr uint32_t kFat32MinClusters = 65525;
constexpr uint32_t kFat32MaxClusters = 0x0FFFFFF5;
// Readers disagree by one or two clusters near the FAT16 ceiling (blkid calls 65524 clusters
// neither FAT16 nor FAT32), so FAT16 stays the 16 clusters below it that Microsoft's FAT document advises.
constexpr uint32_t kFat16ClusterCap = kFat16MaxClusters - 16;

constexpr uint32_t kFat16MinSectors = 6144;      // 3 MiB
constexpr uint32_t kFat16MaxSectors = 4194304;   // 2 GiB, 32 KiB clusters
constexpr uint32_t kFat32MinSectors = 66601;     // the FAT32 table's "up to 66600: error"
constexpr uint32_t kFat32MaxSectors = 0xFFFFFFFF;

constexpr uint8_t kExtBootSignature = 0x29;
constexpr uint16_t kBootSignature = 0xAA55;        // bytes 510..511
constexpr uint32_t kFsInfoLeadSig = 0x41615252;    // "RRaA"
constexpr uint32_t kFsInfoStrucSig = 0x61417272;   // "rrAa"
constexpr uint32_t kFsInfoTrailSig = 0xAA550000;
constexpr uint32_t kFsInfoUnknown = 0xFFFFFFFF;

struct Layout {
  Kind kind;
  uint32_t totalSectors;
  uint8_t sectorsPerCluster;
  uint16_t reservedSectors;
  uint32_t fatSectors;       // one FAT
  uint16_t rootEntries;      // 0 on FAT32
  uint32_t rootDirSectors;   // 0 on FAT32
  uint32_t clusterCount;

  uint32_t FatStart(unsigned copy) const { return reservedSectors + copy * fatSectors; }
  uint32_t RootDirStart() const { return reservedSectors + kFatCount * fatSectors; }
  uint32_t DataStart() const { return RootDirStart() + rootDirSectors; }
};

// Nullopt when the size is outside the kind's limits.
std::optional<Layout> Plan(Kind kind, uint64_t sizeBytes);

using Sector = std::array<uint8_t, kSectorSize>;

// The boot sector with its BIOS parameter block and the "not bootable" boot code.
Sector BootSector(const Layout& layout, uint32_t volumeSerial);
Sector FsInfoSector(const Layout& layout);
// First sector of each FAT: the media and end-of-chain entries (and the root cluster on FAT32).
Sector FirstFatSector(const Layout& layout);

// Offset of the boot code in the boot sector (where the jump at byte 0 lands).
uint32_t BootCodeOffset(Kind kind);

// The FAT type a boot sector describes: 1 FAT16, 2 FAT32, 0 anything else (FAT12, or no FAT
// boot sector at all). Decided by the count of data clusters, as Microsoft's FAT document
// does and every reader follows.
int32_t ClassifyBootSector(const Sector& boot);
// The volume serial number in a boot sector of that kind.
uint32_t VolumeSerialOf(const Sector& boot, Kind kind);

// Writes the system area (boot sectors, FATs, root directory) and clears old signatures in
// the first and last MiB; the boot sector comes last.
bool Write(const Layout& layout, BlockTarget& target, uint32_t volumeSerial);

}  // namespace tessel::fat
