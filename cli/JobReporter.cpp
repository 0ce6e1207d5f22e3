#include "JobReporter.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "CliCommon.h"
#include "LocalText.h"
#include "Platform.h"

std::string FormatTimestamp(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return {};
  char buffer[128];
  const size_t n = std::strftime(buffer, sizeof buffer, "%Y%m%d-%H:%M:%S", &local);
  return std::string(buffer, n);
}

std::string FormatLogLine(std::time_t when, const std::u16string& text) {
  std::string line = Utf8(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return FormatTimestamp(when) + "   " + line;
}

std::string FormatElapsed(uint64_t seconds) {
  const uint64_t h = seconds / 3600;
  const uint64_t m = seconds % 3600 / 60;
  const uint64_t s = seconds % 60;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%02llu:%02llu:%02llu", static_cast<unsigned long long>(h),
                static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
  return buffer;
}

std::string FormatSpeed(double bytesPerSecond) {
  static const char* const kUnits[] = {"B/s", "KiB/s", "MiB/s", "GiB/s", "TiB/s"};
  size_t unit = 0;
  double value = bytesPerSecond < 0 ? 0 : bytesPerSecond;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, value < 100 && unit > 0 ? "%.1f %s" : "%.0f %s", value,
                kUnits[unit]);
  return buffer;
}

namespace job_reporter {
namespace {

using Clock = std::chrono::steady_clock;

// Redrawing more often than this only costs the terminal time.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

struct State {
  const char* counter = "wchar:";  // the /proc/self/io line the speed follows
  std::u16string successLine;
  bool succeeded = false;
  bool progress = false;
  bool lineShown = false;     // a progress line is on the terminal now
  std::string headline;       // the copy tip's first text
  std::string lastOutput;     // the headline of a job that sends no copy tip (recover)
  int percent = -1;
  bool timing = false;
  Clock::time_point copyStart{};
  uint64_t bytesAtStart = 0;
  Clock::time_point lastDraw{};
  int drawnPercent = -1;
};

State state;
int statusFd = -1;

// Bytes this process has handed to write calls ("wchar"): the engine writes from this process,
// so the growth of the counter during a copy is what the copy wrote (the target, a temporary
// volume image). A verify job follows the bytes it had the devices read ("read_bytes"): the
// card's, read past the cache, and not the firmware files the cache already holds. The speed
// shown is that growth over the copy's elapsed time.
uint64_t ProcessCounter(const char* counter) {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == counter) return value;
  }
  return 0;
}

uint64_t BytesMoved() { return ProcessCounter(state.counter); }

size_t TerminalColumns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// Cut to `columns` characters, counting UTF-8 sequences as one each.
std::string Fit(const std::string& text, size_t columns) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (chars == columns) return text.substr(0, i);
    ++chars;
  }
  return text;
}

void Erase() {
  if (!state.lineShown) return;
  std::cout << "\r\x1b[K" << std::flush;
  state.lineShown = false;
}

void StartClock() {
  state.timing = true;
  state.copyStart = Clock::now();
  state.bytesAtStart = BytesMoved();
}

void SendStatus(const std::string& speed, const std::string& phase) {
  std::string record = "P\t" + std::to_string(state.percent) + "\t" + speed + "\t" + phase;
  for (char& c : record) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  record += '\n';
  // A parent that has gone away costs the job nothing.
  [[maybe_unused]] const ssize_t sent = write(statusFd, record.data(), record.size());
}

void Draw(bool force) {
  if ((!state.progress && statusFd < 0) || state.percent < 0) return;
  const Clock::time_point now = Clock::now();
  if (!force && state.percent == state.drawnPercent && now - state.lastDraw < kRedrawInterval) {
    return;
  }
  state.lastDraw = now;
  state.drawnPercent = state.percent;
  const double seconds =
      state.timing ? std::chrono::duration<double>(now - state.copyStart).count() : 0.0;
  const std::string phase = state.headline.empty() ? state.lastOutput : state.headline;
  std::string speed;
  if (state.timing && seconds >= 0.5) {
    speed = FormatSpeed(static_cast<double>(BytesMoved() - state.bytesAtStart) / seconds);
  }
  if (statusFd >= 0) SendStatus(speed, phase);
  if (!state.progress) return;
  std::string line = phase + "  " + std::to_string(state.percent) + "%";
  if (state.timing) {
    line += "  " + FormatElapsed(static_cast<uint64_t>(seconds));
    if (!speed.empty()) line += "  " + speed;
  }
  std::cout << "\r" << Fit(line, TerminalColumns() - 1) << "\x1b[K" << std::flush;
  state.lineShown = true;
}

void OnOutput(const char16_t* line) {
  const std::u16string text = line != nullptr ? line : u"";
  Erase();
  std::cout << FormatLogLine(std::time(nullptr), text) << "\n" << std::flush;
  // Without a catalogue every key is the bare line feed: no line can prove success then.
  if (text == state.successLine && state.successLine != u"\n") state.succeeded = true;
  std::string plain = Utf8(text);
  while (!plain.empty() && (plain.back() == '\n' || plain.back() == '\r')) plain.pop_back();
  state.lastOutput = plain;
}

void OnShowPro(int32_t showProgress, int32_t /*showCopyDetails*/) {
  if (showProgress == 0) {
    Erase();
    state.percent = -1;
    state.drawnPercent = -1;
  }
}

void OnSetProPos(int32_t percent) {
  if (!state.timing) StartClock();  // a job without the time callback (recover)
  state.percent = percent;
  Draw(false);
}

void OnSetCopyTip(const char16_t* t1, const char16_t*, const char16_t*, const char16_t*,
                  const char16_t*) {
  state.headline = t1 != nullptr ? Utf8(t1) : std::string();
}

void OnSetTime(int32_t running) {
  if (running != 0) {
    StartClock();
    state.percent = -1;
    state.drawnPercent = -1;
  } else {
    Draw(true);  // the final figures of the copy
    state.timing = false;
  }
}

void OnShowMsg(char16_t* text) {
  Erase();
  std::cout.flush();
  ShowErrorText(text != nullptr ? std::u16string(text) : std::u16string());
  std::cerr.flush();
  std::free(text);
}

}  // namespace

void Begin(const char16_t* successKey, bool progress, bool reads) {
  state = State{};
  if (reads) state.counter = "read_bytes:";
  state.successLine = LocalText(successKey, 1);
  state.progress = progress;
}

void End() { Erase(); }

bool Succeeded() { return state.succeeded; }

void SetStatusFd(int fd) { statusFd = fd; }

uint64_t BytesWrittenByProcess() { return ProcessCounter("wchar:"); }

PlinthCallbacks Callbacks() {
  PlinthCallbacks callbacks;
  callbacks.output = OnOutput;
  callbacks.showPro = OnShowPro;
  callbacks.setProPos = OnSetProPos;
  callbacks.setCopyTip = OnSetCopyTip;
  callbacks.setTime = OnSetTime;
  callbacks.showMsg = OnShowMsg;
  return callbacks;
}

}  // namespace job_reporter
