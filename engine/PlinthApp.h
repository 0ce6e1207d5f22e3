// The engine's single job object `DiskJob`: the registered callbacks, the configuration read
// for the current job, and the open disk. All engine state lives here, so a fresh load of the
// library is a fresh job.
#pragma once

#include "plinth/Plinth.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CDiskLogicData;

// Type codes of config.xml's `type` attribute.
enum TypeCode : int32_t {
  kTypeUnknown = 0,
  kTypeFat16 = 6,
  kTypeFat32 = 11,
  kTypeExt3 = 132,
  kTypeExt4 = 133,
};

// One diskMaker/partitions/partition.
struct PartitionSpec {
  std::u16string name;
  int64_t capacityBytes = 0;
  std::u16string imagePath;  // resolved against the firmware folder; empty = no image
  int32_t active = 0;
  int32_t offset = 0;        // first sector, only the first partition's places the layout
  int32_t type = kTypeUnknown;
  std::u16string sha256;     // expected digest of the stored file; empty = none given
};

// One binFiles/file (main or update section).
struct BinFileSpec {
  BinFileSpec() = default;
  BinFileSpec(std::u16string filePath, int32_t sector, std::u16string digest = {})
      : path(std::move(filePath)), offset(sector), sha256(std::move(digest)) {}
  std::u16string path;  // resolved, not trimmed
  int32_t offset = 0;   // first sector
  std::u16string sha256;
};

// One update/partitions/partition.
struct UpdatePartitionSpec {
  UpdatePartitionSpec() = default;
  UpdatePartitionSpec(std::u16string partition, int32_t at, std::u16string image, int32_t code,
                      std::u16string digest = {})
      : name(std::move(partition)), index(at), imagePath(std::move(image)), type(code),
        sha256(std::move(digest)) {}
  std::u16string name;
  int32_t index = -1;  // position in `partitions`; -1 none, -2 more than one
  std::u16string imagePath;
  int32_t type = kTypeUnknown;
  std::u16string sha256;
};

// A compressed file whose decompressed size this job has measured, with what identified it.
struct MeasuredSource {
  std::u16string path;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t storedSize = 0;
  int64_t modified = 0;  // nanoseconds
  uint64_t size = 0;     // decompressed
};

class CPlinthApp {
 public:
  CPlinthApp();
  ~CPlinthApp();
  CPlinthApp(const CPlinthApp&) = delete;
  CPlinthApp& operator=(const CPlinthApp&) = delete;

  // Reporting. A slot that was never registered is never called.
  void Output(const std::u16string& line) const;
  void ReportKey(const char16_t* key) const;           // Output(LocalText(key, with line feed))
  void ShowReport(const std::u16string& text) const;   // a malloc'ed copy to showMsgFunc
  void ShowKey(const char16_t* key) const;             // ShowReport(LocalText(key, no line feed))
  void ShowPro(int32_t showProgress, int32_t showCopyDetails) const;
  void SetProPos(int32_t percent) const;
  void SetCopyTip(const char16_t* t1, const char16_t* t2, const char16_t* t3,
                  const char16_t* t4, const char16_t* t5) const;
  void SetTime(int32_t running) const;

  // Configuration (config.xml). A config.xml that is no regular file, or is larger than
  // kMaxConfigBytes, is not read.
  void ParseConfig(const std::u16string& configPath);
  int32_t FindPartitionIndex(const std::u16string& name) const;

  // Layout validation.
  int32_t ValidateLayout(int32_t mode);
  int32_t CheckWriteFiles();
  int32_t CheckUpdateFiles();
  // Update job, disk open: the card's partitions up to the last one the update touches must
  // start and end where this configuration puts them. 1, or 0 after one report.
  int32_t CheckUpdateLayout();

  // Passes.
  int32_t WritePartitions();
  int32_t WriteBinFiles();
  int32_t UpdatePartitions();
  int32_t UpdateBinFiles();
  // The same lists compared with the card instead of written; a difference is reported once.
  int32_t VerifyPartitions();
  int32_t VerifyBinFiles();
  int32_t VerifyUpdatePartitions();
  int32_t VerifyUpdateBinFiles();

  // Jobs.
  // mode 0 = write, 1 = update; a job that only reads opens the disk for reading.
  int32_t LoadJob(const std::u16string& folder, const std::u16string& diskPath, int32_t mode,
                  bool readOnly = false);
  void ResetJob();
  void RecoverDisk(const std::u16string& diskPath, const std::u16string& imagePath);
  // The recover job with the volume built on the disk (PLINTH_RECOVER_* options).
  void RecoverDiskInPlace(const std::u16string& diskPath, uint64_t diskSize, int32_t options);

  // Fields, in the order the job object has always had them.
  CDiskLogicData* disk = nullptr;
  OutputFunc outputFunc = nullptr;
  ShowProFunc showProFunc = nullptr;
  SetProPosFunc setProPosFunc = nullptr;
  SetCopyTipFunc setCopyTipFunc = nullptr;
  SetTimeFunc setTimeFunc = nullptr;
  ShowMsgFunc showMsgFunc = nullptr;
  int32_t partitionCount = 0;
  uint64_t diskSize = 0;
  std::vector<PartitionSpec> partitions;
  std::vector<BinFileSpec> binFiles;
  std::vector<UpdatePartitionSpec> updatePartitions;
  std::vector<BinFileSpec> updateBinFiles;

  // Fields added later: the folder config.xml was read from, the options of the next job
  // (SetJobOption), and why the last job was refused before anything was written.
  std::u16string firmwareFolder;
  int32_t allowOutside = 0;  // image and bin files may lie outside the firmware folder
  int32_t refusal = 0;       // PLINTH_REFUSED_* bits
  // Decompressed sizes found by the preflight, so the copy need not measure them again.
  std::vector<MeasuredSource> measuredSources;
};

// config.xml is a few kilobytes; anything near this is no configuration.
inline constexpr uint64_t kMaxConfigBytes = 64u << 20;

// The one job object of the library.
extern CPlinthApp DiskJob;
