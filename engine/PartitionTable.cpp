// The classic PC partition table: the first partition is MBR entry 1, every further one a
// logical partition in one extended partition (MBR entry 2), chained by EBRs.
#include "DiskLogicData.h"
#include "Layout.h"
#include "LocalText.h"
#include "PlinthApp.h"
#include "SourceReader.h"
#include "TesselLoader.h"
#include "TextUtil.h"

#include <cstring>

namespace {

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t SectorsUp(int64_t bytes) {
  return static_cast<uint32_t>((static_cast<uint64_t>(bytes) + kSectorSize - 1) / kSectorSize);
}

uint32_t SectorsDown(int64_t bytes) {
  return static_cast<uint32_t>(static_cast<uint64_t>(bytes) / kSectorSize);
}

}  // namespace

CDiskLogicData::Chs CDiskLogicData::LbaToChs(uint32_t sector) const {
  Chs chs;
  chs.cylinder = baseCylinder + static_cast<int32_t>(sector / kChsSectorsPerCylinder);
  chs.head = baseHead + static_cast<int32_t>((sector / kChsSectorsPerTrack) % kChsHeads);
  chs.sector = baseSector + static_cast<int32_t>(sector % kChsSectorsPerTrack);
  if (chs.cylinder > kChsMaxCylinder) {
    // Past what CHS can address: the conventional "use LBA" marker, never a wrapped address
    // that names some other sector.
    chs.cylinder = kChsMaxCylinder;
    chs.head = kChsHeads - 1;
    chs.sector = kChsSectorsPerTrack;
  }
  return chs;
}

void CDiskLogicData::FillPartitionEntry(uint8_t* buffer, size_t position, int32_t active,
                                        Chs first, uint8_t type, Chs last, uint32_t start,
                                        uint32_t count) {
  uint8_t* e = buffer + position;
  auto chs = [](uint8_t* p, Chs c) {
    p[0] = static_cast<uint8_t>(c.head);
    p[1] = static_cast<uint8_t>((c.sector & 0x3F) | ((c.cylinder >> 2) & 0xC0));
    p[2] = static_cast<uint8_t>(c.cylinder & 0xFF);
  };
  e[0] = active != 0 ? kStatusActive : kStatusInactive;
  chs(e + 1, first);
  e[4] = type;
  chs(e + 5, last);
  PutLe32(e + 8, start);
  PutLe32(e + 12, count);
}

uint32_t CDiskLogicData::SetFirstEntry(uint32_t base, uint32_t relativeStart, int32_t active,
                                       int64_t sizeBytes, uint8_t type, uint8_t* buffer) const {
  const uint32_t count = SectorsUp(sizeBytes);
  const uint32_t first = base + relativeStart;
  FillPartitionEntry(buffer, kEntry1Offset, active, LbaToChs(first), type,
                     LbaToChs(first + count - 1), relativeStart, count);
  return first;
}

void CDiskLogicData::SetSecondEntry(uint32_t base, uint32_t relativeStart, int64_t sizeBytes,
                                    uint8_t type, uint8_t* buffer) const {
  const uint32_t count = SectorsDown(sizeBytes);
  const uint32_t first = base + relativeStart;
  FillPartitionEntry(buffer, kEntry2Offset, 0, LbaToChs(first), type,
                     LbaToChs(first + count - 1), relativeStart, count);
}

void CDiskLogicData::SetBootSignature(uint8_t* buffer) {
  buffer[kSignatureOffset] = 0x55;
  buffer[kSignatureOffset + 1] = 0xAA;
}

uint8_t CDiskLogicData::ResolveTypeByte(const std::u16string& imagePath, int32_t typeCode) {
  const std::u16string path = Trim(imagePath);
  if (path.empty()) return TypeByteOfCode(typeCode);
  TesselLoader tessel;
  VolumeBuilder* builder = tessel.CreateDisk(0, kVolumeIdentifyOnly);
  if (builder == nullptr) return kTypeByteUnknown;
  const ProbePath probe(path);
  const int32_t kind = builder->Identify(BuilderPath(probe.path()).c_str());
  builder->Release();
  return TypeByteOfIdentify(kind);
}

// Right after its table sector: the partition's image, or a fresh empty volume, timed.
int32_t CDiskLogicData::FillPartition(uint32_t startSector, const PartitionSpec& partition) {
  DiskJob.SetTime(1);
  const int32_t result =
      Trim(partition.imagePath).empty()
          ? CreateEmptyVolume(startSector, partition.capacityBytes, partition.type)
          : CopyImageToPartition(startSector, partition.imagePath, partition.capacityBytes);
  DiskJob.SetTime(0);
  return result;
}

uint32_t CDiskLogicData::MakeMbrSector(const PartitionSpec& first, int64_t extendedBytes,
                                       uint8_t* mbr) const {
  const uint8_t type = ResolveTypeByte(first.imagePath, first.type);
  MbrTemplate(mbr);
  const uint32_t offset = static_cast<uint32_t>(first.offset);
  SetFirstEntry(0, offset, first.active, first.capacityBytes, type, mbr);
  uint32_t extendedStart = 0;
  if (extendedBytes > 0) {
    extendedStart = offset + SectorsDown(first.capacityBytes) + 1;
    SetSecondEntry(0, extendedStart, extendedBytes, kTypeByteExtended, mbr);
  }
  SetBootSignature(mbr);
  return extendedStart;
}

uint32_t CDiskLogicData::MakeEbrSector(uint32_t extendedStart, uint32_t& cursor,
                                       const PartitionSpec& partition, const PartitionSpec* next,
                                       uint8_t* ebr) const {
  std::memset(ebr, 0, kSectorSize);
  const uint8_t type = ResolveTypeByte(partition.imagePath, partition.type);
  const uint32_t dataStart = SetFirstEntry(extendedStart + cursor, kLogicalGap, partition.active,
                                           partition.capacityBytes, type, ebr);
  if (next != nullptr) {
    cursor = cursor + SectorsDown(partition.capacityBytes) + kLogicalGap;
    SetSecondEntry(extendedStart, cursor, next->capacityBytes + kLogicalGapBytes, kTypeByteLink,
                   ebr);
  }
  SetBootSignature(ebr);
  return dataStart;
}

int32_t CDiskLogicData::WriteMbrPartition(const PartitionSpec& first, int64_t extendedBytes,
                                          uint32_t& extendedStart) {
  uint8_t mbr[kSectorSize];
  const uint32_t start = MakeMbrSector(first, extendedBytes, mbr);
  const uint32_t offset = static_cast<uint32_t>(first.offset);
  if (static_cast<uint64_t>(offset) + SectorsDown(first.capacityBytes) > totalSectors) {
    DiskJob.ShowKey(u"DiskFull");
    return 0;
  }
  if (extendedBytes > 0) extendedStart = start;
  // The old table goes first and the new one comes last: in between the card has none.
  const uint8_t cleared[kSectorSize] = {};
  if (WriteSector(cleared, 0) != kSectorSize) return 0;
  std::memcpy(pendingTable_, mbr, kSectorSize);
  tablePending_ = true;
  return FillPartition(offset, first);
}

int32_t CDiskLogicData::CommitPartitionTable() {
  if (!tablePending_) return 1;
  if (WriteSector(pendingTable_, 0) != kSectorSize || FlushDisk() == 0) return 0;
  tablePending_ = false;
  return 1;
}

int32_t CDiskLogicData::WriteLogicalPartition(uint32_t extendedStart, uint32_t& cursor,
                                              const PartitionSpec& partition,
                                              const PartitionSpec* next) {
  uint8_t ebr[kSectorSize];
  const uint32_t ebrSector = extendedStart + cursor;
  const uint32_t dataStart = MakeEbrSector(extendedStart, cursor, partition, next, ebr);
  if (static_cast<uint64_t>(dataStart) + SectorsDown(partition.capacityBytes) > totalSectors) {
    DiskJob.ShowKey(u"DiskFull");
    return 0;
  }
  if (WriteSector(ebr, ebrSector) != kSectorSize) return 0;
  return FillPartition(dataStart, partition);
}

// An entry 2 without a start ends the chain: the partition does not exist (reading the first
// EBR again would name the wrong partition); so does a link that points past the end of the disk.
CDiskLogicData::Walk CDiskLogicData::WalkChain(int32_t k, uint8_t* buffer, int64_t& position) {
  position = 0;
  if (SeekDisk(0) == -1 || ReadDisk(buffer, kSectorSize) != kSectorSize) return Walk::kReadFailed;
  int64_t extendedBase = 0;
  for (int32_t step = 0; step < k; ++step) {
    const uint32_t link = GetLe32(buffer + kEntry2Offset + 8);
    if (link == 0) return Walk::kMissing;
    position = static_cast<int64_t>(link) * kSectorSize + extendedBase;
    if (step == 0) extendedBase = position;
    if (static_cast<uint64_t>(position) + kSectorSize > DiskJob.diskSize) return Walk::kMissing;
    if (SeekDisk(position) == -1 || ReadDisk(buffer, kSectorSize) != kSectorSize) {
      return Walk::kReadFailed;
    }
  }
  return Walk::kFound;
}

int32_t CDiskLogicData::SetPartitionType(int32_t k, uint8_t type) {
  uint8_t buffer[kSectorSize];
  int64_t position = 0;
  const Walk walk = WalkChain(k, buffer, position);
  if (walk == Walk::kReadFailed) return 0;  // the read has reported
  if (walk == Walk::kMissing) {
    DiskJob.ShowKey(u"ParStartPosNotFound");
    return 0;
  }
  buffer[kEntry1Offset + 4] = type;
  if (SeekDisk(position) == -1) return 0;
  return WriteDisk(buffer, kSectorSize) == kSectorSize ? 1 : 0;
}

void CDiskLogicData::LocatePartition(int32_t k, uint32_t& startSector, int64_t& sizeBytes) {
  uint8_t buffer[kSectorSize];
  int64_t position = 0;
  if (WalkChain(k, buffer, position) != Walk::kFound) return;
  if (k > 0 && position == 0) return;
  const uint64_t start =
      static_cast<uint64_t>(position) / kSectorSize + GetLe32(buffer + kEntry1Offset + 8);
  if (start > UINT32_MAX) return;
  startSector = static_cast<uint32_t>(start);
  sizeBytes = static_cast<int64_t>(GetLe32(buffer + kEntry1Offset + 12)) * kSectorSize;
}
