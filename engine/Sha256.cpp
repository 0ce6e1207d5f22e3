#include "Sha256.h"

#include "Platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

constexpr uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Files are hashed a megabyte at a time.
constexpr size_t kReadPiece = size_t(1) << 20;

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab,
             0x5be0cd19} {}

void Sha256::Block(const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 |
           uint32_t(block[4 * i + 2]) << 8 | uint32_t(block[4 * i + 3]);
  }
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) +
                        kRound[static_cast<size_t>(i)] + w[i];
    const uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a; state_[1] += b; state_[2] += c; state_[3] += d;
  state_[4] += e; state_[5] += f; state_[6] += g; state_[7] += h;
}

void Sha256::Add(const uint8_t* data, size_t length) {
  totalLength_ += length;
  if (pendingLength_ > 0) {
    const size_t n = std::min(length, pending_.size() - pendingLength_);
    std::memcpy(pending_.data() + pendingLength_, data, n);
    pendingLength_ += n;
    data += n;
    length -= n;
    if (pendingLength_ < pending_.size()) return;
    Block(pending_.data());
    pendingLength_ = 0;
  }
  for (; length >= 64; data += 64, length -= 64) Block(data);
  std::memcpy(pending_.data(), data, length);
  pendingLength_ = length;
}

std::array<uint8_t, 32> Sha256::Finish() {
  const uint64_t bits = totalLength_ * 8;
  // A one bit, zeros up to 56 bytes into a block, then the length in bits, big-endian.
  uint8_t tail[72] = {0x80};
  const size_t padding = (pendingLength_ < 56 ? 56 : 120) - pendingLength_;
  for (int i = 0; i < 8; ++i) tail[padding + static_cast<size_t>(i)] = uint8_t(bits >> (56 - 8 * i));
  Add(tail, padding + 8);
  std::array<uint8_t, 32> digest;
  for (size_t i = 0; i < 8; ++i) {
    for (size_t k = 0; k < 4; ++k) digest[4 * i + k] = uint8_t(state_[i] >> (24 - 8 * k));
  }
  return digest;
}

std::u16string HexDigest(const std::array<uint8_t, 32>& digest) {
  static const char16_t kHex[] = u"0123456789abcdef";
  std::u16string text;
  for (const uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 15]);
  }
  return text;
}

bool IsSha256Text(const std::u16string& text) {
  if (text.size() != 64) return false;
  for (const char16_t c : text) {
    const bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    if (!hex) return false;
  }
  return true;
}

std::u16string Sha256OfFile(const std::u16string& path) {
  const int fd = open(plat::ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256 hash;
  std::vector<uint8_t> buffer(kReadPiece);
  for (;;) {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      close(fd);
      errno = err;
      return {};
    }
    if (n == 0) break;
    hash.Add(buffer.data(), static_cast<size_t>(n));
  }
  close(fd);
  return HexDigest(hash.Finish());
}
