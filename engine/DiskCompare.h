// Comparing a stretch of the card with what should be there, at the speed the card reads.
#pragma once

#include "DiskLogicData.h"
#include "SourceReader.h"

#include <cstdint>

// What one item should have put on the card from byte `diskOffset` (a whole sector) on:
// `dataBytes` from its source, then `zeroBytes` zeros (the padding of a partial last sector).
struct ExpectedExtent {
  int64_t diskOffset = 0;
  uint64_t dataBytes = 0;
  uint64_t zeroBytes = 0;
};

struct CompareResult {
  enum class Status {
    kSame,
    kDiffers,         // firstBadSector, badSectors; pastEnd when the card ends inside the extent
    kDiskReadFailed,  // the disk has reported
    kSourceFailed,    // sourceError; nothing reported yet
  };
  Status status = Status::kSame;
  uint64_t firstBadSector = 0;  // absolute
  uint64_t badSectors = 0;
  bool pastEnd = false;
  int sourceError = 0;
};

// Compares the extent with the card, `cardBytes` long: the card is read on this thread in
// large blocks (direct when the disk reads direct; otherwise the caller has dropped the card
// from the cache), the source is read and compared on a helper thread, so that both overlap.
// Differences are counted in whole sectors; the part past the card's end counts as differing.
// Progress 0..100 goes to the job as blocks are compared.
CompareResult CompareWithDisk(CDiskLogicData& disk, SourceReader& source,
                              const ExpectedExtent& extent, uint64_t cardBytes);
