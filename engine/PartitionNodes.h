// After a block device has been written, the kernel is told about its new partition table so
// the partition nodes appear at once (or, after a recover, the stale ones go away).
#pragma once

#include "Layout.h"

#include <string>

// Asks the kernel to re-read the table; where that leaves the layout's partitions without
// nodes (a kernel without MBR parsing), adds them one by one as partx -a does: the first as
// partition 1, the extended partition as 2, the logical ones from 5. Partitions outside the
// plan are removed. Does nothing for an image file. Best effort: the card is already written.
void RefreshPartitionNodes(const std::string& diskPath, const LayoutPlan& plan);
