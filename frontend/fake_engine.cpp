// A stand-in for libPlinth.so in the window tests. Every export writes one line to calls.txt
// in the folder named by BRINDLE_FAKE_ENGINE_DIR; a job export replays script.txt from that
// folder, one callback per line:
//   out TEXT | pro A B | pos N | tip T1|T2|T3|T4|T5 ("-" is a null text) | time N | msg TEXT
//   mark FILE (creates FILE) | wait FILE (returns when FILE exists)
//   refuse N (the job's refusal becomes N, unless files outside the folder were allowed)
// UseDiskHandle logs what the descriptor it gets is open on.
#include "plinth/Plinth.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

std::string Dir() {
  const char* dir = std::getenv("BRINDLE_FAKE_ENGINE_DIR");
  return dir != nullptr ? dir : ".";
}

bool Exists(const std::string& name) { return access((Dir() + "/" + name).c_str(), F_OK) == 0; }

void Log(const std::string& line) {
  std::ofstream(Dir() + "/calls.txt", std::ios::app) << line << "\n";
}

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) {
    const char16_t c = *text;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Wide(const std::string& text) {
  // The scripts are ASCII.
  return std::u16string(text.begin(), text.end());
}

void Replay() {
  std::ifstream script(Dir() + "/script.txt");
  std::string line;
  while (std::getline(script, line)) {
    const size_t blank = line.find(' ');
    const std::string op = line.substr(0, blank);
    const std::string arg = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (op == "out") {
      g_output(Wide(arg + "\n").c_str());
    } else if (op == "pro") {
      int a = 0, b = 0;
      std::istringstream(arg) >> a >> b;
      g_showPro(a, b);
    } else if (op == "pos") {
      g_setProPos(std::atoi(arg.c_str()));
    } else if (op == "time") {
      g_setTime(std::atoi(arg.c_str()));
    } else if (op == "tip") {
      std::vector<std::u16string> parts;
      std::vector<bool> null;
      std::istringstream in(arg);
      std::string part;
      while (std::getline(in, part, '|')) {
        null.push_back(part == "-");
        parts.push_back(Wide(part));
      }
      parts.resize(5);
      null.resize(5, true);
      auto at = [&](int i) { return null[i] ? nullptr : parts[i].c_str(); };
      g_setCopyTip(at(0), at(1), at(2), at(3), at(4));
    } else if (op == "msg") {
      const std::u16string text = Wide(arg);
      auto* copy = static_cast<char16_t*>(std::malloc((text.size() + 1) * sizeof(char16_t)));
      std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(char16_t));
      g_showMsg(copy);
    } else if (op == "refuse") {
      if (g_allowOutside == 0) g_refusal = std::atoi(arg.c_str());
    } else if (op == "mark") {
      std::ofstream(Dir() + "/" + arg) << "1";
    } else if (op == "wait") {
      while (!Exists(arg)) usleep(2000);
    }
  }
}

// A job's options hold for that job only.
void RunJob() {
  g_refusal = 0;
  Replay();
  g_allowOutside = 0;
}

std::string Pointer(const void* fn) { return fn != nullptr ? "set" : "null"; }

}  // namespace

extern "C" {

FAKE_API OutputFunc InitOutputFunc(OutputFunc fn) {
  Log("InitOutputFunc " + Pointer(reinterpret_cast<const void*>(fn)));
  return g_output = fn;
}
FAKE_API ShowProFunc InitShowProFunc(ShowProFunc fn) {
  Log("InitShowProFunc " + Pointer(reinterpret_cast<const void*>(fn)));
  return g_showPro = fn;
}
FAKE_API SetProPosFunc InitSetProPosFunc(SetProPosFunc fn) {
  Log("InitSetProPosFunc " + Pointer(reinterpret_cast<const void*>(fn)));
  return g_setProPos = fn;
}
FAKE_API SetCopyTipFunc InitSetCopyTipFunc(SetCopyTipFunc fn) {
  Log("InitSetCopyTipFunc " + Pointer(reinterpret_cast<const void*>(fn)));
  return g_setCopyTip = fn;
}
FAKE_API ShowMsgFunc InitShowMsgFunc(ShowMsgFunc fn) {
  Log("InitShowMsgFunc " + Pointer(reinterpret_cast<const void*>(fn)));
  return g_showMsg = fn;
}
FAKE_API SetTimeFunc InitSetTimeFunc(SetTimeFunc fn) {
  Log("InitSetTimeFunc " + Pointer(reinterpret_cast<const void*>(fn)));
  return g_setTime = fn;
}

FAKE_API void SetJobOption(int32_t option, int32_t value) {
  Log("SetJobOption " + std::to_string(option) + " " + std::to_string(value));
  if (option == PLINTH_OPTION_ALLOW_OUTSIDE) g_allowOutside = value;
}

FAKE_API int32_t GetJobRefusal(void) { return g_refusal; }

FAKE_API void MakeDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize) {
  Log("MakeDisk " + Narrow(folder) + "|" + Narrow(diskPath) + "|" + std::to_string(diskSize));
  RunJob();
}

FAKE_API void UpdateDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize) {
  Log("UpdateDisk " + Narrow(folder) + "|" + Narrow(diskPath) + "|" + std::to_string(diskSize));
  RunJob();
}

FAKE_API void VerifyDisk(const char16_t* folder, const char16_t* diskPath, uint64_t diskSize,
                         int32_t mode) {
  Log("VerifyDisk " + Narrow(folder) + "|" + Narrow(diskPath) + "|" + std::to_string(diskSize) +
      "|" + std::to_string(mode));
  Replay();
}

FAKE_API void RemovePartitions(const char16_t* diskPath, const char16_t* imagePath) {
  Log("RemovePartitions " + Narrow(diskPath) + "|" + Narrow(imagePath));
  Replay();
}

// Logs the descriptor's target, so tests see which open file the engine was handed.
FAKE_API int32_t UseDiskHandle(const char16_t* diskPath, int32_t fd) {
  char target[256] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  Log("UseDiskHandle " + Narrow(diskPath) + "|" + (n > 0 ? std::string(target, n) : "closed"));
  return 1;
}

FAKE_API void RemovePartitionsInPlace(const char16_t* diskPath, uint64_t diskSize,
                                      int32_t options) {
  Log("RemovePartitionsInPlace " + Narrow(diskPath) + "|" + std::to_string(diskSize) + "|" +
      std::to_string(options));
  Replay();
}

}  // extern "C"
