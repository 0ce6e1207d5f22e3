// Images and bin files stored compressed (gzip, xz, zstd), known by their first bytes, not
// their names. Their size is the size of what they decompress to.
#pragma once

#include "SourceReader.h"

#include <cstddef>
#include <cstdint>
#include <memory>

enum class Compression { kNone, kGzip, kXz, kZstd };

// The bytes needed to tell the formats apart.
inline constexpr size_t kMagicBytes = 6;
Compression CompressionOf(const uint8_t* head, size_t length);

// The decompressed size of the open file `fd` of `fileSize` stored bytes: from the xz index
// or the zstd frame headers where they record it, otherwise by decompressing it once (which
// also proves the stream whole). 0, or an errno value: EBADMSG for a damaged or cut stream.
int DecompressedSize(int fd, Compression kind, uint64_t fileSize, uint64_t& size);

// A source that decompresses `fd` (which it takes over) on a thread of its own, so that the
// card is written while the next data is decompressed. It yields exactly `size` bytes; a
// stream that is damaged, cut short or of another length fails its reads with EBADMSG.
std::unique_ptr<SourceReader> OpenDecompressingSource(int fd, Compression kind, uint64_t size);
