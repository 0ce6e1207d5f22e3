#include "Platform.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

std::u16string TempImageFolder() {
  const uid_t uid = geteuid();
  std::string folder("/var/tmp/Quillbox");
  if (uid != 0) folder.append("-").append(std::to_string(uid));
  return FromUtf8(folder);
}

std::u16string TempImagePath() { return TempImageFolder() + u"/tmpDBR.img"; }

bool EnsurePrivateFolder(const std::u16string& folder) {
  const std::string path = ToUtf8(folder);
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  // lstat: a link planted in a shared folder must not redirect our image elsewhere.
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != geteuid()) return false;
  if ((st.st_mode & 0077) != 0) return false;
  return true;
}

}  // namespace plat
