#include "JobTarget.h"

#include <cctype>
#include <cstdlib>
#include <limits>
#include <memory>

#include "CliCommon.h"
#include "DiskParse.h"
#include "DiskSource.h"
#include "Layout.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "TextUtil.h"

namespace {

constexpr uint64_t kSector = 512;
// An MBR counts sectors in 32 bits: no layout it describes ends beyond this.
constexpr uint64_t kMbrLimitBytes = (uint64_t{1} << 32) * kSector;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool ParseSize(std::string_view text, uint64_t& bytes) {
  size_t i = 0;
  uint64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
    ++i;
  }
  if (i == 0) return false;
  std::string_view unit = text.substr(i);
  int shift = 0;
  if (!unit.empty()) {
    switch (std::toupper(static_cast<unsigned char>(unit[0]))) {
      case 'K': shift = 10; break;
      case 'M': shift = 20; break;
      case 'G': shift = 30; break;
      case 'T': shift = 40; break;
      default: return false;
    }
    unit.remove_prefix(1);
    if (unit != "" && unit != "B" && unit != "iB") return false;
  }
  if (value == 0 || value > (std::numeric_limits<uint64_t>::max() >> shift)) return false;
  value <<= shift;
  if (value % kSector != 0) return false;
  bytes = value;
  return true;
}

uint64_t DefaultImageSize(const std::string& folder) {
  CPlinthApp config;
  config.ParseConfig(plat::FromUtf8(folder) + u"/config.xml");
  uint64_t end = 0;
  if (!config.partitions.empty()) {
    // A first partition without a real start cannot be placed; validation says so.
    if (config.partitions.front().offset < 1) return 0;
    for (const PartitionSpec& p : config.partitions) {
      if (p.capacityBytes < 0 || static_cast<uint64_t>(p.capacityBytes) > kMbrLimitBytes) return 0;
    }
    end = PlanLayout(config.partitions).endSector * kSector;
  }
  for (const auto* list : {&config.binFiles, &config.updateBinFiles}) {
    for (const BinFileSpec& file : *list) {
      const std::u16string path = Trim(file.path);
      if (path.empty() || file.offset < 0) continue;
      const int64_t length = plat::FileLength(path);
      if (length < 0) continue;  // a missing file is validation's to report
      const uint64_t sectors = (static_cast<uint64_t>(length) + kSector - 1) / kSector;
      end = std::max(end, (static_cast<uint64_t>(file.offset) + sectors) * kSector);
    }
  }
  return end > kMbrLimitBytes ? 0 : end;
}

bool IsUnderDev(const std::string& path) {
  if (path == "/dev" || StartsWith(path, "/dev/")) return true;
  const size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(parent.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return false;
  const std::string real = resolved.get();
  return real == "/dev" || StartsWith(real, "/dev/");
}

DiskSnapshot ReadDiskSnapshot(const SystemFiles& files) {
  DiskSnapshot snapshot;
  snapshot.devices = SysfsReader(files.sysfs).ReadBlockDevices();
  std::string mountTable;
  ReadMountTable(files.mountinfo, mountTable);
  snapshot.systemUses = SystemDiskUses(snapshot.devices, ParseMountInfo(mountTable),
                                       ReadSwapAreas(files.swaps));
  return snapshot;
}

BlockTarget InspectBlockDevice(unsigned major, unsigned minor, const SystemFiles& files) {
  return InspectBlockDevice(major, minor, ReadDiskSnapshot(files));
}

BlockTarget InspectBlockDevice(unsigned major, unsigned minor, const DiskSnapshot& snapshot) {
  BlockTarget target;
  const std::string dev = std::to_string(major) + ":" + std::to_string(minor);
  const RawBlockDevice* disk = nullptr;
  for (const RawBlockDevice& device : snapshot.devices) {
    if (device.dev == dev) disk = &device;
    for (const RawPartition& part : device.partitions) {
      if (part.dev == dev) {
        disk = &device;
        target.partition = part.name;
      }
    }
    if (disk != nullptr) break;
  }
  if (disk == nullptr) return target;
  target.known = true;
  target.disk = disk->name;
  target.removable = disk->removable == "1";
  target.usb = GetDiskType(*disk) != 0;
  target.loop = StartsWith(disk->name, "loop") && disk->backingFile.has_value();
  if (target.loop) {
    target.model = *disk->backingFile;
  } else {
    target.model = CleanModelText(disk->vendor);
    const std::string model = CleanModelText(disk->model.empty() ? disk->cardName : disk->model);
    if (!target.model.empty() && !model.empty()) target.model += ' ';
    target.model += model;
  }

  if (const auto uses = snapshot.systemUses.find(target.disk); uses != snapshot.systemUses.end()) {
    for (const SystemUse& use : uses->second) {
      target.systemUses.push_back(plat::ToUtf8(SystemUseText({use})));
    }
  }
  return target;
}

std::string SafetyRefusal(const BlockTarget& target) {
  if (!target.known) return Text(u"CliNotSysfsDisk");
  if (!target.partition.empty()) return Text(u"CliIsPartition", {target.partition, target.disk});
  if (!target.systemUses.empty()) {
    std::string uses;
    for (size_t i = 0; i < target.systemUses.size(); ++i) {
      uses += (i ? ", " : "") + target.systemUses[i];
    }
    return Text(u"CliSystemDisk", {target.disk, uses});
  }
  if (!target.removable && !target.usb && !target.loop) {
    return Text(u"CliFixedDisk", {target.disk});
  }
  return {};
}
