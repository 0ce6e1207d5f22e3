// The job exports: each runs one whole job on the caller's thread and ends it with one output
// line naming the outcome. A verify job runs the steps of the write or update job it checks,
// with passes that compare instead of write.
#include "DiskLogicData.h"
#include "Layout.h"
#include "PartitionNodes.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "TextUtil.h"
#include "VolumeRelease.h"
#include "tessel/VolumeBuilder.h"

#include <algorithm>
#include <functional>
#include <limits>

namespace {

// A caller that keeps the library loaded between jobs must not see the last job's plan: the
// job starts from empty sequences, as a fresh load of the library gives it.
void StartFreshJob(uint64_t diskSize) {
  DiskJob.partitions.clear();
  DiskJob.binFiles.clear();
  DiskJob.updatePartitions.clear();
  DiskJob.updateBinFiles.clear();
  DiskJob.partitionCount = 0;
  DiskJob.diskSize = diskSize;
  DiskJob.refusal = 0;
}

std::u16string Text(const char16_t* text) { return text != nullptr ? text : u""; }

// A failed LoadJob may leave a disk object whose open failed; the sequences stay as they are.
void DropDisk() {
  delete DiskJob.disk;
  DiskJob.disk = nullptr;
}

// The steps of a write, update or verify job, which differ only in these.
struct JobSteps {
  int32_t mode;
  int32_t (CPlinthApp::*checkFiles)();
  int32_t (CPlinthApp::*checkCard)();  // the open disk, before the first pass; or none
  int32_t (CPlinthApp::*partitionPass)();
  int32_t (CPlinthApp::*binFilePass)();
  const char16_t* failedKey;
  const char16_t* successKey;
  bool newLayout;  // the partition table was written: tell the kernel
  bool writes;     // false: the disk is opened for reading, and nothing needs flushing
};

const JobSteps kWriteJob = {0,
                            &CPlinthApp::CheckWriteFiles,
                            nullptr,
                            &CPlinthApp::WritePartitions,
                            &CPlinthApp::WriteBinFiles,
                            u"WriteFailed",
                            u"WriteSucess",
                            true,
                            true};
const JobSteps kUpdateJob = {1,
                             &CPlinthApp::CheckUpdateFiles,
                             &CPlinthApp::CheckUpdateLayout,
                             &CPlinthApp::UpdatePartitions,
                             &CPlinthApp::UpdateBinFiles,
                             u"UpdateFailed",
                             u"UpdateSucess",
                             false,
                             true};
const JobSteps kVerifyWriteJob = {0,
                                  &CPlinthApp::CheckWriteFiles,
                                  nullptr,
                                  &CPlinthApp::VerifyPartitions,
                                  &CPlinthApp::VerifyBinFiles,
                                  u"VerifyFailed",
                                  u"VerifySucess",
                                  false,
                                  false};
// An update's partitions are compared where the card has them, so the card must be the one
// this firmware made, as for the update itself.
const JobSteps kVerifyUpdateJob = {1,
                                   &CPlinthApp::CheckUpdateFiles,
                                   &CPlinthApp::CheckUpdateLayout,
                                   &CPlinthApp::VerifyUpdatePartitions,
                                   &CPlinthApp::VerifyUpdateBinFiles,
                                   u"VerifyFailed",
                                   u"VerifySucess",
                                   false,
                                   false};

void RunSteps(const std::u16string& folder, const std::u16string& diskPath, uint64_t diskSize,
              const JobSteps& steps) {
  StartFreshJob(diskSize);
  if (ReleaseDiskVolumes(diskPath) == 0) {
    DiskJob.refusal = PLINTH_REFUSED_OTHER;
    DiskJob.ReportKey(steps.failedKey);
    return;
  }
  if (DiskJob.LoadJob(folder, diskPath, steps.mode, !steps.writes) == 0) {
    DropDisk();
    return;
  }
  DiskJob.disk->SetTotalSectors(diskSize);
  if ((DiskJob.*steps.checkFiles)() == 0) {
    DiskJob.refusal = PLINTH_REFUSED_OTHER;
    DiskJob.ResetJob();
    DiskJob.ReportKey(u"FileNotFountInConfig");
    return;
  }
  if (steps.checkCard != nullptr && (DiskJob.*steps.checkCard)() == 0) {
    DiskJob.ResetJob();
    DiskJob.ReportKey(steps.failedKey);
    return;
  }
  // Everything written must have reached the device before the job may call itself done, and
  // the partition table comes last of all.
  if ((DiskJob.*steps.partitionPass)() == 0 || (DiskJob.*steps.binFilePass)() == 0 ||
      (steps.writes && (DiskJob.disk->FlushDisk() == 0 ||
                        DiskJob.disk->CommitPartitionTable() == 0))) {
    DiskJob.ResetJob();
    DiskJob.ReportKey(steps.failedKey);
    return;
  }
  const LayoutPlan plan = PlanLayout(DiskJob.partitions);
  DiskJob.ResetJob();
  if (steps.newLayout) RefreshPartitionNodes(plat::ToUtf8(diskPath), plan);
  DiskJob.ReportKey(steps.successKey);
}

// The job's options hold for this one job.
void RunJob(const std::u16string& folder, const std::u16string& diskPath, uint64_t diskSize,
            const JobSteps& steps) {
  RunSteps(folder, diskPath, diskSize, steps);
  DiskJob.allowOutside = 0;
}

}  // namespace

int32_t CPlinthApp::LoadJob(const std::u16string& folder, const std::u16string& diskPath,
                            int32_t mode, bool readOnly) {
  measuredSources.clear();
  ParseConfig(folder + u"/config.xml");
  if (ValidateLayout(mode) == 0) return 0;
  disk = new CDiskLogicData();
  if ((readOnly ? disk->OpenDiskForReading(diskPath) : disk->OpenDisk(diskPath)) != 0) return 1;
  refusal = PLINTH_REFUSED_OTHER;
  return 0;
}

void CPlinthApp::ResetJob() {
  partitions.clear();
  binFiles.clear();
  if (disk != nullptr) {
    disk->CloseDisk();
    delete disk;
    disk = nullptr;
  }
}

namespace {

// The frame of both recover jobs: open the disk, "RecoverTip", the work, close it, the outcome.
void RunRecover(const std::u16string& diskPath, const std::function<int32_t(CDiskLogicData&)>& work) {
  DiskJob.disk = new CDiskLogicData();
  if (DiskJob.disk->OpenDisk(diskPath) == 0) {
    // Nothing was written; the open has reported. Drop the object so no handle lingers.
    DropDisk();
    return;
  }
  DiskJob.ReportKey(u"RecoverTip");
  int32_t ok = work(*DiskJob.disk);
  if (ok != 0) ok = DiskJob.disk->FlushDisk();
  DiskJob.ResetJob();
  if (ok != 0) RefreshPartitionNodes(plat::ToUtf8(diskPath), LayoutPlan{});
  DiskJob.ReportKey(ok != 0 ? u"RecoverSucess" : u"RecoverFailed");
}

}  // namespace

void CPlinthApp::RecoverDisk(const std::u16string& diskPath, const std::u16string& imagePath) {
  RunRecover(diskPath, [&](CDiskLogicData& target) {
    return Trim(imagePath).empty() ? 0 : target.CopyImageToDiskStart(imagePath);
  });
}

void CPlinthApp::RecoverDiskInPlace(const std::u16string& diskPath, uint64_t diskSize,
                                    int32_t options) {
  RunRecover(diskPath, [&](CDiskLogicData& target) {
    target.SetTotalSectors(diskSize);
    // Bytes after the last whole sector (an image file's odd size) belong to no volume.
    const uint64_t volumeBytes = diskSize / kSectorSize * kSectorSize;
    if (volumeBytes == 0) {
      ShowKey(u"CreateDiskFailed");  // no disk is too small to say so
      return 0;
    }
    const bool wipe = (options & PLINTH_RECOVER_WIPE) != 0;
    if (wipe) {
      // The card is cleared first, with progress up to 99; the volume is made afterwards
      // without progress of its own, so the bar never runs backwards.
      SetProPos(0);
      if (target.ClearRange(0, volumeBytes) == 0) return 0;
    }
    const auto capacity = static_cast<int64_t>(
        std::min<uint64_t>(diskSize, std::numeric_limits<int64_t>::max()));
    if (target.BuildVolumeInPlace(0, capacity, kVolumeFat32, wipe) == 0) return 0;
    if (wipe) SetProPos(100);
    return 1;
  });
}

namespace {

// The start of both recover jobs: no refusal of an earlier job stays, and a disk whose volumes
// cannot be released (one the running system uses) fails the recover before it is opened.
bool StartRecover(const std::u16string& diskPath) {
  DiskJob.refusal = 0;
  if (ReleaseDiskVolumes(diskPath) != 0) return true;
  DiskJob.ReportKey(u"RecoverFailed");
  return false;
}

}  // namespace

extern "C" {

PLINTH_API void MakeDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize) {
  RunJob(Text(folder), Text(diskPath), diskSize, kWriteJob);
}

PLINTH_API void UpdateDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize) {
  RunJob(Text(folder), Text(diskPath), diskSize, kUpdateJob);
}

PLINTH_API int32_t UseDiskHandle(const char16_t* diskPath, int32_t fd) {
  return HandOverDisk(Text(diskPath), fd) ? 1 : 0;
}

PLINTH_API void VerifyDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize,
                           int32_t mode) {
  RunJob(Text(folder), Text(diskPath), diskSize, mode == 0 ? kVerifyWriteJob : kVerifyUpdateJob);
}

PLINTH_API void SetJobOption(int32_t option, int32_t value) {
  if (option == PLINTH_OPTION_ALLOW_OUTSIDE) DiskJob.allowOutside = value != 0 ? 1 : 0;
}

PLINTH_API int32_t GetJobRefusal(void) { return DiskJob.refusal; }

PLINTH_API void RemovePartitions(const char16_t* diskPath, const char16_t* imagePath) {
  const std::u16string path = Text(diskPath);
  if (StartRecover(path)) DiskJob.RecoverDisk(path, Text(imagePath));
}

PLINTH_API void RemovePartitionsInPlace(const char16_t* diskPath, uint64_t diskSize,
                                        int32_t options) {
  const std::u16string path = Text(diskPath);
  if (StartRecover(path)) DiskJob.RecoverDiskInPlace(path, diskSize, options);
}

}  // extern "C"
