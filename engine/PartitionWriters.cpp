// Filling a partition: from its image file, or with a fresh empty volume (FAT through a
// temporary image file, ext4 built in place through the block-I/O target).
#include "DiskLogicData.h"
#include "ImageCommnEx.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "TesselLoader.h"
#include "TextUtil.h"

#include <cerrno>
#include <unistd.h>

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
  return CopyImageToPartition(0, path, GetFileLength(Trim(path)));
}

int32_t CDiskLogicData::CreateEmptyVolume(uint32_t startSector, int64_t capacityBytes,
                                          int32_t typeCode) {
  switch (typeCode) {
    case kTypeFat32:
    case kTypeFat16: {
      const std::u16string image =
          BuildTempImage(capacityBytes, typeCode == kTypeFat32 ? kVolumeFat32 : kVolumeFat16);
      if (image.empty()) return 0;
      return CopyImageToPartition(startSector, image, capacityBytes);
    }
    case kTypeExt4:
      return BuildVolumeInPlace(startSector, capacityBytes, kVolumeExt4);
    case kTypeUnknown:
      return 1;  // no file system asked for: the partition keeps what it holds
    default:
      return 0;  // ext3 cannot be made empty
  }
}

namespace {

// The private temporary folder, with no old image left in it. Empty when the folder is not
// safe to use (a link, someone else's, open to others).
std::u16string FreshTempImagePath() {
  if (!plat::EnsurePrivateFolder(plat::TempImageFolder())) return {};
  const std::u16string path = plat::TempImagePath();
  // unlink never follows a link, so nothing outside the folder can be removed through it.
  if (unlink(plat::ToUtf8(path).c_str()) != 0 && errno != ENOENT) return {};
  return path;
}

}  // namespace

std::u16string CDiskLogicData::BuildTempImage(int64_t capacityBytes, int32_t kind) {
  const std::u16string path = FreshTempImagePath();
  if (path.empty()) {
    DiskJob.ShowKey(u"CreateTmpImgFailded");
    return {};
  }
  TesselLoader tessel;
  if (!tessel.loaded()) {
    DiskJob.ShowKey(u"LoadDllFailed");
    return {};
  }
  VolumeBuilder* builder = tessel.CreateDisk(static_cast<uint64_t>(capacityBytes), kind);
  if (builder == nullptr) {
    DiskJob.ShowKey(u"CreateDiskFailed");
    return {};
  }
  const int32_t built = builder->Build(BuilderPath(path).c_str(), 0, 0);
  builder->Release();
  // A builder that failed half-way must not hand a broken volume to the copy.
  if (built == 0 || !plat::IsRegularFile(path)) {
    DiskJob.ShowKey(u"CreateTmpImgFailded");
    return {};
  }
  return path;
}

int32_t CDiskLogicData::BuildVolumeInPlace(uint32_t startSector, int64_t capacityBytes,
                                           int32_t kind) {
  if (capacityBytes == 0) return 1;
  fsStartSector = startSector;
  fsSize = capacityBytes;
  fsProgressMark = 0;
  DiskJob.SetProPos(0);
  const std::u16string path = FreshTempImagePath();
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
  const int32_t built = builder->Build(BuilderPath(path).c_str(), 0, 0);
  builder->Release();
  if (built == 0 || target.failed()) {
    // A failed disk transfer has shown its own report; a builder that gave up on its own has
    // not, and a half-made volume must never pass for a finished one.
    if (!target.failed()) DiskJob.ShowKey(u"CreateDiskFailed");
    return 0;
  }
  DiskJob.SetProPos(100);
  return 1;
}
