// Test support for the engine: disk image files filled with a canary pattern, a disk whose
// reads, writes and flushes fail on request, and a recorder of the job's callbacks. Linked into
// the static engine only; folders, tools and whole files are in testsupport/TestSupport.h.
#pragma once

#include "DiskLogicData.h"
#include "plinth/Plinth.h"

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// The canary byte at disk position `offset`: never 0, and its period (251) is prime, so
// neither zero padding nor a copy from a shifted place can pass for it.
uint8_t PatternByte(uint64_t offset);

// Creates (or truncates) a file of `size` bytes. With `pattern` every byte is PatternByte of
// its position; without it the file is sparse and reads as zeros.
void MakeImage(const std::string& path, uint64_t size, bool pattern);
// Count of positions in [from, to) whose byte is not the canary pattern.
uint64_t CountPatternMismatches(const std::string& path, uint64_t from, uint64_t to);

// File-backed disk I/O that fails on request. A "bad sector" fails every transfer that
// touches it, after moving the bytes in front of it (a short transfer, as a real device does).
class FaultyDiskIo : public DiskIo {
 public:
  ssize_t ReadAt(int fd, void* buffer, size_t count, int64_t offset) override;
  ssize_t WriteAt(int fd, const void* buffer, size_t count, int64_t offset) override;
  int Flush(int fd) override;
  uint32_t DirectOn(int fd) override;
  int DirectOff(int fd) override;
  int DropCache(int fd, int64_t offset, int64_t length) override;
  uint64_t MaxRequest(int fd) override;
  int SyncRange(int fd, int64_t offset, uint64_t length, bool wait) override;
  int ZeroOut(int fd, int64_t offset, uint64_t length) override;
  int Discard(int fd, int64_t offset, uint64_t length) override;

  int64_t badWriteSector = -1;
  // The process is killed (SIGKILL) once this many bytes are written, in the middle of the
  // write that crosses the mark; -1 = never.
  int64_t killAfterBytes = -1;
  int writeErrno = ENOSPC;
  bool failWithZero = false;  // fail a write by returning 0 with errno untouched
  int64_t badReadSector = -1;
  bool failFlush = false;
  size_t maxTransfer = 0;  // > 0: no call moves more than this (short transfers)

  // With `blockDevice` the disk takes direct transfers with this alignment (its logical
  // block size). While they are on, a transfer whose memory, offset or length is not aligned
  // fails with EINVAL, as the kernel's does, and a failing transfer moves only the whole
  // blocks in front of the fault.
  bool blockDevice = false;
  uint32_t logicalBlockSize = 512;
  bool direct = false;  // on now

  // Zero ranges: done as holes in the file behind, unless refused (EOPNOTSUPP). A zero-out
  // or discard that touches the bad write sector fails with writeErrno. A discard that
  // `discardLeavesOnes` fills the range with 0xFF, as erased flash reads.
  bool refuseZeroOut = false;
  bool refuseDiscard = false;
  bool discardLeavesOnes = false;
  uint64_t zeroedBytes = 0;     // by ZeroOut
  uint64_t discardedBytes = 0;  // by Discard
  int syncWaits = 0;            // SyncRange calls that waited

  int flushCalls = 0;
  int directOnCalls = 0;
  int directTransfers = 0;  // reads and writes made while direct was on
  size_t largestWrite = 0;  // the largest count a write call was asked for
  uint64_t bytesWritten = 0;
  bool unflushed = false;   // a write went out after the last successful flush

 private:
  // EINVAL for a transfer direct transfers cannot take; 0 otherwise.
  int CheckDirect(const void* buffer, size_t count, int64_t offset);
  // Bytes a transfer failing `before` bytes in may still move.
  int64_t Moved(int64_t before) const;
  // A hole (fill 0) or `fill` bytes over the range; fails on the bad write sector.
  int Clear(int fd, int64_t offset, uint64_t length, uint8_t fill);
};

// Registers recording callbacks for all six slots of DiskJob for its lifetime and restores
// the previous ones. Every callback goes into `log`, in order, as text: "line TEXT",
// "msg TEXT", "pos N", "pro A B", "tip|A|B|C|D|E" (~ for a null) and "time N"; output lines,
// reports and progress are also kept on their own.
class JobRecorder {
 public:
  JobRecorder();
  ~JobRecorder();
  JobRecorder(const JobRecorder&) = delete;
  JobRecorder& operator=(const JobRecorder&) = delete;
  static void Clear();
  // The output lines and message boxes of `log`, in order.
  static std::vector<std::string> Lines();
  static int Count(const std::string& prefix);

  static std::vector<std::u16string> lines;
  static std::vector<std::u16string> reports;
  static std::vector<int32_t> progress;
  static std::vector<std::string> log;
  // Called after each output line is recorded: a test's way into the middle of a job.
  static std::function<void(const std::u16string&)> onLine;

 private:
  OutputFunc savedOutput_;
  ShowMsgFunc savedShowMsg_;
  SetProPosFunc savedProPos_;
  ShowProFunc savedShowPro_;
  SetCopyTipFunc savedCopyTip_;
  SetTimeFunc savedTime_;
};

// What the recorder logs for the catalogue text of `key`: an output line, a message box.
std::string LineOf(const char16_t* key);
std::string MsgOf(const char16_t* key);

// Bytes from a fixed seed, never mistaken for the canary pattern of an untouched disk.
std::vector<uint8_t> RandomBytes(size_t n, unsigned seed);

}  // namespace testing_support
