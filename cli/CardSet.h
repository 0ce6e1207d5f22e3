// Several cards at once: each card's job runs in a brindle-cli child process of its own (the
// engine keeps one job per loaded library, and a failing card must not disturb the others).
// The set shows one live line per card on a terminal, or each child's lines prefixed with its
// target, a summary table at the end, and appends one JSON line per card to a report file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "DiskSource.h"

// What the report and the live line say about a target.
struct CardInfo {
  std::string target;  // the path the job writes
  std::string vendor;
  std::string model;   // a loop device's image file
  std::string serial;  // empty when the system shows none
  uint64_t size = 0;   // bytes
  bool block = false;
};

// The card behind `target`: a block device described from the disks found under the sysfs root
// (by its device number), or an image file with its size.
CardInfo DescribeCard(const std::string& target, const std::string& sysfsRoot,
                      const std::vector<RawBlockDevice>& devices);

// The serial number sysfs shows for a disk: the first "serial" attribute on the way up from its
// device folder (an SD card's own, or the USB reader's). Empty when there is none.
std::string FindSerial(const std::string& sysfsRoot, const std::string& devicePath);

// One report line. `when` is the end of the job; `folder` empty for a recover job.
struct CardRecord {
  std::time_t when = 0;
  CardInfo card;
  std::string folder;
  std::string job;
  bool succeeded = false;
  double seconds = 0;
  uint64_t bytesWritten = 0;
  bool verified = false;
};
std::string ReportLine(const CardRecord& record);

class CardSet {
 public:
  struct Card {
    CardInfo info;
    std::string job;
    bool verify = false;
    pid_t pid = -1;
    int fds[3] = {-1, -1, -1};  // stdout, stderr, status
    std::string pending[3];     // an unfinished line of each
    std::string phase;
    int percent = -1;
    std::string speed;
    std::chrono::steady_clock::time_point start{};
    double seconds = 0;
    uint64_t bytesWritten = 0;
    bool running = false;
    bool removed = false;  // the card went away while its job ran: never good
    int status = -1;
    bool succeeded() const { return !running && status == 0 && !removed; }
  };

  // `folder` is what the report names (absolute); `reportPath` empty for no report.
  CardSet(std::string folder, std::string reportPath);
  ~CardSet();
  CardSet(const CardSet&) = delete;
  CardSet& operator=(const CardSet&) = delete;

  // Opens the report file for appending; false (with a message on stderr) when it cannot be.
  bool OpenReport();
  // Runs `brindle-cli ARGS` for the card, its progress sent back on a pipe. False when the
  // process could not be started (the card then counts as failed).
  bool Start(const CardInfo& card, const std::string& job, bool verify,
             const std::vector<std::string>& args);
  // Waits up to `ms` for the jobs' output and shows it; returns the indexes of cards whose
  // jobs ended, with their report lines written.
  std::vector<size_t> Poll(int ms);
  size_t Running() const;
  // The card's disk went away: a job still running on it ends as failed.
  void MarkRemoved(const std::string& target);
  // Asked when a job ends well: false when its card is no longer there, so it counts as failed.
  void SetPresenceCheck(std::function<bool(const CardInfo&)> check) { present_ = std::move(check); }
  // A line of the set's own, above the live lines (on stderr without a terminal).
  void Say(const std::string& line);
  // Stops drawing live lines (before a question on the terminal); the next Poll draws again.
  void Pause();

  const std::vector<Card>& cards() const { return cards_; }
  // The summary table and the count line on stdout.
  void PrintSummary();
  // False when a report line could not be written.
  bool reportOk() const { return reportOk_; }

 private:
  void ReadFrom(Card& card, int stream);
  void HandleLine(Card& card, int stream, const std::string& line);
  void Finish(Card& card, int status);
  void Draw(bool force);
  void Clear();
  std::string LiveLine(const Card& card) const;

  std::string folder_;
  std::string reportPath_;
  int reportFd_ = -1;
  bool reportOk_ = true;
  bool terminal_;
  std::vector<Card> cards_;
  std::function<bool(const CardInfo&)> present_;
  size_t drawn_ = 0;  // live lines on the terminal now
  std::chrono::steady_clock::time_point lastDraw_{};
};
