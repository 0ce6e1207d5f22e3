// Disk discovery for the front ends: every disk under the sysfs root with its size, bus,
// model and mounted volumes. Needs no root. Usage: construct, optionally SetParentWnd, GetRes.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "DiskData.h"
#include "DiskParse.h"

// Where the running system's facts are read; tests point these at fixture trees.
struct SystemFiles {
  std::string sysfs = "/sys";
  std::string mountinfo = "/proc/self/mountinfo";
  std::string swaps = "/proc/swaps";
};

// The running system's file systems on each disk (SystemDiskUses), read from `files`; a table
// that cannot be read adds nothing. The one rule both front ends and the engine apply.
std::map<std::string, std::vector<SystemUse>> ReadSystemDiskUses(const SystemFiles& files);
// Those of one disk, by kernel name ("sdb"); empty when the system does not use it.
std::vector<SystemUse> SystemUsesOfDisk(const std::string& disk, const SystemFiles& files);
// The uses as the catalogue's language reads them: "/ on /dev/sda2, swap on /dev/sda3".
std::u16string SystemUseText(const std::vector<SystemUse>& uses);

// Shows a failure text to the user; the GUI puts it in a message box captioned "Error".
using DiskMessageFunc = std::function<void(const std::u16string& text)>;

class DiskInfo {
 public:
  explicit DiskInfo(std::string sysfsRoot = "/sys",
                    std::string mountInfoPath = "/proc/self/mountinfo",
                    std::string swapsPath = "/proc/swaps");
  DiskInfo(const DiskInfo&) = default;
  DiskInfo& operator=(const DiskInfo&) = default;
  ~DiskInfo() = default;

  // Who shows the "GetLogicDriveFail" text when the mount table cannot be read.
  void SetParentWnd(DiskMessageFunc showMessage);

  // Enumerates and replaces the contents of `disks` with the result, in ascending disk order.
  // No filtering: fixed disks and disks without media are included (the GUI keeps USB disks
  // with a size). Each call enumerates afresh.
  void GetRes(std::vector<DISK_DATA>& disks);

 protected:
  // Rebuilds the result list from the system.
  void GetAllDiskInfo();
  // Rebuilds the volume list from the mount table. When the table cannot be read the failure is
  // reported once and the list stays empty, so every disk counts 0 mounted volumes.
  void EnumAllVol();

 private:
  std::vector<DISK_DATA> disks_;
  std::vector<MountEntry> volumes_;
  SystemFiles files_;
  DiskMessageFunc showMessage_;
};
