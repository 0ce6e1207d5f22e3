#include "SourceReader.h"

#include "Compressed.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <vector>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FileSource final : public SourceReader {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  uint64_t Size() const override { return size_; }

  // Positioned reads: the hole queries below move the file's own offset.
  int64_t Read(uint8_t* buffer, size_t count) override {
    size_t done = 0;
    while (done < count) {
      const ssize_t n = pread(fd_, buffer + done, count - done, static_cast<off_t>(at_ + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    at_ += done;
    return static_cast<int64_t>(done);
  }

  uint64_t DataFrom(uint64_t at) override {
    const off_t data = lseek(fd_, static_cast<off_t>(at), SEEK_DATA);
    if (data >= 0) return static_cast<uint64_t>(data);
    // ENXIO: a hole up to the end. Anything else: a file system that knows no holes.
    return errno == ENXIO ? std::max(at, size_) : at;
  }

  uint64_t HoleFrom(uint64_t at) override {
    const off_t hole = lseek(fd_, static_cast<off_t>(at), SEEK_HOLE);
    return hole < 0 ? size_ : std::min(static_cast<uint64_t>(hole), size_);
  }

  void Skip(uint64_t count) override { at_ += count; }

 private:
  int fd_;
  uint64_t size_;
  uint64_t at_ = 0;  // where the next read starts
};

// The decompressed size of an open compressed file, measured once per job: the preflight
// measures it, the copy and the verify find it again. Keyed by the file's identity as well,
// so a file replaced in between is measured anew.
int KnownSize(int fd, const struct stat& st, const std::u16string& path, Compression kind,
              uint64_t& size) {
  MeasuredSource key{path,
                     static_cast<uint64_t>(st.st_dev),
                     static_cast<uint64_t>(st.st_ino),
                     static_cast<uint64_t>(st.st_size),
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                     0};
  for (const MeasuredSource& known : DiskJob.measuredSources) {
    if (known.path == key.path && known.device == key.device && known.inode == key.inode &&
        known.storedSize == key.storedSize && known.modified == key.modified) {
      size = known.size;
      return 0;
    }
  }
  const int error = DecompressedSize(fd, kind, key.storedSize, size);
  if (error != 0) return error;
  key.size = size;
  DiskJob.measuredSources.push_back(std::move(key));
  return 0;
}

}  // namespace

std::unique_ptr<SourceReader> OpenFileSource(const std::u16string& path) {
  const int fd = open(plat::ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  // Read once from the front: tell the kernel, so it reads ahead far.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  uint8_t head[kMagicBytes];
  ssize_t got;
  while ((got = pread(fd, head, sizeof head, 0)) < 0 && errno == EINTR) {
  }
  const Compression kind = got > 0 ? CompressionOf(head, static_cast<size_t>(got))
                                   : Compression::kNone;
  if (kind == Compression::kNone) {
    return std::make_unique<FileSource>(fd, static_cast<uint64_t>(st.st_size));
  }
  uint64_t size = 0;
  if (const int error = KnownSize(fd, st, path, kind, size); error != 0) {
    close(fd);
    errno = error;
    return nullptr;
  }
  return OpenDecompressingSource(fd, kind, size);
}

int64_t SourceLength(const std::u16string& path) {
  const std::unique_ptr<SourceReader> source = OpenFileSource(path);
  if (source == nullptr) return -1;
  return static_cast<int64_t>(
      std::min<uint64_t>(source->Size(), std::numeric_limits<int64_t>::max()));
}

ProbePath::ProbePath(const std::u16string& path) : path_(path) {
  std::unique_ptr<SourceReader> source = OpenFileSource(path);
  if (source == nullptr || dynamic_cast<FileSource*>(source.get()) != nullptr) return;
  // Superblocks sit within the first megabyte; a probe reads nothing beyond what is there.
  constexpr size_t kProbeHead = size_t(1) << 20;
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(source->Size(), kProbeHead)));
  const int fd = memfd_create("brindle-probe", MFD_CLOEXEC);
  if (fd < 0) return;
  const int64_t got = source->Read(head.data(), head.size());
  if (got != static_cast<int64_t>(head.size()) ||
      ftruncate(fd, static_cast<off_t>(std::min<uint64_t>(source->Size(), INT64_MAX))) != 0 ||
      pwrite(fd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size())) {
    close(fd);
    return;
  }
  fd_ = fd;
  path_ = plat::FromUtf8("/proc/self/fd/" + std::to_string(fd));
}

ProbePath::~ProbePath() {
  if (fd_ >= 0) close(fd_);
}

std::u16string SourceFailureText(const std::u16string& path, int err) {
  if (err == EBADMSG) return LocalText(u"CompressedFileBad", 0) + path;
  return LocalText(u"OpenFileFailed", 0) + path + u": " + plat::ErrorText(err);
}
