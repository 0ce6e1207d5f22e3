#include "PartitionNodes.h"

#include <cstring>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>

namespace {

// The kernel shows an extended partition as its first two sectors only, so that it does not
// overlap the logical partitions inside it.
constexpr uint64_t kExtendedNodeSectors = 2;
constexpr int kFirstLogicalNumber = 5;
constexpr int kHighestPartitionNumber = 64;

int Blkpg(int fd, int op, int number, uint64_t startSector, uint64_t sectors) {
  blkpg_partition part;
  std::memset(&part, 0, sizeof part);
  part.pno = number;
  part.start = static_cast<long long>(startSector * 512);
  part.length = static_cast<long long>(sectors * 512);
  blkpg_ioctl_arg arg;
  std::memset(&arg, 0, sizeof arg);
  arg.op = op;
  arg.datalen = sizeof part;
  arg.data = &part;
  return ioctl(fd, BLKPG, &arg);
}

// Whether the kernel shows partitions of the block device: its "partscan" attribute, or on
// older kernels a loop device's "loop/partscan"; a device with neither shows them.
bool ShowsPartitions(unsigned major, unsigned minor) {
  const std::string device =
      "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  for (const char* attribute : {"/partscan", "/loop/partscan"}) {
    std::ifstream in(device + attribute);
    std::string value;
    if (std::getline(in, value) && !value.empty()) return value != "0";
  }
  return true;
}

}  // namespace

void RefreshPartitionNodes(const std::string& diskPath, const LayoutPlan& plan) {
  struct stat st;
  if (stat(diskPath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return;
  const int fd = open(diskPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (ioctl(fd, BLKRRPART) != 0) {
    // The kernel could not re-read the table: the old nodes would describe the old layout.
    // Deleting a node that does not exist fails harmlessly.
    for (int number = 1; number <= kHighestPartitionNumber; ++number) {
      Blkpg(fd, BLKPG_DEL_PARTITION, number, 0, 0);
    }
  }
  if (!ShowsPartitions(major(st.st_rdev), minor(st.st_rdev))) {
    close(fd);
    return;
  }
  for (size_t k = 0; k < plan.partitions.size(); ++k) {
    const PlannedPartition& p = plan.partitions[k];
    const int number = k == 0 ? 1 : kFirstLogicalNumber + static_cast<int>(k) - 1;
    // Fails with EBUSY when the kernel already made that node from the table.
    Blkpg(fd, BLKPG_ADD_PARTITION, number, p.start, p.count);
  }
  if (plan.extendedCount != 0) {
    Blkpg(fd, BLKPG_ADD_PARTITION, 2, plan.extendedStart, kExtendedNodeSectors);
  }
  close(fd);
}
