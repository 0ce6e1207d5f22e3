#include "PlinthBinding.h"

#include "Platform.h"

#include <dlfcn.h>

std::string PlinthLibrary::DefaultPath() {
  return plat::ToUtf8(plat::ExecutableFolder()) + "libPlinth.so";
}

bool PlinthLibrary::IsResident(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

bool PlinthLibrary::Load(const std::string& path) {
  Unload();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    error_ = message != nullptr ? message : "cannot load " + path;
    return false;
  }
  error_.clear();
  return true;
}

void PlinthLibrary::Unload() {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

void* PlinthLibrary::Symbol(const char* name) {
  if (handle_ == nullptr) {
    error_ = "the engine library is not loaded";
    return nullptr;
  }
  void* symbol = dlsym(handle_, name);
  if (symbol == nullptr) error_ = std::string("the engine library has no export ") + name;
  return symbol;
}

bool PlinthLibrary::Register(const PlinthCallbacks& c, bool withTime) {
  auto output = reinterpret_cast<decltype(&InitOutputFunc)>(Symbol("InitOutputFunc"));
  auto showPro = reinterpret_cast<decltype(&InitShowProFunc)>(Symbol("InitShowProFunc"));
  auto proPos = reinterpret_cast<decltype(&InitSetProPosFunc)>(Symbol("InitSetProPosFunc"));
  auto copyTip = reinterpret_cast<decltype(&InitSetCopyTipFunc)>(Symbol("InitSetCopyTipFunc"));
  auto time = reinterpret_cast<decltype(&InitSetTimeFunc)>(Symbol("InitSetTimeFunc"));
  auto showMsg = reinterpret_cast<decltype(&InitShowMsgFunc)>(Symbol("InitShowMsgFunc"));
  if (!output || !showPro || !proPos || !copyTip || !time || !showMsg) return false;
  output(c.output);
  showPro(c.showPro);
  proPos(c.setProPos);
  copyTip(c.setCopyTip);
  if (withTime) time(c.setTime);
  showMsg(c.showMsg);
  return true;
}

bool PlinthLibrary::MakeDisk(const std::u16string& folder, const std::u16string& diskPath,
                             uint64_t diskSize) {
  auto fn = reinterpret_cast<decltype(&::MakeDisk)>(Symbol("MakeDisk"));
  if (fn == nullptr) return false;
  fn(folder.c_str(), diskPath.c_str(), diskSize);
  return true;
}

bool PlinthLibrary::UpdateDisk(const std::u16string& folder, const std::u16string& diskPath,
                               uint64_t diskSize) {
  auto fn = reinterpret_cast<decltype(&::UpdateDisk)>(Symbol("UpdateDisk"));
  if (fn == nullptr) return false;
  fn(folder.c_str(), diskPath.c_str(), diskSize);
  return true;
}

bool PlinthLibrary::RemovePartitions(const std::u16string& diskPath,
                                     const std::u16string& imagePath) {
  auto fn = reinterpret_cast<decltype(&::RemovePartitions)>(Symbol("RemovePartitions"));
  if (fn == nullptr) return false;
  fn(diskPath.c_str(), imagePath.c_str());
  return true;
}

bool PlinthLibrary::UseDiskHandle(const std::u16string& diskPath, int fd) {
  auto fn = reinterpret_cast<decltype(&::UseDiskHandle)>(Symbol("UseDiskHandle"));
  return fn != nullptr && fn(diskPath.c_str(), fd) != 0;
}

bool PlinthLibrary::VerifyDisk(const std::u16string& folder, const std::u16string& diskPath,
                               uint64_t diskSize, int32_t mode) {
  auto fn = reinterpret_cast<decltype(&::VerifyDisk)>(Symbol("VerifyDisk"));
  if (fn == nullptr) return false;
  fn(folder.c_str(), diskPath.c_str(), diskSize, mode);
  return true;
}

bool PlinthLibrary::RemovePartitionsInPlace(const std::u16string& diskPath, uint64_t diskSize,
                                            int32_t options) {
  auto fn =
      reinterpret_cast<decltype(&::RemovePartitionsInPlace)>(Symbol("RemovePartitionsInPlace"));
  if (fn == nullptr) return false;
  fn(diskPath.c_str(), diskSize, options);
  return true;
}

bool PlinthLibrary::SetJobOption(int32_t option, int32_t value) {
  auto fn = reinterpret_cast<decltype(&::SetJobOption)>(Symbol("SetJobOption"));
  if (fn == nullptr) return false;
  fn(option, value);
  return true;
}

int32_t PlinthLibrary::JobRefusal() {
  if (handle_ == nullptr) return 0;
  auto fn = reinterpret_cast<decltype(&::GetJobRefusal)>(dlsym(handle_, "GetJobRefusal"));
  return fn != nullptr ? fn() : 0;
}

bool RunPlinthJob(const std::string& libraryPath, const PlinthCallbacks& callbacks, PlinthJob job,
                  const std::u16string& folder, const std::u16string& diskPath,
                  uint64_t diskSize, std::string* error, int diskHandle,
                  const PlinthJobOptions& options, int32_t* refusal) {
  PlinthLibrary library;
  // A recover job is never timed.
  const bool timed = job != PlinthJob::kRecover && job != PlinthJob::kRecoverWipe;
  bool ok = library.Load(libraryPath) && library.Register(callbacks, timed);
  if (ok && diskHandle >= 0) library.UseDiskHandle(diskPath, diskHandle);
  if (ok && options.allowOutside) ok = library.SetJobOption(PLINTH_OPTION_ALLOW_OUTSIDE, 1);
  if (ok) {
    switch (job) {
      case PlinthJob::kWrite:
        ok = library.MakeDisk(folder, diskPath, diskSize);
        break;
      case PlinthJob::kUpdate:
        ok = library.UpdateDisk(folder, diskPath, diskSize);
        break;
      case PlinthJob::kRecover:
        ok = library.RemovePartitionsInPlace(diskPath, diskSize, 0);
        break;
      case PlinthJob::kRecoverWipe:
        ok = library.RemovePartitionsInPlace(diskPath, diskSize, PLINTH_RECOVER_WIPE);
        break;
      case PlinthJob::kVerify:
      case PlinthJob::kVerifyUpdate:
        ok = library.VerifyDisk(folder, diskPath, diskSize,
                                job == PlinthJob::kVerify ? 0 : 1);
        break;
    }
  }
  if (!ok && error != nullptr) *error = library.error();
  if (refusal != nullptr) *refusal = ok ? library.JobRefusal() : 0;
  library.Unload();
  return ok;
}
