// Filling a partition: from its image file, or with a fresh empty volume (FAT through a
// temporary image file, ext4 built in place through the block-I/O target).
#include "DiskLogicData.h"
#include "ImageCommnEx.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "TesselLoader.h"
#include "TextUtil.h"

#include <algorithm>
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
  int64_t limit = GetFileLength(Trim(path));
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

// The temporary image's path in our private folder, with no old image left in it. Empty, with
// the reason in `problem`, when the folder is not safe to use (a link, someone else's, open
// to others) or the old image stays.
std::u16string FreshTempImagePath(std::u16string& problem) {
  problem = PrivateFolderProblemText(plat::TempImageFolder());
  if (!problem.empty()) return {};
  const std::u16string path = plat::TempImagePath();
  // unlink never follows a link, so nothing outside the folder can be removed through it.
  if (unlink(plat::ToUtf8(path).c_str()) != 0 && errno != ENOENT) {
    problem = LocalText(u"CreateTmpImgFailded", 0) + u" (" + path + u": " +
              plat::ErrorText(errno) + u")";
    return {};
  }
  return path;
}

}  // namespace

std::u16string CDiskLogicData::BuildTempImage(int64_t capacityBytes, int32_t kind) {
  std::u16string problem;
  const std::u16string path = FreshTempImagePath(problem);
  if (path.empty()) {
    DiskJob.ShowReport(problem);
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
  // With a target the builder writes through it; the path is a name only.
  std::u16string unused;
  const std::u16string path = FreshTempImagePath(unused);
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
