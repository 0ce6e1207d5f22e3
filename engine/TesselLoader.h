// libTessel.so, loaded from the executable's folder for one call sequence and unloaded after.
#pragma once

#include "tessel/VolumeBuilder.h"

#include <cstdint>
#include <string>

class TesselLoader {
 public:
  TesselLoader();
  ~TesselLoader();
  TesselLoader(const TesselLoader&) = delete;
  TesselLoader& operator=(const TesselLoader&) = delete;

  bool loaded() const { return createDisk_ != nullptr; }
  // Null when the library is not loaded or the builder refuses the size.
  VolumeBuilder* CreateDisk(uint64_t size, int32_t kind) const;

 private:
  void* handle_ = nullptr;
  CreateDiskFunc createDisk_ = nullptr;
};

// The builder path given as 8-bit text in the locale's code set.
std::string BuilderPath(const std::u16string& path);
