// torvane scan: what each profile of the source shows, as text or JSON.

#include "cli/command_parts.h"

namespace torvane::cli {

using registry::RecordingStore;

int Scan(const Options& options, const Streams& streams) {
  auto source = OpenSource(options, false);
  WarnRecovered(*source, false, streams);
  WarnPolicyNotes(source->profiles(), streams);
  RunReport report;
  report.source = source->label();
  bool damaged = WarnMachineUnusable(source->profiles(), streams);
  for (Profile& profile : source->profiles()) {
    RecordingStore watched(*profile.store, nullptr, [](const Change&) {});
    repair::RepairEngine engine(watched, profile.system_directory);
    ProfileReport result;
    result.name = profile.name;
    result.sid = profile.sid;
    result.problem = ProblemOf(profile);
    Keep(repair::Evaluate(engine, watched, RunProfileOf(profile, options.ignored)), result);
    WarnRefused(watched.refusals(), watched, streams);
    damaged |= WarnUnusable(profile, streams);
    // A place that could not be read, or whose hive was not given, cannot
    // be called healthy.
    for (int i = 0; i < repair::kItemCount; ++i) {
      damaged |= result.states[i] == State::kDamaged || result.states[i] == State::kUndetermined;
    }
    report.profiles.push_back(std::move(result));
  }
  Print(report, options.json, streams);
  return damaged ? kExitDamage : kExitOk;
}

}  // namespace torvane::cli
