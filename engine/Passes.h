// Helpers of the write and update passes, shared with their tests.
#pragma once

#include "PlinthApp.h"

#include <string>

enum class CopyItem { kPartition, kBinFile };

// Sends one copy tip: a bin file's headline alone, or a partition's headline and its name,
// size, type and image lines.
void ShowCopyTip(CopyItem item, int32_t number, const PartitionSpec* partition,
                 const std::u16string& binPath, bool update);

// The part of a path after its last "/" (the whole path when it has none).
std::u16string FileNameOf(const std::u16string& path);
