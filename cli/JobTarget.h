// What brindle-cli decides about a job's target before the engine sees it: the size of a new
// image file, whether a path may be created, and whether a block device is safe to write.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "DiskInfo.h"  // SystemFiles
#include "DiskParse.h"

// "--size": a byte count, or a count with K, M, G or T (binary units, optionally followed by
// "iB" or "B"). False for anything else, for 0, for a count that overflows, and for one that is
// not whole 512-byte sectors.
bool ParseSize(std::string_view text, uint64_t& bytes);

// The smallest image that holds the configuration in `folder`: one past the last sector of the
// partition layout (partition table, extended boot records and gaps included), or the end of
// the furthest bin file of either section, rounded up to a sector, whichever is larger. 0 when
// the configuration plans nothing, or nothing sensible (a layout an MBR cannot address): the
// engine's own validation then says what is wrong.
uint64_t DefaultImageSize(const std::string& folder);

// A path inside /dev (lexically, or through its resolved parent folder). Such a path that does
// not exist is a mistyped device name, never an image file to create.
bool IsUnderDev(const std::string& path);

struct BlockTarget {
  bool known = false;      // found under the sysfs root
  std::string disk;        // kernel name of the whole disk ("sdb")
  std::string partition;   // kernel name when the target is one of its partitions ("sdb1")
  bool removable = false;
  bool usb = false;
  bool loop = false;
  std::string model;       // vendor and model, or a loop device's image file
  // What the running system has on the disk: "/ on sdb2", "swap on sdb3".
  std::vector<std::string> systemUses;
};

// The system's disks and the running system's uses of them, read once for several devices.
struct DiskSnapshot {
  std::vector<RawBlockDevice> devices;
  std::map<std::string, std::vector<SystemUse>> systemUses;
};
DiskSnapshot ReadDiskSnapshot(const SystemFiles& files);

// Everything the safety rule needs about block device major:minor.
BlockTarget InspectBlockDevice(unsigned major, unsigned minor, const DiskSnapshot& snapshot);
BlockTarget InspectBlockDevice(unsigned major, unsigned minor, const SystemFiles& files);

// Why the device must not be written without --force; empty when it may be.
std::string SafetyRefusal(const BlockTarget& target);
