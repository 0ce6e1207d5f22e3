#include "VolumeRelease.h"

#include "DiskInfo.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

int32_t DiskNumberOf(const std::u16string& diskPath) {
  static const std::u16string kPrefixChars = u"\\.physicaldrive";
  size_t i = 0;
  while (i < diskPath.size() && kPrefixChars.find(diskPath[i]) != std::u16string::npos) ++i;
  int64_t number = 0;
  for (; i < diskPath.size() && diskPath[i] >= u'0' && diskPath[i] <= u'9'; ++i) {
    number = number * 10 + (diskPath[i] - u'0');
    if (number > INT32_MAX) return 0;
  }
  return static_cast<int32_t>(number);
}

namespace {

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string Resolve(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string DiskOfDevice(const std::string& sysRoot, unsigned major, unsigned minor) {
  const std::string entry =
      Resolve(sysRoot + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor));
  if (entry.empty()) return {};
  if (Exists(entry + "/partition")) return BaseName(entry.substr(0, entry.rfind('/')));
  return BaseName(entry);
}

bool IsReleasableDisk(const std::string& sysRoot, const std::string& disk) {
  if (disk.empty()) return false;
  if (disk.rfind("loop", 0) == 0) return true;
  if (ReadLine(sysRoot + "/block/" + disk + "/removable") == "1") return true;
  const std::string device = Resolve(sysRoot + "/block/" + disk);
  return device.find("/usb") != std::string::npos;
}

std::vector<BlockNode> DevicesOfDisk(const std::string& sysRoot, const std::string& disk) {
  std::vector<BlockNode> devices;
  const std::string base = sysRoot + "/block/" + disk;
  const std::string own = ReadLine(base + "/dev");
  if (!own.empty()) devices.push_back({own, "/dev/" + disk});
  if (DIR* dir = opendir(base.c_str())) {
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.rfind(disk, 0) != 0) continue;  // partitions are named after their disk
      const std::string part = base + "/" + name;
      if (!Exists(part + "/partition")) continue;
      const std::string dev = ReadLine(part + "/dev");
      if (!dev.empty()) devices.push_back({dev, "/dev/" + name});
    }
    closedir(dir);
  }
  return devices;
}

std::vector<std::string> MountPointsOf(const std::string& mountinfo,
                                       const std::vector<BlockNode>& devices) {
  std::vector<std::string> points;
  std::ifstream in(mountinfo);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint, field;
    if (!(fields >> id >> parent >> device >> root >> mountPoint)) continue;
    // Optional fields run up to the lone "-"; then the type and the mount source.
    while (fields >> field && field != "-") {
    }
    std::string type, source;
    fields >> type >> source;
    source = plat::DecodeMountEscapes(source);
    const bool ours = std::any_of(devices.begin(), devices.end(), [&](const BlockNode& d) {
      return d.majorMinor == device || d.node == source;
    });
    if (ours) points.push_back(plat::DecodeMountEscapes(mountPoint));
  }
  // Later mounts may sit on top of earlier ones: take them away first.
  std::reverse(points.begin(), points.end());
  return points;
}

int32_t ReleaseDiskVolumes(const std::u16string& diskPath, const VolumeReleaseEnv& env) {
  struct stat st;
  if (stat(plat::ToUtf8(diskPath).c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 1;
  const std::string disk = DiskOfDevice(env.sysRoot, major(st.st_rdev), minor(st.st_rdev));
  if (!disk.empty()) {
    const std::vector<SystemUse> uses =
        SystemUsesOfDisk(disk, {env.sysRoot, env.mountinfo, env.swaps});
    if (!uses.empty()) {
      if (env.report) env.report(LocalText(u"SystemDisk", 0) + SystemUseText(uses));
      return 0;
    }
  }
  if (!IsReleasableDisk(env.sysRoot, disk)) return 1;
  for (const std::string& point : MountPointsOf(env.mountinfo, DevicesOfDisk(env.sysRoot, disk))) {
    env.unmount(point);
  }
  return 1;
}

int32_t ReleaseDiskVolumes(const std::u16string& diskPath) {
  VolumeReleaseEnv env;
  env.unmount = [](const std::string& point) {
    // A busy volume is detached all the same; the exclusive open then tells whether the
    // device is really free.
    if (umount2(point.c_str(), 0) == 0) return 0;
    return umount2(point.c_str(), MNT_DETACH);
  };
  env.report = [](const std::u16string& text) { DiskJob.ShowReport(text); };
  return ReleaseDiskVolumes(diskPath, env);
}
