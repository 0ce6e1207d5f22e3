// Reading the system: raw sysfs facts about every block device and the mount table text.
// Nothing here interprets what it reads; DiskParse.h does that.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct RawPartition {
  std::string name;  // "sdb1"
  std::string dev;   // "8:17"
};

// The attribute files of one /sys/block entry as read, one trailing newline removed; an
// attribute that cannot be read is empty (or absent where the difference matters).
struct RawBlockDevice {
  std::string name;        // the entry's name, "sdb"
  std::string sysPath;     // the entry resolved, relative to the sysfs root when under it
  std::string devicePath;  // its "device" link resolved likewise; empty when there is none
  std::string dev;         // "8:16"
  std::optional<std::string> size;  // in 512-byte sectors
  std::string removable;
  std::string readOnly;  // "ro"
  std::string hidden;
  std::string vendor;   // device/vendor (SCSI)
  std::string model;    // device/model (SCSI, NVMe)
  std::string cardName; // device/name (MMC and SD cards)
  std::optional<std::string> backingFile;  // loop/backing_file, present while attached
  std::vector<RawPartition> partitions;    // sub-entries that carry a "partition" file
  std::vector<std::string> slaves;  // what a stacked device (dm, md) is made of: "sda2"
  std::string dmName;               // dm/name, the name under /dev/mapper
};

// One active swap area of the swap table (/proc/swaps).
struct SwapArea {
  std::string source;  // "/dev/sda3" for a partition; empty for a swap file
  std::string dev;     // "major:minor" of the partition, or of the file system that holds the
                       // file; empty when it cannot be found
};

class SysfsReader {
 public:
  explicit SysfsReader(std::string sysfsRoot = "/sys");

  // Every entry of <root>/block, in name order. A missing folder gives an empty list.
  std::vector<RawBlockDevice> ReadBlockDevices() const;

  // One attribute file, at most `limit` bytes, one trailing newline removed.
  static std::optional<std::string> ReadAttribute(const std::string& path, size_t limit = 4096);

 private:
  std::string RelativeToRoot(const std::string& resolved) const;

  std::string root_;
  std::string resolvedRoot_;
};

// The whole mount table text; false when the file cannot be opened or read.
bool ReadMountTable(const std::string& path, std::string& text);

// The active swap areas; none when the table cannot be read.
std::vector<SwapArea> ReadSwapAreas(const std::string& path);
