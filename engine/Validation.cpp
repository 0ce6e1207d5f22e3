#include "Validation.h"

#include "Config.h"
#include "DiskLogicData.h"
#include "Layout.h"
#include "LocalText.h"
#include "Platform.h"
#include "Sha256.h"
#include "SourceReader.h"
#include "TesselLoader.h"
#include "TextUtil.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

// Only a regular file can be copied: a folder or a FIFO named as an image would otherwise pass
// here and fail (or hang) only after the disk has been opened and partly rewritten.
bool FileThere(const std::u16string& path) { return plat::IsRegularFile(path); }

std::u16string PartitionLine(const std::u16string& name, const char16_t* key,
                             const std::u16string& tail = {}) {
  return LocalText(u"Par", 0) + u" " + name + u":" + LocalText(key, 0) + tail + u"\n";
}

std::u16string BinFileLine(int32_t position, const char16_t* key,
                           const std::u16string& tail = {}) {
  const std::string number = std::to_string(static_cast<int64_t>(position) + 1);
  return LocalText(u"NO", 0) + std::u16string(number.begin(), number.end()) + u" " +
         LocalText(u"BinFile", 0) + LocalText(key, 0) + tail + u"\n";
}

// The one report of a validation: its lines, and what kinds of problem they name.
struct Report {
  std::u16string text;
  int32_t refusal = 0;

  void Add(std::u16string line, const char16_t* key) {
    text += line;
    refusal |= std::u16string_view(key) == u"FileOutsideFolder" ? PLINTH_REFUSED_OUTSIDE
                                                                : PLINTH_REFUSED_OTHER;
  }
  void Partition(const std::u16string& name, const char16_t* key,
                 const std::u16string& tail = {}) {
    Add(PartitionLine(name, key, tail), key);
  }
  void BinFile(int32_t position, const char16_t* key, const std::u16string& tail = {}) {
    Add(BinFileLine(position, key, tail), key);
  }
};

// A capacity that no layout can hold: negative, or too big for 64 bits.
bool CapacityInvalid(int64_t bytes) { return bytes < 0 || bytes == kCapacityTooBig; }

// Start of the first partition plus every capacity, unless that cannot be a layout on a disk
// of `diskSize` bytes.
bool PartitionsFit(const std::vector<PartitionSpec>& partitions, uint64_t diskSize) {
  uint64_t end = partitions.empty() ? 0 : SectorBytes(partitions.front().offset);
  for (const PartitionSpec& p : partitions) {
    if (CapacityInvalid(p.capacityBytes)) return false;
    const auto bytes = static_cast<uint64_t>(p.capacityBytes);
    if (bytes > std::numeric_limits<uint64_t>::max() - end) return false;
    end += bytes;
  }
  return end <= diskSize;
}

// What every file the job will read must be: there, a regular file, inside the firmware
// folder (after links are followed, unless the job allows otherwise), and readable by this
// process. The problem's key and its tail, or no key.
struct FileProblem {
  const char16_t* key = nullptr;
  std::u16string tail;
};

// A checksum, when config.xml gives one, is of the file as stored, so a damaged download is
// named as such before its contents are looked at. A compressed file must decompress whole.
FileProblem SourceFileProblem(const CPlinthApp& job, const std::u16string& realFolder,
                              const std::u16string& path, const std::u16string& sha256) {
  if (!FileThere(path)) return {u"FileNotFound", path};
  if (job.allowOutside == 0 && !plat::IsInsideFolder(plat::RealPath(path), realFolder)) {
    return {u"FileOutsideFolder", path};
  }
  auto unreadable = [&](int err) -> FileProblem {
    if (err == EBADMSG) return {u"CompressedFileDamaged", path};
    return {u"FileUnreadable", path + u" (" + plat::ErrorText(err) + u")"};
  };
  if (!sha256.empty()) {
    if (!IsSha256Text(sha256)) return {u"ChecksumInvalid", path};
    const std::u16string digest = Sha256OfFile(path);
    if (digest.empty()) return unreadable(errno);
    if (!EqualsNoCase(digest, sha256)) return {u"ChecksumMismatch", path};
  }
  // Opened as the copy will open it.
  if (OpenFileSource(path) == nullptr) return unreadable(errno);
  return {};
}

// Empty volumes: ext3 cannot be made at all, and the builder makes the others only within its
// size limits, which it is asked for once something is outside them.
class EmptyVolumeCheck {
 public:
  void Check(const std::u16string& name, int64_t capacityBytes, int32_t typeCode,
             Report& report) {
    int32_t kind = 0;
    switch (typeCode) {
      case kTypeExt3:
        report.Partition(name, u"Ext3NeedsImage");
        return;
      case kTypeFat16: kind = kVolumeFat16; break;
      case kTypeFat32: kind = kVolumeFat32; break;
      case kTypeExt4: kind = kVolumeExt4; break;
      default: return;  // no file system asked for: nothing is made
    }
    if (!tessel_) tessel_.emplace();
    if (!tessel_->loaded()) {
      if (!reportedLoad_) report.Add(LocalText(u"LoadDllFailed", 0) + u"\n", u"LoadDllFailed");
      reportedLoad_ = true;
      return;
    }
    const auto size = static_cast<uint64_t>(capacityBytes);
    if (tessel_->Makes(size, kind)) return;
    std::u16string limits;
    uint64_t min = 0, max = 0;
    if (tessel_->SizeLimits(kind, min, max)) {
      auto text = [](uint64_t bytes) {
        return FormatSizeText(static_cast<int64_t>(std::min<uint64_t>(bytes, INT64_MAX)));
      };
      limits = text(min) + u" \u2013 " + text(max);
    }
    report.Partition(name, u"VolumeSizeErr", limits);
  }

 private:
  std::optional<TesselLoader> tessel_;
  bool reportedLoad_ = false;
};

// Bin files end at or before the next bin file in offset order, the first partition's start
// and the disk's end, and are files the job can read.
void CheckBinFiles(const CPlinthApp& job, const std::u16string& realFolder,
                   const std::vector<BinFileSpec>& files, Report& report) {
  // The disk's end also bounds an update, whose first partition offset was never checked.
  uint64_t base = job.diskSize;
  if (!job.partitions.empty()) base = std::min(base, SectorBytes(job.partitions.front().offset));
  const std::vector<BinFileOrder> order = OrderBinFiles(files);
  for (size_t k = 0; k < order.size(); ++k) {
    const BinFileOrder& entry = order[k];
    if (entry.path.empty()) {
      report.BinFile(entry.position, u"NULLPATH");
      continue;
    }
    // Sector 0 holds the partition table; a negative sector would wrap to the disk's far end.
    if (entry.offset <= 0) report.BinFile(entry.position, u"BinOffsetErr");
    const FileProblem problem = SourceFileProblem(job, realFolder, entry.path, entry.sha256);
    if (problem.key != nullptr) {
      report.BinFile(entry.position, problem.key, problem.tail);
      continue;
    }
    const int64_t size = SourceLength(entry.path);
    uint64_t limit = base;
    if (k + 1 < order.size()) limit = std::min(limit, SectorBytes(order[k + 1].offset));
    // Both terms are far below 2^64: a sector is under 2^41 bytes, a file size under 2^63.
    if (SectorBytes(entry.offset) + static_cast<uint64_t>(std::max<int64_t>(size, 0)) > limit) {
      report.BinFile(entry.position, u"BinFileSizeTooBig", u":" + entry.path);
    }
  }
}

// A partition's image: a file the job can read, and no larger than the partition.
void CheckImage(const CPlinthApp& job, const std::u16string& realFolder,
                const std::u16string& name, const std::u16string& image,
                const std::u16string& sha256, int64_t capacity, Report& report) {
  const FileProblem problem = SourceFileProblem(job, realFolder, image, sha256);
  if (problem.key != nullptr) {
    report.Partition(name, problem.key, problem.tail);
  } else if (CapacityInvalid(capacity) || SourceLength(image) > capacity) {
    // No image fits a partition whose size cannot be a size.
    report.Partition(name, u"SizeTooSmall");
  }
}

// The first file of the list that is named but missing, reported; 0 then.
template <typename Paths>
int32_t ReportFirstMissing(const CPlinthApp& job, const Paths& paths) {
  for (const std::u16string* path : paths) {
    if (!path->empty() && !FileThere(*path)) {
      job.ShowReport(LocalText(u"FileNotFound", 0) + *path);
      return 0;
    }
  }
  return 1;
}

}  // namespace

std::vector<BinFileOrder> OrderBinFiles(const std::vector<BinFileSpec>& files) {
  std::vector<BinFileOrder> order;
  order.reserve(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    order.push_back({files[i].path, files[i].offset, static_cast<int32_t>(i), files[i].sha256});
  }
  std::stable_sort(order.begin(), order.end(), [](const BinFileOrder& a, const BinFileOrder& b) {
    return static_cast<uint32_t>(a.offset) < static_cast<uint32_t>(b.offset);
  });
  return order;
}

bool LayoutFitsDisk(const std::vector<PartitionSpec>& partitions, uint64_t diskBytes) {
  // An MBR counts sectors in 32 bits: no partition of it ends beyond that.
  const uint64_t sectors = std::min<uint64_t>(diskBytes / kSectorSize, UINT32_MAX);
  return PlanLayout(partitions).endSector <= sectors;
}

int32_t CPlinthApp::ValidateLayout(int32_t mode) {
  partitionCount = static_cast<int32_t>(
      std::min<size_t>(partitions.size(), std::numeric_limits<int32_t>::max()));
  refusal = PLINTH_REFUSED_OTHER;  // until everything has passed
  if (mode == 0 && partitions.empty() && binFiles.empty()) {
    ShowKey(u"NoWriteInfoFound");
    return 0;
  }
  if (mode == 1 && updatePartitions.empty() && updateBinFiles.empty()) {
    ShowKey(u"NoUpdateInfoFound");
    return 0;
  }

  const std::u16string realFolder = plat::RealPath(firmwareFolder);
  EmptyVolumeCheck volumes;
  Report report;
  if (mode == 0) {
    if (!partitions.empty() && partitions.front().offset < 1) {
      ShowReport(LocalText(u"WrittenInfoErr", 0) + u"\n" + LocalText(u"ParOffsetErr", 0));
      return 0;
    }
    if (!PartitionsFit(partitions, diskSize)) {
      ShowKey(u"TotalSizeTooBig");
      return 0;
    }
    // With the table's own sectors between the partitions.
    if (!LayoutFitsDisk(partitions, diskSize)) {
      ShowKey(u"DiskFull");
      return 0;
    }
    report.text = LocalText(u"WrittenInfoErr", 0) + u"\n";
    for (const PartitionSpec& p : partitions) {
      if (p.capacityBytes == 0) {
        // A missing or mistyped capacity reads as 0: a partition of no sectors at all.
        report.Partition(p.name, u"CapacityErr");
      } else if (!p.imagePath.empty()) {
        CheckImage(*this, realFolder, p.name, p.imagePath, p.sha256, p.capacityBytes, report);
      } else {
        volumes.Check(p.name, p.capacityBytes, p.type, report);
      }
    }
    CheckBinFiles(*this, realFolder, binFiles, report);
  } else {
    report.text = LocalText(u"UpdateInfoErr", 0) + u"\n";
    std::vector<std::u16string> seenNames;
    for (const UpdatePartitionSpec& u : updatePartitions) {
      const bool seen = ContainsNoCase(u.name, seenNames) != 0;
      seenNames.push_back(u.name);
      if (u.index < 0 || static_cast<size_t>(u.index) >= partitions.size()) {
        report.Partition(u.name, u"PartitionIndexNotFound");
        continue;
      }
      const int64_t capacity = partitions[static_cast<size_t>(u.index)].capacityBytes;
      if (seen) {
        report.Partition(u.name, u"SameParName");
      } else if (capacity == 0) {
        report.Partition(u.name, u"CapacityErr");
      } else if (!u.imagePath.empty()) {
        CheckImage(*this, realFolder, u.name, u.imagePath, u.sha256, capacity, report);
      } else if (!CapacityInvalid(capacity)) {
        volumes.Check(u.name, capacity, u.type, report);
      }
    }
    CheckBinFiles(*this, realFolder, updateBinFiles, report);
  }
  refusal = report.refusal;
  if (refusal == 0) return 1;
  ShowReport(report.text);
  return 0;
}

int32_t CPlinthApp::CheckWriteFiles() {
  std::vector<const std::u16string*> paths;
  for (const PartitionSpec& p : partitions) paths.push_back(&p.imagePath);
  for (const BinFileSpec& b : binFiles) paths.push_back(&b.path);
  return ReportFirstMissing(*this, paths);
}

int32_t CPlinthApp::CheckUpdateFiles() {
  std::vector<const std::u16string*> paths;
  for (const UpdatePartitionSpec& u : updatePartitions) paths.push_back(&u.imagePath);
  for (const BinFileSpec& b : updateBinFiles) paths.push_back(&b.path);
  return ReportFirstMissing(*this, paths);
}

int32_t CPlinthApp::CheckUpdateLayout() {
  // The partitions an update reaches: up to the last one it names, and the first one, whose
  // start bounds its bin files.
  int32_t last = -1;
  for (const UpdatePartitionSpec& u : updatePartitions) last = std::max(last, u.index);
  if (!updateBinFiles.empty() && !partitions.empty()) last = std::max(last, 0);
  if (last < 0 || static_cast<size_t>(last) >= partitions.size()) return 1;

  // Without its signature sector 0 holds no table at all (a card whose write was interrupted).
  uint8_t mbr[kSectorSize];
  const bool hasTable = disk->SeekDisk(0) != -1 &&
                        disk->ReadDisk(mbr, kSectorSize) == kSectorSize &&
                        mbr[kSignatureOffset] == 0x55 && mbr[kSignatureOffset + 1] == 0xAA;
  const LayoutPlan plan = PlanLayout(partitions);
  auto placeText = [](uint64_t start, uint64_t count) {
    return plat::FromUtf8(std::to_string(start) + " / " + std::to_string(count));
  };
  Report report;
  report.text = LocalText(u"UpdateLayoutErr", 0) + u"\n";
  for (int32_t k = 0; k <= last; ++k) {
    const PartitionSpec& p = partitions[static_cast<size_t>(k)];
    // The table rounds a partition's size up to whole sectors.
    const uint64_t count = (static_cast<uint64_t>(std::max<int64_t>(p.capacityBytes, 0)) +
                            kSectorSize - 1) / kSectorSize;
    const uint64_t start = plan.partitions[static_cast<size_t>(k)].start;
    uint32_t foundStart = 0;
    int64_t foundSize = -1;
    if (hasTable) disk->LocatePartition(k, foundStart, foundSize);
    if (foundSize >= 0 && foundStart == start &&
        static_cast<uint64_t>(foundSize) == count * kSectorSize) {
      continue;
    }
    const std::u16string found =
        foundSize < 0 ? u"\u2013"
                      : placeText(foundStart, static_cast<uint64_t>(foundSize) / kSectorSize);
    report.Partition(p.name, u"LayoutDiffers",
                     LocalText(u"OnCard", 0) + found + LocalText(u"InFirmware", 0) +
                         placeText(start, count));
  }
  if (report.refusal == 0) return 1;
  refusal = report.refusal;
  ShowReport(report.text);
  return 0;
}
