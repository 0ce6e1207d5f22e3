// brindle-cli list: the disks discovery finds, as a table or as JSON.
#include <iostream>
#include <string>
#include <vector>

#include "CliCommon.h"
#include "Commands.h"
#include "DiskInfo.h"
#include "DiskParse.h"
#include "TextUtil.h"

namespace {

// What the GUI offers (USB disks with media), plus disk images attached to writable loop
// devices, which are targets too.
bool ShownByDefault(const DISK_DATA& disk) {
  if (disk.diskSize == 0) return false;
  return disk.isUsb != 0 || (disk.isLoop != 0 && disk.readOnly == 0);
}

// The window lists a USB disk that holds the running system's file systems, but never lets it
// be chosen.
bool OfferedByGui(const DISK_DATA& disk) {
  return disk.isUsb != 0 && disk.diskSize != 0 && disk.systemUse[0] == '\0';
}

std::string SizeText(const DISK_DATA& disk) {
  return Utf8(FormatSizeText(static_cast<int64_t>(disk.diskSize)));
}

std::string YesNo(int32_t value) { return Text(value != 0 ? u"CliYes" : u"CliNo"); }

void PrintDiskTable(const std::vector<DISK_DATA>& disks) {
  std::vector<std::vector<std::string>> rows = {
      {Text(u"CliColNumber"), Text(u"CliColDevice"), Text(u"CliColSize"), Text(u"CliColUsb"),
       Text(u"CliColRemovable"), Text(u"CliColReadOnly"), Text(u"CliColVolumes"),
       Text(u"CliColModel")}};
  for (const DISK_DATA& disk : disks) {
    rows.push_back({std::to_string(disk.diskNumber), ValidUtf8(disk.devicePath), SizeText(disk),
                    YesNo(disk.isUsb), YesNo(disk.removable), YesNo(disk.readOnly),
                    std::to_string(disk.partitionCount), ValidUtf8(DiskDescription(disk))});
  }
  PrintTable(std::cout, rows);
}

void PrintDiskJson(const std::vector<DISK_DATA>& disks) {
  std::cout << "{\n  \"disks\": [";
  const char* separator = "\n";
  for (const DISK_DATA& disk : disks) {
    std::cout << separator << "    {"
              << "\"diskNumber\": " << disk.diskNumber
              << ", \"device\": " << JsonString(ValidUtf8(disk.devicePath))
              << ", \"name\": " << JsonString(ValidUtf8(disk.kernelName))
              << ", \"size\": " << disk.diskSize
              << ", \"sizeText\": " << JsonString(SizeText(disk))
              << ", \"usb\": " << (disk.isUsb ? "true" : "false")
              << ", \"removable\": " << (disk.removable ? "true" : "false")
              << ", \"readOnly\": " << (disk.readOnly ? "true" : "false")
              << ", \"loop\": " << (disk.isLoop ? "true" : "false")
              << ", \"backingFile\": " << JsonString(ValidUtf8(disk.backingFile))
              << ", \"vendor\": " << JsonString(ValidUtf8(disk.vendor))
              << ", \"model\": " << JsonString(ValidUtf8(disk.model))
              << ", \"mountedVolumes\": " << disk.partitionCount
              << ", \"systemUse\": " << JsonString(ValidUtf8(disk.systemUse))
              << ", \"offeredByGui\": " << (OfferedByGui(disk) ? "true" : "false") << "}";
    separator = ",\n";
  }
  std::cout << (disks.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace

int RunList(const std::vector<std::string>& args) {
  bool all = false;
  bool json = false;
  std::string sysfs = "/sys";
  std::string mountinfo = "/proc/self/mountinfo";
  std::string swaps = "/proc/swaps";
  ArgReader reader(args);
  while (!reader.Done()) {
    bool missing = false;
    if (reader.Flag("-h") || reader.Flag("--help")) {
      return ShowCommandHelp("list");
    }
    if (reader.Flag("--all")) {
      all = true;
    } else if (reader.Flag("--json")) {
      json = true;
    } else if (reader.Option("--sysfs", sysfs, missing) ||
               reader.Option("--mountinfo", mountinfo, missing) ||
               reader.Option("--swaps", swaps, missing)) {
      if (missing) return UsageError("list", Text(u"CliNeedsValue", {reader.LastOption()}));
    } else {
      const std::string& arg = reader.Current();
      return UsageError("list", Text(arg.size() > 1 && arg[0] == '-' ? u"CliUnknownOption"
                                                                     : u"CliUnknownArgument",
                                     {arg}));
    }
  }

  DiskInfo info(sysfs, mountinfo, swaps);
  info.SetParentWnd(ShowErrorText);
  std::vector<DISK_DATA> disks;
  info.GetRes(disks);
  if (!all) std::erase_if(disks, [](const DISK_DATA& disk) { return !ShownByDefault(disk); });

  if (json) {
    PrintDiskJson(disks);
  } else if (disks.empty()) {
    std::cout << Text(all ? u"CliNoDisks" : u"CliNoDefaultDisks") << "\n";
  } else {
    PrintDiskTable(disks);
  }
  return kExitOk;
}
