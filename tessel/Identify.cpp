// Which file system an image file holds, by libblkid's superblock probe; and a volume seen
// through a target, by its boot sector or superblock.
#include "Fat.h"
#include "Tessel.h"

#include <blkid/blkid.h>

#include <array>
#include <cstring>
#include <string_view>

namespace tessel {
namespace {

std::string_view Value(blkid_probe probe, const char* name) {
  const char* data = nullptr;
  size_t length = 0;
  if (blkid_probe_lookup_value(probe, name, &data, &length) != 0 || data == nullptr) return {};
  return std::string_view(data, ::strnlen(data, length));
}

int32_t Classify(std::string_view type, std::string_view version) {
  if (type == "vfat") {
    if (version == "FAT16") return 1;
    if (version == "FAT32") return 2;
    return 0;  // FAT12 is no partition type this system writes
  }
  if (type == "ext2") return 3;
  if (type == "ext3") return 4;
  if (type == "ext4" || type == "ext4dev") return 5;
  return 0;
}

}  // namespace

int32_t Identify(const std::string& utf8Path) {
  if (utf8Path.empty()) return 0;
  blkid_probe probe = blkid_new_probe_from_filename(utf8Path.c_str());
  if (probe == nullptr) return 0;
  int32_t result = 0;
  if (blkid_probe_enable_superblocks(probe, 1) == 0 &&
      blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION) == 0 &&
      blkid_probe_enable_partitions(probe, 0) == 0 &&
      blkid_do_safeprobe(probe) == 0) {  // 1 nothing found, -2 ambiguous, -1 error
    result = Classify(Value(probe, "TYPE"), Value(probe, "VERSION"));
  }
  blkid_free_probe(probe);
  return result;
}

int32_t IdentifyVolume(BlockTarget& target) {
  std::array<uint8_t, kExtSuperblockOffset + kExtSuperblockSize> head{};
  if (!target.Read(head.data(), head.size(), 0)) return -1;
  fat::Sector boot;
  std::memcpy(boot.data(), head.data(), boot.size());
  const int32_t fat = fat::ClassifyBootSector(boot);
  const int32_t ext = ClassifyExtSuperblock(head.data() + kExtSuperblockOffset);
  // The remains of two file systems: readers disagree about such a volume, as blkid does.
  if (fat != 0 && ext != 0) return 0;
  return fat != 0 ? fat : ext;
}

}  // namespace tessel
