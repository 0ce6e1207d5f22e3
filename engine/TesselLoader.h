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
  // Whether the builder makes a volume of `kind` and `size` bytes (it gives an object).
  bool Makes(uint64_t size, int32_t kind) const;
  // The smallest and largest size it makes such volumes of, found by asking it; false when
  // it makes none. Its sizes form one range.
  bool SizeLimits(int32_t kind, uint64_t& min, uint64_t& max) const;

 private:
  void* handle_ = nullptr;
  CreateDiskFunc createDisk_ = nullptr;
};

// The builder path given as 8-bit text in the locale's code set.
std::string BuilderPath(const std::u16string& path);
