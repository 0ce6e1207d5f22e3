// SHA-256 of a file's stored bytes: the checksums config.xml may carry for its files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Add(const uint8_t* data, size_t length);
  // The digest of everything added; the object is spent afterwards.
  std::array<uint8_t, 32> Finish();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> pending_{};
  size_t pendingLength_ = 0;
  uint64_t totalLength_ = 0;
};

// The digest as 64 lower-case hex digits.
std::u16string HexDigest(const std::array<uint8_t, 32>& digest);
// Whether `text` is 64 hex digits (either letter case).
bool IsSha256Text(const std::u16string& text);
// The file's digest in hex; empty with errno set when it cannot be read.
std::u16string Sha256OfFile(const std::u16string& path);
