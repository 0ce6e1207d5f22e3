#include "PartitionNodes.h"

#include <cstring>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

void RefreshPartitionNodes(const std::string& diskPath, const LayoutPlan& plan) {
  struct stat st;
  if (stat(diskPath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return;
  const int fd = open(diskPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (ioctl(fd, BLKRRPART) != 0) {
    // The kernel could not re-read the table (no MBR parsing, or a partition in use): put
    // the nodes right by hand. Deleting a node that does not exist fails harmlessly.
    for (int number = 1; number <= kHighestPartitionNumber; ++number) {
      Blkpg(fd, BLKPG_DEL_PARTITION, number, 0, 0);
    }
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
