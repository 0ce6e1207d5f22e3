// Loads libPlinth.so by full path for one job, registers the front end's callbacks, calls one
// job export and unloads the library again, so that every job starts from a fresh engine.
#pragma once

#include "plinth/Plinth.h"

#include <cstdint>
#include <string>

struct PlinthCallbacks {
  OutputFunc output = nullptr;
  ShowProFunc showPro = nullptr;
  SetProPosFunc setProPos = nullptr;
  SetCopyTipFunc setCopyTip = nullptr;
  SetTimeFunc setTime = nullptr;  // not registered for a recover job
  ShowMsgFunc showMsg = nullptr;
};

class PlinthLibrary {
 public:
  PlinthLibrary() = default;
  ~PlinthLibrary() { Unload(); }
  PlinthLibrary(const PlinthLibrary&) = delete;
  PlinthLibrary& operator=(const PlinthLibrary&) = delete;

  // "libPlinth.so" in the folder of the running executable.
  static std::string DefaultPath();
  // Whether the library at `path` is mapped in this process right now.
  static bool IsResident(const std::string& path);

  bool Load(const std::string& path);
  bool loaded() const { return handle_ != nullptr; }
  // The loader's message after a failed Load or a missing export.
  const std::string& error() const { return error_; }

  // Registers in the engine's order: output, progress group, progress position, copy tip,
  // [time], message box. False when an export is missing.
  bool Register(const PlinthCallbacks& callbacks, bool withTime);

  bool MakeDisk(const std::u16string& folder, const std::u16string& diskPath, uint64_t diskSize);
  bool UpdateDisk(const std::u16string& folder, const std::u16string& diskPath, uint64_t diskSize);
  bool RemovePartitions(const std::u16string& diskPath, const std::u16string& imagePath);
  // Hands the engine a descriptor for diskPath (UseDiskHandle). False when the export is
  // missing or the engine refused the descriptor.
  bool UseDiskHandle(const std::u16string& diskPath, int fd);
  // mode 0: what MakeDisk writes; 1: what UpdateDisk writes.
  bool VerifyDisk(const std::u16string& folder, const std::u16string& diskPath, uint64_t diskSize,
                  int32_t mode);
  // The options of the next job; false (with error()) when the engine has no such export.
  bool SetJobOption(int32_t option, int32_t value);
  // Why the last job was refused before writing (PLINTH_REFUSED_*); 0 from an engine that
  // cannot say.
  int32_t JobRefusal();
  bool RemovePartitionsInPlace(const std::u16string& diskPath, uint64_t diskSize,
                               int32_t options);

  void Unload();

 private:
  void* Symbol(const char* name);

  void* handle_ = nullptr;
  std::string error_;
};

// kVerify checks what a write job puts on the card, kVerifyUpdate what an update job does.
// Recover jobs build the new volume on the disk itself (RemovePartitionsInPlace); the wipe
// also clears the rest of the disk.
enum class PlinthJob { kWrite, kUpdate, kRecover, kRecoverWipe, kVerify, kVerifyUpdate };

struct PlinthJobOptions {
  bool allowOutside = false;  // image and bin files may lie outside the firmware folder
};

// One whole job: load by `libraryPath`, register, [hand over the disk, set the options,] call
// the export, [read why it was refused,] unload. False (with `error` set) when the library or
// an export could not be found; the job's own outcome arrives through the callbacks. `folder`
// is for write, update and verify jobs only. A `diskHandle` of 0 or more is handed to the
// engine for diskPath first; refused, the engine opens diskPath itself and reports what it
// finds.
bool RunPlinthJob(const std::string& libraryPath, const PlinthCallbacks& callbacks, PlinthJob job,
                  const std::u16string& folder, const std::u16string& diskPath,
                  uint64_t diskSize, std::string* error, int diskHandle = -1,
                  const PlinthJobOptions& options = {}, int32_t* refusal = nullptr);
