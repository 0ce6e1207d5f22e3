// Helpers of the write and update passes, shared with their tests.
#pragma once

#include "PlinthApp.h"

#include <functional>
#include <string>
#include <vector>

enum class CopyItem { kPartition, kBinFile };

// Sends one copy tip: a bin file's headline alone, or a partition's headline and its name,
// size, type and image lines. The headline is the catalogue format `headlineKey` with the
// item's number; a bin file's name follows it.
void ShowCopyTip(CopyItem item, int32_t number, const PartitionSpec* partition,
                 const std::u16string& binPath, const char16_t* headlineKey);

// One pass over a list of bin files: its output line, then for each file with a path its
// copy tip (the catalogue format `tipKey`) and `step` with the clock running, stopping at the
// first step that returns 0. The step gets the file's first sector, its trimmed path, how many
// bytes it may cover, and its number in the list. 1 or 0.
using BinFileStep = std::function<int32_t(uint32_t offset, const std::u16string& path,
                                          int64_t limit, int32_t number)>;
int32_t RunBinFilePass(const std::vector<BinFileSpec>& files, const char16_t* lineKey,
                       const char16_t* tipKey, const BinFileStep& step);

// The update pass over the configuration's update entries: its output line, then `step` for
// every entry that names one partition, stopping at the first step that returns 0. Nothing
// at all without main partitions. 1 or 0.
using UpdateStep = std::function<int32_t(const UpdatePartitionSpec& entry)>;
int32_t RunUpdatePartitionPass(const char16_t* lineKey, const UpdateStep& step);

// Where bin files must end: the first partition's start, or the end of the disk without one.
int64_t BinFileArea();

// The copy tip of an update entry at the place and size the card's table gives it (`start`,
// `size`, found by LocatePartition). False after "ParStartPosNotFound" when the card has no
// such partition.
bool ShowUpdateEntryTip(const UpdatePartitionSpec& entry, uint32_t start, int64_t size,
                        const char16_t* tipKey);

// The text of a configuration type code: "Fat16", "Fat32", "Ext3", "Ext4" or "Unknown".
std::u16string TypeText(int32_t typeCode);

// The part of a path after its last "/" (the whole path when it has none).
std::u16string FileNameOf(const std::u16string& path);
