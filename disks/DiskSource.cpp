#include "DiskSource.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "Platform.h"

namespace {

// A mount table this long is not a real one; stop rather than grow without bound.
constexpr size_t kMountTableLimit = 64u << 20;

std::string ResolvePath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool IsRealDirectory(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string AttributeOrEmpty(const std::string& path) {
  return SysfsReader::ReadAttribute(path).value_or(std::string());
}

}  // namespace

SysfsReader::SysfsReader(std::string sysfsRoot) : root_(std::move(sysfsRoot)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  resolvedRoot_ = ResolvePath(root_);
  if (resolvedRoot_.empty()) resolvedRoot_ = root_;
}

std::string SysfsReader::RelativeToRoot(const std::string& resolved) const {
  if (resolvedRoot_ == "/") return resolved.size() > 1 ? resolved.substr(1) : resolved;
  if (resolved.size() > resolvedRoot_.size() + 1 &&
      resolved.compare(0, resolvedRoot_.size(), resolvedRoot_) == 0 &&
      resolved[resolvedRoot_.size()] == '/') {
    return resolved.substr(resolvedRoot_.size() + 1);
  }
  return resolved;
}

std::optional<std::string> SysfsReader::ReadAttribute(const std::string& path, size_t limit) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text(limit, '\0');
  size_t used = 0;
  while (used < limit) {
    const ssize_t got = read(fd, text.data() + used, limit - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  close(fd);
  text.resize(used);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::vector<RawBlockDevice> SysfsReader::ReadBlockDevices() const {
  std::vector<RawBlockDevice> devices;
  const std::string blockDir = root_ + "/block";
  for (const std::string& name : ListFolder(blockDir)) {
    RawBlockDevice device;
    device.name = name;
    const std::string entry = blockDir + "/" + name;
    std::string resolved = ResolvePath(entry);
    if (resolved.empty()) continue;  // a dangling entry is no device
    device.sysPath = RelativeToRoot(resolved);
    const std::string deviceLink = ResolvePath(resolved + "/device");
    if (!deviceLink.empty()) device.devicePath = RelativeToRoot(deviceLink);

    device.dev = AttributeOrEmpty(resolved + "/dev");
    device.size = ReadAttribute(resolved + "/size");
    device.removable = AttributeOrEmpty(resolved + "/removable");
    device.readOnly = AttributeOrEmpty(resolved + "/ro");
    device.hidden = AttributeOrEmpty(resolved + "/hidden");
    device.vendor = AttributeOrEmpty(resolved + "/device/vendor");
    device.model = AttributeOrEmpty(resolved + "/device/model");
    device.cardName = AttributeOrEmpty(resolved + "/device/name");
    device.backingFile = ReadAttribute(resolved + "/loop/backing_file");
    device.slaves = ListFolder(resolved + "/slaves");
    device.dmName = AttributeOrEmpty(resolved + "/dm/name");

    for (const std::string& sub : ListFolder(resolved)) {
      const std::string subPath = resolved + "/" + sub;
      // Only real folders: "device", "bdi" and "subsystem" are links that lead elsewhere.
      if (!IsRealDirectory(subPath) || access((subPath + "/partition").c_str(), F_OK) != 0) {
        continue;
      }
      device.partitions.push_back({sub, AttributeOrEmpty(subPath + "/dev")});
    }
    devices.push_back(std::move(device));
  }
  return devices;
}

bool ReadMountTable(const std::string& path, std::string& text) {
  text.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[16384];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || text.size() + static_cast<size_t>(got) > kMountTableLimit) {
      close(fd);
      text.clear();
      return false;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

std::vector<SwapArea> ReadSwapAreas(const std::string& path) {
  std::vector<SwapArea> areas;
  std::string text;
  if (!ReadMountTable(path, text)) return areas;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, type;
    if (!(fields >> name >> type)) continue;
    name = plat::DecodeMountEscapes(name);
    SwapArea area;
    struct stat st {};
    const bool found = stat(name.c_str(), &st) == 0;
    auto devText = [](dev_t dev) {
      return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    };
    if (type == "partition") {
      area.source = name;
      if (found && S_ISBLK(st.st_mode)) area.dev = devText(st.st_rdev);
    } else if (found) {
      area.dev = devText(st.st_dev);  // a swap file: the disk under its file system
    }
    areas.push_back(area);
  }
  return areas;
}
