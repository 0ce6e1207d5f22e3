// Partition-table layout as pure arithmetic: the byte positions of a table sector, the type
// bytes, the MBR template, and the plan of where every partition of a configuration goes.
#pragma once

#include "PlinthApp.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Fixed geometry of every CHS address written: 255 heads, 63 sectors a track.
inline constexpr uint32_t kChsHeads = 255;
inline constexpr uint32_t kChsSectorsPerTrack = 63;
inline constexpr uint32_t kChsSectorsPerCylinder = kChsHeads * kChsSectorsPerTrack;  // 16065
inline constexpr int32_t kChsMaxCylinder = 1023;  // 10 bits in an entry

// Table sector layout.
inline constexpr size_t kBootCodeLimit = 440;  // then the disk signature
inline constexpr size_t kEntry1Offset = 446;
inline constexpr size_t kEntry2Offset = 462;
inline constexpr size_t kEntrySize = 16;
inline constexpr size_t kSignatureOffset = 510;
inline constexpr uint8_t kStatusActive = 0x80;
inline constexpr uint8_t kStatusInactive = 0x00;

// Type bytes.
inline constexpr uint8_t kTypeByteUnknown = 0x00;
inline constexpr uint8_t kTypeByteFat16 = 0x06;
inline constexpr uint8_t kTypeByteFat32 = 0x0B;
inline constexpr uint8_t kTypeByteLinux = 0x83;
inline constexpr uint8_t kTypeByteExtended = 0x0F;  // the extended partition, in the MBR
inline constexpr uint8_t kTypeByteLink = 0x05;      // the link to the next EBR

// Each logical partition is preceded by its EBR and 62 unused sectors.
inline constexpr uint32_t kLogicalGap = 63;
inline constexpr int64_t kLogicalGapBytes = int64_t{kLogicalGap} * 512;

static_assert(kEntry2Offset == kEntry1Offset + kEntrySize);
static_assert(kSignatureOffset == kEntry1Offset + 4 * kEntrySize);

// Type byte of a configuration type code (ext3 and ext4 are Linux partitions).
uint8_t TypeByteOfCode(int32_t typeCode);
// Type byte of an identified image: 1 FAT16, 2 FAT32, 3..5 ext2/3/4, anything else unknown.
uint8_t TypeByteOfIdentify(int32_t identified);

// The MBR every write job starts from: our boot code, zeros, an empty table, 0x55 0xAA.
void MbrTemplate(uint8_t* sector);

struct PlannedPartition {
  uint64_t tableSector = 0;  // the MBR (0) or the partition's EBR
  uint64_t start = 0;        // absolute first sector
  uint64_t count = 0;        // sectors
};

struct LayoutPlan {
  std::vector<PlannedPartition> partitions;
  uint64_t extendedStart = 0;  // 0 with fewer than two partitions
  uint64_t extendedCount = 0;
  uint64_t endSector = 0;      // one past the last sector the layout uses
};

// Bytes of the extended partition: every logical partition with the 63 sectors before it.
int64_t ExtendedPartitionBytes(const std::vector<PartitionSpec>& partitions);

// Where a configuration's partitions go: the first at its offset, the extended partition one
// sector after it, each logical partition 63 sectors after its EBR. 64-bit throughout, so a
// plan that does not fit a 32-bit table shows in endSector.
LayoutPlan PlanLayout(const std::vector<PartitionSpec>& partitions);
