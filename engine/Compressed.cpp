#include "Compressed.h"

#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint8_t kGzipMagic[] = {0x1F, 0x8B};
constexpr uint8_t kXzMagic[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr uint8_t kZstdMagic[] = {0x28, 0xB5, 0x2F, 0xFD};
// Skippable zstd frames: magic 0x184D2A50 to 0x184D2A5F, then a 32-bit length.
constexpr uint32_t kZstdSkippableMask = 0xFFFFFFF0;
constexpr uint32_t kZstdSkippableMagic = 0x184D2A50;
constexpr uint32_t kZstdFrameMagic = 0xFD2FB528;
static_assert(sizeof(kXzMagic) == kMagicBytes);

// Compressed input is read, and decompressed output handed on, this much at a time; the
// thread runs at most this many output pieces ahead of the copy.
constexpr size_t kInputPiece = size_t(1) << 20;
constexpr size_t kOutputPiece = size_t(1) << 20;
constexpr size_t kPiecesAhead = 4;

template <size_t N>
bool StartsWith(const uint8_t* head, size_t length, const uint8_t (&magic)[N]) {
  return length >= N && std::memcmp(head, magic, N) == 0;
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int64_t ReadAt(int fd, uint8_t* buffer, size_t count, uint64_t at) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = pread(fd, buffer + done, count - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

// One step of a stream decoder over the input and output it is given.
class Decoder {
 public:
  enum Result { kMore, kEnd, kBad, kNoMemory };
  virtual ~Decoder() = default;
  // `last`: the input given is all that is left of the file.
  virtual Result Step(const uint8_t* in, size_t inLength, size_t& consumed, uint8_t* out,
                      size_t outLength, size_t& produced, bool last) = 0;
};

// gzip members one after another, as gzip and pigz write them and cat joins them.
class GzipDecoder final : public Decoder {
 public:
  GzipDecoder() { ready_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK; }
  ~GzipDecoder() override { inflateEnd(&z_); }
  Result Step(const uint8_t* in, size_t inLength, size_t& consumed, uint8_t* out,
              size_t outLength, size_t& produced, bool last) override {
    consumed = produced = 0;
    if (!ready_) return kNoMemory;
    if (!inMember_ && inLength == 0) return last ? kEnd : kMore;
    z_.next_in = const_cast<Bytef*>(in);
    z_.avail_in = static_cast<uInt>(std::min<size_t>(inLength, UINT_MAX));
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(std::min<size_t>(outLength, UINT_MAX));
    const uInt given = z_.avail_in;
    const uInt room = z_.avail_out;
    const int rc = inflate(&z_, Z_NO_FLUSH);
    consumed = given - z_.avail_in;
    produced = room - z_.avail_out;
    if (consumed > 0) inMember_ = true;
    switch (rc) {
      case Z_STREAM_END:
        inflateReset(&z_);
        inMember_ = false;
        return last && consumed == inLength ? kEnd : kMore;
      case Z_OK:
      case Z_BUF_ERROR:  // no progress: the driver decides whether the input was cut short
        return kMore;
      case Z_MEM_ERROR:
        return kNoMemory;
      default:
        return kBad;
    }
  }

 private:
  z_stream z_{};
  bool ready_ = false;
  bool inMember_ = false;
};

// xz streams, concatenated or padded as xz allows.
class XzDecoder final : public Decoder {
 public:
  XzDecoder() { ready_ = lzma_stream_decoder(&s_, UINT64_MAX, LZMA_CONCATENATED) == LZMA_OK; }
  ~XzDecoder() override { lzma_end(&s_); }
  Result Step(const uint8_t* in, size_t inLength, size_t& consumed, uint8_t* out,
              size_t outLength, size_t& produced, bool last) override {
    consumed = produced = 0;
    if (!ready_) return kNoMemory;
    s_.next_in = in;
    s_.avail_in = inLength;
    s_.next_out = out;
    s_.avail_out = outLength;
    const lzma_ret rc = lzma_code(&s_, last ? LZMA_FINISH : LZMA_RUN);
    consumed = inLength - s_.avail_in;
    produced = outLength - s_.avail_out;
    switch (rc) {
      case LZMA_STREAM_END:
        return kEnd;
      case LZMA_OK:
      case LZMA_BUF_ERROR:
        return kMore;
      case LZMA_MEM_ERROR:
        return kNoMemory;
      default:
        return kBad;
    }
  }

 private:
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool ready_ = false;
};

// zstd frames one after another, skippable frames passed over.
class ZstdDecoder final : public Decoder {
 public:
  ZstdDecoder() : d_(ZSTD_createDStream()) {}
  ~ZstdDecoder() override { ZSTD_freeDStream(d_); }
  ZstdDecoder(const ZstdDecoder&) = delete;
  ZstdDecoder& operator=(const ZstdDecoder&) = delete;
  Result Step(const uint8_t* in, size_t inLength, size_t& consumed, uint8_t* out,
              size_t outLength, size_t& produced, bool last) override {
    consumed = produced = 0;
    if (d_ == nullptr) return kNoMemory;
    if (inLength == 0 && frameDone_) return last ? kEnd : kMore;
    ZSTD_inBuffer input{in, inLength, 0};
    ZSTD_outBuffer output{out, outLength, 0};
    const size_t rc = ZSTD_decompressStream(d_, &output, &input);
    consumed = input.pos;
    produced = output.pos;
    if (ZSTD_isError(rc)) {
      return ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation ? kNoMemory : kBad;
    }
    frameDone_ = rc == 0;
    return frameDone_ && last && consumed == inLength ? kEnd : kMore;
  }

 private:
  ZSTD_DStream* d_;
  bool frameDone_ = true;
};

std::unique_ptr<Decoder> MakeDecoder(Compression kind) {
  switch (kind) {
    case Compression::kGzip: return std::make_unique<GzipDecoder>();
    case Compression::kXz: return std::make_unique<XzDecoder>();
    case Compression::kZstd: return std::make_unique<ZstdDecoder>();
    case Compression::kNone: break;
  }
  return nullptr;
}

// Where decompressed bytes go: room for the next ones, then how many were put there.
class DecodeTarget {
 public:
  virtual ~DecodeTarget() = default;
  virtual uint8_t* Room(size_t& length) = 0;
  // False stops the decoding.
  virtual bool Put(size_t length) = 0;
};

// Decompresses the whole file into `target`. 0 at the stream's proper end or when the target
// stopped it, else an errno value.
int DecodeFile(int fd, uint64_t fileSize, Compression kind, DecodeTarget& target) {
  const std::unique_ptr<Decoder> decoder = MakeDecoder(kind);
  if (decoder == nullptr) return EINVAL;
  std::vector<uint8_t> in(kInputPiece);
  uint64_t readAt = 0;
  size_t inStart = 0;
  size_t inEnd = 0;
  for (;;) {
    if (inStart == inEnd && readAt < fileSize) {
      const int64_t n = ReadAt(fd, in.data(), in.size(), readAt);
      if (n < 0) return errno;
      if (n == 0) fileSize = readAt;  // the file has shrunk: its end is here now
      inStart = 0;
      inEnd = static_cast<size_t>(n);
      readAt += static_cast<uint64_t>(n);
    }
    const bool last = readAt >= fileSize;
    size_t consumed = 0;
    size_t produced = 0;
    size_t room = 0;
    uint8_t* out = target.Room(room);
    const Decoder::Result result = decoder->Step(in.data() + inStart, inEnd - inStart, consumed,
                                                 out, room, produced, last);
    inStart += consumed;
    if (produced > 0 && !target.Put(produced)) return 0;
    if (result == Decoder::kEnd) return 0;
    if (result == Decoder::kBad) return EBADMSG;
    if (result == Decoder::kNoMemory) return ENOMEM;
    // Nothing moved although input was there, or the input is spent: damaged or cut short.
    if (consumed == 0 && produced == 0 && (inStart < inEnd || last)) return EBADMSG;
  }
}

// The xz index at the file's end records every stream's size.
int XzSize(int fd, uint64_t fileSize, uint64_t& size) {
  lzma_stream s = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  if (lzma_file_info_decoder(&s, &index, UINT64_MAX, fileSize) != LZMA_OK) return ENOMEM;
  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t at = 0;
  int result = EBADMSG;
  for (;;) {
    if (s.avail_in == 0) {
      const int64_t n = ReadAt(fd, buffer.data(), buffer.size(), at);
      if (n < 0) {
        result = errno;
        break;
      }
      if (n == 0) break;  // it wants more than the file holds: cut short
      s.next_in = buffer.data();
      s.avail_in = static_cast<size_t>(n);
      at += static_cast<uint64_t>(n);
    }
    const lzma_ret rc = lzma_code(&s, LZMA_RUN);
    if (rc == LZMA_SEEK_NEEDED) {
      at = s.seek_pos;
      s.avail_in = 0;
      continue;
    }
    if (rc == LZMA_STREAM_END) {
      size = lzma_index_uncompressed_size(index);
      result = 0;
      break;
    }
    if (rc != LZMA_OK) {
      result = rc == LZMA_MEM_ERROR ? ENOMEM : EBADMSG;
      break;
    }
  }
  lzma_end(&s);
  if (index != nullptr) lzma_index_end(index, nullptr);
  return result;
}

// zstd frame headers record the content size when the writer knew it (zstd does for files).
// Walks the frames and their block headers; `known` false when a frame does not record it.
int ZstdSize(int fd, uint64_t fileSize, uint64_t& size, bool& known) {
  known = false;
  uint64_t at = 0;
  uint64_t total = 0;
  while (at < fileSize) {
    uint8_t head[18] = {};  // magic, descriptor, window, dictionary id, content size
    const int64_t n = ReadAt(fd, head, sizeof head, at);
    if (n < 0) return errno;
    if (n < 8) return EBADMSG;
    const uint32_t magic = Le32(head);
    if ((magic & kZstdSkippableMask) == kZstdSkippableMagic) {
      at += 8 + uint64_t(Le32(head + 4));
      continue;
    }
    if (magic != kZstdFrameMagic) return EBADMSG;
    const uint8_t descriptor = head[4];
    const unsigned sizeFlag = descriptor >> 6;
    const bool singleSegment = (descriptor & 0x20) != 0;
    const bool checksum = (descriptor & 0x04) != 0;
    static constexpr size_t kDictIdBytes[] = {0, 1, 2, 4};
    static constexpr size_t kSizeBytes[] = {0, 2, 4, 8};
    const size_t sizeBytes = sizeFlag == 0 && singleSegment ? 1 : kSizeBytes[sizeFlag];
    if (sizeBytes == 0) return 0;  // not recorded
    const size_t sizeAt = 5 + (singleSegment ? 0 : 1) + kDictIdBytes[descriptor & 3];
    if (static_cast<int64_t>(sizeAt + sizeBytes) > n) return EBADMSG;
    uint64_t content = 0;
    for (size_t i = 0; i < sizeBytes; ++i) content |= uint64_t(head[sizeAt + i]) << (8 * i);
    if (sizeBytes == 2) content += 256;
    total += content;
    at += sizeAt + sizeBytes;
    // Blocks: a 3-byte header each (last flag, type, size); an RLE block stores one byte.
    for (bool lastBlock = false; !lastBlock;) {
      uint8_t block[3];
      if (ReadAt(fd, block, 3, at) != 3) return EBADMSG;
      const uint32_t word = uint32_t(block[0]) | uint32_t(block[1]) << 8 | uint32_t(block[2]) << 16;
      lastBlock = (word & 1) != 0;
      const uint32_t type = (word >> 1) & 3;
      if (type == 3) return EBADMSG;
      at += 3 + (type == 1 ? 1 : (word >> 3));
    }
    if (checksum) at += 4;
    if (at > fileSize) return EBADMSG;
  }
  size = total;
  known = true;
  return 0;
}

// Decompresses on its own thread into a few pieces ahead of the reader.
class DecompressingSource final : public SourceReader {
 public:
  DecompressingSource(int fd, Compression kind, uint64_t fileSize, uint64_t size)
      : fd_(fd), kind_(kind), fileSize_(fileSize), size_(size) {}
  ~DecompressingSource() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    close(fd_);
  }
  DecompressingSource(const DecompressingSource&) = delete;
  DecompressingSource& operator=(const DecompressingSource&) = delete;

  uint64_t Size() const override { return size_; }

  // All `count` bytes, fewer only at the end; a failure loses what this call had read, as the
  // copy that sees it fails as a whole.
  int64_t Read(uint8_t* buffer, size_t count) override {
    if (!worker_.joinable()) worker_ = std::thread([this] { Work(); });
    size_t done = 0;
    while (done < count && given_ < size_) {
      if (pieceAt_ == piece_.size() && !NextPiece()) return -1;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(
          {count - done, piece_.size() - pieceAt_, size_ - given_}));
      std::memcpy(buffer + done, piece_.data() + pieceAt_, n);
      pieceAt_ += n;
      done += n;
      given_ += n;
    }
    // The stream's own checks (CRC, checksum, trailer) follow its last byte of data.
    if (given_ == size_ && !AwaitEnd()) return -1;
    return static_cast<int64_t>(done);
  }

  void Skip(uint64_t count) override {
    std::vector<uint8_t> scratch(static_cast<size_t>(std::min<uint64_t>(count, kOutputPiece)));
    while (count > 0) {
      const int64_t n = Read(scratch.data(), static_cast<size_t>(std::min<uint64_t>(count, scratch.size())));
      if (n <= 0) return;
      count -= static_cast<uint64_t>(n);
    }
  }

 private:
  // The next piece from the thread; false with errno set when the stream failed or ended
  // before yielding `size_` bytes.
  bool NextPiece() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !ready_.empty() || finished_; });
    if (ready_.empty()) {
      errno = error_ != 0 ? error_ : EBADMSG;
      return false;
    }
    spare_.push_back(std::move(piece_));
    piece_ = std::move(ready_.front());
    ready_.pop_front();
    pieceAt_ = 0;
    lock.unlock();
    changed_.notify_all();
    return true;
  }

  bool AwaitEnd() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return finished_; });
    if (error_ == 0) return true;
    errno = error_;
    return false;
  }

  // The thread: decompresses straight into the piece being filled, hands full ones over.
  class Filler final : public DecodeTarget {
   public:
    explicit Filler(DecompressingSource& source) : source_(source), piece_(kOutputPiece) {}
    uint8_t* Room(size_t& length) override {
      length = piece_.size() - filled_;
      return piece_.data() + filled_;
    }
    bool Put(size_t length) override {
      produced_ += length;
      if (produced_ > source_.size_) return false;  // longer than measured: the file changed
      filled_ += length;
      return filled_ < piece_.size() || Hand();
    }
    // Passes the filled part on; false when the reader has gone.
    bool Hand() {
      piece_.resize(filled_);
      std::unique_lock<std::mutex> lock(source_.mutex_);
      source_.changed_.wait(lock, [&] { return source_.ready_.size() < kPiecesAhead || source_.stop_; });
      if (source_.stop_) return false;
      source_.ready_.push_back(std::move(piece_));
      piece_.clear();
      if (!source_.spare_.empty()) {
        piece_ = std::move(source_.spare_.back());
        source_.spare_.pop_back();
      }
      lock.unlock();
      source_.changed_.notify_all();
      piece_.resize(kOutputPiece);
      filled_ = 0;
      return true;
    }
    uint64_t produced() const { return produced_; }
    size_t filled() const { return filled_; }

   private:
    DecompressingSource& source_;
    std::vector<uint8_t> piece_;
    size_t filled_ = 0;
    uint64_t produced_ = 0;
  };

  void Work() {
    Filler filler(*this);
    int error = DecodeFile(fd_, fileSize_, kind_, filler);
    if (error == 0 && filler.produced() != size_) error = EBADMSG;
    if (error == 0 && filler.filled() > 0) filler.Hand();
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = error;
    finished_ = true;
    changed_.notify_all();
  }

  const int fd_;
  const Compression kind_;
  const uint64_t fileSize_;
  const uint64_t size_;
  std::thread worker_;
  // Reader side.
  std::vector<uint8_t> piece_;
  size_t pieceAt_ = 0;
  uint64_t given_ = 0;
  // Shared with the thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> ready_;
  std::vector<std::vector<uint8_t>> spare_;
  bool finished_ = false;
  bool stop_ = false;
  int error_ = 0;
};

}  // namespace

Compression CompressionOf(const uint8_t* head, size_t length) {
  if (StartsWith(head, length, kGzipMagic)) return Compression::kGzip;
  if (StartsWith(head, length, kXzMagic)) return Compression::kXz;
  if (StartsWith(head, length, kZstdMagic)) return Compression::kZstd;
  return Compression::kNone;
}

int DecompressedSize(int fd, Compression kind, uint64_t fileSize, uint64_t& size) {
  if (kind == Compression::kXz) return XzSize(fd, fileSize, size);
  if (kind == Compression::kZstd) {
    bool known = false;
    if (const int error = ZstdSize(fd, fileSize, size, known); error != 0 || known) return error;
  }
  // gzip records the size only modulo 4 GiB, and a trailer can lie: count it out.
  class Counter final : public DecodeTarget {
   public:
    uint8_t* Room(size_t& length) override {
      length = scratch.size();
      return scratch.data();
    }
    bool Put(size_t length) override {
      total += length;
      return true;
    }
    std::vector<uint8_t> scratch = std::vector<uint8_t>(kOutputPiece);
    uint64_t total = 0;
  } counter;
  const int error = DecodeFile(fd, fileSize, kind, counter);
  if (error == 0) size = counter.total;
  return error;
}

std::unique_ptr<SourceReader> OpenDecompressingSource(int fd, Compression kind, uint64_t size) {
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return nullptr;
  }
  return std::make_unique<DecompressingSource>(fd, kind, static_cast<uint64_t>(end), size);
}
