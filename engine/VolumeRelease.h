// Taking a card's mounted volumes away from the system before the job writes it: every
// mounted partition of the target disk is unmounted, but only when the disk is removable, on
// USB, or a loop device. Silent: what cannot be released shows up when the disk is opened.
// A disk that holds file systems of the running system is refused instead: a front end is not
// the engine's only caller.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct VolumeReleaseEnv {
  std::string sysRoot = "/sys";
  std::string mountinfo = "/proc/self/mountinfo";
  std::string swaps = "/proc/swaps";
  // Unmounts one mount point; 0 on success.
  std::function<int(const std::string& mountPoint)> unmount;
  // Shows the refusal of a system disk.
  std::function<void(const std::u16string& text)> report;
};

// The disk number of a "\\.\physicaldrive" N path: the characters of that prefix are trimmed
// from the left and the leading digits of the rest read (0 when there are none).
int32_t DiskNumberOf(const std::u16string& diskPath);

// Kernel name of the whole disk that holds block device major:minor ("sdb" for sdb1), or empty.
std::string DiskOfDevice(const std::string& sysRoot, unsigned major, unsigned minor);
// Whether the system's volumes on this disk may be taken away: removable, USB or loop.
bool IsReleasableDisk(const std::string& sysRoot, const std::string& disk);
// The disk and each of its partitions: "major:minor" and the device node "/dev/NAME".
struct BlockNode {
  std::string majorMinor;
  std::string node;
};
std::vector<BlockNode> DevicesOfDisk(const std::string& sysRoot, const std::string& disk);
// Mount points of mountinfo lines whose device is one of `devices`, innermost first. A line
// matches by its device number or by its mount source (btrfs shows an anonymous number).
std::vector<std::string> MountPointsOf(const std::string& mountinfo,
                                       const std::vector<BlockNode>& devices);

// Unmounts the volumes of the disk at `diskPath` (a block device; an image file has none) and
// returns 1. When the disk holds file systems of the running system, reports "SystemDisk" with
// them, touches nothing and returns 0: the job must end.
int32_t ReleaseDiskVolumes(const std::u16string& diskPath, const VolumeReleaseEnv& env);
int32_t ReleaseDiskVolumes(const std::u16string& diskPath);
