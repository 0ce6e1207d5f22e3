#include "TesselLoader.h"

#include "Platform.h"
#include "TextUtil.h"

#include <dlfcn.h>

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

std::string BuilderPath(const std::u16string& path) {
  return CChineseConvertor().ToMultiByte(path.c_str(), 0);
}
