#include "Layout.h"

#include "MbrCode.h"
#include "tessel/VolumeBuilder.h"

#include <algorithm>
#include <cstring>

static_assert(sizeof(kMbrBootCode) <= kBootCodeLimit, "the boot code overlaps the table");

uint8_t TypeByteOfCode(int32_t typeCode) {
  switch (typeCode) {
    case kTypeFat16:
      return kTypeByteFat16;
    case kTypeFat32:
      return kTypeByteFat32;
    case kTypeExt3:
    case kTypeExt4:
      return kTypeByteLinux;
    default:
      return kTypeByteUnknown;
  }
}

uint8_t TypeByteOfIdentify(int32_t identified) {
  switch (identified) {
    case kIdentifyFat16:
      return kTypeByteFat16;
    case kIdentifyFat32:
      return kTypeByteFat32;
    case kIdentifyExt2:
    case kIdentifyExt3:
    case kIdentifyExt4:
      return kTypeByteLinux;
    default:
      return kTypeByteUnknown;
  }
}

void MbrTemplate(uint8_t* sector) {
  std::memset(sector, 0, 512);
  std::memcpy(sector, kMbrBootCode, sizeof(kMbrBootCode));
  sector[kSignatureOffset] = 0x55;
  sector[kSignatureOffset + 1] = 0xAA;
}

int64_t ExtendedPartitionBytes(const std::vector<PartitionSpec>& partitions) {
  int64_t bytes = 0;
  for (size_t k = 1; k < partitions.size(); ++k) {
    bytes += partitions[k].capacityBytes + kLogicalGapBytes;
  }
  return bytes;
}

LayoutPlan PlanLayout(const std::vector<PartitionSpec>& partitions) {
  LayoutPlan plan;
  if (partitions.empty()) return plan;
  auto sectors = [](int64_t bytes) { return static_cast<uint64_t>(std::max<int64_t>(bytes, 0)) / 512; };
  const PartitionSpec& first = partitions.front();
  PlannedPartition p0;
  p0.start = static_cast<uint64_t>(static_cast<uint32_t>(first.offset));
  p0.count = sectors(first.capacityBytes);
  plan.partitions.push_back(p0);
  plan.endSector = p0.start + p0.count;
  if (partitions.size() < 2) return plan;

  plan.extendedStart = p0.start + p0.count + 1;
  uint64_t cursor = 0;
  for (size_t k = 1; k < partitions.size(); ++k) {
    PlannedPartition p;
    p.tableSector = plan.extendedStart + cursor;
    p.start = p.tableSector + kLogicalGap;
    p.count = sectors(partitions[k].capacityBytes);
    cursor += p.count + kLogicalGap;
    plan.partitions.push_back(p);
  }
  plan.extendedCount = cursor;
  plan.endSector = plan.extendedStart + cursor;
  return plan;
}
