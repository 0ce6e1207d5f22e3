// The verify passes: each walks the list its write or update pass walks, with the same output
// line, copy tip, progress and clock, and compares the card with what the pass writes. The
// first item that differs is reported once (what, its first differing sector, how many
// sectors differ) and ends the pass.
#include "DiskCompare.h"
#include "DiskLogicData.h"
#include "ImageCommnEx.h"
#include "Layout.h"
#include "LocalText.h"
#include "Passes.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "SourceReader.h"
#include "TesselLoader.h"
#include "TextUtil.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::u16string Number(uint64_t n) { return plat::FromUtf8(std::to_string(n)); }

std::u16string MbrItem() { return LocalText(u"VerifyItemMbr", 0); }
std::u16string EbrItem(int32_t partitionNumber) {
  return FormatWithInt(LocalText(u"VerifyItemEbr", 0), partitionNumber);
}
std::u16string PartitionItem(const std::u16string& name) {
  return LocalText(u"Par", 0) + u" " + name;
}
std::u16string BinItem(int32_t number, const std::u16string& path) {
  return FormatWithInt(LocalText(u"VerifyItemBin", 0), number) + u" (" + FileNameOf(path) + u")";
}

// Identify's codes, named as the copy tip names file systems.
std::u16string FileSystemText(int32_t identified) {
  switch (identified) {
    case kIdentifyFat16:
      return TypeText(kTypeFat16);
    case kIdentifyFat32:
      return TypeText(kTypeFat32);
    case kIdentifyExt2:
      return u"Ext2";
    case kIdentifyExt3:
      return TypeText(kTypeExt3);
    case kIdentifyExt4:
      return TypeText(kTypeExt4);
    default:
      return LocalText(u"Unknown", 0);
  }
}

void ReportDifference(const std::u16string& item, uint64_t firstSector, uint64_t sectors,
                      const std::u16string& extra) {
  std::u16string text = LocalText(u"VerifyMismatch", 0) + u"\n" + LocalText(u"VerifyWhere", 0) +
                        item + u"\n" + LocalText(u"VerifyFirstSector", 0) + Number(firstSector) +
                        u"\n" + LocalText(u"VerifySectorCount", 0) + Number(sectors);
  if (!extra.empty()) text += u"\n" + extra;
  DiskJob.ShowReport(text);
}

// One pass's reads of the card: past the page cache, and judged against the card's real size
// (an image file or card shorter than the layout differs where it ends).
class Checker {
 public:
  explicit Checker(CDiskLogicData& disk) : disk_(disk) {
    const int64_t opened = disk.OpenedSize();
    cardBytes_ = opened >= 0 ? static_cast<uint64_t>(opened) : DiskJob.diskSize;
    disk.BeginUncachedReads();
    // Without direct reads, what the cache holds of the card is written back and dropped, so
    // that every read below comes from the device.
    if (!disk.ReadsDirect() && cardBytes_ > 0) {
      cacheDropped_ = disk.DropCachedRange(0, static_cast<int64_t>(cardBytes_)) != 0;
    }
  }
  ~Checker() { disk_.EndUncachedReads(); }
  Checker(const Checker&) = delete;
  Checker& operator=(const Checker&) = delete;

  bool ready() const { return cacheDropped_; }

  // One partition-table sector against what the write job puts there.
  int32_t TableSector(uint64_t sector, const uint8_t* expected, const std::u16string& item) {
    const uint64_t at = sector * kSectorSize;
    if (at + kSectorSize > cardBytes_) {
      ReportDifference(item, sector, 1, ShortCardLine());
      return 0;
    }
    uint8_t card[kSectorSize];
    if (disk_.SeekDisk(static_cast<int64_t>(at)) == -1 ||
        disk_.ReadDisk(card, kSectorSize) != kSectorSize) {
      return 0;
    }
    if (std::memcmp(card, expected, kSectorSize) != 0) {
      ReportDifference(item, sector, 1, {});
      return 0;
    }
    return 1;
  }

  // A partition's contents: its image, or the empty volume made for it; timed like the fill.
  int32_t Contents(uint32_t start, const std::u16string& imagePath, int64_t capacity,
                   int32_t typeCode, const std::u16string& item) {
    const std::u16string image = Trim(imagePath);
    DiskJob.SetTime(1);
    const int32_t result = image.empty() ? EmptyVolume(start, capacity, typeCode, item)
                                         : File(start, image, capacity, item);
    DiskJob.SetTime(0);
    return result;
  }

  // A file written from sector `start` on, as the streaming copy writes it: up to `limit`
  // bytes, a partial last sector padded with zeros where the limit leaves room for them.
  int32_t File(uint32_t start, const std::u16string& path, int64_t limit,
               const std::u16string& item) {
    const std::unique_ptr<SourceReader> source = OpenFileSource(path);
    if (source == nullptr) {
      DiskJob.ShowReport(SourceFailureText(path, errno));
      return 0;
    }
    const uint64_t size = source->Size();
    const uint64_t room = static_cast<uint64_t>(std::max<int64_t>(limit, 0));
    ExpectedExtent extent;
    extent.diskOffset = static_cast<int64_t>(start) * kSectorSize;
    extent.dataBytes = std::min(size, room);
    const uint64_t tail = size % kSectorSize;
    if (size < room && tail != 0 && size - tail + kSectorSize <= room) {
      extent.zeroBytes = kSectorSize - tail;
    }
    const CompareResult result = CompareWithDisk(disk_, *source, extent, cardBytes_);
    switch (result.status) {
      case CompareResult::Status::kSame:
        return 1;
      case CompareResult::Status::kDiffers:
        ReportDifference(item, result.firstBadSector, result.badSectors,
                         result.pastEnd ? ShortCardLine() : std::u16string());
        return 0;
      case CompareResult::Status::kSourceFailed:
        DiskJob.ShowReport(SourceFailureText(path, result.sourceError));
        return 0;
      case CompareResult::Status::kDiskReadFailed:
        break;  // the disk has reported
    }
    return 0;
  }

  // An empty volume: the file system the configuration names, as the builder makes it.
  int32_t EmptyVolume(uint32_t start, int64_t capacity, int32_t typeCode,
                      const std::u16string& item) {
    int32_t kind = kVolumeIdentifyOnly;
    int32_t wanted = kIdentifyExt3;  // ext3 is never made empty: no card can hold it so
    switch (typeCode) {
      case kTypeUnknown:
        return 1;  // nothing was written
      case kTypeFat16:
        kind = kVolumeFat16;
        wanted = kIdentifyFat16;
        break;
      case kTypeFat32:
        kind = kVolumeFat32;
        wanted = kIdentifyFat32;
        break;
      case kTypeExt4:
        kind = kVolumeExt4;
        wanted = kIdentifyExt4;
        break;
      default:
        break;
    }
    const uint64_t from = static_cast<uint64_t>(start) * kSectorSize;
    const uint64_t end = from + static_cast<uint64_t>(std::max<int64_t>(capacity, 0));
    if (end > cardBytes_) {
      const uint64_t missingFrom = std::max(from, cardBytes_) / kSectorSize;
      ReportDifference(item, missingFrom, (end + kSectorSize - 1) / kSectorSize - missingFrom,
                       ShortCardLine());
      return 0;
    }
    TesselLoader tessel;
    if (!tessel.loaded()) {
      DiskJob.ShowKey(u"LoadDllFailed");
      return 0;
    }
    VolumeBuilder* builder = kind == kVolumeIdentifyOnly
                                 ? tessel.CreateDisk(0, kVolumeIdentifyOnly)
                                 : tessel.CreateDisk(static_cast<uint64_t>(capacity), kind);
    if (builder == nullptr) {
      DiskJob.ShowKey(u"CreateDiskFailed");
      return 0;
    }
    DiskJob.SetProPos(0);
    disk_.fsStartSector = start;
    disk_.fsSize = capacity;
    disk_.fsProgressMark = 0;
    CImageCommnEx target;
    VolumeCheck check{};
    const int32_t read = builder->VerifyTarget(&target, &check);
    builder->Release();
    if (read == 0) {
      // A failed read has been reported by the disk; the builder gives no reason of its own.
      if (!target.failed()) {
        DiskJob.ShowReport(LocalText(u"ReadFileFailed", 0) + plat::ErrorText(EIO));
      }
      return 0;
    }
    if (check.identified != wanted) {
      ReportDifference(item, start + check.firstBadSector, std::max<uint64_t>(check.badSectors, 1),
                       LocalText(u"VerifyFsFound", 0) + FileSystemText(check.identified));
      return 0;
    }
    if (check.badSectors > 0) {
      ReportDifference(item, start + check.firstBadSector, check.badSectors, {});
      return 0;
    }
    DiskJob.SetProPos(100);
    return 1;
  }

  // An update entry: the type byte the update wrote into its table entry, then its contents,
  // at the place and size the card's own table gives.
  int32_t Rewritten(const UpdatePartitionSpec& entry) {
    uint8_t table[kSectorSize];
    int64_t position = 0;
    const CDiskLogicData::Walk walk = disk_.WalkChain(entry.index, table, position);
    if (walk == CDiskLogicData::Walk::kReadFailed) return 0;
    uint32_t start = 0;
    int64_t size = 0;
    if (walk == CDiskLogicData::Walk::kFound) disk_.LocatePartition(entry.index, start, size);
    if (!ShowUpdateEntryTip(entry, start, size, u"VerifyParTip")) return 0;
    const uint8_t type = CDiskLogicData::ResolveTypeByte(entry.imagePath, entry.type);
    if (table[kEntry1Offset + 4] != type) {
      ReportDifference(entry.index == 0 ? MbrItem() : EbrItem(entry.index + 1),
                       static_cast<uint64_t>(position) / kSectorSize, 1, {});
      return 0;
    }
    return Contents(start, entry.imagePath, size, entry.type, PartitionItem(entry.name));
  }

 private:
  std::u16string ShortCardLine() const {
    return LocalText(u"VerifyDiskShort", 0) + Number(cardBytes_ / kSectorSize);
  }

  CDiskLogicData& disk_;
  uint64_t cardBytes_ = 0;
  bool cacheDropped_ = true;
};

int32_t VerifyBinList(const std::vector<BinFileSpec>& files) {
  if (files.empty()) return 1;
  Checker check(*DiskJob.disk);
  if (!check.ready()) return 0;
  return RunBinFilePass(files, u"VerifyBinFileToPhy", u"VerifyBinFileTip",
                        [&check](uint32_t offset, const std::u16string& path, int64_t limit,
                                 int32_t number) {
                          return check.File(offset, path, limit, BinItem(number, path));
                        });
}

}  // namespace

int32_t CPlinthApp::VerifyPartitions() {
  if (partitions.empty()) return 1;
  ShowPro(1, 1);
  ReportKey(u"VerifyParToPhy");
  Checker check(*disk);
  int32_t result = check.ready() ? 1 : 0;
  const int64_t extendedBytes = ExtendedPartitionBytes(partitions);
  uint32_t extendedStart = 0;
  uint32_t cursor = 0;
  for (size_t k = 0; k < partitions.size() && result != 0; ++k) {
    const PartitionSpec& partition = partitions[k];
    const int32_t number = static_cast<int32_t>(k + 1);
    ShowCopyTip(CopyItem::kPartition, number, &partition, {}, u"VerifyParTip");
    uint8_t table[kSectorSize];
    uint64_t tableSector = 0;
    uint32_t dataStart = 0;
    if (k == 0) {
      extendedStart = disk->MakeMbrSector(partition, extendedBytes, table);
      dataStart = static_cast<uint32_t>(partition.offset);
    } else {
      tableSector = uint64_t{extendedStart} + cursor;
      const PartitionSpec* next = k + 1 < partitions.size() ? &partitions[k + 1] : nullptr;
      dataStart = disk->MakeEbrSector(extendedStart, cursor, partition, next, table);
    }
    if (check.TableSector(tableSector, table, k == 0 ? MbrItem() : EbrItem(number)) == 0 ||
        check.Contents(dataStart, partition.imagePath, partition.capacityBytes, partition.type,
                       PartitionItem(partition.name)) == 0) {
      result = 0;
    }
  }
  ShowPro(0, 0);
  return result;
}

int32_t CPlinthApp::VerifyBinFiles() { return VerifyBinList(binFiles); }

int32_t CPlinthApp::VerifyUpdateBinFiles() { return VerifyBinList(updateBinFiles); }

int32_t CPlinthApp::VerifyUpdatePartitions() {
  if (partitionCount == 0) return 1;
  Checker check(*disk);
  if (!check.ready()) return 0;
  return RunUpdatePartitionPass(u"VerifyParToPhy", [&check](const UpdatePartitionSpec& entry) {
    return check.Rewritten(entry);
  });
}
