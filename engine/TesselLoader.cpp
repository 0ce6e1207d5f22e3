#include "TesselLoader.h"

#include "Platform.h"
#include "TextUtil.h"

#include <dlfcn.h>

#include <cstdint>

TesselLoader::TesselLoader() {
  const std::string path = plat::ToUtf8(plat::ExecutableFolder()) + "libTessel.so";
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) return;
  createDisk_ = reinterpret_cast<CreateDiskFunc>(dlsym(handle_, "CreateDisk"));
}

TesselLoader::~TesselLoader() {
  if (handle_ != nullptr) dlclose(handle_);
}

VolumeBuilder* TesselLoader::CreateDisk(uint64_t size, int32_t kind) const {
  return createDisk_ != nullptr ? createDisk_(size, kind) : nullptr;
}

bool TesselLoader::Makes(uint64_t size, int32_t kind) const {
  VolumeBuilder* builder = CreateDisk(size, kind);
  if (builder == nullptr) return false;
  builder->Release();
  return true;
}

bool TesselLoader::SizeLimits(int32_t kind, uint64_t& min, uint64_t& max) const {
  // One size inside the range first: a power of two from 512 bytes up.
  uint64_t inside = 0;
  for (int shift = 9; shift < 64 && inside == 0; ++shift) {
    if (Makes(uint64_t{1} << shift, kind)) inside = uint64_t{1} << shift;
  }
  if (inside == 0) return false;
  // Then each end by bisection: `low` is refused (or 0), `high` made; and the other way round.
  uint64_t low = 0, high = inside;
  if (Makes(0, kind)) high = 0;
  while (high - low > 1) {
    const uint64_t mid = low + (high - low) / 2;
    (Makes(mid, kind) ? high : low) = mid;
  }
  min = high;
  low = inside;
  high = UINT64_MAX;
  if (Makes(high, kind)) low = high;
  while (high - low > 1) {
    const uint64_t mid = low + (high - low) / 2;
    (Makes(mid, kind) ? low : high) = mid;
  }
  max = low;
  return true;
}

std::string BuilderPath(const std::u16string& path) {
  return CChineseConvertor().ToMultiByte(path.c_str(), 0);
}
