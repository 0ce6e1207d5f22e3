// The block-I/O target an in-place volume build writes through: byte offsets from the first
// byte of the partition `currentDisk` is building (its fsStartSector), widened to whole
// sectors where a request does not cover them. Zero ranges cost no data transfer where the
// disk allows (CDiskLogicData::ZeroRange).
#pragma once

#include "tessel/VolumeBuilder.h"

class CDiskLogicData;

class CImageCommnEx final : public CImageComm {
 public:
  uint32_t WriteBlock(const void* data, uint32_t length, int64_t offset) override;
  uint32_t ReadBlock(void* buffer, uint32_t length, int64_t offset) override;
  int32_t ZeroBlock(uint64_t length, int64_t offset) override;

  // Whether a disk transfer failed during the build (the disk has reported it).
  bool failed() const { return failed_; }

 private:
  void ReportProgress(CDiskLogicData& disk, int64_t offset, uint64_t length);

  bool failed_ = false;
  int32_t lastPercent_ = -1;  // the bar never moves back during a build
};
