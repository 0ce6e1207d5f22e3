// The block-I/O target an in-place volume build writes through: byte offsets from the first
// byte of the partition `currentDisk` is building (its fsStartSector), widened to whole
// sectors where a request does not cover them.
#pragma once

#include "tessel/VolumeBuilder.h"

class CImageCommnEx final : public CImageComm {
 public:
  uint32_t WriteBlock(const void* data, uint32_t length, int64_t offset) override;
  uint32_t ReadBlock(void* buffer, uint32_t length, int64_t offset) override;

  // Whether a disk transfer failed during the build (the disk has reported it).
  bool failed() const { return failed_; }

 private:
  bool failed_ = false;
};
