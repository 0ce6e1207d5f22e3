// The job exports: each runs one whole job on the caller's thread and ends it with one output
// line naming the outcome.
#include "DiskLogicData.h"
#include "Layout.h"
#include "PartitionNodes.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "TextUtil.h"
#include "VolumeRelease.h"

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
}

std::u16string Text(const char16_t* text) { return text != nullptr ? text : u""; }

// A failed LoadJob may leave a disk object whose open failed; the sequences stay as they are.
void DropDisk() {
  delete DiskJob.disk;
  DiskJob.disk = nullptr;
}

// Everything written must have reached the device before the job may call itself done.
bool FlushAndReport(const char16_t* failedKey) {
  if (DiskJob.disk->FlushDisk() == 0) {
    DiskJob.ResetJob();
    DiskJob.ReportKey(failedKey);
    return false;
  }
  return true;
}

}  // namespace

int32_t CPlinthApp::LoadJob(const std::u16string& folder, const std::u16string& diskPath,
                            int32_t mode) {
  ParseConfig(folder + u"/config.xml");
  if (ValidateLayout(mode) == 0) return 0;
  disk = new CDiskLogicData();
  return disk->OpenDisk(diskPath);
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

void CPlinthApp::RecoverDisk(const std::u16string& diskPath, const std::u16string& imagePath) {
  disk = new CDiskLogicData();
  if (disk->OpenDisk(diskPath) == 0) {
    // Nothing was written; the open has reported. Drop the object so no handle lingers.
    delete disk;
    disk = nullptr;
    return;
  }
  ReportKey(u"RecoverTip");
  int32_t ok = 0;
  if (!Trim(imagePath).empty()) ok = disk->CopyImageToDiskStart(imagePath);
  if (ok != 0) ok = disk->FlushDisk();
  ResetJob();
  if (ok != 0) RefreshPartitionNodes(plat::ToUtf8(diskPath), LayoutPlan{});
  ReportKey(ok != 0 ? u"RecoverSucess" : u"RecoverFailed");
}

extern "C" {

PLINTH_API void MakeDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize) {
  const std::u16string path = Text(diskPath);
  StartFreshJob(diskSize);
  ReleaseDiskVolumes(path);
  if (DiskJob.LoadJob(Text(folder), path, 0) == 0) {
    DropDisk();
    return;
  }
  DiskJob.disk->SetTotalSectors(diskSize);
  if (DiskJob.CheckWriteFiles() == 0) {
    DiskJob.ResetJob();
    DiskJob.ReportKey(u"FileNotFountInConfig");
    return;
  }
  if (DiskJob.WritePartitions() == 0 || DiskJob.WriteBinFiles() == 0) {
    DiskJob.ResetJob();
    DiskJob.ReportKey(u"WriteFailed");
    return;
  }
  if (!FlushAndReport(u"WriteFailed")) return;
  const LayoutPlan plan = PlanLayout(DiskJob.partitions);
  DiskJob.ResetJob();
  RefreshPartitionNodes(plat::ToUtf8(path), plan);
  DiskJob.ReportKey(u"WriteSucess");
}

PLINTH_API void UpdateDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize) {
  const std::u16string path = Text(diskPath);
  StartFreshJob(diskSize);
  ReleaseDiskVolumes(path);
  if (DiskJob.LoadJob(Text(folder), path, 1) == 0) {
    DropDisk();
    return;
  }
  DiskJob.disk->SetTotalSectors(diskSize);
  if (DiskJob.CheckUpdateFiles() == 0) {
    DiskJob.ResetJob();
    DiskJob.ReportKey(u"FileNotFountInConfig");
    return;
  }
  if (DiskJob.UpdatePartitions() == 0 || DiskJob.UpdateBinFiles() == 0) {
    DiskJob.ResetJob();
    DiskJob.ReportKey(u"UpdateFailed");
    return;
  }
  if (!FlushAndReport(u"UpdateFailed")) return;
  DiskJob.ResetJob();
  DiskJob.ReportKey(u"UpdateSucess");
}

PLINTH_API void RemovePartitions(const char16_t* diskPath, const char16_t* imagePath) {
  const std::u16string path = Text(diskPath);
  ReleaseDiskVolumes(path);
  DiskJob.RecoverDisk(path, Text(imagePath));
}

}  // extern "C"
