// brindle-cli write, update, recover and verify: one engine job each, on a card or a disk image
// file; write and update with --verify are followed by the verify job on the same target.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CardSet.h"
#include "CliCommon.h"
#include "Commands.h"
#include "JobReporter.h"
#include "JobTarget.h"
#include "LocalText.h"
#include "Platform.h"
#include "PlinthBinding.h"
#include "TextUtil.h"

namespace {

struct JobKind {
  const char* name;
  PlinthJob job;
  const char16_t* successKey;
  bool needsFolder;
  bool writes;                         // false: the target is only read, never made or confirmed
  std::optional<PlinthJob> verifyJob;  // what --verify runs after the job
};

constexpr JobKind kWrite{"write", PlinthJob::kWrite, u"WriteSucess", true, true,
                         PlinthJob::kVerify};
constexpr JobKind kUpdate{"update", PlinthJob::kUpdate, u"UpdateSucess", true, true,
                          PlinthJob::kVerifyUpdate};
constexpr JobKind kRecover{"recover", PlinthJob::kRecover, u"RecoverSucess", false, true, {}};
constexpr JobKind kVerify{"verify", PlinthJob::kVerify, u"VerifySucess", true, false, {}};
constexpr const char16_t* kVerifySuccessKey = u"VerifySucess";

struct JobOptions {
  std::string folder;
  std::string target;
  std::vector<std::string> targets;  // every TARGET given
  std::string report;                // --report FILE
  int statusFd = -1;                 // one card of several: progress records go here
  std::optional<uint64_t> size;
  bool yes = false;
  bool force = false;
  bool verify = false;  // write, update: the verify job after a successful one
  bool update = false;  // verify: what the update job writes
  bool allowOutside = false;
  bool wipe = false;  // recover: clear the rest of the disk too
  SystemFiles files;
};

// What this command did to an image file before the job, to be undone when the job fails.
enum class ImageMade { kNothing, kCreated, kSized };

int Refuse(const std::string& message) {
  std::cerr << kProgramName << ": " << message << "\n";
  return kExitFailure;
}

// Makes a new sparse image file of `size` bytes, or gives an empty existing one that size.
bool SizeImage(const std::string& path, uint64_t size, bool create) {
  const int fd = create ? open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644)
                        : open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    Refuse(Text(u"CliCannotCreateImage", {path, std::strerror(errno)}));
    return false;
  }
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int err = errno;
    close(fd);
    if (create) unlink(path.c_str());
    Refuse(Text(u"CliCannotSizeImage", {path, std::to_string(size), std::strerror(err)}));
    return false;
  }
  close(fd);
  std::cerr << kProgramName << ": "
            << Text(create ? u"CliImageCreated" : u"CliImageSized",
                    {path, std::to_string(size), Utf8(FormatSizeText(static_cast<int64_t>(size)))})
            << "\n";
  return true;
}

bool Confirm(const JobKind& kind, const std::string& target, const BlockTarget& block) {
  if (isatty(STDIN_FILENO) == 0) {
    Refuse(Text(u"CliNoTerminal", {kind.name, target}));
    return false;
  }
  const int64_t size = plat::FileLength(plat::FromUtf8(target));
  std::string disk = block.disk;
  if (size >= 0) disk += ", " + Utf8(FormatSizeText(size));
  if (!block.model.empty()) disk += ", " + ValidUtf8(block.model);
  if (!AskYes(Text(u"CliConfirm", {kind.name, target, disk}))) {
    Refuse(Text(u"CliNothingWritten"));
    return false;
  }
  return true;
}

// The safety rule for a block device about to be written; false, with the refusal said, when
// it must not be.
bool CheckBlockTarget(const std::string& target, const struct stat& st, const JobOptions& options,
                      const DiskSnapshot& snapshot, BlockTarget& block) {
  block = InspectBlockDevice(major(st.st_rdev), minor(st.st_rdev), snapshot);
  const std::string refusal = SafetyRefusal(block);
  if (refusal.empty()) return true;
  // The engine refuses the running system's disks whatever its caller says.
  if (!block.systemUses.empty()) {
    Refuse(Text(u"CliRefusedSystem", {target, refusal}));
    return false;
  }
  if (!options.force) {
    Refuse(Text(u"CliRefused", {target, refusal}));
    return false;
  }
  std::cerr << kProgramName << ": " << Text(u"CliForcedWarning", {refusal}) << "\n";
  return true;
}

// A target with no size of its own (a folder, a character device): the layout's size lets the
// configuration pass, so that the engine's open of the target is what refuses it.
uint64_t UnsizedTargetSize(const JobKind& kind, const JobOptions& options) {
  return kind.needsFolder ? DefaultImageSize(options.folder) : 0;
}

// "16.00M (16777216B)", in the units of the size texts.
std::string SizeWithBytes(uint64_t bytes) {
  return Utf8(FormatSizeText(static_cast<int64_t>(bytes))) + " (" + std::to_string(bytes) + "B)";
}

// A new image of the size asked for must hold the configuration's layout.
bool SizeHoldsTheLayout(const JobKind& kind, const JobOptions& options, uint64_t size) {
  const uint64_t needed = kind.needsFolder ? DefaultImageSize(options.folder) : 0;
  if (needed <= size) return true;
  Refuse(Text(u"CliSizeTooSmall", {SizeWithBytes(size), SizeWithBytes(needed)}));
  return false;
}

// Undoes what this command did to an image file for a job that then failed, so that a retry
// (with another --size) starts from the same place. An image another job holds is left alone.
void UndoImage(const std::string& path, ImageMade made) {
  if (made == ImageMade::kNothing) return;
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // An image that stays sized only means the next job has to be told its size.
    const bool undone = made == ImageMade::kCreated ? unlink(path.c_str()) == 0
                                                    : ftruncate(fd, 0) == 0;
    if (undone && made == ImageMade::kCreated) {
      std::cerr << kProgramName << ": " << Text(u"CliImageRemoved", {path}) << "\n";
    }
  }
  close(fd);
}

// Decides what the engine gets as the target and its size. `status` is set when the job must
// not run; `made` says what was done to an image file.
std::optional<uint64_t> PrepareTarget(const JobKind& kind, const JobOptions& options,
                                      int& status, ImageMade& made) {
  status = kExitFailure;
  made = ImageMade::kNothing;
  const std::string& target = options.target;
  struct stat st {};
  // A target that is only read is never made, and its size is what it has: the engine's own
  // open reports one that is not there.
  if (!kind.writes) {
    if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      return static_cast<uint64_t>(st.st_size);
    }
    const int64_t length = plat::FileLength(plat::FromUtf8(target));
    return length >= 0 ? static_cast<uint64_t>(length) : UnsizedTargetSize(kind, options);
  }
  if (stat(target.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      // Anything else the engine finds for itself and reports as an open failure.
      if (options.size) {
        status = UsageError(kind.name, Text(u"CliSizeForNewImage"));
        return std::nullopt;
      }
      return UnsizedTargetSize(kind, options);
    }
    if (IsUnderDev(target)) {
      Refuse(Text(u"CliNoSuchDevice", {target}));
      return std::nullopt;
    }
    uint64_t size = 0;
    if (options.size) {
      size = *options.size;
    } else if (!kind.needsFolder) {
      status = UsageError(kind.name, Text(u"CliImageNeedsSize", {target}));
      return std::nullopt;
    } else {
      size = DefaultImageSize(options.folder);
    }
    // No size to be had from the configuration: the engine's validation reports why.
    if (size == 0) return uint64_t{0};
    if (options.size && !SizeHoldsTheLayout(kind, options, size)) return std::nullopt;
    if (!SizeImage(target, size, true)) return std::nullopt;
    made = ImageMade::kCreated;
    return size;
  }

  if (S_ISREG(st.st_mode)) {
    if (st.st_size == 0 && !options.size && !kind.needsFolder) {
      status = UsageError(kind.name, Text(u"CliEmptyImageNeedsSize", {target}));
      return std::nullopt;
    }
    if (st.st_size == 0) {
      const uint64_t size = options.size ? *options.size : DefaultImageSize(options.folder);
      if (size == 0) return size;
      if (options.size && !SizeHoldsTheLayout(kind, options, size)) return std::nullopt;
      if (!SizeImage(target, size, false)) return std::nullopt;
      made = ImageMade::kSized;
      return size;
    }
    if (options.size && *options.size != static_cast<uint64_t>(st.st_size)) {
      status = UsageError(kind.name,
                          Text(u"CliImageHasSize", {target, std::to_string(st.st_size)}));
      return std::nullopt;
    }
    return static_cast<uint64_t>(st.st_size);
  }

  if (options.size) {
    status = UsageError(kind.name, Text(u"CliSizeForNewImage"));
    return std::nullopt;
  }
  if (!S_ISBLK(st.st_mode)) return UnsizedTargetSize(kind, options);

  BlockTarget block;
  if (!CheckBlockTarget(target, st, options, ReadDiskSnapshot(options.files), block)) {
    return std::nullopt;
  }
  if (!options.yes && !Confirm(kind, target, block)) return std::nullopt;
  const int64_t length = plat::FileLength(plat::FromUtf8(target));
  // A device that cannot be opened even to be measured: the engine's open says so.
  if (length < 0) return UnsizedTargetSize(kind, options);
  return static_cast<uint64_t>(length);
}

// One engine job with the reporter's callbacks; false when the engine could not be run.
// `refusal` says why the engine refused the job before writing (PLINTH_REFUSED_*). As one card
// of several, a writing job tells its parent how many bytes it wrote.
bool RunEngineJob(PlinthJob job, const char16_t* successKey, const std::u16string& folder,
                  const std::string& target, uint64_t diskSize, const PlinthJobOptions& options,
                  int statusFd, std::string& error, int32_t& refusal) {
  const bool verify = job == PlinthJob::kVerify || job == PlinthJob::kVerifyUpdate;
  job_reporter::Begin(successKey, isatty(STDOUT_FILENO) != 0, verify);
  const uint64_t before = job_reporter::BytesWrittenByProcess();
  const bool ran = RunPlinthJob(PlinthLibrary::DefaultPath(), job_reporter::Callbacks(), job,
                                folder, plat::FromUtf8(target), diskSize, &error, -1,
                                options, &refusal);
  job_reporter::End();
  if (statusFd >= 0 && !verify) {
    const std::string record =
        "W\t" + std::to_string(job_reporter::BytesWrittenByProcess() - before) + "\n";
    [[maybe_unused]] const ssize_t sent = write(statusFd, record.data(), record.size());
  }
  return ran;
}

volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

// One confirmation for every block device of the set.
bool ConfirmSet(const JobKind& kind, const std::vector<std::string>& devices) {
  std::string list;
  for (const std::string& device : devices) list += (list.empty() ? "" : ", ") + device;
  if (isatty(STDIN_FILENO) == 0) {
    Refuse(Text(u"CliNoTerminal", {kind.name, list}));
    return false;
  }
  if (!AskYes(Text(u"CliConfirmSet", {kind.name, std::to_string(devices.size()), list}))) {
    Refuse(Text(u"CliNothingWritten"));
    return false;
  }
  return true;
}

// The options a card's own process gets: the set has checked and confirmed already.
std::vector<std::string> CardArgs(const JobKind& kind, const JobOptions& options,
                                  const std::string& target) {
  std::vector<std::string> args = {kind.name};
  if (kind.writes) args.push_back("--yes");
  if (options.force) args.push_back("--force");
  if (options.verify) args.push_back("--verify");
  if (options.update) args.push_back("--update");
  if (options.wipe) args.push_back("--wipe");
  if (options.allowOutside) args.push_back("--allow-outside");
  if (options.size) args.push_back("--size=" + std::to_string(*options.size));
  if (kind.writes) {
    args.push_back("--sysfs=" + options.files.sysfs);
    args.push_back("--mountinfo=" + options.files.mountinfo);
    args.push_back("--swaps=" + options.files.swaps);
  }
  args.push_back("--");
  if (kind.needsFolder) args.push_back(options.folder);
  args.push_back(target);
  return args;
}

// What makes two targets the same card: the device number, the file, or for a file still to be
// made its name in its real folder.
std::string TargetIdentity(const std::string& target, const struct stat* st) {
  if (st != nullptr && S_ISBLK(st->st_mode)) return "dev:" + std::to_string(st->st_rdev);
  if (st != nullptr) return "file:" + std::to_string(st->st_dev) + ":" + std::to_string(st->st_ino);
  const size_t slash = target.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::unique_ptr<char, decltype(&std::free)> real(realpath(parent.c_str(), nullptr), &std::free);
  return "new:" + (real ? std::string(real.get()) : parent) + "/" + target.substr(slash + 1);
}

// Several targets (or a report): every card's job in a process of its own, all at once, after
// the safety checks and one confirmation for the whole set.
int RunCardSet(const JobKind& kind, const JobOptions& options) {
  std::vector<std::string> identities;
  std::vector<std::string> devices;
  const DiskSnapshot snapshot = ReadDiskSnapshot(options.files);
  for (const std::string& target : options.targets) {
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    const std::string identity = TargetIdentity(target, exists ? &st : nullptr);
    for (const std::string& seen : identities) {
      if (seen == identity) return UsageError(kind.name, Text(u"CliSameTargetTwice", {target}));
    }
    identities.push_back(identity);
    if (!kind.writes || !exists || !S_ISBLK(st.st_mode)) continue;
    BlockTarget block;
    if (!CheckBlockTarget(target, st, options, snapshot, block))
      return Refuse(Text(u"CliNothingWritten"));
    devices.push_back(target);
  }
  if (!devices.empty() && !options.yes && !ConfirmSet(kind, devices)) return kExitFailure;

  std::string folder;
  if (kind.needsFolder) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(options.folder.c_str(), nullptr),
                                                     &std::free);
    folder = real ? real.get() : options.folder;
  }
  CardSet set(folder, options.report);
  if (!set.OpenReport()) return kExitFailure;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, OnInterrupt);
  for (const std::string& target : options.targets) {
    set.Start(DescribeCard(target, options.files.sysfs, snapshot.devices), kind.name,
              options.verify || kind.job == PlinthJob::kVerify, CardArgs(kind, options, target));
  }
  bool told = false;
  while (set.Running() > 0) {
    set.Poll(200);
    if (interrupted != 0 && !told) {
      set.Say(Text(u"CliWaitingForJobs"));
      told = true;
    }
  }
  set.PrintSummary();
  for (const CardSet::Card& card : set.cards()) {
    if (!card.succeeded()) return kExitFailure;
  }
  return set.reportOk() ? kExitOk : kExitFailure;
}

int RunJob(const JobKind& kind, const std::vector<std::string>& args) {
  JobOptions options;
  std::vector<std::string> positional;
  ArgReader reader(args);
  bool optionsEnded = false;
  while (!reader.Done()) {
    if (optionsEnded || reader.Current().empty() || reader.Current()[0] != '-' ||
        reader.Current() == "-") {
      positional.push_back(reader.Current());
      reader.Flag(reader.Current());
      continue;
    }
    bool missing = false;
    std::string value;
    if (reader.Flag("-h") || reader.Flag("--help")) {
      return ShowCommandHelp(kind.name);
    }
    if (reader.Flag("--")) {
      optionsEnded = true;
    } else if (kind.writes && (reader.Flag("--yes") || reader.Flag("-y"))) {
      options.yes = true;
    } else if (kind.writes && reader.Flag("--force")) {
      options.force = true;
    } else if (kind.verifyJob && reader.Flag("--verify")) {
      options.verify = true;
    } else if (!kind.writes && reader.Flag("--update")) {
      options.update = true;
    } else if (kind.needsFolder && reader.Flag("--allow-outside")) {
      options.allowOutside = true;
    } else if (kind.job == PlinthJob::kRecover && reader.Flag("--wipe")) {
      options.wipe = true;
    } else if (reader.Option("--report", options.report, missing)) {
      if (missing || options.report.empty()) {
        return UsageError(kind.name, Text(u"CliNeedsValue", {"--report"}));
      }
    } else if (reader.Option("--status-fd", value, missing)) {
      // Not in the table: how a set hands one card to a process of its own.
      if (missing || value.empty() || value.find_first_not_of("0123456789") != std::string::npos) {
        return UsageError(kind.name, Text(u"CliUnknownOption", {"--status-fd"}));
      }
      options.statusFd = std::atoi(value.c_str());
    } else if (kind.writes && reader.Option("--size", value, missing)) {
      if (missing) return UsageError(kind.name, Text(u"CliNeedsValue", {reader.LastOption()}));
      uint64_t bytes = 0;
      if (!ParseSize(value, bytes)) {
        return UsageError(kind.name, Text(u"CliNotASize", {value}));
      }
      options.size = bytes;
    } else if (kind.writes && (reader.Option("--sysfs", options.files.sysfs, missing) ||
                               reader.Option("--mountinfo", options.files.mountinfo, missing) ||
                               reader.Option("--swaps", options.files.swaps, missing))) {
      if (missing) return UsageError(kind.name, Text(u"CliNeedsValue", {reader.LastOption()}));
    } else {
      return UsageError(kind.name, Text(u"CliUnknownOption", {reader.Current()}));
    }
  }
  const size_t wanted = kind.needsFolder ? 2 : 1;
  if (positional.size() < wanted) {
    return UsageError(kind.name, Text(kind.needsFolder ? u"CliGiveFolderAndTarget"
                                                       : u"CliGiveTarget"));
  }
  if (kind.needsFolder) options.folder = positional[0];
  options.targets.assign(positional.begin() + (kind.needsFolder ? 1 : 0), positional.end());
  for (const std::string& target : options.targets) {
    if (target.empty()) return UsageError(kind.name, Text(u"CliEmptyTarget"));
  }
  options.target = options.targets.front();
  if (options.statusFd >= 0 && (options.targets.size() > 1 || !options.report.empty())) {
    return UsageError(kind.name, Text(u"CliUnknownOption", {"--status-fd"}));
  }

  if (kind.needsFolder && !CheckFirmwareFolder(options.folder)) return kExitFailure;
  if (options.targets.size() > 1 || !options.report.empty()) return RunCardSet(kind, options);
  job_reporter::SetStatusFd(options.statusFd);
  int status = kExitFailure;
  ImageMade made = ImageMade::kNothing;
  const std::optional<uint64_t> diskSize = PrepareTarget(kind, options, status, made);
  if (!diskSize) return status;

  // A reader of the log that goes away (a pipe into head) must not kill the job halfway
  // through the disk: the job goes on, and the lost output fails the command at its end.
  signal(SIGPIPE, SIG_IGN);
  const PlinthJob job = options.update ? PlinthJob::kVerifyUpdate
                       : options.wipe ? PlinthJob::kRecoverWipe
                                      : kind.job;
  const std::u16string folder = plat::FromUtf8(options.folder);
  std::string error;
  PlinthJobOptions jobOptions;
  jobOptions.allowOutside = options.allowOutside;
  int32_t refusal = 0;
  const bool ran = RunEngineJob(job, kind.successKey, folder, options.target, *diskSize,
                                jobOptions, options.statusFd, error, refusal);
  if (!ran || !job_reporter::Succeeded()) {
    UndoImage(options.target, made);
    if (!ran) return Refuse(Text(u"CliCannotRunEngine", {error}));
    if ((refusal & PLINTH_REFUSED_OUTSIDE) != 0) {
      std::cerr << kProgramName << ": " << Text(u"CliAllowOutsideHint") << "\n";
    }
    return kExitFailure;
  }
  // The verify job reads the same target the job has just written.
  if (options.verify) {
    if (!RunEngineJob(*kind.verifyJob, kVerifySuccessKey, folder, options.target,
                      *diskSize, jobOptions, options.statusFd, error, refusal)) {
      return Refuse(Text(u"CliCannotRunEngine", {error}));
    }
    if (!job_reporter::Succeeded()) return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int RunWrite(const std::vector<std::string>& args) { return RunJob(kWrite, args); }
int RunUpdate(const std::vector<std::string>& args) { return RunJob(kUpdate, args); }
int RunRecover(const std::vector<std::string>& args) { return RunJob(kRecover, args); }
int RunVerify(const std::vector<std::string>& args) { return RunJob(kVerify, args); }
