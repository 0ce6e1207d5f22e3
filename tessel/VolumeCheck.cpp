// Checking a volume on the card against what Build makes: identified from its boot sector or
// superblock, then FAT volumes built once more in memory and compared byte for byte.
#include "Fat.h"
#include "Tessel.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace tessel {
namespace {

// Reads of the volume go through the engine in requests of this size at most.
constexpr size_t kCompareChunk = size_t(1) << 20;
static_assert(kCompareChunk % kSectorBytes == 0);

// The identify code of each kind, and where that file system keeps its signature.
int32_t IdentifyCodeOf(Kind kind) {
  switch (kind) {
    case Kind::Fat16:
      return 1;
    case Kind::Fat32:
      return 2;
    case Kind::Ext4:
      return 5;
  }
  return 0;
}

void SignatureSectors(Kind kind, VolumeFindings& findings) {
  if (kind == Kind::Ext4) {
    findings.firstBadSector = kExtSuperblockOffset / kSectorBytes;
    findings.badSectors = kExtSuperblockSize / kSectorBytes;
  } else {
    findings.firstBadSector = 0;
    findings.badSectors = 1;
  }
}

}  // namespace

void ExpectedVolume::Put(uint64_t from, uint64_t to,
                         std::shared_ptr<const std::vector<uint8_t>> data) {
  if (from >= to) return;
  // A piece that starts in front of the range and reaches into it keeps its head, and its
  // tail when it also reaches past the range.
  auto it = pieces_.lower_bound(from);
  if (it != pieces_.begin()) {
    auto before = std::prev(it);
    Piece& piece = before->second;
    if (piece.end > from) {
      if (piece.end > to) {
        Piece tail = piece;
        tail.skip += to - before->first;
        pieces_.emplace(to, tail);
      }
      piece.end = from;
    }
  }
  // Pieces that start inside the range go, except for a tail past its end.
  while (it != pieces_.end() && it->first < to) {
    if (it->second.end > to) {
      Piece tail = it->second;
      tail.skip += to - it->first;
      it = pieces_.erase(it);
      pieces_.emplace(to, tail);
      break;
    }
    it = pieces_.erase(it);
  }
  pieces_.emplace(from, Piece{to, std::move(data), 0});
}

bool ExpectedVolume::Write(const void* data, size_t length, uint64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  Put(offset, offset + length, std::make_shared<const std::vector<uint8_t>>(bytes, bytes + length));
  return true;
}

bool ExpectedVolume::Zero(uint64_t offset, uint64_t length) {
  Put(offset, offset + length, nullptr);
  return true;
}

bool ExpectedVolume::Compare(BlockTarget& volume, uint64_t& firstBadSector,
                             uint64_t& badSectors) const {
  static const std::vector<uint8_t> zeros(kCompareChunk, 0);
  std::vector<uint8_t> read(kCompareChunk);
  badSectors = 0;
  firstBadSector = 0;
  uint64_t lastBad = UINT64_MAX;  // a sector two pieces share counts once
  for (const auto& [start, piece] : pieces_) {
    for (uint64_t at = start; at < piece.end;) {
      const size_t n = size_t(std::min<uint64_t>(kCompareChunk, piece.end - at));
      if (!volume.Read(read.data(), n, at)) return false;
      const uint8_t* want =
          piece.data ? piece.data->data() + piece.skip + (at - start) : zeros.data();
      if (std::memcmp(read.data(), want, n) != 0) {
        // Only a block that differs is looked at sector by sector.
        for (uint64_t s = at / kSectorBytes; s * kSectorBytes < at + n; ++s) {
          const uint64_t from = std::max<uint64_t>(s * kSectorBytes, at);
          const uint64_t to = std::min<uint64_t>((s + 1) * kSectorBytes, at + n);
          if (s == lastBad ||
              std::memcmp(read.data() + (from - at), want + (from - at), to - from) == 0) {
            continue;
          }
          if (badSectors == 0) firstBadSector = s;
          ++badSectors;
          lastBad = s;
        }
      }
      at += n;
    }
  }
  return true;
}

bool VerifyVolume(std::optional<Kind> kind, uint64_t size, BlockTarget& target,
                  VolumeFindings& findings) {
  findings = VolumeFindings{};
  findings.identified = IdentifyVolume(target);
  if (findings.identified < 0) {
    findings.identified = 0;
    return false;
  }
  if (!kind) return true;
  if (findings.identified != IdentifyCodeOf(*kind)) {
    SignatureSectors(*kind, findings);
    return true;
  }
  if (*kind == Kind::Ext4) return CheckExt4Superblock(size, target, findings);

  // A FAT volume is fully determined by its kind, its size and its serial number: build it
  // again with the serial found on the card, and compare every byte the build writes.
  fat::Sector boot;
  if (!target.Read(boot.data(), boot.size(), 0)) return false;
  BuildOptions options;
  options.volumeSerial = fat::VolumeSerialOf(boot, *kind);
  ExpectedVolume expected;
  if (!BuildFat(*kind, size, expected, options)) {
    SignatureSectors(*kind, findings);  // a size no FAT volume of this kind can have
    return true;
  }
  return expected.Compare(target, findings.firstBadSector, findings.badSectors);
}

}  // namespace tessel
