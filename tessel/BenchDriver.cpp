// tessel-bench-driver KIND SIZE PATH: loads libTessel.so from beside itself, as the engine
// does, and builds one image file. KIND is fat16, fat32 or ext4. Exit status 0 on success.
#include "tessel/VolumeBuilder.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s fat16|fat32|ext4 SIZE-IN-BYTES PATH\n", argv[0]);
    return 2;
  }
  int32_t kind = 0;
  if (std::strcmp(argv[1], "fat16") == 0) kind = kVolumeFat16;
  if (std::strcmp(argv[1], "fat32") == 0) kind = kVolumeFat32;
  if (std::strcmp(argv[1], "ext4") == 0) kind = kVolumeExt4;
  char* end = nullptr;
  const unsigned long long size = std::strtoull(argv[2], &end, 10);
  if (kind == 0 || end == argv[2] || *end != '\0') {
    std::fprintf(stderr, "bad kind or size\n");
    return 2;
  }
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  std::string library(self);
  library = library.substr(0, library.rfind('/') + 1) + "libTessel.so";

  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  auto create = reinterpret_cast<CreateDiskFunc>(dlsym(handle, "CreateDisk"));
  VolumeBuilder* builder = create != nullptr ? create(size, kind) : nullptr;
  int status = 1;
  if (builder == nullptr) {
    std::fprintf(stderr, "CreateDisk refused size %llu\n", size);
  } else {
    status = builder->Build(argv[3], 0, 0) != 0 ? 0 : 1;
    builder->Release();
  }
  dlclose(handle);
  return status;
}
