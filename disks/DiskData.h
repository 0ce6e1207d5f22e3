// One disk as the front ends see it: a plain record, copied by value, owning nothing.
#pragma once

#include <cstdint>

// Room for the model text; only its first 64 bytes (63 characters and the terminator) are used.
inline constexpr int kModelFieldSize = 260;
inline constexpr int kModelTextMax = 63;
inline constexpr int kDevicePathSize = 64;   // "/dev/" and a kernel disk name of up to 31 bytes
inline constexpr int kKernelNameSize = 32;
inline constexpr int kBackingFileSize = 1024;
inline constexpr int kSystemUseSize = 256;

struct DISK_DATA {
  int32_t diskNumber;          // position in ascending disk order, see BuildDiskRecords
  int32_t isUsb;               // 1 when the disk sits under a USB host controller
  char model[kModelFieldSize];  // 8-bit model text, spaces and zero bytes removed, terminated
  uint32_t partitionCount;     // mounted volumes (distinct partitions, or the disk itself)
  uint64_t diskSize;           // bytes; 0 when the size cannot be read
  char devicePath[kDevicePathSize];  // the device node, "/dev/sdb"; the disk path of a job
  char kernelName[kKernelNameSize];  // "sdb"
  char vendor[kModelTextMax + 1];    // cleaned as the model
  int32_t removable;           // the kernel's removable-media flag
  int32_t isLoop;              // a loop device with a backing file (an attached disk image)
  int32_t readOnly;            // the kernel refuses writes (a card's lock switch, a read-only loop)
  char backingFile[kBackingFileSize];  // the loop device's image file, cut at a character boundary
  // What the running system has on the disk ("/ on /dev/sdb2, swap on /dev/sdb3"), cut at a
  // character boundary; empty when nothing. Such a disk is never a target.
  char systemUse[kSystemUseSize];
};
