#include "DiskInfo.h"

#include "DiskSource.h"
#include "LocalText.h"

std::map<std::string, std::vector<std::string>> ReadSystemDiskUses(const SystemFiles& files) {
  std::string mountTable;
  ReadMountTable(files.mountinfo, mountTable);
  return SystemDiskUses(SysfsReader(files.sysfs).ReadBlockDevices(), ParseMountInfo(mountTable),
                        ReadSwapAreas(files.swaps));
}

std::vector<std::string> SystemUsesOfDisk(const std::string& disk, const SystemFiles& files) {
  const auto uses = ReadSystemDiskUses(files);
  const auto found = uses.find(disk);
  return found != uses.end() ? found->second : std::vector<std::string>();
}

DiskInfo::DiskInfo(std::string sysfsRoot, std::string mountInfoPath, std::string swapsPath)
    : files_{std::move(sysfsRoot), std::move(mountInfoPath), std::move(swapsPath)} {}

void DiskInfo::SetParentWnd(DiskMessageFunc showMessage) { showMessage_ = std::move(showMessage); }

void DiskInfo::GetRes(std::vector<DISK_DATA>& disks) {
  GetAllDiskInfo();
  disks = disks_;
}

void DiskInfo::GetAllDiskInfo() {
  EnumAllVol();
  const std::vector<RawBlockDevice> devices = SysfsReader(files_.sysfs).ReadBlockDevices();
  disks_ = BuildDiskRecords(devices, volumes_,
                            SystemDiskUses(devices, volumes_, ReadSwapAreas(files_.swaps)));
}

void DiskInfo::EnumAllVol() {
  volumes_.clear();
  std::string text;
  if (!ReadMountTable(files_.mountinfo, text)) {
    if (showMessage_) showMessage_(LocalText(u"GetLogicDriveFail", 0));
    return;
  }
  volumes_ = ParseMountInfo(text);
}
