// Filling a partition: from its image file, or with a fresh empty volume built in place
// through the block-I/O target.
#include "DiskLogicData.h"
#include "ImageCommnEx.h"
#include "LocalText.h"
#include "PlinthApp.h"
#include "SourceReader.h"
#include "TesselLoader.h"
#include "TextUtil.h"

#include <algorithm>

int32_t CDiskLogicData::CopyImageToPartition(uint32_t startSector,
                                             const std::u16string& imagePath,
                                             int64_t capacityBytes) {
  const std::u16string path = Trim(imagePath);
  if (path.empty()) return 0;
  if (SeekDisk(static_cast<int64_t>(startSector) * kSectorSize) == -1) return 0;
  return CopyFileToDisk(path, capacityBytes);
}

int32_t CDiskLogicData::CopyImageToDiskStart(const std::u16string& path) {
  if (SeekToStart() == -1) return 0;
  int64_t limit = SourceLength(Trim(path));
  // Bytes after the disk's last whole sector (an image file of odd size) belong to no volume:
  // a copy into them would only fail on the sector the disk does not have.
  if (const int64_t disk = OpenedSize(); disk >= 0) {
    limit = std::min(limit, disk / kSectorSize * kSectorSize);
  }
  return CopyImageToPartition(0, path, limit);
}

int32_t CDiskLogicData::CreateEmptyVolume(uint32_t startSector, int64_t capacityBytes,
                                          int32_t typeCode) {
  switch (typeCode) {
    case kTypeFat32:
      return BuildVolumeInPlace(startSector, capacityBytes, kVolumeFat32);
    case kTypeFat16:
      return BuildVolumeInPlace(startSector, capacityBytes, kVolumeFat16);
    case kTypeExt4:
      return BuildVolumeInPlace(startSector, capacityBytes, kVolumeExt4);
    case kTypeUnknown:
      return 1;  // no file system asked for: the partition keeps what it holds
    default:
      return 0;  // ext3 cannot be made empty
  }
}

int32_t CDiskLogicData::BuildVolumeInPlace(uint32_t startSector, int64_t capacityBytes,
                                           int32_t kind, bool quiet) {
  if (capacityBytes == 0) return 1;
  fsStartSector = startSector;
  fsSize = quiet ? 0 : capacityBytes;  // no size: the target reports no progress
  fsProgressMark = 0;
  if (!quiet) DiskJob.SetProPos(0);
  TesselLoader tessel;
  if (!tessel.loaded()) {
    DiskJob.ShowKey(u"LoadDllFailed");
    return 0;
  }
  VolumeBuilder* builder = tessel.CreateDisk(static_cast<uint64_t>(capacityBytes), kind);
  if (builder == nullptr) {
    DiskJob.ShowKey(u"CreateDiskFailed");
    return 0;
  }
  CImageCommnEx target;
  builder->AttachTarget(&target, 1);
  // With a target attached the builder makes no file: no temporary image, no path.
  const int32_t built = builder->Build("", 0, 0);
  builder->Release();
  if (built == 0 || target.failed()) {
    // A failed disk transfer has shown its own report; a builder that gave up on its own has
    // not, and a half-made volume must never pass for a finished one.
    if (!target.failed()) DiskJob.ShowKey(u"CreateDiskFailed");
    return 0;
  }
  // 100 once the volume is on the device, not while it still waits in memory.
  if (FlushDisk() == 0) return 0;
  if (!quiet) DiskJob.SetProPos(100);
  return 1;
}
