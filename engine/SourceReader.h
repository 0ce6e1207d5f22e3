// The bytes a partition image or bin file puts on the card, read from the front: by the copy
// that writes them and by the check that compares them. A plain file, or a compressed one
// (gzip, xz, zstd) read as what it decompresses to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class SourceReader {
 public:
  virtual ~SourceReader() = default;
  // How many bytes the source yields in all.
  virtual uint64_t Size() const = 0;
  // Fills `buffer` with the next `count` bytes; fewer only at the end. -1 with errno set.
  virtual int64_t Read(uint8_t* buffer, size_t count) = 0;
  // Holes: bytes the source reads as zeros without storing them, which the copy sends as zero
  // ranges. Where stored data next starts from `at` on (Size() when none follows), and where
  // the data that starts at `at` ends. A source that knows no holes is data to its end.
  virtual uint64_t DataFrom(uint64_t at) { return at; }
  virtual uint64_t HoleFrom(uint64_t) { return Size(); }
  // Passes over the next `count` bytes without reading them.
  virtual void Skip(uint64_t count) = 0;
};

// A regular file, opened for reading without blocking on a FIFO; a compressed one decompressed.
// Null with errno set (EBADMSG: a compressed file that is damaged or cut short).
std::unique_ptr<SourceReader> OpenFileSource(const std::u16string& path);

// How many bytes the file at `path` puts on the card: its length, or what it decompresses to
// (measured once per job). -1 with errno set, as OpenFileSource.
int64_t SourceLength(const std::u16string& path);

// A path at which the file's contents can be probed as the card will hold them (which file
// system an image holds): the file itself, or for a compressed file a memory file of its
// decompressed size holding its first megabyte decompressed, the rest reading as zeros.
class ProbePath {
 public:
  explicit ProbePath(const std::u16string& path);
  ~ProbePath();
  ProbePath(const ProbePath&) = delete;
  ProbePath& operator=(const ProbePath&) = delete;
  const std::u16string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::u16string path_;
};

// The report for a source that could not be opened or read: a damaged compressed file is
// named as such, anything else with the system's error text.
std::u16string SourceFailureText(const std::u16string& path, int err);
