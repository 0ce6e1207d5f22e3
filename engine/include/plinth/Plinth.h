/* The engine's public interface: libPlinth.so is loaded by full path for one job, the
 * front end registers its six callbacks, calls one job export, and unloads it again.
 * Text is UTF-16 (NUL-terminated char16_t). */
#ifndef PLINTH_PLINTH_H
#define PLINTH_PLINTH_H

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#define PLINTH_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* One line of the job log, already localised, usually ending in a line feed.
 * The text belongs to the engine and is valid during the call only. */
typedef void (*OutputFunc)(const char16_t* line);
/* Show (non-zero) or hide (0) the progress group and the copy-details group. */
typedef void (*ShowProFunc)(int32_t showProgress, int32_t showCopyDetails);
/* Progress of the current copy, 0 to 100. */
typedef void (*SetProPosFunc)(int32_t percent);
/* Copy details: headline, partition name, size, type, image file; t2..t5 may be null. */
typedef void (*SetCopyTipFunc)(const char16_t* t1, const char16_t* t2, const char16_t* t3,
                               const char16_t* t4, const char16_t* t5);
/* An error report to show modally. The text is allocated with malloc and belongs to the
 * receiver, which releases it with free. */
typedef void (*ShowMsgFunc)(char16_t* text);
/* 1 when a timed copy begins, 0 when it ends. */
typedef void (*SetTimeFunc)(int32_t running);

/* Each stores its callback, replacing an earlier one, and returns it. */
PLINTH_API OutputFunc InitOutputFunc(OutputFunc fn);
PLINTH_API ShowProFunc InitShowProFunc(ShowProFunc fn);
PLINTH_API SetProPosFunc InitSetProPosFunc(SetProPosFunc fn);
PLINTH_API SetCopyTipFunc InitSetCopyTipFunc(SetCopyTipFunc fn);
PLINTH_API ShowMsgFunc InitShowMsgFunc(ShowMsgFunc fn);
PLINTH_API SetTimeFunc InitSetTimeFunc(SetTimeFunc fn);

/* Options of the next MakeDisk, UpdateDisk or VerifyDisk; they hold for that one job. */
#define PLINTH_OPTION_ALLOW_OUTSIDE 1 /* value 1: image and bin files may lie outside the
                                         firmware folder (after links are followed) */
PLINTH_API void SetJobOption(int32_t option, int32_t value);
/* Why the last job was refused before anything was written: 0, or PLINTH_REFUSED_* bits. */
#define PLINTH_REFUSED_OUTSIDE 1 /* files outside the firmware folder */
#define PLINTH_REFUSED_OTHER 2   /* any other problem */
PLINTH_API int32_t GetJobRefusal(void);

/* Writes a whole card (or image file) from the firmware folder's config.xml. */
PLINTH_API void MakeDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize);
/* Rewrites the partitions and bin files of the configuration's update section. */
PLINTH_API void UpdateDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize);
/* Reads the card and compares it with what MakeDisk (mode 0) or UpdateDisk (mode 1) writes
 * from the same firmware folder, reporting through the same callbacks; the card is opened
 * for reading only. The job ends with the line "VerifySucess" or "VerifyFailed". */
PLINTH_API void VerifyDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize,
                           int32_t mode);
/* Writes a prepared volume image over the start of the disk. */
PLINTH_API void RemovePartitions(const char16_t* diskPath, const char16_t* imagePath);

/* For a caller that may not open the block device at diskPath itself (a user program that got
 * a descriptor from the system's disk service): the next job of this load reaches diskPath
 * through fd, which must be that very device, open for reading and writing and held
 * exclusively (O_EXCL), as the engine's own open would be. The engine works on a duplicate;
 * the caller still closes fd. Returns 1 when taken, 0 when refused; a refused descriptor
 * changes nothing, and the job opens diskPath as usual. */
PLINTH_API int32_t UseDiskHandle(const char16_t* diskPath, int32_t fd);

/* Options of RemovePartitionsInPlace. */
/* Also clear everything the new volume does not use: discarded where the device reads back
 * zeros after a discard, zeroed otherwise, with progress. */
#define PLINTH_RECOVER_WIPE 1
/* Makes the disk one new empty FAT32 volume of diskSize bytes, built on the disk itself with
 * no image file: its reserved area, both FATs, its root directory and the first and last MiB
 * are written, the free clusters keep their bytes (unless PLINTH_RECOVER_WIPE). Reports as
 * RemovePartitions does: "OpenDisk", "OpenDiskSuccess", "RecoverTip", progress, then
 * "RecoverSucess" or "RecoverFailed". */
PLINTH_API void RemovePartitionsInPlace(const char16_t* diskPath, uint64_t diskSize,
                                        int32_t options);

#ifdef __cplusplus
}
#endif

#endif
