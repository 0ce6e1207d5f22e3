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

FolderProblem PrivateFolderProblem(const std::u16string& folder, int& err) {
  err = 0;
  const std::string path = ToUtf8(folder);
  struct stat st;
  // lstat: a link planted in a shared folder must not redirect our image elsewhere.
  if ((mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) || lstat(path.c_str(), &st) != 0) {
    err = errno;
    return FolderProblem::kCannotMake;
  }
  if (!S_ISDIR(st.st_mode)) return FolderProblem::kNotAFolder;
  if (st.st_uid != geteuid()) return FolderProblem::kOtherOwner;
  if ((st.st_mode & 0077) != 0) return FolderProblem::kOpenToOthers;
  return FolderProblem::kNone;
}

bool EnsurePrivateFolder(const std::u16string& folder) {
  int err = 0;
  return PrivateFolderProblem(folder, err) == FolderProblem::kNone;
}

}  // namespace plat
