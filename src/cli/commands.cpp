#include "cli/commands.h"


#include "cli/command_parts.h"
#include "registry/codepage.h"

namespace torvane::cli {

using registry::Refusal;

repair::RunProfile RunProfileOf(const Profile& profile, const std::vector<int>& ignored) {
  return {profile.store,    profile.target,       profile.system_directory, profile.has_machine,
          profile.has_user, profile.policy.get(), ignored};
}

bool Determinable(int index, const Profile& profile) { return repair::Determinable(index, RunProfileOf(profile)); }

void Keep(const repair::Findings& found, ProfileReport& result) {
  result.states = found.states;
  result.views = found.views;
  result.unread = found.unread;
  result.policy = found.policy;
}

void Print(const RunReport& report, bool json, const Streams& streams) {
  if (json) {
    PrintJson(report, streams.out);
  } else {
    PrintText(report, streams.colour, streams.out);
  }
}

void WarnRecovered(const Source& source, bool repair, const Streams& streams) {
  for (const auto& hive : source.recovered()) {
    std::string logs;
    for (const std::string& log : hive.logs) logs += (logs.empty() ? "" : ", ") + log;
    std::fprintf(streams.err, "torvane: %s: the hive is dirty; read with its transaction logs replayed (%s)%s\n",
                 Printable(hive.path).c_str(), Printable(logs).c_str(),
                 repair ? "; a repair writes that state back as one clean hive" : "");
  }
}

void WarnRefused(const std::vector<Refusal>& refusals, const registry::RegistryStore& store,
                 const Streams& streams) {
  for (const Refusal& refusal : refusals) {
    std::string key = store.RootName(refusal.root);
    if (!refusal.path.empty()) key += "\\" + registry::GbkToUtf8(refusal.path);
    std::fprintf(streams.err, "torvane: %s: access denied (%s)\n", Printable(key).c_str(), refusal.access.c_str());
  }
}

void WarnPolicyNotes(const std::vector<Profile>& profiles, const Streams& streams) {
  std::vector<std::string> said;
  for (const Profile& profile : profiles) {
    if (!profile.policy) continue;
    for (const std::string& note : profile.policy->notes()) {
      if (std::find(said.begin(), said.end(), note) != said.end()) continue;
      said.push_back(note);
      std::fprintf(streams.err, "torvane: %s\n", Printable(note).c_str());
    }
  }
}

bool WarnMachineUnusable(const std::vector<Profile>& profiles, const Streams& streams) {
  if (profiles.empty() || profiles.front().machine_problem.empty()) return false;
  std::fprintf(streams.err, "torvane: machine items undetermined: %s\n",
               Printable(profiles.front().machine_problem).c_str());
  return true;
}

std::string ProblemOf(const Profile& profile) {
  if (profile.machine_problem.empty()) return profile.user_problem;
  if (profile.user_problem.empty()) return profile.machine_problem;
  return profile.machine_problem + "; " + profile.user_problem;
}

bool WarnUnusable(const Profile& profile, const Streams& streams) {
  if (profile.user_problem.empty()) return false;
  std::string name = profile.name ? *profile.name : "the user hive";
  if (profile.sid && *profile.sid != name) name += " (" + *profile.sid + ")";
  // Folder names and profile paths come from the machine: shown escaped.
  std::fprintf(streams.err, "torvane: %s: user items undetermined: %s\n", Printable(name).c_str(),
               Printable(profile.user_problem).c_str());
  return true;
}

int Run(const Options& options, const Streams& streams) {
  try {
    switch (options.command) {
      case Command::kHelp:
        std::fputs(kUsage, streams.out);
        return kExitOk;
      case Command::kVersion:
        std::fprintf(streams.out, "torvane %s\n", kVersion);
        return kExitOk;
      case Command::kList:
        PrintList(streams.out);
        return kExitOk;
      case Command::kScan:
        return Scan(options, streams);
      case Command::kRepair:
        return Repair(options, streams);
      case Command::kRestore:
        return Restore(options, streams);
    }
  } catch (const CommitError& error) {
    // Some files were changed: not an error before anything changed.
    std::fprintf(streams.err, "torvane: %s\n", Printable(error.what()).c_str());
    return kExitDamage;
  } catch (const std::exception& error) {
    std::fprintf(streams.err, "torvane: %s\n", Printable(error.what()).c_str());
    // A caller that asked for JSON gets JSON, whatever stopped the run.
    if (options.json) std::fprintf(streams.out, "{\"error\": %s}\n", JsonString(error.what()).c_str());
  }
  return kExitError;
}

}  // namespace torvane::cli
