#include "CardSet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

#include "CliCommon.h"
#include "DiskParse.h"
#include "DiskSource.h"
#include "JobReporter.h"
#include "Platform.h"
#include "TextUtil.h"

namespace {

using Clock = std::chrono::steady_clock;

// The child's descriptor for its progress records.
constexpr int kStatusFd = 3;
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
enum Stream { kOut = 0, kErr = 1, kStatus = 2 };

std::string SelfPath() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

size_t TerminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The first `columns` characters of UTF-8 text, padded with blanks to that many.
std::string Column(const std::string& text, size_t columns) {
  std::string out;
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool lead = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (lead && chars == columns) break;
    if (lead) ++chars;
    out += text[i];
  }
  out.append(columns - chars, ' ');
  return out;
}

// A log line without its timestamp ("20261207-10:00:00   text").
std::string LogText(const std::string& line) {
  constexpr size_t kStampWidth = 20;
  return line.size() > kStampWidth && line.compare(17, 3, "   ") == 0 ? line.substr(kStampWidth)
                                                                       : line;
}

bool WriteWhole(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string FindSerial(const std::string& sysfsRoot, const std::string& devicePath) {
  if (devicePath.empty()) return {};
  std::string dir = devicePath[0] == '/' ? devicePath : sysfsRoot + "/" + devicePath;
  while (dir.size() > sysfsRoot.size() && dir.compare(0, sysfsRoot.size(), sysfsRoot) == 0) {
    const std::optional<std::string> serial = SysfsReader::ReadAttribute(dir + "/serial", 256);
    if (serial && !CleanModelText(*serial).empty()) return CleanModelText(*serial);
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos) break;
    dir.resize(slash);
  }
  return {};
}

CardInfo DescribeCard(const std::string& target, const std::string& sysfsRoot,
                      const std::vector<RawBlockDevice>& devices) {
  CardInfo card;
  card.target = target;
  struct stat st {};
  if (stat(target.c_str(), &st) != 0) return card;
  if (!S_ISBLK(st.st_mode)) {
    card.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return card;
  }
  card.block = true;
  const std::string dev =
      std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  for (const RawBlockDevice& disk : devices) {
    if (disk.dev != dev) continue;
    card.size = ParseSectorCount(disk.size);
    if (disk.backingFile) {
      card.model = *disk.backingFile;
    } else {
      card.vendor = CleanModelText(disk.vendor);
      card.model = CleanModelText(disk.model.empty() ? disk.cardName : disk.model);
      card.serial = FindSerial(sysfsRoot, disk.devicePath);
    }
    break;
  }
  return card;
}

std::string ReportLine(const CardRecord& r) {
  std::tm utc{};
  char when[64] = "";
  if (gmtime_r(&r.when, &utc) != nullptr)
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
  const CardInfo& c = r.card;
  return std::string("{\"time\":") + JsonString(when) +
         ",\"device\":" + JsonString(ValidUtf8(c.target)) +
         ",\"vendor\":" + JsonString(ValidUtf8(c.vendor)) +
         ",\"model\":" + JsonString(ValidUtf8(c.model)) +
         ",\"serial\":" + (c.serial.empty() ? "null" : JsonString(ValidUtf8(c.serial))) +
         ",\"size\":" + std::to_string(c.size) +
         ",\"firmware\":" + (r.folder.empty() ? "null" : JsonString(ValidUtf8(r.folder))) +
         ",\"job\":" + JsonString(r.job) +
         ",\"result\":" + JsonString(r.succeeded ? "succeeded" : "failed") +
         ",\"seconds\":" + seconds + ",\"bytes_written\":" + std::to_string(r.bytesWritten) +
         ",\"verified\":" + (r.verified ? "true" : "false") + "}\n";
}

CardSet::CardSet(std::string folder, std::string reportPath)
    : folder_(std::move(folder)),
      reportPath_(std::move(reportPath)),
      terminal_(isatty(STDOUT_FILENO) != 0) {}

CardSet::~CardSet() {
  for (Card& card : cards_) {
    for (int& fd : card.fds) {
      if (fd >= 0) close(fd);
    }
    // Jobs still running are left to finish: a card cut off halfway is worse than a late one.
    if (card.running) waitpid(card.pid, nullptr, 0);
  }
  if (reportFd_ >= 0) close(reportFd_);
}

bool CardSet::OpenReport() {
  if (reportPath_.empty()) return true;
  reportFd_ = open(reportPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (reportFd_ < 0) {
    std::cerr << kProgramName << ": "
              << Text(u"CliCannotOpenReport", {reportPath_, std::strerror(errno)}) << "\n";
    return false;
  }
  return true;
}

bool CardSet::Start(const CardInfo& info, const std::string& job, bool verify,
                    const std::vector<std::string>& args) {
  Card card;
  card.info = info;
  card.job = job;
  card.verify = verify;
  card.start = Clock::now();
  card.phase = Text(u"CliCardStarting");
  int pipes[3][2];
  int made = 0;
  for (; made < 3; ++made) {
    if (pipe2(pipes[made], O_CLOEXEC) != 0) break;
  }
  const std::string self = SelfPath();
  pid_t pid = -1;
  if (made == 3 && !self.empty()) pid = fork();
  if (pid == 0) {
    // The child: the card's own job; Ctrl-C is for the set, which lets running jobs finish.
    signal(SIGINT, SIG_IGN);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0 || dup2(pipes[kOut][1], STDOUT_FILENO) < 0 ||
        dup2(pipes[kErr][1], STDERR_FILENO) < 0 || dup2(pipes[kStatus][1], kStatusFd) < 0) {
      _exit(127);
    }
    std::vector<std::string> all = {self};
    all.push_back(args.front());
    all.push_back("--status-fd=" + std::to_string(kStatusFd));
    all.insert(all.end(), args.begin() + 1, args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(self.c_str(), argv.data());
    _exit(127);
  }
  for (int i = 0; i < made; ++i) {
    close(pipes[i][1]);
    if (pid > 0) {
      card.fds[i] = pipes[i][0];
    } else {
      close(pipes[i][0]);
    }
  }
  cards_.push_back(card);
  if (pid < 0) {
    Say(Text(u"CliCannotStartJob", {info.target, std::strerror(errno)}));
    Finish(cards_.back(), kExitFailure);
    return false;
  }
  cards_.back().pid = pid;
  cards_.back().running = true;
  if (!terminal_) Say(Text(u"CliCardStarted", {info.target}));
  Draw(true);
  return true;
}

size_t CardSet::Running() const {
  size_t n = 0;
  for (const Card& card : cards_) n += card.running ? 1 : 0;
  return n;
}

void CardSet::MarkRemoved(const std::string& target) {
  for (Card& card : cards_) {
    if (card.running && card.info.target == target) card.removed = true;
  }
}

void CardSet::Clear() {
  if (!terminal_ || drawn_ == 0) return;
  std::cout << "\x1b[" << drawn_ << "A\r\x1b[J" << std::flush;
  drawn_ = 0;
}

void CardSet::Pause() { Clear(); }

void CardSet::Say(const std::string& line) {
  if (terminal_) {
    Clear();
    std::cout << line << "\n";
    Draw(true);
  } else {
    std::cerr << kProgramName << ": " << line << "\n" << std::flush;
  }
}

std::string CardSet::LiveLine(const Card& card) const {
  std::string model = card.info.vendor;
  if (!model.empty() && !card.info.model.empty()) model += ' ';
  model += card.info.model;
  std::string result;
  if (card.running) {
    result = card.removed ? Text(u"CliCardRemoved") : Text(u"CliCardRunning");
  } else {
    result = card.succeeded() ? Text(u"CliCardSucceeded") : Text(u"CliCardFailed");
  }
  const std::string percent = card.percent >= 0 ? std::to_string(card.percent) + "%" : "";
  // The phase takes what the terminal has left after the other columns.
  constexpr size_t kDevice = 12, kModel = 14, kPercent = 4, kSpeed = 10, kResult = 10;
  const size_t others = kDevice + kModel + kPercent + kSpeed + kResult + 5;
  const size_t columns = TerminalColumns() - 1;
  const size_t phase = columns > others + 10 ? columns - others : 10;
  return Column(card.info.target, kDevice) + " " + Column(model, kModel) + " " +
         Column(card.phase, phase) + " " + Column(percent, kPercent) + " " +
         Column(card.speed, kSpeed) + " " + result;
}

void CardSet::Draw(bool force) {
  if (!terminal_) return;
  const Clock::time_point now = Clock::now();
  if (!force && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  const size_t columns = TerminalColumns() - 1;
  std::string out;
  if (drawn_ > 0) out += "\x1b[" + std::to_string(drawn_) + "A";
  for (const Card& card : cards_) {
    std::string line = LiveLine(card);
    // Cut to the terminal so that each card takes exactly one line.
    size_t chars = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
      if (chars++ == columns) {
        line.resize(i);
        break;
      }
    }
    out += "\r" + line + "\x1b[K\n";
  }
  std::cout << out << std::flush;
  drawn_ = cards_.size();
}

void CardSet::HandleLine(Card& card, int stream, const std::string& line) {
  if (stream == kStatus) {
    // "P\tpercent\tspeed\tphase" while copying; "W\tbytes" after each writing job.
    const size_t a = line.find('\t');
    if (a == std::string::npos) return;
    const std::string kind = line.substr(0, a);
    if (kind == "W") {
      card.bytesWritten += std::strtoull(line.c_str() + a + 1, nullptr, 10);
      return;
    }
    const size_t b = line.find('\t', a + 1);
    const size_t c = b == std::string::npos ? b : line.find('\t', b + 1);
    if (kind != "P" || c == std::string::npos) return;
    card.percent = std::atoi(line.c_str() + a + 1);
    card.speed = line.substr(b + 1, c - b - 1);
    card.phase = line.substr(c + 1);
    return;
  }
  if (stream == kOut) {
    card.phase = LogText(line);
    card.percent = -1;
    card.speed.clear();
  }
  if (!terminal_) {
    (stream == kOut ? std::cout : std::cerr) << card.info.target << ": " << line << "\n"
                                             << std::flush;
  } else if (stream == kErr) {
    Say(card.info.target + ": " + line);
  }
}

void CardSet::ReadFrom(Card& card, int stream) {
  char buffer[4096];
  const ssize_t n = read(card.fds[stream], buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    close(card.fds[stream]);
    card.fds[stream] = -1;
    if (!card.pending[stream].empty()) HandleLine(card, stream, card.pending[stream]);
    card.pending[stream].clear();
    return;
  }
  std::string& pending = card.pending[stream];
  pending.append(buffer, static_cast<size_t>(n));
  size_t start = 0;
  for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
    HandleLine(card, stream, pending.substr(start, nl - start));
  }
  pending.erase(0, start);
}

void CardSet::Finish(Card& card, int status) {
  card.running = false;
  card.status = status;
  card.seconds = std::chrono::duration<double>(Clock::now() - card.start).count();
  card.percent = -1;
  card.speed.clear();
  // An image file has its size once the job made it.
  if (!card.info.block) card.info.size = DescribeCard(card.info.target, {}, {}).size;
  if (!terminal_) {
    Say(Text(card.succeeded() ? u"CliCardEndedOk" : u"CliCardEndedFailed", {card.info.target}));
  }
  if (reportFd_ < 0) return;
  CardRecord record;
  record.when = std::time(nullptr);
  record.card = card.info;
  record.folder = folder_;
  record.job = card.job;
  record.succeeded = card.succeeded();
  record.seconds = card.seconds;
  record.bytesWritten = card.bytesWritten;
  record.verified = card.verify && card.succeeded();
  if (!WriteWhole(reportFd_, ReportLine(record))) {
    reportOk_ = false;
    Say(Text(u"CliCannotWriteReport", {reportPath_, std::strerror(errno)}));
  }
}

std::vector<size_t> CardSet::Poll(int ms) {
  std::vector<pollfd> fds;
  std::vector<std::pair<size_t, int>> owners;
  for (size_t i = 0; i < cards_.size(); ++i) {
    for (int s = 0; s < 3; ++s) {
      if (cards_[i].fds[s] < 0) continue;
      fds.push_back({cards_[i].fds[s], POLLIN, 0});
      owners.emplace_back(i, s);
    }
  }
  if (!fds.empty()) {
    const int ready = poll(fds.data(), fds.size(), ms);
    for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
      if (fds[k].revents != 0) ReadFrom(cards_[owners[k].first], owners[k].second);
    }
  } else if (ms > 0) {
    poll(nullptr, 0, ms);
  }
  std::vector<size_t> ended;
  for (size_t i = 0; i < cards_.size(); ++i) {
    Card& card = cards_[i];
    // A job has ended once its output is all read and its process is gone.
    if (!card.running || card.fds[kOut] >= 0 || card.fds[kErr] >= 0 || card.fds[kStatus] >= 0) {
      continue;
    }
    int wstatus = 0;
    const pid_t done = waitpid(card.pid, &wstatus, 0);
    const int status = done == card.pid && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : kExitFailure;
    if (status == 0 && present_ && !present_(card.info)) card.removed = true;
    Finish(card, status);
    ended.push_back(i);
  }
  Draw(!ended.empty());
  return ended;
}

void CardSet::PrintSummary() {
  Clear();
  std::vector<std::vector<std::string>> rows = {
      {Text(u"CliColDevice"), Text(u"CliColModel"), Text(u"CliColJob"), Text(u"CliColResult"),
       Text(u"CliColTime")}};
  size_t good = 0;
  std::string failed;
  for (const Card& card : cards_) {
    std::string model = card.info.vendor;
    if (!model.empty() && !card.info.model.empty()) model += ' ';
    model += card.info.model;
    const bool ok = card.succeeded();
    good += ok ? 1 : 0;
    if (!ok) failed += (failed.empty() ? "" : ", ") + card.info.target;
    rows.push_back({ValidUtf8(card.info.target), ValidUtf8(model), card.job,
                    ok ? Text(u"CliCardSucceeded")
                       : Text(card.removed ? u"CliCardRemoved" : u"CliCardFailed"),
                    FormatElapsed(static_cast<uint64_t>(card.seconds + 0.5))});
  }
  PrintTable(std::cout, rows);
  std::cout << (failed.empty()
                    ? Text(u"CliSetAllGood", {std::to_string(good)})
                    : Text(u"CliSetSomeFailed", {std::to_string(good),
                                                 std::to_string(cards_.size()), ValidUtf8(failed)}))
            << "\n"
            << std::flush;
}
