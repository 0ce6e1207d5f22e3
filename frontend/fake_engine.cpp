// A stand-in for libPlinth.so in the window tests. Every export writes one line to calls.txt
// in the folder named by BRINDLE_FAKE_ENGINE_DIR; a job export replays script.txt from that
// folder, one callback per line:
//   out TEXT | pos N | tip T1|T2|T3|T4|T5 ("-" is a null text) | msg TEXT
//   mark FILE (creates FILE) | wait FILE (returns when FILE exists)
//   refuse N (the job's refusal becomes N, unless files outside the folder were allowed)
// UseDiskHandle logs what the descriptor it gets is open on.
#include "Platform.h"
#include "plinth/Plinth.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#define FAKE_API __attribute__((visibility("default")))

namespace {

OutputFunc g_output;
ShowProFunc g_showPro;
SetProPosFunc g_setProPos;
SetCopyTipFunc g_setCopyTip;
ShowMsgFunc g_showMsg;
SetTimeFunc g_setTime;
int32_t g_allowOutside;
int32_t g_refusal;

std::string Path(const std::string& name) {
  const char* dir = std::getenv("BRINDLE_FAKE_ENGINE_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/" + name;
}

void Log(const std::string& line) {
  std::ofstream(Path("calls.txt"), std::ios::app) << line << "\n";
}

// The job's arguments as the log shows them: "folder|disk|size".
std::string Args(const char16_t* folder, const char16_t* disk, uint64_t size) {
  return plat::ToUtf8(folder) + "|" + plat::ToUtf8(disk) + "|" + std::to_string(size);
}

void Replay() {
  std::ifstream script(Path("script.txt"));
  // One operation a line; an empty argument must not take the next line.
  for (std::string line; std::getline(script, line);) {
    const size_t blank = line.find(' ');
    const std::string op = line.substr(0, blank);
    const std::string arg = blank == std::string::npos ? "" : line.substr(blank + 1);
    const std::u16string text = plat::FromUtf8(arg);
    if (op == "out") {
      g_output((text + u"\n").c_str());
    } else if (op == "pos") {
      g_setProPos(std::atoi(arg.c_str()));
    } else if (op == "tip") {
      std::vector<std::u16string> parts;
      std::istringstream in(arg);
      for (std::string part; std::getline(in, part, '|');) parts.push_back(plat::FromUtf8(part));
      parts.resize(5, u"-");
      auto at = [&](int i) { return parts[i] == u"-" ? nullptr : parts[i].c_str(); };
      g_setCopyTip(at(0), at(1), at(2), at(3), at(4));
    } else if (op == "msg") {
      const size_t bytes = (text.size() + 1) * sizeof(char16_t);
      g_showMsg(static_cast<char16_t*>(std::memcpy(std::malloc(bytes), text.c_str(), bytes)));
    } else if (op == "refuse") {
      if (g_allowOutside == 0) g_refusal = std::atoi(arg.c_str());
    } else if (op == "mark") {
      std::ofstream(Path(arg)) << "1";
    } else if (op == "wait") {
      while (access(Path(arg).c_str(), F_OK) != 0) usleep(2000);
    }
  }
}

// A job's options hold for that job only.
void RunJob() {
  g_refusal = 0;
  Replay();
  g_allowOutside = 0;
}

}  // namespace

extern "C" {

#define FAKE_INIT(Name, Type, slot) \
  FAKE_API Type Name(Type fn) {     \
    Log(#Name);                     \
    return slot = fn;               \
  }
FAKE_INIT(InitOutputFunc, OutputFunc, g_output)
FAKE_INIT(InitShowProFunc, ShowProFunc, g_showPro)
FAKE_INIT(InitSetProPosFunc, SetProPosFunc, g_setProPos)
FAKE_INIT(InitSetCopyTipFunc, SetCopyTipFunc, g_setCopyTip)
FAKE_INIT(InitShowMsgFunc, ShowMsgFunc, g_showMsg)
FAKE_INIT(InitSetTimeFunc, SetTimeFunc, g_setTime)

FAKE_API void SetJobOption(int32_t option, int32_t value) {
  Log("SetJobOption " + std::to_string(option) + " " + std::to_string(value));
  if (option == PLINTH_OPTION_ALLOW_OUTSIDE) g_allowOutside = value;
}

FAKE_API int32_t GetJobRefusal(void) { return g_refusal; }

FAKE_API void MakeDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize) {
  Log("MakeDisk " + Args(folder, diskPath, diskSize));
  RunJob();
}

FAKE_API void UpdateDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize) {
  Log("UpdateDisk " + Args(folder, diskPath, diskSize));
  RunJob();
}

FAKE_API void VerifyDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize,
                         int32_t mode) {
  Log("VerifyDisk " + Args(folder, diskPath, diskSize) + "|" + std::to_string(mode));
  Replay();
}

// Logs the descriptor's target, so tests see which open file the engine was handed.
FAKE_API int32_t UseDiskHandle(const char16_t* diskPath, int32_t fd) {
  std::error_code closed;
  const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), closed);
  Log("UseDiskHandle " + plat::ToUtf8(diskPath) + "|" + (closed ? "closed" : target.string()));
  return 1;
}

FAKE_API void RemovePartitionsInPlace(const char16_t* diskPath, uint64_t diskSize,
                                      int32_t options) {
  Log("RemovePartitionsInPlace " + plat::ToUtf8(diskPath) + "|" + std::to_string(diskSize) +
      "|" + std::to_string(options));
  Replay();
}

}  // extern "C"
