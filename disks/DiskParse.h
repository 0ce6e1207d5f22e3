// Interpreting what was read: pure functions from raw sysfs facts and mount table text to
// DISK_DATA records. No file access here, so every rule is tested on plain values.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DiskData.h"
#include "DiskSource.h"

// One line of a mountinfo file: where a device is mounted.
struct MountEntry {
  std::string dev;          // "major:minor" of the mounted file system
  std::string source;       // the mount source, octal escapes decoded ("/dev/sdb1")
  std::string point = {};   // the mount point, decoded ("/media/My Card")
};

// Lines that lack the fields are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// Model and vendor text for display: every space, zero byte and other control byte removed,
// then cut to 63 bytes.
std::string CleanModelText(std::string_view raw);

// Bytes from a sysfs "size" attribute (512-byte sectors); 0 for missing, malformed or
// overflowing text.
uint64_t ParseSectorCount(const std::optional<std::string>& text);

// 1 when a resolved sysfs device path passes through a USB host controller: a component
// "usb<N>" (a root hub) or a USB port "<bus>-<port>[.<port>...][:<config>.<interface>]".
int32_t IsUsbSysfsPath(std::string_view path);
// The bus test on a device: either of its resolved paths.
int32_t GetDiskType(const RawBlockDevice& device);

// False for entries that are not disks a person could write: RAM and compressed-RAM disks,
// device-mapper and md arrays, optical and floppy drives, network block devices, eMMC boot
// areas, hidden disks, and loop devices without a backing file and without size.
bool IsCandidateDisk(const RawBlockDevice& device);

// Mounted volumes on the disk: the distinct block devices, the disk itself or one of its
// partitions, that at least one mount uses, matched by major:minor or by the source
// "/dev/<name>". Bind mounts of one partition count once. A file system on the whole disk
// (a card formatted without a partition table, a loop-mounted image) counts as one volume.
// Volumes reached through device-mapper (LUKS, LVM) are not counted.
uint32_t GetPartitionCnt(const RawBlockDevice& device, const std::vector<MountEntry>& mounts);

// One use the running system makes of a disk: a mount point ("/", "/boot/efi") or "swap", and
// the device it uses ("/dev/sda2"; empty for a swap file).
struct SystemUse {
  std::string what;
  std::string source;
  bool operator==(const SystemUse&) const = default;
};

// The running system's file systems on each disk, by kernel name: a mount at /, /boot, /usr,
// /var, /home or anywhere below /boot and /usr, or an active swap area, on the disk itself, on
// one of its partitions, or beneath a stacked device (dm, md) built on them; each use once, in
// the order of the mount table, then the swap table. A disk the system does not use is absent.
std::map<std::string, std::vector<SystemUse>> SystemDiskUses(
    const std::vector<RawBlockDevice>& devices, const std::vector<MountEntry>& mounts,
    const std::vector<SwapArea>& swaps);

// Puts UTF-8 text into a fixed field of `size` bytes, cut at a character boundary to fit with
// its terminator.
void CopyTextField(char* field, size_t size, std::string_view text);

// How a person tells the disk apart: vendor and model ("Generic- SD/MMC"), or the image file
// of a loop device; 8-bit text as the kernel gave it.
std::string DiskDescription(const DISK_DATA& disk);

// The records of every candidate disk, in ascending order: real disks first, by major and
// minor number (the kernel's own order of sda, sdb, ... sdaa), then loop devices likewise;
// entries whose "dev" cannot be read go last in natural name order. diskNumber is the
// position in that order, so it does not depend on the order the folder is listed in.
std::vector<DISK_DATA> BuildDiskRecords(const std::vector<RawBlockDevice>& devices,
                                        const std::vector<MountEntry>& mounts);
