// What the commands of `torvane` share: each command in its own file
// (scan_command.cpp, repair_command.cpp, restore_command.cpp), the warnings
// and the report they have in common here.
#pragma once

#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/sources.h"
#include "registry/change_stores.h"
#include "repair/repair_run.h"

namespace torvane::cli {

int Scan(const Options& options, const Streams& streams);
int Repair(const Options& options, const Streams& streams);
int Restore(const Options& options, const Streams& streams);

// The run's view of a profile; `ignored`: the items --ignore names.
repair::RunProfile RunProfileOf(const Profile& profile, const std::vector<int>& ignored = {});
bool Determinable(int index, const Profile& profile);
// A scan's findings, as the report keeps them.
void Keep(const repair::Findings& found, ProfileReport& result);
void Print(const RunReport& report, bool json, const Streams& streams);
// One line on stderr for each dirty hive read with its logs replayed.
void WarnRecovered(const Source& source, bool repair, const Streams& streams);
// Names on stderr each key that refused the access asked for.
void WarnRefused(const std::vector<registry::Refusal>& refusals, const registry::RegistryStore& store,
                 const Streams& streams);
// The policy files that were read but are no evidence, or could not be read:
// one line each on stderr, each once.
void WarnPolicyNotes(const std::vector<Profile>& profiles, const Streams& streams);
// The machine hive could not be used: one line on stderr, once for every
// profile that shares it. Its items are undetermined.
bool WarnMachineUnusable(const std::vector<Profile>& profiles, const Streams& streams);
// What a profile's report says could not be used.
std::string ProblemOf(const Profile& profile);
// A profile whose user hive could not be used: one line on stderr. Its user
// items are undetermined, so the run cannot call the profile healthy.
bool WarnUnusable(const Profile& profile, const Streams& streams);

}  // namespace torvane::cli
