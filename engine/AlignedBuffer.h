// Memory aligned for direct transfers, released with the object.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

// Direct transfers want at least the device's logical block size; a whole page keeps the
// kernel from splitting a request at a page boundary the buffer straddles.
inline constexpr size_t kPageAlign = 4096;

class AlignedBuffer {
 public:
  AlignedBuffer(size_t size, size_t alignment)
      : alignment_(std::max({alignment, kPageAlign, alignof(std::max_align_t)})),
        data_(static_cast<uint8_t*>(::operator new(size, std::align_val_t(alignment_)))) {}
  ~AlignedBuffer() { ::operator delete(data_, std::align_val_t(alignment_)); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  uint8_t* data() const { return data_; }

 private:
  size_t alignment_;
  uint8_t* data_;
};
