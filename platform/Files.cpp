#include "Platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

std::u16string ExecutableFolder() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return u"./";
  std::string path(buffer, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  path.resize(slash == std::string::npos ? 0 : slash + 1);
  return FromUtf8(path);
}

bool PathExists(std::u16string_view path) {
  struct stat st;
  return stat(ToUtf8(path).c_str(), &st) == 0;
}

bool IsDirectory(std::u16string_view path) {
  struct stat st;
  return stat(ToUtf8(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(std::u16string_view path) {
  struct stat st;
  return stat(ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t FileLength(std::u16string_view path) {
  const int fd = open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  int64_t size = -1;
  struct stat st;
  if (fstat(fd, &st) == 0) {
    if (S_ISBLK(st.st_mode)) {
      uint64_t bytes = 0;
      if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = static_cast<int64_t>(bytes);
    } else {
      size = st.st_size;
    }
  }
  close(fd);
  return size;
}

std::u16string UserConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return FromUtf8(std::string(xdg) + "/");
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0') {
    home = env;
  } else if (const passwd* entry = getpwuid(getuid()); entry != nullptr) {
    home = entry->pw_dir;
  }
  return FromUtf8(home + "/.config/");
}

bool MakePrivateFolders(const std::u16string& path) {
  const std::string p = ToUtf8(path);
  for (size_t slash = p.find('/', 1);; slash = p.find('/', slash + 1)) {
    const std::string part = p.substr(0, slash);
    if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return IsDirectory(path);
}

std::u16string RealPath(std::u16string_view path) {
  char* resolved = realpath(ToUtf8(path).c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::u16string result = FromUtf8(resolved);
  std::free(resolved);
  return result;
}

bool IsInsideFolder(std::u16string_view path, std::u16string_view folder) {
  if (folder.empty() || path.size() <= folder.size()) return false;
  if (path.substr(0, folder.size()) != folder) return false;
  return folder.back() == u'/' || path[folder.size()] == u'/';
}

namespace {

// A descriptor for reading: never blocks on a FIFO and never becomes a controlling terminal.
int OpenForReading(std::u16string_view path) {
  int fd;
  do {
    fd = open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

int ReadRegularFile(std::u16string_view path, uint64_t maxBytes, std::string& bytes) {
  bytes.clear();
  const int fd = OpenForReading(path);
  if (fd < 0) return errno;
  struct stat st;
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = EINVAL;
  } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    error = EFBIG;
  } else {
    bytes.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    while (error == 0) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0) {
        if (errno != EINTR) error = errno;
        continue;
      }
      if (got == 0) break;
      // A file that grows while it is read is still held to the limit.
      if (bytes.size() + static_cast<size_t>(got) > maxBytes) error = EFBIG;
      else bytes.append(buffer, static_cast<size_t>(got));
    }
  }
  close(fd);
  if (error != 0) bytes.clear();
  return error;
}

std::u16string ErrorText(int err) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in our buffer.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return FromUtf8(text);
}

}  // namespace plat
