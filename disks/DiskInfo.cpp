#include "DiskInfo.h"

#include "DiskSource.h"
#include "LocalText.h"

DiskInfo::DiskInfo(std::string sysfsRoot, std::string mountInfoPath)
    : sysfsRoot_(std::move(sysfsRoot)), mountInfoPath_(std::move(mountInfoPath)) {}

void DiskInfo::SetParentWnd(DiskMessageFunc showMessage) { showMessage_ = std::move(showMessage); }

void DiskInfo::GetRes(std::vector<DISK_DATA>& disks) {
  GetAllDiskInfo();
  disks = disks_;
}

void DiskInfo::GetAllDiskInfo() {
  EnumAllVol();
  disks_ = BuildDiskRecords(SysfsReader(sysfsRoot_).ReadBlockDevices(), volumes_);
}

void DiskInfo::EnumAllVol() {
  volumes_.clear();
  std::string text;
  if (!ReadMountTable(mountInfoPath_, text)) {
    if (showMessage_) showMessage_(LocalText(u"GetLogicDriveFail", 0));
    return;
  }
  volumes_ = ParseMountInfo(text);
}
