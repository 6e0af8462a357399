// Evidence that Group Policy set a registry value: the policy files of one
// machine and profile (PReg, see preg.h), each with where it came from and
// whether a standard user could have written it. Only a file a standard user
// cannot write is evidence; the others are kept only to be named.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "registry/preg.h"
#include "registry/registry.h"

namespace torvane::registry {

// Where a policy came from.
struct PolicyOrigin {
  std::string scope;  // "local" (the machine's own policy object) or "domain"
  std::string name;   // the policy object's display name
  std::string file;   // the file that says so, as found
  // Whether the file's owner and write permissions were checked (a live
  // machine); offline, who wrote a file on the volume cannot be told.
  bool owner_checked = false;

  bool operator==(const PolicyOrigin&) const = default;
};

// A value a policy file names: its root, key path and name (GBK).
struct PolicyValue {
  HKey root = kLocalMachine;
  std::string key, name;
};

class PolicyEvidence {
 public:
  // A policy file whose key paths lie below `root`, in the order Windows
  // applies them (a later file wins). `trusted`: no standard user can write
  // it; an untrusted file is never evidence.
  void Add(HKey root, PolicyOrigin origin, PregFile file, bool trusted);
  // A file that could not be read, or that is not trusted: one line each,
  // for the report.
  void Note(std::string line) { notes_.push_back(std::move(line)); }

  // The policy that leaves the value `name` of `path` (GBK, below `root`)
  // holding exactly `type` and `data`: the last trusted file that sets or
  // deletes it, when it sets this type and these bytes. nullopt when no
  // trusted file does.
  std::optional<PolicyOrigin> SetBy(HKey root, std::string_view path, std::string_view name, std::uint32_t type,
                                    std::span<const std::uint8_t> data) const;

  bool empty() const { return files_.empty(); }
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  struct File {
    HKey root;
    PolicyOrigin origin;
    PregFile file;
    bool trusted;
  };
  std::vector<File> files_;
  std::vector<std::string> notes_;
};

// The local policy object's version in its gpt.ini text, raised for a
// change to its machine part (low 16 bits) or its user part (high 16 bits),
// so that the next refresh reads the files again. Nullopt, with `*why` (when
// given) saying why, when the text has no "Version=" line it can read, or
// when the part stands at its top: raised, it would wrap to a lower number,
// and a version never goes down (the next refresh might not see the change).
std::optional<std::string> RaisedGptVersion(std::string_view gpt_ini, bool machine, std::string* why = nullptr);

}  // namespace torvane::registry
