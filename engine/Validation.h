// Layout validation: the pure parts that the checks of CPlinthApp share.
#pragma once

#include "PlinthApp.h"

#include <cstdint>
#include <string>
#include <vector>

// One bin file of a sequence, remembered with its place in that sequence.
struct BinFileOrder {
  std::u16string path;
  int32_t offset = 0;
  int32_t position = 0;  // index in the sequence, from 0
  std::u16string sha256;
};

// The sequence's bin files by offset, ascending as unsigned numbers. Equal offsets keep
// their order in the sequence.
std::vector<BinFileOrder> OrderBinFiles(const std::vector<BinFileSpec>& files);

// Byte position of a configured sector number, taken as an unsigned 32-bit value.
inline uint64_t SectorBytes(int32_t offset) {
  return static_cast<uint64_t>(static_cast<uint32_t>(offset)) * 512u;
}

// Whether the whole layout, with the table's own sectors between the partitions, ends within
// a disk of `diskBytes` bytes and within what a 32-bit partition table can address.
bool LayoutFitsDisk(const std::vector<PartitionSpec>& partitions, uint64_t diskBytes);
