// brindle-cli station: a production line's loop. Watches sysfs for removable disks, writes each
// new card in a process of its own (the same job as brindle-cli write), and goes on until enough
// cards are good or Ctrl-C.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CardSet.h"
#include "CliCommon.h"
#include "Commands.h"
#include "DiskParse.h"
#include "DiskSource.h"
#include "JobTarget.h"
#include "Platform.h"

namespace {

constexpr int kScanIntervalMs = 500;
// The partition table and its signature in the first sector.
constexpr off_t kTableOffset = 446;
constexpr size_t kTableBytes = 66;

volatile std::sig_atomic_t stopRequested = 0;
void OnInterrupt(int) { stopRequested = 1; }

struct StationOptions {
  std::string folder;
  std::string report;
  uint64_t count = 0;  // 0: until stopped
  bool verify = false;
  bool includePresent = false;
  SystemFiles files;
};

// A card as it was when it arrived, and what tells it apart from another one.
struct Arrival {
  std::string dev;  // "major:minor"
  CardInfo info;
  bool eligible = false;
  std::string refusal;
};

std::string ReadTable(const std::string& node) {
  const int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string table(kTableBytes, '\0');
  const ssize_t n = pread(fd, table.data(), table.size(), kTableOffset);
  close(fd);
  return n == static_cast<ssize_t>(kTableBytes) ? table : std::string();
}

// The disks a person could plug in, by kernel name: removable or on USB, with media in them.
std::map<std::string, Arrival> Scan(const SystemFiles& files) {
  std::map<std::string, Arrival> found;
  for (const RawBlockDevice& disk : SysfsReader(files.sysfs).ReadBlockDevices()) {
    if (!IsCandidateDisk(disk) || ParseSectorCount(disk.size) == 0) continue;
    if (disk.removable != "1" && GetDiskType(disk) == 0) continue;
    Arrival arrival;
    arrival.dev = disk.dev;
    arrival.info.target = "/dev/" + disk.name;
    arrival.info.block = true;
    arrival.info.size = ParseSectorCount(disk.size);
    arrival.info.vendor = CleanModelText(disk.vendor);
    arrival.info.model = CleanModelText(disk.model.empty() ? disk.cardName : disk.model);
    arrival.info.serial = FindSerial(files.sysfs, disk.devicePath);
    arrival.eligible = disk.readOnly != "1";
    if (!arrival.eligible) arrival.refusal = Text(u"DiskReadOnly") + disk.name;
    found.emplace(disk.name, arrival);
  }
  return found;
}

// A card already written in this run: the same serial, or without one the same model, size
// and partition table.
struct Written {
  CardInfo info;
  std::string table;
};

bool WrittenBefore(const std::vector<Written>& written, const CardInfo& card,
                   const std::string& table) {
  for (const Written& w : written) {
    if (!card.serial.empty() || !w.info.serial.empty()) {
      if (card.serial == w.info.serial) return true;
      continue;
    }
    if (card.model == w.info.model && card.vendor == w.info.vendor && card.size == w.info.size &&
        !table.empty() && table == w.table) {
      return true;
    }
  }
  return false;
}

bool AskAgain(CardSet& set, const CardInfo& card) {
  if (isatty(STDIN_FILENO) == 0) {
    set.Say(Text(u"CliStationSkipped", {card.target}));
    return false;
  }
  set.Pause();
  std::string model = card.vendor + (card.vendor.empty() ? "" : " ") + card.model;
  if (!card.serial.empty()) model += ", " + card.serial;
  return AskYes(Text(u"CliStationAgain", {card.target, ValidUtf8(model)}));
}

std::vector<std::string> WriteArgs(const StationOptions& options, const std::string& node) {
  std::vector<std::string> args = {"write", "--yes"};
  if (options.verify) args.push_back("--verify");
  args.push_back("--sysfs=" + options.files.sysfs);
  args.push_back("--mountinfo=" + options.files.mountinfo);
  args.push_back("--swaps=" + options.files.swaps);
  args.insert(args.end(), {"--", options.folder, node});
  return args;
}

int RunStationLoop(const StationOptions& options) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(options.folder.c_str(), nullptr),
                                                   &std::free);
  CardSet set(real ? real.get() : options.folder, options.report);
  if (!set.OpenReport()) return kExitFailure;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, OnInterrupt);
  signal(SIGTERM, OnInterrupt);

  std::map<std::string, Arrival> present;
  if (!options.includePresent) {
    present = Scan(options.files);
    for (const auto& [name, arrival] : present) {
      set.Say(Text(u"CliStationIgnored", {arrival.info.target}));
    }
  }
  // A card that went away before its job ended is never counted good, even if the job did.
  set.SetPresenceCheck([&](const CardInfo& card) {
    for (const auto& [name, arrival] : Scan(options.files)) {
      if (arrival.info.target == card.target) return true;
    }
    return false;
  });

  std::vector<Written> written;
  uint64_t good = 0;
  bool stopping = false;
  bool idle = true;
  set.Say(Text(u"CliStationWaiting", {"0"}));
  while (true) {
    if (stopRequested != 0 && !stopping) {
      stopping = true;
      set.Say(Text(u"CliStationStopping"));
    }
    if (options.count != 0 && good >= options.count) stopping = true;
    if (stopping && set.Running() == 0) break;

    const std::map<std::string, Arrival> now = Scan(options.files);
    for (auto it = present.begin(); it != present.end();) {
      const auto still = now.find(it->first);
      if (still == now.end() || still->second.dev != it->second.dev) {
        set.MarkRemoved(it->second.info.target);
        it = present.erase(it);
      } else {
        ++it;
      }
    }
    for (const auto& [name, arrival] : now) {
      if (present.count(name) != 0) continue;
      present.emplace(name, arrival);
      if (stopping) continue;
      if (!arrival.eligible) {
        set.Say(Text(u"CliStationRefused", {arrival.info.target, arrival.refusal}));
        continue;
      }
      const std::vector<SystemUse> uses = SystemUsesOfDisk(name, options.files);
      if (!uses.empty()) {
        set.Say(
            Text(u"CliStationRefused", {arrival.info.target, plat::ToUtf8(SystemUseText(uses))}));
        continue;
      }
      if (WrittenBefore(written, arrival.info, ReadTable(arrival.info.target)) &&
          !AskAgain(set, arrival.info)) {
        continue;
      }
      set.Start(arrival.info, "write", options.verify, WriteArgs(options, arrival.info.target));
      idle = false;
    }

    for (const size_t index : set.Poll(kScanIntervalMs)) {
      const CardSet::Card& card = set.cards()[index];
      if (!card.succeeded()) continue;
      ++good;
      written.push_back({card.info, ReadTable(card.info.target)});
      set.Say(Text(u"CliStationRemove", {card.info.target, std::to_string(good)}));
    }
    if (!idle && set.Running() == 0 && !stopping &&
        (options.count == 0 || good < options.count)) {
      set.Say(Text(u"CliStationWaiting", {std::to_string(good)}));
      idle = true;
    }
  }
  if (!set.cards().empty()) set.PrintSummary();
  for (const CardSet::Card& card : set.cards()) {
    if (!card.succeeded()) return kExitFailure;
  }
  return set.reportOk() ? kExitOk : kExitFailure;
}

}  // namespace

int RunStation(const std::vector<std::string>& args) {
  StationOptions options;
  std::vector<std::string> positional;
  ArgReader reader(args);
  while (!reader.Done()) {
    const std::string& arg = reader.Current();
    if (arg.empty() || arg[0] != '-' || arg == "-") {
      positional.push_back(arg);
      reader.Flag(arg);
      continue;
    }
    bool missing = false;
    std::string value;
    if (reader.Flag("-h") || reader.Flag("--help")) return ShowCommandHelp("station");
    if (reader.Flag("--verify")) {
      options.verify = true;
    } else if (reader.Flag("--include-present")) {
      options.includePresent = true;
    } else if (reader.Option("--count", value, missing)) {
      if (missing) return UsageError("station", Text(u"CliNeedsValue", {"--count"}));
      char* end = nullptr;
      const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
      if (value.empty() || value[0] == '-' || *end != '\0' || n == 0) {
        return UsageError("station", Text(u"CliNotACount", {value}));
      }
      options.count = n;
    } else if (reader.Option("--report", options.report, missing) ||
               reader.Option("--sysfs", options.files.sysfs, missing) ||
               reader.Option("--mountinfo", options.files.mountinfo, missing) ||
               reader.Option("--swaps", options.files.swaps, missing)) {
      if (missing) return UsageError("station", Text(u"CliNeedsValue", {reader.LastOption()}));
    } else {
      return UsageError("station", Text(u"CliUnknownOption", {arg}));
    }
  }
  if (positional.size() != 1 || positional[0].empty()) {
    return UsageError("station", Text(u"CliGiveFolder"));
  }
  options.folder = positional[0];
  if (!CheckFirmwareFolder(options.folder)) return kExitFailure;
  return RunStationLoop(options);
}
