// After a block device has been written, the kernel is told about its new partition table so
// the partition nodes appear at once (or, after a recover, the stale ones go away).
#pragma once

#include "Layout.h"

#include <string>

// Asks the kernel to re-read the table. Where it cannot (a partition in use, a kernel without
// MBR parsing), the old nodes are removed and, on a device that shows partitions, the layout's
// are added one by one as partx -a does: the first as partition 1, the extended partition as
// 2, the logical ones from 5. A device that shows none (a loop device attached without
// partition scanning) keeps none: nodes added there outlive the device and show a later image
// attached to it wrongly. Does nothing for an image file. Best effort: the card is written.
void RefreshPartitionNodes(const std::string& diskPath, const LayoutPlan& plan);
