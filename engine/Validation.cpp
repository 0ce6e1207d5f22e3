#include "Validation.h"

#include "Config.h"
#include "DiskLogicData.h"
#include "LocalText.h"
#include "Platform.h"
#include "TextUtil.h"

#include <algorithm>
#include <limits>

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

// Bin files end at or before the next bin file in offset order, the first partition's start
// and the disk's end. Adds one line per problem; 0 when there was one.
int32_t CheckBinFiles(const CPlinthApp& job, const std::vector<BinFileSpec>& files,
                      std::u16string& report) {
  // The disk's end also bounds an update, whose first partition offset was never checked.
  uint64_t base = job.diskSize;
  if (!job.partitions.empty()) base = std::min(base, SectorBytes(job.partitions.front().offset));
  const std::vector<BinFileOrder> order = OrderBinFiles(files);
  int32_t result = 1;
  for (size_t k = 0; k < order.size(); ++k) {
    const BinFileOrder& entry = order[k];
    if (entry.path.empty()) {
      report += BinFileLine(entry.position, u"NULLPATH");
      result = 0;
      continue;
    }
    // Sector 0 holds the partition table; a negative sector would wrap to the disk's far end.
    if (entry.offset <= 0) {
      report += BinFileLine(entry.position, u"BinOffsetErr");
      result = 0;
    }
    const int64_t size = FileThere(entry.path) ? CDiskLogicData::GetFileLength(entry.path) : -1;
    if (size < 0) {
      report += BinFileLine(entry.position, u"FileNotFound", entry.path);
      result = 0;
      continue;
    }
    uint64_t limit = base;
    if (k + 1 < order.size()) limit = std::min(limit, SectorBytes(order[k + 1].offset));
    // Both terms are far below 2^64: a sector is under 2^41 bytes, a file size under 2^63.
    if (SectorBytes(entry.offset) + static_cast<uint64_t>(size) > limit) {
      report += BinFileLine(entry.position, u"BinFileSizeTooBig", u":" + entry.path);
      result = 0;
    }
  }
  return result;
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
    order.push_back({files[i].path, files[i].offset, static_cast<int32_t>(i)});
  }
  std::stable_sort(order.begin(), order.end(), [](const BinFileOrder& a, const BinFileOrder& b) {
    return static_cast<uint32_t>(a.offset) < static_cast<uint32_t>(b.offset);
  });
  return order;
}

int32_t CPlinthApp::ValidateLayout(int32_t mode) {
  partitionCount = static_cast<int32_t>(
      std::min<size_t>(partitions.size(), std::numeric_limits<int32_t>::max()));
  if (mode == 0 && partitions.empty() && binFiles.empty()) {
    ShowKey(u"NoWriteInfoFound");
    return 0;
  }
  if (mode == 1 && updatePartitions.empty() && updateBinFiles.empty()) {
    ShowKey(u"NoUpdateInfoFound");
    return 0;
  }

  int32_t result = 1;
  std::u16string report;
  if (mode == 0) {
    if (!partitions.empty() && partitions.front().offset < 1) {
      ShowReport(LocalText(u"WrittenInfoErr", 0) + u"\n" + LocalText(u"ParOffsetErr", 0));
      return 0;
    }
    if (!PartitionsFit(partitions, diskSize)) {
      ShowKey(u"TotalSizeTooBig");
      return 0;
    }
    report = LocalText(u"WrittenInfoErr", 0) + u"\n";
    for (const PartitionSpec& p : partitions) {
      if (p.imagePath.empty()) continue;
      if (!FileThere(p.imagePath)) {
        report += PartitionLine(p.name, u"FileNotFound", p.imagePath);
        result = 0;
      } else if (CDiskLogicData::GetFileLength(p.imagePath) > p.capacityBytes) {
        report += PartitionLine(p.name, u"SizeTooSmall");
        result = 0;
      }
    }
    if (CheckBinFiles(*this, binFiles, report) == 0) result = 0;
  } else {
    report = LocalText(u"UpdateInfoErr", 0) + u"\n";
    std::vector<std::u16string> seenNames;
    for (const UpdatePartitionSpec& u : updatePartitions) {
      const bool seen = ContainsNoCase(u.name, seenNames) != 0;
      seenNames.push_back(u.name);
      if (u.index < 0 || static_cast<size_t>(u.index) >= partitions.size()) {
        report += PartitionLine(u.name, u"PartitionIndexNotFound");
        result = 0;
      } else if (seen) {
        report += PartitionLine(u.name, u"SameParName");
        result = 0;
      } else if (!u.imagePath.empty()) {
        const int64_t capacity = partitions[static_cast<size_t>(u.index)].capacityBytes;
        if (!FileThere(u.imagePath)) {
          report += PartitionLine(u.name, u"FileNotFound", u.imagePath);
          result = 0;
        } else if (CapacityInvalid(capacity) ||
                   CDiskLogicData::GetFileLength(u.imagePath) > capacity) {
          // No image fits a partition whose size cannot be a size.
          report += PartitionLine(u.name, u"SizeTooSmall");
          result = 0;
        }
      }
    }
    if (CheckBinFiles(*this, updateBinFiles, report) == 0) result = 0;
  }
  if (result == 0) ShowReport(report);
  return result;
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
