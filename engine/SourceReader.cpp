#include "SourceReader.h"

#include "Platform.h"

#include <cerrno>
#include <fcntl.h>
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

  int64_t Read(uint8_t* buffer, size_t count) override {
    size_t done = 0;
    while (done < count) {
      const ssize_t n = read(fd_, buffer + done, count - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
  }

 private:
  int fd_;
  uint64_t size_;
};

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
  return std::make_unique<FileSource>(fd, static_cast<uint64_t>(st.st_size));
}
