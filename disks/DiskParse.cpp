#include "DiskParse.h"

#include "Platform.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <set>
#include <tuple>

namespace {

constexpr uint64_t kSectorBytes = 512;  // sysfs counts sizes in 512-byte units on every device

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

// "ram0" matches prefix "ram" followed by a number.
bool NamedWithNumber(std::string_view name, std::string_view prefix) {
  return name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix &&
         IsDigit(name[prefix.size()]);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsLoopName(std::string_view name) { return NamedWithNumber(name, "loop"); }

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      break;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// "8:16" as numbers; false for anything else.
bool ParseDevNumbers(std::string_view dev, uint64_t& major, uint64_t& minor) {
  const size_t colon = dev.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view majorText = dev.substr(0, colon);
  const std::string_view minorText = dev.substr(colon + 1);
  if (!AllDigits(majorText) || !AllDigits(minorText) || majorText.size() > 9 ||
      minorText.size() > 9) {
    return false;
  }
  major = std::stoull(std::string(majorText));
  minor = std::stoull(std::string(minorText));
  return true;
}

// Digit runs compare by value, so "sd2" < "sd10".
bool NaturalLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      std::string_view da = a.substr(i, ei - i), db = b.substr(j, ej - j);
      while (da.size() > 1 && da.front() == '0') da.remove_prefix(1);
      while (db.size() > 1 && db.front() == '0') db.remove_prefix(1);
      if (da.size() != db.size()) return da.size() < db.size();
      if (da != db) return da < db;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return (a.size() - i) < (b.size() - j);
}

// Copies at most size - 1 bytes and terminates; the rest of the field stays zero.
void CopyText(char* field, size_t size, std::string_view text) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
std::string_view CutAtCharacter(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// virtio disks give a vendor number ("0x1af4") where SCSI disks give a name.
bool IsVendorNumber(std::string_view text) {
  if (text.size() < 3 || text.substr(0, 2) != "0x") return false;
  return std::all_of(text.begin() + 2, text.end(), [](char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

// Mount points whose file systems the running system cannot do without.
bool IsSystemMountPoint(std::string_view point) {
  static constexpr std::string_view kPoints[] = {"/", "/boot", "/usr", "/var", "/home"};
  for (std::string_view p : kPoints) {
    if (point == p) return true;
  }
  return StartsWith(point, "/boot/") || StartsWith(point, "/usr/");
}

// dm and md devices stack on others; deeper chains than this are not real.
constexpr int kStackDepthLimit = 8;

// The devices under one device: the device that is it or holds it as a partition, and for a
// stacked device the devices beneath it, by their kernel names.
void DevicesUnder(const std::vector<RawBlockDevice>& devices, const std::string& dev,
                  const std::string& source, std::set<std::string>& out, int depth = 0) {
  if (depth > kStackDepthLimit) return;
  std::string_view name = source;
  if (const size_t slash = name.rfind('/'); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  std::string wanted(name);
  if (StartsWith(source, "/dev/mapper/")) {
    wanted.clear();
    for (const RawBlockDevice& device : devices) {
      if (!device.dmName.empty() && device.dmName == name) wanted = device.name;
    }
  }
  auto matches = [&](const std::string& d, const std::string& n) {
    return (!dev.empty() && d == dev) || (!wanted.empty() && n == wanted);
  };
  for (const RawBlockDevice& device : devices) {
    bool hit = matches(device.dev, device.name);
    for (const RawPartition& part : device.partitions) hit = hit || matches(part.dev, part.name);
    if (!hit) continue;
    out.insert(device.name);
    for (const std::string& slave : device.slaves) {
      DevicesUnder(devices, {}, "/dev/" + slave, out, depth + 1);
    }
  }
}

struct SortKey {
  bool loop;
  bool noDev;
  uint64_t major;
  uint64_t minor;
};

SortKey KeyOf(const RawBlockDevice& device) {
  SortKey key{IsLoopName(device.name), true, 0, 0};
  key.noDev = !ParseDevNumbers(device.dev, key.major, key.minor);
  return key;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  for (std::string_view line : Split(text, '\n')) {
    const std::vector<std::string_view> fields = Split(line, ' ');
    // id, parent, major:minor, root, mount point, options, optional fields..., "-", type, source
    size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 2 >= fields.size()) continue;
    mounts.push_back({std::string(fields[2]), plat::DecodeMountEscapes(fields[separator + 2]),
                      plat::DecodeMountEscapes(fields[4])});
  }
  return mounts;
}

std::string CleanModelText(std::string_view raw) {
  std::string clean;
  for (char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    // Beyond spaces and zero bytes, control bytes go too: they would garble a terminal or a list.
    if (byte <= 0x20 || byte == 0x7F) continue;
    clean.push_back(c);
    if (clean.size() == static_cast<size_t>(kModelTextMax)) break;
  }
  return clean;
}

uint64_t ParseSectorCount(const std::optional<std::string>& text) {
  if (!text) return 0;
  std::string_view digits = *text;
  while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\n' ||
                             digits.back() == '\t' || digits.back() == '\r')) {
    digits.remove_suffix(1);
  }
  if (!AllDigits(digits)) return 0;
  uint64_t sectors = 0;
  constexpr uint64_t kMaxSectors = std::numeric_limits<uint64_t>::max() / kSectorBytes;
  for (char c : digits) {
    const auto digit = static_cast<uint64_t>(c - '0');
    if (sectors > (kMaxSectors - digit) / 10) return 0;
    sectors = sectors * 10 + digit;
  }
  return sectors * kSectorBytes;
}

int32_t IsUsbSysfsPath(std::string_view path) {
  for (std::string_view part : Split(path, '/')) {
    if (NamedWithNumber(part, "usb") && AllDigits(part.substr(3))) return 1;
    // A USB port: bus "-" port, ports of hubs joined by ".", then ":" configuration "." interface.
    const size_t dash = part.find('-');
    if (dash == std::string_view::npos || !AllDigits(part.substr(0, dash))) continue;
    std::string_view rest = part.substr(dash + 1);
    std::string_view interface;
    if (const size_t colon = rest.find(':'); colon != std::string_view::npos) {
      interface = rest.substr(colon + 1);
      rest = rest.substr(0, colon);
      const std::vector<std::string_view> ci = Split(interface, '.');
      if (ci.size() != 2 || !AllDigits(ci[0]) || !AllDigits(ci[1])) continue;
    }
    const std::vector<std::string_view> ports = Split(rest, '.');
    if (std::all_of(ports.begin(), ports.end(), AllDigits)) return 1;
  }
  return 0;
}

int32_t GetDiskType(const RawBlockDevice& device) {
  return IsUsbSysfsPath(device.sysPath) || IsUsbSysfsPath(device.devicePath) ? 1 : 0;
}

bool IsCandidateDisk(const RawBlockDevice& device) {
  const std::string_view name = device.name;
  if (name.empty() || name.size() >= static_cast<size_t>(kKernelNameSize)) return false;
  static constexpr std::string_view kNotDisks[] = {"ram", "zram", "md", "sr", "fd", "nbd"};
  for (std::string_view prefix : kNotDisks) {
    if (NamedWithNumber(name, prefix)) return false;
  }
  if (StartsWith(name, "dm-") || StartsWith(name, "md_")) return false;
  // eMMC boot and replay-protected areas sit beside the user area, never a target of their own.
  if (StartsWith(name, "mmcblk") &&
      (name.find("boot") != std::string_view::npos || name.find("rpmb") != std::string_view::npos)) {
    return false;
  }
  if (device.hidden == "1") return false;
  if (IsLoopName(name)) {
    const bool attached = device.backingFile && !device.backingFile->empty();
    return attached || ParseSectorCount(device.size) != 0;
  }
  return true;
}

uint32_t GetPartitionCnt(const RawBlockDevice& device, const std::vector<MountEntry>& mounts) {
  std::vector<std::pair<std::string, std::string>> volumes;  // (dev, name): the disk and its parts
  volumes.emplace_back(device.dev, device.name);
  for (const RawPartition& part : device.partitions) volumes.emplace_back(part.dev, part.name);

  std::set<std::string> used;
  for (const MountEntry& mount : mounts) {
    for (const auto& [dev, name] : volumes) {
      // Some file systems (btrfs) report an anonymous device number; the source still names it.
      if ((!dev.empty() && mount.dev == dev) || mount.source == "/dev/" + name) {
        used.insert(name);
        break;
      }
    }
  }
  return static_cast<uint32_t>(used.size());
}

std::map<std::string, std::vector<SystemUse>> SystemDiskUses(
    const std::vector<RawBlockDevice>& devices, const std::vector<MountEntry>& mounts,
    const std::vector<SwapArea>& swaps) {
  std::vector<std::pair<std::string, SystemUse>> uses;  // (device number, use)
  for (const MountEntry& mount : mounts) {
    if (IsSystemMountPoint(mount.point)) uses.push_back({mount.dev, {mount.point, mount.source}});
  }
  for (const SwapArea& swap : swaps) uses.push_back({swap.dev, {"swap", swap.source}});

  std::map<std::string, std::vector<SystemUse>> byDisk;
  for (const auto& [dev, use] : uses) {
    std::set<std::string> under;
    DevicesUnder(devices, dev, use.source, under);
    for (const std::string& disk : under) {
      std::vector<SystemUse>& found = byDisk[disk];
      if (std::find(found.begin(), found.end(), use) == found.end()) found.push_back(use);
    }
  }
  return byDisk;
}

void CopyTextField(char* field, size_t size, std::string_view text) {
  CopyText(field, size, CutAtCharacter(text, size - 1));
}

std::string DiskDescription(const DISK_DATA& disk) {
  if (disk.isLoop != 0) return disk.backingFile;
  std::string text = disk.vendor;
  if (!text.empty() && disk.model[0] != '\0') text += ' ';
  return text + disk.model;
}

std::vector<DISK_DATA> BuildDiskRecords(const std::vector<RawBlockDevice>& devices,
                                        const std::vector<MountEntry>& mounts) {
  std::vector<const RawBlockDevice*> disks;
  for (const RawBlockDevice& device : devices) {
    if (IsCandidateDisk(device)) disks.push_back(&device);
  }
  std::sort(disks.begin(), disks.end(), [](const RawBlockDevice* a, const RawBlockDevice* b) {
    const SortKey ka = KeyOf(*a), kb = KeyOf(*b);
    const auto ta = std::tie(ka.loop, ka.noDev, ka.major, ka.minor);
    const auto tb = std::tie(kb.loop, kb.noDev, kb.major, kb.minor);
    if (ta != tb) return ta < tb;
    return NaturalLess(a->name, b->name);
  });

  std::vector<DISK_DATA> records;
  records.reserve(disks.size());
  for (const RawBlockDevice* device : disks) {
    DISK_DATA record{};
    record.diskNumber = static_cast<int32_t>(records.size());
    record.isUsb = GetDiskType(*device);
    CopyText(record.model, kModelTextMax + 1,
             CleanModelText(device->model.empty() ? device->cardName : device->model));
    record.partitionCount = GetPartitionCnt(*device, mounts);
    record.diskSize = ParseSectorCount(device->size);
    // sysfs writes a "/" in a kernel name as "!" (cciss!c0d0 is /dev/cciss/c0d0).
    std::string node = "/dev/" + device->name;
    std::replace(node.begin(), node.end(), '!', '/');
    CopyText(record.devicePath, sizeof record.devicePath, node);
    CopyText(record.kernelName, sizeof record.kernelName, device->name);
    const std::string vendor = CleanModelText(device->vendor);
    if (!IsVendorNumber(vendor)) CopyText(record.vendor, sizeof record.vendor, vendor);
    record.removable = device->removable == "1" ? 1 : 0;
    record.readOnly = device->readOnly == "1" ? 1 : 0;
    if (IsLoopName(device->name)) {
      record.isLoop = 1;
      const std::string backing = device->backingFile.value_or(std::string());
      CopyTextField(record.backingFile, sizeof record.backingFile, backing);
    }
    records.push_back(record);
  }
  return records;
}
