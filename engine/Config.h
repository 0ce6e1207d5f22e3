// Reading config.xml: the value conversions and path rules behind CPlinthApp::ParseConfig.
// Numbers never wrap: a value the records cannot hold becomes a marker that layout validation
// rejects.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

// A capacity whose byte count does not fit in 64 bits. Never a real value: real capacities
// are whole MiB, and this is odd.
inline constexpr int64_t kCapacityTooBig = std::numeric_limits<int64_t>::max();
// A sector number outside the 32-bit signed range. Validation rejects every offset below 1,
// so this one is rejected wherever an offset is tested.
inline constexpr int32_t kOffsetOutOfRange = std::numeric_limits<int32_t>::min();

// Leading white space and one sign, then digits up to the first non-digit; no digits give 0.
// Saturates at the 64-bit limits instead of overflowing.
int64_t ParseDecimal(std::u16string_view text);
// capacity (MiB, as written) to bytes; kCapacityTooBig when the bytes do not fit.
int64_t CapacityBytesOf(std::u16string_view text);
// A sector number as written; kOffsetOutOfRange outside int32.
int32_t SectorOf(std::u16string_view text);
// "fat32" 11, "fat16" 6, "ext3" 132, "ext4" 133 (trimmed, any letter case), else 0.
int32_t TypeCodeOf(std::u16string_view text);
// Empty stays empty; otherwise the folder of configPath (up to and including its last '/')
// followed by `relative` with each '\' read as '/'. Nothing else is examined.
std::u16string ResolveImagePath(std::u16string_view relative, std::u16string_view configPath);
// The folder of config.xml: its path up to its last '/'.
std::u16string FolderOf(std::u16string_view configPath);
