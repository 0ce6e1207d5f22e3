#include "DiskInfo.h"

#include "DiskSource.h"
#include "LocalText.h"
#include "Platform.h"
#include "TextUtil.h"

std::map<std::string, std::vector<SystemUse>> ReadSystemDiskUses(const SystemFiles& files) {
  std::string mountTable;
  ReadMountTable(files.mountinfo, mountTable);
  return SystemDiskUses(SysfsReader(files.sysfs).ReadBlockDevices(), ParseMountInfo(mountTable),
                        ReadSwapAreas(files.swaps));
}

std::vector<SystemUse> SystemUsesOfDisk(const std::string& disk, const SystemFiles& files) {
  const auto uses = ReadSystemDiskUses(files);
  const auto found = uses.find(disk);
  return found != uses.end() ? found->second : std::vector<SystemUse>();
}

std::u16string SystemUseText(const std::vector<SystemUse>& uses) {
  std::u16string text;
  for (const SystemUse& use : uses) {
    if (!text.empty()) text += u", ";
    const std::u16string what = plat::FromUtf8(use.what);
    text += use.source.empty() ? what
                               : FormatText(LocalText(u"SystemUseOn", 0),
                                            {what, plat::FromUtf8(use.source)});
  }
  return text;
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
  disks_ = BuildDiskRecords(devices, volumes_);
  const auto uses = SystemDiskUses(devices, volumes_, ReadSwapAreas(files_.swaps));
  for (DISK_DATA& disk : disks_) {
    const auto found = uses.find(disk.kernelName);
    if (found == uses.end()) continue;
    CopyTextField(disk.systemUse, sizeof disk.systemUse,
                  plat::ToUtf8(SystemUseText(found->second)));
  }
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
