// Size limits, the image-file build and path conversion shared by every volume kind.
#include "Fat.h"
#include "Tessel.h"

#include "Platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessel {
namespace {

constexpr uint64_t kMiB = uint64_t(1) << 20;
constexpr uint64_t kTiB = uint64_t(1) << 40;
constexpr uint64_t kExt4Min = 2 * kMiB;
constexpr uint64_t kExt4Max = 16 * kTiB;

}  // namespace

SizeLimits LimitsOf(Kind kind) {
  switch (kind) {
    case Kind::Fat16:
      return {uint64_t(fat::kFat16MinSectors) * fat::kSectorSize,
              uint64_t(fat::kFat16MaxSectors) * fat::kSectorSize + (fat::kSectorSize - 1)};
    case Kind::Fat32:
      return {uint64_t(fat::kFat32MinSectors) * fat::kSectorSize,
              uint64_t(fat::kFat32MaxSectors) * fat::kSectorSize + (fat::kSectorSize - 1)};
    case Kind::Ext4:
      return {kExt4Min, kExt4Max};
  }
  return {1, 0};
}

bool SizeFits(Kind kind, uint64_t size) {
  const SizeLimits limits = LimitsOf(kind);
  return size >= limits.min && size <= limits.max;
}

std::optional<Kind> KindFromInt(int32_t kind) {
  switch (kind) {
    case int32_t(Kind::Fat16):
      return Kind::Fat16;
    case int32_t(Kind::Fat32):
      return Kind::Fat32;
    case int32_t(Kind::Ext4):
      return Kind::Ext4;
    default:
      return std::nullopt;
  }
}

bool BuildOnTarget(Kind kind, uint64_t size, BlockTarget& target, const BuildOptions& options) {
  if (!SizeFits(kind, size)) return false;
  if (kind == Kind::Ext4) return BuildExt4(size, target, options);
  return BuildFat(kind, size, target, options);
}

bool BuildImageFile(Kind kind, uint64_t size, const std::string& utf8Path,
                    const BuildOptions& options) {
  if (utf8Path.empty() || !SizeFits(kind, size)) return false;
  const int fd = open(utf8Path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, off_t(size)) == 0;
  if (ok) {
    FileTarget target(fd);
    ok = BuildOnTarget(kind, size, target, options);
  }
  if (close(fd) != 0) ok = false;
  // The file is ours (O_EXCL), so a half-written one is removed.
  if (!ok) unlink(utf8Path.c_str());
  return ok;
}

std::string PathFromLocale(const char* path) {
  if (path == nullptr || *path == '\0') return {};
  std::u16string wide;
  if (!plat::FromCodeSet(path, plat::LocaleCodeSet(), wide)) return {};
  return plat::ToUtf8(wide);
}

}  // namespace tessel
