// brindle-cli check: a firmware folder read and judged as the write and update jobs judge it,
// without a target, with warnings for what the configuration reader would pass over.
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "CliCommon.h"
#include "Commands.h"
#include "ConfigReview.h"
#include "JobTarget.h"
#include "Platform.h"
#include "PlinthApp.h"

namespace {

// An MBR addresses 2^32 sectors: without --size the layout may use all of them.
constexpr uint64_t kLargestMbrDisk = (uint64_t{1} << 32) * 512;

std::vector<std::u16string> reports;

void CollectReport(char16_t* text) {
  reports.emplace_back(text);
  std::free(text);
}

std::string NoteText(const ConfigNote& note) {
  const std::string text = Utf8(note.text);
  const std::string line = std::to_string(note.line);
  switch (note.kind) {
    case ConfigNote::kUnreadable:
      if (note.error == EINVAL) return Text(u"CliConfigNotRegular");
      if (note.error == EFBIG) return Text(u"CliConfigTooLarge");
      return Text(u"CliConfigUnreadable", {Utf8(plat::ErrorText(note.error))});
    case ConfigNote::kNotWellFormed:
      return Text(u"CliConfigNotWellFormed", {text});
    case ConfigNote::kUnknownElement:
      return Text(u"CliCheckWarning", {line, Text(u"CliConfigUnknownElement", {text})});
    case ConfigNote::kUnknownAttribute:
      return Text(u"CliCheckWarning",
                  {line, Text(u"CliConfigUnknownAttribute", {text, Utf8(note.element)})});
    case ConfigNote::kSectionNotRead:
      return Text(u"CliCheckWarning", {line, Text(u"CliConfigSectionNotRead", {text})});
  }
  return text;
}

}  // namespace

int RunCheck(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  std::optional<uint64_t> size;
  bool allowOutside = false;
  ArgReader reader(args);
  while (!reader.Done()) {
    bool missing = false;
    std::string value;
    if (reader.Flag("-h") || reader.Flag("--help")) return ShowCommandHelp("check");
    if (reader.Flag("--allow-outside")) {
      allowOutside = true;
    } else if (reader.Option("--size", value, missing)) {
      if (missing) return UsageError("check", Text(u"CliNeedsValue", {reader.LastOption()}));
      uint64_t bytes = 0;
      if (!ParseSize(value, bytes)) return UsageError("check", Text(u"CliNotASize", {value}));
      size = bytes;
    } else if (reader.Current().size() > 1 && reader.Current()[0] == '-') {
      return UsageError("check", Text(u"CliUnknownOption", {reader.Current()}));
    } else {
      positional.push_back(reader.Current());
      reader.Flag(reader.Current());
    }
  }
  if (positional.size() != 1) return UsageError("check", Text(u"CliGiveFolder"));
  const std::string& folder = positional[0];
  if (!CheckFirmwareFolder(folder)) return kExitFailure;
  const std::u16string configPath = plat::FromUtf8(folder) + u"/config.xml";

  for (const ConfigNote& note : ReviewConfig(configPath)) std::cout << NoteText(note) << "\n";

  CPlinthApp job;
  job.showMsgFunc = &CollectReport;
  job.diskSize = size ? *size : kLargestMbrDisk;
  job.allowOutside = allowOutside ? 1 : 0;
  job.ParseConfig(configPath);
  reports.clear();
  bool clean = true;
  // A folder is judged as each job it can run: a write when it lists anything to write (or
  // nothing at all), an update when it has an update section.
  const bool update = !job.updatePartitions.empty() || !job.updateBinFiles.empty();
  const bool write = !job.partitions.empty() || !job.binFiles.empty() || !update;
  if (write && job.ValidateLayout(0) == 0) clean = false;
  if (update && job.ValidateLayout(1) == 0) clean = false;
  for (const std::u16string& report : reports) {
    std::string text = Utf8(report);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::cout << text << "\n";
  }
  std::cout << Text(clean ? u"CliCheckClean" : u"CliCheckProblems") << "\n";
  return clean ? kExitOk : kExitFailure;
}
