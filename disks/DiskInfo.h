// Disk discovery for the front ends: every disk under the sysfs root with its size, bus,
// model and mounted volumes. Needs no root. Usage: construct, optionally SetParentWnd, GetRes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "DiskData.h"
#include "DiskParse.h"

// Shows a failure text to the user; the GUI puts it in a message box captioned "Error".
using DiskMessageFunc = std::function<void(const std::u16string& text)>;

class DiskInfo {
 public:
  explicit DiskInfo(std::string sysfsRoot = "/sys",
                    std::string mountInfoPath = "/proc/self/mountinfo");
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
  std::string sysfsRoot_;
  std::string mountInfoPath_;
  DiskMessageFunc showMessage_;
};
