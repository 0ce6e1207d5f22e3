// The engine's callbacks for brindle-cli: output lines on stdout in the window log's format,
// reports on stderr, and on a terminal one progress line rewritten in place. The engine's
// callbacks carry no context, so there is one reporter per process, used by one job at a time.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "PlinthBinding.h"

// Local time as "%Y%m%d-%H:%M:%S"; empty when it cannot be formatted.
std::string FormatTimestamp(std::time_t when);
// One log line: timestamp, three blanks, the text without its trailing line breaks.
std::string FormatLogLine(std::time_t when, const std::u16string& text);
// Hours, minutes and seconds with two digits each ("01:02:05", "100:00:00").
std::string FormatElapsed(uint64_t seconds);
// "812 KiB/s", "35.2 MiB/s", "1.05 GiB/s".
std::string FormatSpeed(double bytesPerSecond);

namespace job_reporter {

// Starts a job: `successKey` names the line that means success; `progress` turns the progress
// line on (stdout is a terminal); with `reads` its speed follows what the job reads from the
// devices instead of what it writes.
void Begin(const char16_t* successKey, bool progress, bool reads = false);
// Removes a progress line still shown.
void End();
// Sends the progress to the descriptor `fd` as well, for the process that runs this one as
// one card of several: "P", tab, percentage, tab, speed text (may be empty), tab, what is
// being copied, line feed. -1 turns it off.
void SetStatusFd(int fd);
// Bytes this process has handed to write calls so far.
uint64_t BytesWrittenByProcess();
// Whether the success line arrived.
bool Succeeded();
PlinthCallbacks Callbacks();

}  // namespace job_reporter
