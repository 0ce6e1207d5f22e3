#include "TestDisk.h"

#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"

#include <algorithm>
#include <random>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace testing_support {

namespace {

void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// How many of `count` bytes at `offset` come before the bad sector, or -1 when the
// transfer does not touch it.
int64_t BytesBeforeBadSector(int64_t badSector, size_t count, int64_t offset) {
  if (badSector < 0) return -1;
  const int64_t bad = badSector * kSectorSize;
  const int64_t end = offset + static_cast<int64_t>(count);
  if (end <= bad || offset >= bad + static_cast<int64_t>(kSectorSize)) return -1;
  return std::max<int64_t>(bad - offset, 0);
}

}  // namespace

uint8_t PatternByte(uint64_t offset) { return static_cast<uint8_t>(offset % 251 + 1); }

void MakeImage(const std::string& path, uint64_t size, bool pattern) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("open " + path);
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) Fail("ftruncate " + path);
  if (pattern) {
    std::vector<uint8_t> block(1 << 20);
    for (uint64_t at = 0; at < size; at += block.size()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - at));
      for (size_t i = 0; i < n; ++i) block[i] = PatternByte(at + i);
      if (pwrite(fd, block.data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) {
        Fail("pwrite " + path);
      }
    }
  }
  close(fd);
}

uint64_t CountPatternMismatches(const std::string& path, uint64_t from, uint64_t to) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("open " + path);
  uint64_t bad = 0;
  std::vector<uint8_t> block(1 << 20);
  uint64_t at = from;
  while (at < to) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), to - at));
    const ssize_t n = pread(fd, block.data(), want, static_cast<off_t>(at));
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (block[static_cast<size_t>(i)] != PatternByte(at + static_cast<uint64_t>(i))) ++bad;
    }
    at += static_cast<uint64_t>(n);
  }
  close(fd);
  return bad + (to - at);  // a short file misses the rest
}

int FaultyDiskIo::CheckDirect(const void* buffer, size_t count, int64_t offset) {
  if (!direct) return 0;
  ++directTransfers;
  const uint64_t align = logicalBlockSize;
  if (reinterpret_cast<uintptr_t>(buffer) % align != 0 || count % align != 0 ||
      static_cast<uint64_t>(offset) % align != 0) {
    return EINVAL;
  }
  return 0;
}

int64_t FaultyDiskIo::Moved(int64_t before) const {
  if (before <= 0 || !direct) return before;
  return before / logicalBlockSize * logicalBlockSize;
}

ssize_t FaultyDiskIo::ReadAt(int fd, void* buffer, size_t count, int64_t offset) {
  if (const int err = CheckDirect(buffer, count, offset); err != 0) {
    errno = err;
    return -1;
  }
  if (maxTransfer > 0) count = std::min(count, maxTransfer);
  const int64_t before = Moved(BytesBeforeBadSector(badReadSector, count, offset));
  if (before == 0) {
    errno = EIO;
    return -1;
  }
  if (before > 0) count = static_cast<size_t>(before);
  return pread(fd, buffer, count, static_cast<off_t>(offset));
}

ssize_t FaultyDiskIo::WriteAt(int fd, const void* buffer, size_t count, int64_t offset) {
  largestWrite = std::max(largestWrite, count);
  if (killAfterBytes >= 0 && static_cast<int64_t>(bytesWritten + count) > killAfterBytes) {
    const int64_t left = killAfterBytes - static_cast<int64_t>(bytesWritten);
    if (left > 0 && pwrite(fd, buffer, static_cast<size_t>(left), static_cast<off_t>(offset)) < 0) {
      Fail("pwrite before the kill");
    }
    raise(SIGKILL);
  }
  if (const int err = CheckDirect(buffer, count, offset); err != 0) {
    errno = err;
    return -1;
  }
  if (maxTransfer > 0) count = std::min(count, maxTransfer);
  const int64_t allowed = Moved(BytesBeforeBadSector(badWriteSector, count, offset));
  if (allowed == 0) {
    if (failWithZero) return 0;
    errno = writeErrno;
    return -1;
  }
  if (allowed > 0) count = static_cast<size_t>(allowed);
  const ssize_t n = pwrite(fd, buffer, count, static_cast<off_t>(offset));
  if (n > 0) bytesWritten += static_cast<uint64_t>(n);
  unflushed = true;
  return n;
}

int FaultyDiskIo::DropCache(int fd, int64_t offset, int64_t length) {
  return PosixDiskIo().DropCache(fd, offset, length);
}

int FaultyDiskIo::Flush(int fd) {
  ++flushCalls;
  if (failFlush) {
    errno = EIO;
    return -1;
  }
  if (fsync(fd) != 0) return -1;
  unflushed = false;
  return 0;
}

uint32_t FaultyDiskIo::DirectOn(int) {
  ++directOnCalls;
  if (!blockDevice) return 0;
  direct = true;
  return logicalBlockSize;
}

int FaultyDiskIo::DirectOff(int) {
  direct = false;
  return 0;
}

uint64_t FaultyDiskIo::MaxRequest(int) { return 0; }

int FaultyDiskIo::SyncRange(int fd, int64_t offset, uint64_t length, bool wait) {
  if (!wait) return 0;
  ++syncWaits;
  return sync_file_range(fd, offset, static_cast<off_t>(length),
                         SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                             SYNC_FILE_RANGE_WAIT_AFTER);
}

int FaultyDiskIo::Clear(int fd, int64_t offset, uint64_t length, uint8_t fill) {
  if (BytesBeforeBadSector(badWriteSector, static_cast<size_t>(length), offset) >= 0) {
    errno = writeErrno;
    return -1;
  }
  if (fill == 0) {
    return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset,
                     static_cast<off_t>(length));
  }
  const std::vector<uint8_t> bytes(static_cast<size_t>(length), fill);
  return pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                 static_cast<ssize_t>(bytes.size())
             ? 0
             : -1;
}

int FaultyDiskIo::ZeroOut(int fd, int64_t offset, uint64_t length) {
  if (refuseZeroOut) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (Clear(fd, offset, length, 0) != 0) return -1;
  zeroedBytes += length;
  unflushed = true;
  return 0;
}

int FaultyDiskIo::Discard(int fd, int64_t offset, uint64_t length) {
  if (refuseDiscard) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (Clear(fd, offset, length, discardLeavesOnes ? 0xFF : 0) != 0) return -1;
  discardedBytes += length;
  unflushed = true;
  return 0;
}

std::vector<std::u16string> JobRecorder::lines;
std::vector<std::u16string> JobRecorder::reports;
std::vector<int32_t> JobRecorder::progress;
std::vector<std::string> JobRecorder::log;
std::function<void(const std::u16string&)> JobRecorder::onLine;

namespace {
void RecordLine(const char16_t* line) {
  JobRecorder::lines.emplace_back(line);
  JobRecorder::log.push_back("line " + plat::ToUtf8(line));
  if (JobRecorder::onLine) JobRecorder::onLine(line);
}
void RecordReport(char16_t* text) {
  JobRecorder::reports.emplace_back(text);
  JobRecorder::log.push_back("msg " + plat::ToUtf8(text));
  std::free(text);  // ours now
}
void RecordProgress(int32_t percent) {
  JobRecorder::progress.push_back(percent);
  JobRecorder::log.push_back("pos " + std::to_string(percent));
}
void RecordShowPro(int32_t a, int32_t b) {
  JobRecorder::log.push_back("pro " + std::to_string(a) + " " + std::to_string(b));
}
void RecordCopyTip(const char16_t* a, const char16_t* b, const char16_t* c, const char16_t* d,
                   const char16_t* e) {
  std::string tip = "tip";
  for (const char16_t* t : {a, b, c, d, e}) tip += "|" + (t ? plat::ToUtf8(t) : std::string("~"));
  JobRecorder::log.push_back(tip);
}
void RecordTime(int32_t running) { JobRecorder::log.push_back("time " + std::to_string(running)); }
}  // namespace

JobRecorder::JobRecorder()
    : savedOutput_(DiskJob.outputFunc),
      savedShowMsg_(DiskJob.showMsgFunc),
      savedProPos_(DiskJob.setProPosFunc),
      savedShowPro_(DiskJob.showProFunc),
      savedCopyTip_(DiskJob.setCopyTipFunc),
      savedTime_(DiskJob.setTimeFunc) {
  Clear();
  InitOutputFunc(&RecordLine);
  InitShowMsgFunc(&RecordReport);
  InitSetProPosFunc(&RecordProgress);
  InitShowProFunc(&RecordShowPro);
  InitSetCopyTipFunc(&RecordCopyTip);
  InitSetTimeFunc(&RecordTime);
}

JobRecorder::~JobRecorder() {
  InitOutputFunc(savedOutput_);
  InitShowMsgFunc(savedShowMsg_);
  InitSetProPosFunc(savedProPos_);
  InitShowProFunc(savedShowPro_);
  InitSetCopyTipFunc(savedCopyTip_);
  InitSetTimeFunc(savedTime_);
  Clear();
}

void JobRecorder::Clear() {
  lines.clear();
  reports.clear();
  progress.clear();
  log.clear();
  onLine = nullptr;
}

std::vector<std::string> JobRecorder::Lines() {
  std::vector<std::string> out;
  for (const std::string& e : log) {
    if (e.rfind("line ", 0) == 0 || e.rfind("msg ", 0) == 0) out.push_back(e);
  }
  return out;
}

int JobRecorder::Count(const std::string& prefix) {
  return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& e) {
    return e.rfind(prefix, 0) == 0;
  }));
}

std::string LineOf(const char16_t* key) { return "line " + plat::ToUtf8(LocalText(key, 1)); }
std::string MsgOf(const char16_t* key) { return "msg " + plat::ToUtf8(LocalText(key, 0)); }

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t word = rng();
    std::memcpy(bytes.data() + i, &word, std::min<size_t>(8, n - i));
  }
  return bytes;
}

}  // namespace testing_support
