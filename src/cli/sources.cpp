#include "cli/sources.h"

#include <set>

#include "registry/codepage.h"
#include "registry/demo.h"
#include "registry/names.h"
#include "registry/reg_document.h"
#include "registry/volume_policy.h"
#include "registry/windows_volume.h"
#include "repair/engine.h"
#include "repair/value_read.h"

#include "registry/hive_store.h"

#ifdef _WIN32
#include "cli/live_source_win32.h"
#endif

namespace torvane::cli {

using namespace registry;

namespace {

// Carries every change into the memory store and into the document it was
// read from, which a commit then writes back.
class DocumentTarget final : public RegTarget {
 public:
  DocumentTarget(MemoryTarget& store, RegDocument& document) : store_(store), document_(document) {}
  // A name the file could not give back is refused before anything changes.
  bool CreateKey(HKey root, const std::string& path) override {
    if (!document_.ReadsBack(root, path)) return false;
    document_.CreateKey(root, path);
    return store_.CreateKey(root, path);
  }
  bool DeleteTree(HKey root, const std::string& path) override {
    document_.DeleteTree(root, path);
    return store_.DeleteTree(root, path);
  }
  bool SetValue(HKey root, const std::string& path, const RegValue& value) override {
    if (!document_.ReadsBack(root, path, &value)) return false;
    document_.SetValue(root, path, value);
    return store_.SetValue(root, path, value);
  }
  bool DeleteValue(HKey root, const std::string& path, const std::string& name) override {
    document_.DeleteValue(root, path, name);
    return store_.DeleteValue(root, path, name);
  }
  std::optional<std::vector<RegValue>> ListValues(HKey root, const std::string& path) override {
    return store_.ListValues(root, path);
  }
  std::optional<std::vector<std::string>> ListSubkeys(HKey root, const std::string& path) override {
    return store_.ListSubkeys(root, path);
  }
  std::string WriteRefusal(HKey root, const std::string& path, const RegValue& value) const override {
    if (document_.ReadsBack(root, path, &value)) return {};
    return "the value \"" + value.name + "\" cannot be written into this file exactly (a REGEDIT4 file holds names "
           "and texts in GBK)";
  }

 private:
  MemoryTarget& store_;
  RegDocument& document_;
};

// The demo and .reg files: a memory store. A .reg file is edited in place on
// commit: only the lines of what changed are rewritten.
class MemorySource final : public Source {
 public:
  MemorySource(std::string label, std::string file) : file_(std::move(file)), target_(store_) {
    label_ = std::move(label);
    if (!file_.empty()) files_.push_back(file_);
  }
  MemoryStore& store() { return store_; }
  MemoryTarget& target() { return target_; }
  // The bytes of the file, kept to be edited in place on commit.
  void set_document(std::string_view bytes) {
    document_.emplace(bytes);
    document_target_.emplace(target_, *document_);
  }
  // `place`: where the file was found when it was opened, for the commit.
  void Finish(std::unique_ptr<FileLock> lock = {}, std::optional<FilePlace> place = {}) {
    lock_ = std::move(lock);
    place_ = std::move(place);
    Profile profile;
    profile.store = &store_;
    profile.target = document_target_ ? static_cast<RegTarget*>(&*document_target_) : &target_;
    profile.machine_file = profile.user_file = file_;
    profile.system_directory = repair::SystemDirectoryOf(store_);
    profiles_.push_back(profile);
    // What a commit compares against, for a file that will be rewritten.
    if (!file_.empty()) original_ = store_.Dump();
  }
  void Commit() override {
    if (!place_ || !document_ || store_.Dump() == original_) return;
    try {
      FileSet set;
      set.Add(*place_, document_->bytes());
      set.Commit();
      // Released before the set goes: the original, moved aside while it
      // was open, can then be removed on Windows too.
      lock_.reset();
    } catch (const FileError& error) {
      throw SourceError(error.what());
    }
    original_ = store_.Dump();
  }

 private:
  std::string file_;
  std::optional<FilePlace> place_;
  std::optional<RegDocument> document_;
  MemoryStore store_;
  MemoryTarget target_;
  std::optional<DocumentTarget> document_target_;
  std::string original_;
  std::unique_ptr<FileLock> lock_;  // a file to rewrite, from its reading on
};

class HiveSource final : public Source {
 public:
  explicit HiveSource(std::string label) { label_ = std::move(label); }

  std::shared_ptr<HiveFile> Load(const FilePlace& place, bool writable, bool machine) {
    // One file named twice is one hive: two copies would each lock it, and
    // the second commit would undo the first.
    const std::optional<FileId> id = place.id();
    for (std::size_t i = 0; i < hives_.size(); ++i) {
      if (id && ids_[i] == id) return hives_[i];
    }
    try {
      auto hive = HiveFile::Open(place, writable);
      files_.push_back(place.path());
      if (!hive->replayed().empty()) recovered_.push_back(RecoveredHive{place.path(), machine, hive->replayed()});
      hives_.push_back(hive);
      ids_.push_back(id);
      return hive;
    } catch (const DirtyHiveError& error) {
      // Left alone, but still a file of the source: no backup takes its
      // name, or its logs'.
      files_.push_back(place.path());
      throw UndeterminedHive(error.what());
    } catch (const HiveError& error) {
      throw SourceError(error.what());
    }
  }

  // The hive, or null with `*problem` saying why its items are undetermined.
  std::shared_ptr<HiveFile> LoadOrNote(const FilePlace& place, bool writable, bool machine, std::string* problem) {
    try {
      return Load(place, writable, machine);
    } catch (const UndeterminedHive& error) {
      *problem = error.what();
      return nullptr;
    }
  }

  void AddProfile(std::optional<std::string> name, std::shared_ptr<HiveFile> software,
                  std::shared_ptr<HiveFile> user, std::string user_problem = {}, std::string machine_problem = {}) {
    auto store = std::make_unique<HiveStore>(software, user);
    Profile profile;
    profile.name = std::move(name);
    profile.store = store.get();
    profile.target = store.get();
    profile.has_machine = software != nullptr;
    profile.has_user = user != nullptr;
    profile.user_problem = std::move(user_problem);
    profile.machine_problem = std::move(machine_problem);
    if (software) profile.machine_file = software->path();
    if (user) profile.user_file = user->path();
    profile.system_directory = repair::SystemDirectoryOf(*store);
    stores_.push_back(std::move(store));
    profiles_.push_back(profile);
  }

  using PolicyFile = registry::LocalPolicyFile;
  void NotePolicyFile(PolicyFile file) {
    const std::string path = file.place.path();
    policy_files_.emplace(path, std::move(file));
  }

  bool CanChangePolicyFiles() const override { return true; }
  void RemovePolicyValues(const std::string& file, const std::vector<registry::PolicyValue>& values) override {
    const auto found = policy_files_.find(file);
    if (found == policy_files_.end()) {
      throw SourceError(file + ": not a local policy file this run read. Nothing was changed.");
    }
    if (!found->second.gpt) {
      throw SourceError(found->second.gpt_problem + ": the policy object's version cannot be raised, so the next "
                        "policy refresh would not take the change; nothing was changed");
    }
    PolicyFile& policy = found->second;
    std::vector<PregEntry> entries;
    try {
      entries = ParsePreg({reinterpret_cast<const std::uint8_t*>(policy.bytes.data()), policy.bytes.size()});
    } catch (const PregError& error) {
      throw SourceError(file + ": " + error.what() + ". Nothing was changed.");
    }
    std::erase_if(entries, [&](const PregEntry& entry) {
      if (entry.value.rfind(u"**", 0) == 0) return false;
      return std::any_of(values.begin(), values.end(), [&](const registry::PolicyValue& value) {
        return Utf8NamesEqual(PregTextUtf8(entry.key), GbkToUtf8(value.key)) &&
               Utf8NamesEqual(PregTextUtf8(entry.value), GbkToUtf8(value.name));
      });
    });
    // The version goes up once a run, however many values it takes out.
    if (edited_.count(file) == 0) {
      std::string why;
      const auto version = RaisedGptVersion(policy.gpt_bytes, policy.machine, &why);
      if (!version) throw SourceError(policy.gpt->path() + ": " + why + ". Nothing was changed.");
      policy.gpt_bytes = *version;
    }
    policy.bytes = FormatPreg(entries);
    edited_.insert(file);
  }

  // Every changed hive is written in full first; only then are they renamed
  // in, together (and the local policy files a run changed with them).
  void Commit() override {
    std::vector<HiveFile*> hives;
    for (auto& hive : hives_) hives.push_back(hive.get());
    try {
      CommitHives(hives, [&](FileSet& set) {
        for (const std::string& file : edited_) {
          const PolicyFile& policy = policy_files_.at(file);
          set.Add(policy.place, policy.bytes);
          set.Add(*policy.gpt, policy.gpt_bytes);
        }
      });
    } catch (const FileSetError& error) {
      if (error.replaced().empty()) throw SourceError(error.what());
      throw CommitError(error.what(), error.replaced());
    } catch (const HiveError& error) {
      throw SourceError(std::string(error.what()) + "; nothing was changed");
    } catch (const FileError& error) {
      throw SourceError(std::string(error.what()) + "; nothing was changed");
    }
  }

 private:
  std::vector<std::shared_ptr<HiveFile>> hives_;
  std::vector<std::optional<FileId>> ids_;
  std::vector<std::unique_ptr<HiveStore>> stores_;
  std::map<std::string, PolicyFile> policy_files_;  // by path
  std::set<std::string> edited_;
};

std::unique_ptr<Source> OpenWindows(const Options& options, bool writable) {
  std::shared_ptr<const Folder> root;
  try {
    root = Folder::OpenVolume(options.windows_dir);
  } catch (const FileError& error) {
    const std::string why = error.what();
    if (why.find("refusing to follow") != std::string::npos) throw SourceError(why);
    throw SourceError(options.windows_dir + ": not a directory");
  }
  // The running Windows' hives are loaded as its registry, and in use: that
  // Windows is repaired live.
  if (const auto running = RunningWindowsFolder()) {
    bool own = root->id() == running->second;
    try {
      if (const auto windows = FindNoCase(*root, "Windows"); windows && !own) {
        const EntryInfo entry = root->Entry(*windows);
        own = entry.kind == EntryInfo::kFolder && entry.id == running->second;
      }
    } catch (const FileError&) {
    }
    if (own) {
      throw SourceError(options.windows_dir + ": holds the running Windows (" + running->first +
                        "), whose hives are in use; use --live to scan and repair it");
    }
  }
  auto source = std::make_unique<HiveSource>(options.source_text);
  std::shared_ptr<HiveFile> machine;
  std::string machine_problem;
  VolumeWindows found_windows;
  try {
    found_windows = FindWindowsOnVolume(root);
    if (!found_windows.software) {
      throw SourceError(options.windows_dir +
                        ": no Windows/System32/config/SOFTWARE hive (is it the root of a Windows volume?)");
    }
    machine = source->LoadOrNote(FilePlace(found_windows.config, *found_windows.software), writable, true,
                                 &machine_problem);
  } catch (const FileError& error) {
    throw SourceError(error.what());
  }
  const std::string& windows_folder = found_windows.windows_folder;
  const std::vector<VolumeProfile>& profiles = found_windows.profiles;
  if (profiles.empty()) source->AddProfile(std::nullopt, machine, nullptr, {}, machine_problem);
  // A profile whose hive cannot be used has its user part undetermined; the
  // others go on.
  for (const VolumeProfile& found : profiles) {
    std::shared_ptr<HiveFile> user;
    try {
      if (!found.problem.empty()) throw SourceError(found.problem);
      user = source->Load(FilePlace(found.folder, found.hive), writable, false);
    } catch (const SourceError& problem) {
      source->AddProfile(found.name, machine, nullptr, problem.what(), machine_problem);
      continue;
    }
    source->AddProfile(found.name, machine, user, {}, machine_problem);
  }
  std::vector<registry::LocalPolicyFile> local_files;
  const PolicyEvidence machine_policy = MachinePolicyOfVolume(root, &local_files);
  for (auto& file : local_files) source->NotePolicyFile(std::move(file));
  for (Profile& profile : source->profiles()) {
    profile.system_directory = SystemDirectoryOnVolume(profile.system_directory, windows_folder);
    std::shared_ptr<const Folder> folder;
    for (const VolumeProfile& found : profiles) {
      if (profile.name && found.name == *profile.name) folder = found.folder;
    }
    profile.policy = PolicyOfProfile(machine_policy, folder);
  }
  return source;
}

// A .reg file applied to a store in memory; one to be repaired stays locked
// until the run is over.
std::unique_ptr<Source> OpenRegSource(const Options& options, bool writable) {
  std::unique_ptr<FileLock> lock;
  std::optional<FilePlace> place;
  auto source = std::make_unique<MemorySource>(options.source_text, writable ? options.reg_file : "");
  try {
    if (writable) {
      place.emplace(options.reg_file);
      lock = std::make_unique<FileLock>(*place);
    }
    auto apply = [&](RegEntry&& entry) {
      if (!entry.user.empty()) {
        throw SourceError(options.reg_file + ":" + std::to_string(entry.line) +
                          ": HKEY_USERS keys belong to a profile; use --windows to restore them");
      }
      ApplyRegEntry(entry, source->target());
    };
    if (writable) {
      // A file to be repaired is kept whole, to be edited in place.
      const std::string bytes = ReadWholeFile(options.reg_file, kMaxRegFileBytes);
      for (RegEntry& entry : ParseRegFile(bytes, options.reg_file).entries) apply(std::move(entry));
      source->set_document(bytes);
    } else {
      // Applied statement by statement: the file is never held twice.
      ReadRegFile(options.reg_file, apply);
    }
  } catch (const RegFileError& error) {
    throw SourceError(error.what());
  } catch (const FileError& error) {
    throw SourceError(error.what());
  }
  source->Finish(std::move(lock), std::move(place));
  return source;
}

}  // namespace

std::unique_ptr<Source> OpenSource(const Options& options, bool writable) {
  SourceKind kind = options.source;
  if (kind == SourceKind::kDefault) {
#ifdef _WIN32
    kind = SourceKind::kLive;
#else
    kind = SourceKind::kDemo;
#endif
  }
  switch (kind) {
    case SourceKind::kDemo: {
      auto source = std::make_unique<MemorySource>("--demo", "");
      LoadDemoRegistry(source->store());
      source->Finish();
      return source;
    }
    case SourceKind::kReg:
      return OpenRegSource(options, writable);
    case SourceKind::kLive: {
#ifdef _WIN32
      return OpenLiveSource(LiveScopeOf(options, RunningAsLocalSystem()), options.user);
#else
      throw SourceError("--live: this build has no live registry; use the Windows build, or --windows, --software/--ntuser or --reg");
#endif
    }
    case SourceKind::kHives:
    case SourceKind::kWindows: {
      if (kind == SourceKind::kWindows) return OpenWindows(options, writable);
      auto source = std::make_unique<HiveSource>(options.source_text);
      std::string machine_problem, user_problem;
      auto software =
          options.software.empty() ? nullptr : source->LoadOrNote(options.software, writable, true, &machine_problem);
      auto user = options.ntuser.empty() ? nullptr : source->LoadOrNote(options.ntuser, writable, false, &user_problem);
      source->AddProfile(std::nullopt, software, user, user_problem, machine_problem);
      return source;
    }
    case SourceKind::kDefault:
      break;
  }
  throw SourceError("no source");
}

}  // namespace torvane::cli
