// The write and update passes: each walks one list of the configuration, tells the front end
// what it is doing, and stops at the first item that fails.
#include "Passes.h"

#include "DiskLogicData.h"
#include "Layout.h"
#include "LocalText.h"
#include "Platform.h"
#include "TextUtil.h"
#include "Validation.h"

std::u16string FileNameOf(const std::u16string& path) {
  const size_t slash = path.rfind(u'/');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

std::u16string TypeText(int32_t typeCode) {
  switch (typeCode) {
    case kTypeFat16:
      return u"Fat16";
    case kTypeFat32:
      return u"Fat32";
    case kTypeExt3:
      return u"Ext3";
    case kTypeExt4:
      return u"Ext4";
    default:
      return LocalText(u"Unknown", 0);
  }
}

int64_t BinFileArea() {
  if (!DiskJob.partitions.empty()) {
    return static_cast<int64_t>(static_cast<uint32_t>(DiskJob.partitions.front().offset)) *
           kSectorSize;
  }
  return static_cast<int64_t>(DiskJob.diskSize);
}

int32_t RunBinFilePass(const std::vector<BinFileSpec>& files, const char16_t* lineKey,
                       const char16_t* tipKey, const BinFileStep& step) {
  if (files.empty()) return 1;
  DiskJob.ReportKey(lineKey);
  DiskJob.ShowPro(1, 0);
  int32_t result = 1;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::u16string path = Trim(files[i].path);
    if (path.empty()) continue;
    const uint32_t offset = static_cast<uint32_t>(files[i].offset);
    const int64_t limit = BinFileArea() - static_cast<int64_t>(offset) * kSectorSize;
    const int32_t number = static_cast<int32_t>(i + 1);
    ShowCopyTip(CopyItem::kBinFile, number, nullptr, path, tipKey);
    DiskJob.SetTime(1);
    const int32_t done = step(offset, path, limit, number);
    DiskJob.SetTime(0);
    if (done == 0) {
      result = 0;
      break;
    }
  }
  DiskJob.ShowPro(0, 0);
  return result;
}

namespace {

int32_t WriteBinList(const std::vector<BinFileSpec>& files, const char16_t* lineKey) {
  return RunBinFilePass(files, lineKey, u"WriteBinFileTip",
                        [](uint32_t offset, const std::u16string& path, int64_t limit, int32_t) {
                          return DiskJob.disk->CopyImageToPartition(offset, path, limit);
                        });
}

}  // namespace

void ShowCopyTip(CopyItem item, int32_t number, const PartitionSpec* partition,
                 const std::u16string& binPath, const char16_t* headlineKey) {
  if (item == CopyItem::kBinFile || partition == nullptr) {
    const std::u16string headline =
        FormatWithInt(LocalText(headlineKey, 0), number) + FileNameOf(binPath);
    DiskJob.SetCopyTip(headline.c_str(), nullptr, nullptr, nullptr, nullptr);
    return;
  }
  const std::u16string headline = FormatWithInt(LocalText(headlineKey, 0), number);
  const std::u16string name = LocalText(u"ParName", 0) + partition->name;
  const std::u16string size = LocalText(u"ParSize", 0) + FormatSizeText(partition->capacityBytes);
  const std::u16string type = LocalText(u"ParType", 0) + TypeText(partition->type);
  const std::u16string image =
      LocalText(u"ImgFile", 0) + (partition->imagePath.empty() ? LocalText(u"TmpCreated", 0)
                                                               : FileNameOf(partition->imagePath));
  DiskJob.SetCopyTip(headline.c_str(), name.c_str(), size.c_str(), type.c_str(), image.c_str());
}

bool ShowUpdateEntryTip(const UpdatePartitionSpec& entry, uint32_t start, int64_t size,
                        const char16_t* tipKey) {
  if (start == 0 || static_cast<uint64_t>(start) * kSectorSize >= DiskJob.diskSize) {
    DiskJob.ShowKey(u"ParStartPosNotFound");
    return false;
  }
  PartitionSpec found;
  found.name = entry.name;
  found.capacityBytes = size;
  found.imagePath = entry.imagePath;
  found.type = entry.type;
  ShowCopyTip(CopyItem::kPartition, entry.index + 1, &found, {}, tipKey);
  return true;
}

int32_t CPlinthApp::WritePartitions() {
  if (partitions.empty()) return 1;
  ShowPro(1, 1);
  ReportKey(u"WrtieParToPhy");
  // Validation has judged the whole layout; a pass run on its own judges it again before the
  // first sector is written.
  if (!LayoutFitsDisk(partitions, uint64_t{disk->totalSectors} * kSectorSize)) {
    ShowKey(u"DiskFull");
    ShowPro(0, 0);
    return 0;
  }
  const int64_t extendedBytes = ExtendedPartitionBytes(partitions);
  ShowCopyTip(CopyItem::kPartition, 1, &partitions[0], {}, u"WriteParTip");
  uint32_t extendedStart = 0;
  if (disk->WriteMbrPartition(partitions[0], extendedBytes, extendedStart) == 0) {
    ShowPro(0, 0);
    return 0;
  }
  int32_t result = 1;
  uint32_t cursor = 0;
  for (size_t k = 1; k < partitions.size(); ++k) {
    ShowCopyTip(CopyItem::kPartition, static_cast<int32_t>(k + 1), &partitions[k], {},
                u"WriteParTip");
    const PartitionSpec* next = k + 1 < partitions.size() ? &partitions[k + 1] : nullptr;
    if (disk->WriteLogicalPartition(extendedStart, cursor, partitions[k], next) == 0) {
      result = 0;
      break;
    }
  }
  ShowPro(0, 0);
  return result;
}

int32_t CPlinthApp::WriteBinFiles() { return WriteBinList(binFiles, u"WriteBinFileToPhy"); }

int32_t CPlinthApp::UpdateBinFiles() { return WriteBinList(updateBinFiles, u"UpdateBinToPhy"); }

int32_t RunUpdatePartitionPass(const char16_t* lineKey, const UpdateStep& step) {
  if (DiskJob.partitionCount == 0) return 1;
  DiskJob.SetProPos(0);
  DiskJob.SetCopyTip(nullptr, nullptr, nullptr, nullptr, nullptr);
  DiskJob.ReportKey(lineKey);
  DiskJob.ShowPro(1, 1);
  for (const UpdatePartitionSpec& entry : DiskJob.updatePartitions) {
    if (entry.index < 0) continue;
    if (step(entry) == 0) {
      DiskJob.ShowPro(0, 0);
      return 0;
    }
  }
  DiskJob.ShowPro(0, 0);
  return 1;
}

int32_t CPlinthApp::UpdatePartitions() {
  return RunUpdatePartitionPass(
      u"UpdateParToPhy", [this](const UpdatePartitionSpec& entry) {
        return disk->RewritePartition(entry);
      });
}

int32_t CDiskLogicData::RewritePartition(const UpdatePartitionSpec& entry) {
  const uint8_t type = ResolveTypeByte(entry.imagePath, entry.type);
  const std::u16string image = Trim(entry.imagePath);
  // The job has checked that the card's partition is where and as large as the
  // configuration says, and that the image fits it.
  if (SetPartitionType(entry.index, type) == 0) return 0;
  uint32_t start = 0;
  int64_t size = 0;
  LocatePartition(entry.index, start, size);
  if (!ShowUpdateEntryTip(entry, start, size, u"UpdateParTip")) return 0;
  DiskJob.SetTime(1);
  const int32_t result = image.empty() ? CreateEmptyVolume(start, size, entry.type)
                                       : CopyImageToPartition(start, image, size);
  DiskJob.SetTime(0);
  return result;
}
