// A store that passes every operation to another one, except that it makes
// one chosen operation fail with a chosen code.
#pragma once

#include <cstdint>
#include <string>

#include "registry/registry.h"

namespace torvane::testing {

class FaultStore final : public registry::RegistryStore {
 public:
  enum class Target {
    kAny,     // the N-th operation of any kind (closes excepted)
    kChange,  // the N-th value write, value deletion or key deletion
  };

  explicit FaultStore(registry::RegistryStore& inner) : inner_(inner) {}

  // Makes operation `n` (counted from 1 among `target`) fail with `code`.
  void FailAt(long n, long code, Target target = Target::kAny) {
    fail_at_ = n;
    code_ = code;
    target_ = target;
    any_count_ = change_count_ = 0;
    injected_ = false;
  }
  bool injected() const { return injected_; }
  long operations() const { return any_count_; }
  // Whether the injected fault hit a change (a write or a deletion).
  bool injected_change() const { return injected_change_; }
  void ClearInjected() { injected_ = injected_change_ = false; }

  long RegOpenKeyExA(registry::HKey root, const std::string& path, std::uint32_t options,
                     std::uint32_t access, registry::HKey* result) override {
    if (Fail(false)) {
      *result = registry::kNullKey;
      return code_;
    }
    return inner_.RegOpenKeyExA(root, path, options, access, result);
  }
  long RegQueryValueExA(registry::HKey key, const std::string& name, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) override {
    if (Fail(false)) return code_;
    return inner_.RegQueryValueExA(key, name, type, data, size);
  }
  long RegSetValueExA(registry::HKey key, const std::string& name, std::uint32_t reserved,
                      std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override {
    if (Fail(true)) return code_;
    return inner_.RegSetValueExA(key, name, reserved, type, data, size);
  }
  long RegDeleteValueA(registry::HKey key, const std::string& name) override {
    if (Fail(true)) return code_;
    return inner_.RegDeleteValueA(key, name);
  }
  long RegEnumKeyA(registry::HKey key, std::uint32_t index, char* name,
                   std::uint32_t capacity) override {
    if (Fail(false)) return code_;
    return inner_.RegEnumKeyA(key, index, name, capacity);
  }
  long RegEnumValueA(registry::HKey key, std::uint32_t index, char* name, std::uint32_t capacity) override {
    if (Fail(false)) return code_;
    return inner_.RegEnumValueA(key, index, name, capacity);
  }
  long RegDeleteKeyA(registry::HKey key, const std::string& subkey) override {
    if (Fail(true)) return code_;
    return inner_.RegDeleteKeyA(key, subkey);
  }
  // A close always reaches the store, so a fault never leaks a handle by itself.
  long RegCloseKey(registry::HKey key) override { return inner_.RegCloseKey(key); }
  bool HasView32() const override { return inner_.HasView32(); }
  long RegQueryKeyIsLink(registry::HKey key, bool* is_link) override {
    if (Fail(false)) return code_;
    return inner_.RegQueryKeyIsLink(key, is_link);
  }

 private:
  bool Fail(bool change) {
    ++any_count_;
    if (change) ++change_count_;
    const bool hit = target_ == Target::kAny ? any_count_ == fail_at_ : change && change_count_ == fail_at_;
    if (hit) {
      injected_ = true;
      injected_change_ = change;
    }
    return hit;
  }

  registry::RegistryStore& inner_;
  long fail_at_ = 0;
  long code_ = 0;
  Target target_ = Target::kAny;
  long any_count_ = 0;
  long change_count_ = 0;
  bool injected_ = false;
  bool injected_change_ = false;
};

}  // namespace torvane::testing
