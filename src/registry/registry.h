// The seven registry operations the checks and repairs stand on, with the
// return codes and handle semantics of the Win32 ANSI entry points.
//
// Every store (memory, Win32, offline hive) answers these operations; the
// repair core never sees anything else. Key paths and value names are ANSI
// (GBK) bytes and compare without regard to letter case.
#pragma once

#include <cstdint>
#include <string>

namespace torvane::registry {

// Opaque key handle. The two predefined roots carry the Win32 values so that
// the Win32 store can pass them straight through.
using HKey = std::uintptr_t;
inline constexpr HKey kNullKey = 0;
inline constexpr HKey kCurrentUser = 0x80000001u;   // HKEY_CURRENT_USER
inline constexpr HKey kLocalMachine = 0x80000002u;  // HKEY_LOCAL_MACHINE

// Win32 return codes the system relies on.
inline constexpr long kSuccess = 0;
inline constexpr long kFileNotFound = 2;
inline constexpr long kAccessDenied = 5;
inline constexpr long kInvalidHandle = 6;
inline constexpr long kInvalidParameter = 87;
inline constexpr long kMoreData = 234;
inline constexpr long kNoMoreItems = 259;
inline constexpr long kKeyDeleted = 1018;
// A registry link on the way to a place, which is never followed
// (ERROR_CANT_RESOLVE_FILENAME).
inline constexpr long kRefusedLink = 1921;
// Two subkeys of one name (letter case aside) on the way to a place: which
// of them Windows reaches cannot be told, so neither is read. Only a file
// (an offline hive) can hold such a pair; the code has the bit Windows
// leaves to applications, so no system call returns it.
inline constexpr long kDuplicateName = 0x20000001;
// A record of an offline hive that cannot be read: its cells are damaged
// there (application-defined, as kDuplicateName).
inline constexpr long kUnreadableRecord = 0x20000002;
// A store that cannot create keys (ERROR_CALL_NOT_IMPLEMENTED).
inline constexpr long kNotSupported = 120;

// The registry nests keys at most this deep.
inline constexpr int kMaxKeyDepth = 512;

// Access masks as the checks and repairs pass them.
inline constexpr std::uint32_t kKeyRead = 0x20019;       // KEY_READ
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;  // KEY_ALL_ACCESS
inline constexpr std::uint32_t kKeyWriteBits = 0x0006;   // SET_VALUE | CREATE_SUB_KEY
inline constexpr std::uint32_t kCreateSubKeyBit = 0x0004;  // KEY_CREATE_SUB_KEY
inline constexpr std::uint32_t kQueryValueBit = 0x0001;  // KEY_QUERY_VALUE
inline constexpr std::uint32_t kSetValueBit = 0x0002;    // KEY_SET_VALUE
inline constexpr std::uint32_t kEnumerateBit = 0x0008;   // KEY_ENUMERATE_SUB_KEYS
inline constexpr std::uint32_t kDeleteBit = 0x10000;     // DELETE

// Registry views (the WOW64 bits of an access mask). On 64-bit Windows
// HKLM\SOFTWARE has a 32-bit view, HKLM\SOFTWARE\Wow6432Node, which every
// 32-bit program reads instead. An open that names no view gets the 64-bit
// one; an open below an opened key stays in that key's view.
inline constexpr std::uint32_t kView64 = 0x0100;  // KEY_WOW64_64KEY
inline constexpr std::uint32_t kView32 = 0x0200;  // KEY_WOW64_32KEY
inline constexpr std::uint32_t kViewBits = kView64 | kView32;
inline constexpr const char* kWow64Node = "Wow6432Node";

// Where `path` below `root` lies in the registry as stored, for an open with
// `access`: a 32-bit view open of HKLM\SOFTWARE\... is the same path with
// Wow6432Node after SOFTWARE (unless the path names it already). Every other
// open is the path as given.
std::string ViewPath(HKey root, const std::string& path, std::uint32_t access);

// RegOpenKeyExA options: open a registry link itself rather than the key it
// points at (REG_OPTION_OPEN_LINK).
inline constexpr std::uint32_t kOpenLink = 0x8;

// Value types.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegLink = 6;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

constexpr bool IsTextType(std::uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// True when `mask` asks for more than reading.
constexpr bool WantsWrite(std::uint32_t mask) {
  return (mask & (kKeyWriteBits | kDeleteBit | 0x00080000u /*WRITE_DAC*/ |
                  0x00040000u /*WRITE_OWNER*/ | 0x0020u /*CREATE_LINK*/)) != 0;
}

class RegistryStore {
 public:
  virtual ~RegistryStore() = default;

  // Opens `path` below `root` (a root or an opened key). An empty path opens
  // a new handle to `root` itself. Links on the way are followed; the last
  // key of the path is followed too unless `options` holds kOpenLink.
  virtual long RegOpenKeyExA(HKey root, const std::string& path,
                             std::uint32_t options, std::uint32_t access,
                             HKey* result) = 0;

  // `data` may be null to ask for the size only. On kMoreData `*size`
  // receives the size the data needs. `type` may be null.
  virtual long RegQueryValueExA(HKey key, const std::string& name,
                                std::uint32_t* type, std::uint8_t* data,
                                std::uint32_t* size) = 0;

  virtual long RegSetValueExA(HKey key, const std::string& name,
                              std::uint32_t reserved, std::uint32_t type,
                              const std::uint8_t* data, std::uint32_t size) = 0;

  virtual long RegDeleteValueA(HKey key, const std::string& name) = 0;

  // Writes the NUL-terminated name of subkey `index` into `name`. kMoreData
  // when it does not fit `capacity` bytes, kNoMoreItems past the last one.
  // Subkeys come in a stable order, sorted without regard to letter case.
  virtual long RegEnumKeyA(HKey key, std::uint32_t index, char* name,
                           std::uint32_t capacity) = 0;

  // Writes the NUL-terminated name of value `index` into `name`, as
  // RegEnumKeyA does for subkeys. A name that cannot be told exactly (one
  // the code page cannot hold reads with '?' in place of what it lacks, so
  // it never reads as another name) is still listed; a list that cannot be
  // read is kAccessDenied, never a short list.
  virtual long RegEnumValueA(HKey key, std::uint32_t index, char* name, std::uint32_t capacity) = 0;

  // Removes a subkey that has no subkeys of its own (kAccessDenied when it
  // has some, as on Windows NT). A subkey that is a link is removed as a
  // link: the key it points at is never touched.
  virtual long RegDeleteKeyA(HKey key, const std::string& subkey) = 0;

  virtual long RegCloseKey(HKey key) = 0;

  // Creates `subkey` (one name) of `key` with no values when it is missing,
  // and opens it with `access`, as RegCreateKeyExA does; `*created` tells
  // whether it was missing. Needs KEY_CREATE_SUB_KEY on `key`. A store
  // that cannot create keys refuses with kNotSupported: the repairs create
  // theirs in the overlay that plans a run, and the plan reaches the
  // registry through RegTarget.
  virtual long RegCreateKeyExA(HKey /*key*/, const std::string& /*subkey*/, std::uint32_t /*access*/, HKey* result,
                               bool* created) {
    if (result != nullptr) *result = kNullKey;
    if (created != nullptr) *created = false;
    return kNotSupported;
  }

  // Whether `key` (opened with kOpenLink) is a registry link; kSuccess when
  // the store could tell.
  virtual long RegQueryKeyIsLink(HKey key, bool* is_link) = 0;

  // Whether `key` (opened with kOpenLink), once it holds no subkeys, can be
  // deleted: a store whose writer cannot take some keys out of their parent
  // says so before a change is planned, so that no plan, dry run or backup
  // names a deletion that would not happen.
  virtual bool KeyRemovable(HKey /*key*/) { return true; }

  // Whether `key` (opened with kOpenLink) can go with everything below it in
  // one step (RegDeleteTreeA), whatever the names below are: a store that
  // keeps keys by something other than their names can delete a tree
  // without spelling one of them.
  virtual bool TreeRemovable(HKey /*key*/) { return false; }

  // Deletes `subkey` of `key` with everything below it in one step; a link
  // in it goes as a link, and what it points at stays. Only where
  // TreeRemovable says so (kAccessDenied elsewhere).
  virtual long RegDeleteTreeA(HKey /*key*/, const std::string& /*subkey*/) { return kAccessDenied; }

  // Whether HKLM\SOFTWARE has a 32-bit view beside the 64-bit one (kView32
  // opens reach another place). An offline or in-memory registry is taken
  // for 64-bit Windows', whose 32-bit branch may simply be absent; the
  // machine's own registry says what the machine has.
  virtual bool HasView32() const { return true; }

  // After an open failed with kRefusedLink: the link and where it points,
  // as one line (UTF-8); empty when the store cannot say.
  virtual std::string RefusedLink() const { return {}; }

  // What the registry calls `root` in messages: HKEY_LOCAL_MACHINE, and
  // HKEY_CURRENT_USER unless the user part is another profile's key.
  virtual std::string RootName(HKey root) const {
    return root == kCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
  }
};

// Closes the handle it holds when it goes out of scope.
class ScopedKey {
 public:
  explicit ScopedKey(RegistryStore& store) : store_(&store) {}
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  ~ScopedKey() { Reset(); }

  // Opens `path` below `root`; the result of the open, as the store gave it.
  long Open(HKey root, const std::string& path, std::uint32_t access,
           std::uint32_t options = 0) {
    Reset();
    HKey opened = kNullKey;
    const long rc = store_->RegOpenKeyExA(root, path, options, access, &opened);
    if (rc == kSuccess) key_ = opened;
    return rc;
  }
  HKey get() const { return key_; }
  bool is_open() const { return key_ != kNullKey; }
  void Reset() {
    if (key_ != kNullKey) store_->RegCloseKey(key_);
    key_ = kNullKey;
  }

 private:
  RegistryStore* store_;
  HKey key_ = kNullKey;
};

}  // namespace torvane::registry
