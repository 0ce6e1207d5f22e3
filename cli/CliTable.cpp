// brindle-cli's commands and options, once: the dispatcher, the help, the manual page and the
// bash completion all read this table. A new command is one entry here and one Run function.
#include <iostream>

#include "CliCommon.h"
#include "Commands.h"
#include "Usage.h"

namespace {

const UsageOption kHelp{"-h", "--help", nullptr, u"UsageOptHelp"};
const UsageOption kSysfs{nullptr, "--sysfs", "DIR", u"CliOptSysfs", ValueKind::kFolder};
const UsageOption kMountinfo{nullptr, "--mountinfo", "FILE", u"CliOptMountinfo", ValueKind::kFile};
const UsageOption kSwaps{nullptr, "--swaps", "FILE", u"CliOptSwaps", ValueKind::kFile};
const UsageOption kReport{nullptr, "--report", "FILE", u"CliOptReport", ValueKind::kFile};

// What write, update and recover share.
const std::vector<UsageOption> kJobOptions = {
    {nullptr, "--size", "SIZE", u"CliOptSize"},
    {"-y", "--yes", nullptr, u"CliOptYes"},
    {nullptr, "--force", nullptr, u"CliOptForce"},
    kSysfs,
    kMountinfo,
    kSwaps,
    kReport,
    kHelp,
};
// Every command that reads a firmware folder.
const UsageOption kAllowOutside{nullptr, "--allow-outside", nullptr, u"CliOptAllowOutside"};
// Recover's own option first, then the ones it shares.
std::vector<UsageOption> RecoverOptions() {
  std::vector<UsageOption> options = {{nullptr, "--wipe", nullptr, u"CliOptWipe"}};
  options.insert(options.end(), kJobOptions.begin(), kJobOptions.end());
  return options;
}
const std::vector<const char16_t*> kJobNotes = {u"CliJobCreate", u"CliJobConfirm", u"CliJobLog",
                                                u"CliJobProgress", u"CliJobSet", u"CliJobReport",
                                                u"CliJobExit"};

// Write and update: the job's options, --allow-outside and --verify, before --help.
std::vector<UsageOption> FolderJobOptions() {
  std::vector<UsageOption> options = kJobOptions;
  options.insert(options.end() - 1,
                 {kAllowOutside, {nullptr, "--verify", nullptr, u"CliOptVerify"}});
  return options;
}

int RunHelp(const std::vector<std::string>& args) {
  if (args.size() > 1) return UsageError("help", Text(u"CliUnknownArgument", {args[1]}));
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    PrintProgramHelp(std::cout, CliProgram(), CatalogueLookup());
    return kExitOk;
  }
  if (FindCommand(CliProgram(), args[0]) == nullptr) {
    return UsageError("", Text(u"CliUnknownCommand", {args[0]}));
  }
  return ShowCommandHelp(args[0]);
}

UsageProgram MakeProgram() {
  UsageProgram p;
  p.name = kProgramName;
  p.summaryKey = u"CliSummary";
  p.arguments = "COMMAND [OPTIONS]";
  p.before = {u"CliAbout"};
  p.options = {kHelp, {nullptr, "--version", nullptr, u"UsageOptVersion"}};
  p.after = {u"CliHelpCommand", u"CliExitStatus"};
  p.seeAlso = {"brindle(1)"};
  p.commands = {
      {"list", "[OPTIONS]", {}, u"CliListSummary",
       {u"CliListAbout", u"CliListDefault", u"CliListAll"},
       {{nullptr, "--all", nullptr, u"CliOptAll"},
        {nullptr, "--json", nullptr, u"CliOptJson"},
        kSysfs,
        kMountinfo,
        kSwaps,
        kHelp},
       {u"CliListColumns", u"CliListExit"},
       RunList},
      {"write", "[OPTIONS] FIRMWARE_DIR TARGET [TARGET...]",
       {ValueKind::kFolder, ValueKind::kTarget},
       u"CliWriteSummary", {u"CliWriteAbout", u"CliWriteSize", u"CliTargetAbout"},
       FolderJobOptions(), kJobNotes, RunWrite},
      {"update", "[OPTIONS] FIRMWARE_DIR TARGET [TARGET...]",
       {ValueKind::kFolder, ValueKind::kTarget},
       u"CliUpdateSummary", {u"CliUpdateAbout", u"CliTargetAbout"}, FolderJobOptions(),
       kJobNotes, RunUpdate},
      {"recover", "[OPTIONS] TARGET [TARGET...]", {ValueKind::kTarget}, u"CliRecoverSummary",
       {u"CliRecoverAbout", u"CliRecoverSpace", u"CliTargetAbout"}, RecoverOptions(), kJobNotes,
       RunRecover},
      {"verify", "[OPTIONS] FIRMWARE_DIR TARGET [TARGET...]",
       {ValueKind::kFolder, ValueKind::kTarget},
       u"CliVerifySummary", {u"CliVerifyAbout", u"CliTargetAbout"},
       {{nullptr, "--update", nullptr, u"CliOptUpdate"}, kAllowOutside, kReport, kHelp},
       {u"CliJobLog", u"CliVerifyProgress", u"CliJobSet", u"CliJobReport", u"CliVerifyExit"},
       RunVerify},
      {"check", "[OPTIONS] FIRMWARE_DIR", {ValueKind::kFolder}, u"CliCheckSummary",
       {u"CliCheckAbout"},
       {{nullptr, "--size", "SIZE", u"CliOptCheckSize"}, kAllowOutside, kHelp},
       {u"CliCheckExit"}, RunCheck},
      {"checksum", "FIRMWARE_DIR [OUT]", {ValueKind::kFolder, ValueKind::kFile},
       u"CliChecksumSummary", {u"CliChecksumAbout", u"CliChecksumOut"}, {kHelp},
       {u"CliChecksumExit"}, RunChecksum},
      {"station", "[OPTIONS] FIRMWARE_DIR", {ValueKind::kFolder}, u"CliStationSummary",
       {u"CliStationAbout", u"CliStationRules"},
       {{nullptr, "--count", "N", u"CliOptCount"},
        {nullptr, "--verify", nullptr, u"CliOptStationVerify"},
        kReport,
        {nullptr, "--include-present", nullptr, u"CliOptIncludePresent"},
        kSysfs,
        kMountinfo,
        kSwaps,
        kHelp},
       {u"CliJobReport", u"CliStationExit"}, RunStation},
      {"help", "[COMMAND]", {ValueKind::kCommand}, u"CliHelpSummary", {u"CliHelpAbout"}, {}, {},
       RunHelp},
  };
  return p;
}

}  // namespace

int ShowCommandHelp(std::string_view command) {
  const UsageCommand* found = FindCommand(CliProgram(), command);
  if (found != nullptr) PrintCommandHelp(std::cout, CliProgram(), *found, CatalogueLookup());
  return kExitOk;
}

const UsageProgram& CliProgram() {
  static const UsageProgram program = MakeProgram();
  return program;
}
