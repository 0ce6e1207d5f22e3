#include "JobTarget.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <set>
#include <sstream>

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
// dm and md devices stack on others; deeper chains than this are not real.
constexpr int kStackDepthLimit = 8;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  std::string field;
  while (in >> field) fields.push_back(field);
  return fields;
}

// A use of some block device by the running system.
struct SystemUse {
  std::string dev;     // "major:minor", or empty
  std::string source;  // "/dev/sda2", or empty
  std::string what;    // "/", "/boot", "swap"
};

bool IsSystemMountPoint(const std::string& point) {
  static const char* const kPoints[] = {"/", "/boot", "/usr", "/var", "/home"};
  for (const char* p : kPoints) {
    if (point == p) return true;
  }
  return StartsWith(point, "/boot/") || StartsWith(point, "/usr/");
}

void ReadSystemMounts(const std::string& path, std::vector<SystemUse>& uses) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = Fields(line);
    // id, parent, major:minor, root, mount point, options, optional fields, "-", type, source
    if (f.size() < 6) continue;
    const auto dash = std::find(f.begin() + 6, f.end(), "-");
    if (f.end() - dash < 3) continue;
    const std::string point = plat::DecodeMountEscapes(f[4]);
    if (!IsSystemMountPoint(point)) continue;
    uses.push_back({f[2], plat::DecodeMountEscapes(*(dash + 2)), point});
  }
}

std::string DevOf(dev_t dev) {
  return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

void ReadSwaps(const std::string& path, std::vector<SystemUse>& uses) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    const std::vector<std::string> f = Fields(line);
    if (f.size() < 2) continue;
    const std::string name = plat::DecodeMountEscapes(f[0]);
    SystemUse use{{}, {}, "swap"};
    struct stat st {};
    if (f[1] == "partition") {
      use.source = name;
      if (stat(name.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) use.dev = DevOf(st.st_rdev);
    } else if (stat(name.c_str(), &st) == 0) {
      use.dev = DevOf(st.st_dev);  // a swap file: the disk under its file system
    }
    uses.push_back(use);
  }
}

class DiskIndex {
 public:
  DiskIndex(const std::string& sysfs, std::vector<RawBlockDevice> devices)
      : sysfs_(sysfs), devices_(std::move(devices)) {}

  const std::vector<RawBlockDevice>& devices() const { return devices_; }

  // The whole disks under a device: itself or its parent disk, or for a stacked device (dm,
  // md) the disks beneath it.
  void DisksUnder(const std::string& dev, const std::string& source, std::set<std::string>& out,
                  int depth = 0) const {
    if (depth > kStackDepthLimit) return;
    std::string name = source.empty() ? std::string() : BaseName(source);
    if (StartsWith(source, "/dev/mapper/")) name = DmNamed(name);
    for (const RawBlockDevice& device : devices_) {
      bool hit = (!dev.empty() && device.dev == dev) || (!name.empty() && device.name == name);
      for (const RawPartition& part : device.partitions) {
        hit = hit || (!dev.empty() && part.dev == dev) || (!name.empty() && part.name == name);
      }
      if (!hit) continue;
      out.insert(device.name);
      // What a stacked device is made of, by the kernel names of its parts.
      for (const std::string& slave : ListNames(sysfs_ + "/block/" + device.name + "/slaves")) {
        DisksUnder({}, "/dev/" + slave, out, depth + 1);
      }
    }
  }

 private:
  std::string DmNamed(const std::string& name) const {
    for (const RawBlockDevice& device : devices_) {
      if (!StartsWith(device.name, "dm-")) continue;
      const auto dmName = SysfsReader::ReadAttribute(sysfs_ + "/block/" + device.name + "/dm/name");
      if (dmName && *dmName == name) return device.name;
    }
    return {};
  }

  static std::vector<std::string> ListNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
      const std::string n = entry->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(dir);
    return names;
  }

  std::string sysfs_;
  std::vector<RawBlockDevice> devices_;
};

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

BlockTarget InspectBlockDevice(unsigned major, unsigned minor, const SystemFiles& files) {
  BlockTarget target;
  const std::string dev = std::to_string(major) + ":" + std::to_string(minor);
  const DiskIndex index(files.sysfs, SysfsReader(files.sysfs).ReadBlockDevices());
  const RawBlockDevice* disk = nullptr;
  for (const RawBlockDevice& device : index.devices()) {
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

  std::vector<SystemUse> uses;
  ReadSystemMounts(files.mountinfo, uses);
  ReadSwaps(files.swaps, uses);
  for (const SystemUse& use : uses) {
    std::set<std::string> disks;
    index.DisksUnder(use.dev, use.source, disks);
    if (disks.count(target.disk) == 0) continue;
    const std::string text = use.source.empty() ? use.what
                                                : Text(u"CliSystemUseOn", {use.what, use.source});
    if (std::find(target.systemUses.begin(), target.systemUses.end(), text) ==
        target.systemUses.end()) {
      target.systemUses.push_back(text);
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
