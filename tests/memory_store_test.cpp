// The memory store must answer the seven operations as the Win32 registry does,
// since every check and repair is proven against it.
#include <gtest/gtest.h>

#include <cstring>

#include "registry/key_tree.h"
#include "registry/memory_store.h"
#include "registry/names.h"
#include "support/text.h"

namespace torvane::registry {
namespace {

using torvane::testing::Gbk;

class MemoryStoreTest : public ::testing::Test {
 protected:
  HKey Open(HKey root, const std::string& path, std::uint32_t access = kKeyAllAccess) {
    HKey key = kNullKey;
    EXPECT_EQ(store.RegOpenKeyExA(root, path, 0, access, &key), kSuccess) << path;
    return key;
  }
  MemoryStore store;
};

TEST_F(MemoryStoreTest, OpenFindsKeysWithoutRegardToCaseAndCountsHandles) {
  store.CreateKey(kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon");
  HKey key = kNullKey;
  EXPECT_EQ(store.RegOpenKeyExA(kLocalMachine, "software\\MICROSOFT\\windows nt\\currentversion\\winlogon",
                                0, kKeyRead, &key),
            kSuccess);
  EXPECT_EQ(store.open_handles(), 1u);
  EXPECT_EQ(store.RegCloseKey(key), kSuccess);
  EXPECT_EQ(store.open_handles(), 0u);
  EXPECT_EQ(store.RegCloseKey(key), kInvalidHandle);

  EXPECT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\Missing", 0, kKeyRead, &key), kFileNotFound);
  EXPECT_EQ(key, kNullKey);
  EXPECT_EQ(store.RegOpenKeyExA(kCurrentUser, "SOFTWARE\\Microsoft", 0, kKeyRead, &key), kFileNotFound)
      << "the two roots are separate hives";
}

TEST_F(MemoryStoreTest, QueryReportsMoreDataWithTheNeededSize) {
  store.PutString(kCurrentUser, "K", "Text", std::string(150, 'x'));
  const HKey key = Open(kCurrentUser, "K");
  std::uint8_t buffer[100] = {};
  std::uint32_t size = sizeof buffer;
  EXPECT_EQ(store.RegQueryValueExA(key, "text", nullptr, buffer, &size), kMoreData);
  EXPECT_EQ(size, 151u);
  std::uint32_t type = 0;
  size = 0;
  EXPECT_EQ(store.RegQueryValueExA(key, "TEXT", &type, nullptr, &size), kSuccess);
  EXPECT_EQ(size, 151u);
  EXPECT_EQ(type, kRegSz);
  size = sizeof buffer;
  EXPECT_EQ(store.RegQueryValueExA(key, "Other", nullptr, buffer, &size), kFileNotFound);
  store.RegCloseKey(key);
}

TEST_F(MemoryStoreTest, SetAndDeleteValuesKeepTheirFirstNameAndOrder) {
  store.CreateKey(kCurrentUser, "K");
  const HKey key = Open(kCurrentUser, "K");
  const std::uint8_t one[4] = {1, 0, 0, 0};
  EXPECT_EQ(store.RegSetValueExA(key, "NoRun", 0, kRegDword, one, 4), kSuccess);
  EXPECT_EQ(store.RegSetValueExA(key, "", 0, kRegSz, reinterpret_cast<const std::uint8_t*>("x"), 2), kSuccess);
  EXPECT_EQ(store.RegSetValueExA(key, "NORUN", 0, kRegSz, reinterpret_cast<const std::uint8_t*>("1"), 2), kSuccess);
  const auto& values = store.FindKey(kCurrentUser, "K")->values;
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "NoRun");
  EXPECT_EQ(values[0].type, kRegSz);
  EXPECT_EQ(values[1].name, "");
  EXPECT_EQ(store.RegDeleteValueA(key, "noRUN"), kSuccess);
  EXPECT_EQ(store.RegDeleteValueA(key, "noRUN"), kFileNotFound);
  store.RegCloseKey(key);
}

TEST_F(MemoryStoreTest, EnumerationIsSortedWithoutRegardToCaseAndReportsLongNames) {
  store.CreateKey(kLocalMachine, "IFEO\\zeta.exe");
  store.CreateKey(kLocalMachine, "IFEO\\Alpha.exe");
  store.CreateKey(kLocalMachine, "IFEO\\beta.exe");
  store.CreateKey(kLocalMachine, "IFEO\\" + std::string(120, 'L'));
  const HKey key = Open(kLocalMachine, "IFEO");
  char name[100];
  std::vector<std::string> seen;
  for (std::uint32_t i = 0;; ++i) {
    const long rc = store.RegEnumKeyA(key, i, name, sizeof name);
    if (rc == kNoMoreItems) break;
    seen.push_back(rc == kSuccess ? std::string(name) : "<" + std::to_string(rc) + ">");
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"Alpha.exe", "beta.exe", "<234>", "zeta.exe"}));
  store.RegCloseKey(key);
}

TEST_F(MemoryStoreTest, DeleteKeyRefusesKeysWithSubkeysAndInvalidatesTheirHandles) {
  store.CreateKey(kLocalMachine, "P\\Parent\\Child");
  const HKey parent = Open(kLocalMachine, "P");
  const HKey child = Open(kLocalMachine, "P\\Parent\\Child");
  EXPECT_EQ(store.RegDeleteKeyA(parent, "Parent"), kAccessDenied);
  EXPECT_EQ(store.RegDeleteKeyA(parent, "parent\\child"), kSuccess);
  EXPECT_EQ(store.RegDeleteKeyA(parent, "Parent"), kSuccess);
  EXPECT_EQ(store.RegDeleteKeyA(parent, "Parent"), kFileNotFound);
  std::uint32_t size = 0;
  EXPECT_EQ(store.RegQueryValueExA(child, "x", nullptr, nullptr, &size), kKeyDeleted);
  EXPECT_EQ(store.RegCloseKey(child), kSuccess);
  store.RegCloseKey(parent);
  EXPECT_EQ(store.open_handles(), 0u);
}

TEST_F(MemoryStoreTest, AnAccountWithoutAdministrativeRightsReadsButCannotOpenHklmForWriting) {
  store.CreateKey(kLocalMachine, "SOFTWARE\\X");
  store.CreateKey(kCurrentUser, "Software\\X");
  store.SetAdministrator(false);
  HKey key = kNullKey;
  EXPECT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\X", 0, kKeyAllAccess, &key), kAccessDenied);
  EXPECT_EQ(key, kNullKey);
  key = Open(kLocalMachine, "SOFTWARE\\X", kKeyRead);
  const std::uint8_t byte = 0;
  EXPECT_EQ(store.RegSetValueExA(key, "v", 0, kRegBinary, &byte, 1), kAccessDenied)
      << "a read-only handle cannot write";
  store.RegCloseKey(key);
  key = Open(kCurrentUser, "Software\\X", kKeyAllAccess);
  EXPECT_EQ(store.RegSetValueExA(key, "v", 0, kRegBinary, &byte, 1), kSuccess);
  store.RegCloseKey(key);
}

TEST_F(MemoryStoreTest, RefusedChangesAndDeletionsFailWithAccessDenied) {
  store.PutDword(kCurrentUser, "Locked", "NoRun", 1);
  store.RefuseChanges(kCurrentUser, "Locked");
  store.CreateKey(kCurrentUser, "Parent\\Pinned");
  store.RefuseDeletion(kCurrentUser, "Parent\\Pinned");
  const HKey locked = Open(kCurrentUser, "Locked");
  EXPECT_EQ(store.RegDeleteValueA(locked, "NoRun"), kAccessDenied);
  EXPECT_TRUE(store.GetValue(kCurrentUser, "Locked", "NoRun").has_value());
  const HKey parent = Open(kCurrentUser, "Parent");
  EXPECT_EQ(store.RegDeleteKeyA(parent, "Pinned"), kAccessDenied);
  EXPECT_NE(store.FindKey(kCurrentUser, "Parent\\Pinned"), nullptr);
  store.RegCloseKey(locked);
  store.RegCloseKey(parent);
}

TEST(KeyNames, GbkTrailBytesAreNeitherFoldedNorSplit) {
  // "刷" is 0xCB 0xA2 and "砛" is 0xED 0x5C: a trail byte equal to '\'.
  const std::string with_backslash_trail = Gbk("砛");
  ASSERT_EQ(with_backslash_trail.size(), 2u);
  ASSERT_EQ(with_backslash_trail[1], '\\');
  EXPECT_EQ(SplitKeyPath("A\\" + with_backslash_trail + "b\\C"),
            (std::vector<std::string>{"A", with_backslash_trail + "b", "C"}));
  // "亜" in GBK is 0x81 0x61: its trail byte is a lower-case 'a'.
  const std::string lower_trail = "\x81" "a";
  EXPECT_EQ(FoldName(lower_trail + "x"), lower_trail + "X");
  EXPECT_FALSE(NamesEqual(lower_trail, "\x81" "A"));
}

}  // namespace
}  // namespace torvane::registry

namespace torvane::registry {
namespace {

TEST(MemoryStoreLinkTest, LinksAreFollowedUnlessTheLinkItselfIsAskedFor) {
  MemoryStore store;
  store.PutString(kLocalMachine, "SOFTWARE\\Target\\Child", "Data", "x");
  store.CreateLink(kLocalMachine, "SOFTWARE\\Link", kLocalMachine, "SOFTWARE\\Target");
  store.CreateLink(kLocalMachine, "SOFTWARE\\Loop", kLocalMachine, "SOFTWARE\\Loop");
  HKey key = kNullKey;
  ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\Link\\Child", kOpenLink, kKeyRead, &key), kSuccess)
      << "a link on the way is always followed";
  store.RegCloseKey(key);
  bool is_link = true;
  ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\Link", 0, kKeyRead, &key), kSuccess);
  EXPECT_EQ(store.RegQueryKeyIsLink(key, &is_link), kSuccess);
  EXPECT_FALSE(is_link) << "opened through: the target";
  store.RegCloseKey(key);
  ASSERT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\Link", kOpenLink, kKeyRead, &key), kSuccess);
  EXPECT_EQ(store.RegQueryKeyIsLink(key, &is_link), kSuccess);
  EXPECT_TRUE(is_link);
  store.RegCloseKey(key);
  EXPECT_EQ(store.RegOpenKeyExA(kLocalMachine, "SOFTWARE\\Loop", 0, kKeyRead, &key), kFileNotFound);
  EXPECT_EQ(store.RegDeleteKeyA(kLocalMachine, "SOFTWARE\\Link\\Child"), kSuccess) << "deleted through the link";
  EXPECT_EQ(store.FindKey(kLocalMachine, "SOFTWARE\\Target\\Child"), nullptr);
  store.CreateKey(kLocalMachine, "SOFTWARE\\Target\\Child");
  EXPECT_EQ(store.RegDeleteKeyA(kLocalMachine, "SOFTWARE\\Link"), kSuccess);
  EXPECT_EQ(store.FindKey(kLocalMachine, "SOFTWARE\\Link"), nullptr);
  EXPECT_NE(store.FindKey(kLocalMachine, "SOFTWARE\\Target\\Child"), nullptr) << "the target stays";
  EXPECT_EQ(store.open_handles(), 0u);
}

TEST(DeleteKeyTreeTest, RemovesATreeDeepestFirstAndLeavesWholeWhatCannotGoWhole) {
  MemoryStore store;
  store.CreateKey(kLocalMachine, "SOFTWARE\\Doomed\\A\\B\\C");
  store.CreateKey(kLocalMachine, "SOFTWARE\\Doomed\\D");
  store.CreateKey(kLocalMachine, "SOFTWARE\\Kept\\Inside");
  store.CreateLink(kLocalMachine, "SOFTWARE\\Doomed\\A\\ToKept", kLocalMachine, "SOFTWARE\\Kept");
  EXPECT_EQ(DeleteKeyTree(store, kLocalMachine, "SOFTWARE\\Doomed"), kSuccess);
  EXPECT_EQ(store.FindKey(kLocalMachine, "SOFTWARE\\Doomed"), nullptr);
  EXPECT_NE(store.FindKey(kLocalMachine, "SOFTWARE\\Kept\\Inside"), nullptr);
  EXPECT_EQ(DeleteKeyTree(store, kLocalMachine, "SOFTWARE\\Doomed"), kFileNotFound);

  // What cannot go is found before anything goes: the keys listed before
  // it stay too.
  store.CreateKey(kLocalMachine, "SOFTWARE\\Doomed\\a first");
  store.CreateKey(kLocalMachine, "SOFTWARE\\Doomed\\x\xE2\x98\x83");
  store.ListAs(kLocalMachine, "SOFTWARE\\Doomed\\x\xE2\x98\x83", "x?");
  EXPECT_EQ(DeleteKeyTree(store, kLocalMachine, "SOFTWARE\\Doomed"), kAccessDenied);
  EXPECT_NE(store.FindKey(kLocalMachine, "SOFTWARE\\Doomed\\a first"), nullptr);

  std::string deep = "SOFTWARE\\Deep";
  for (int i = 0; i < kMaxKeyDepth + 2; ++i) deep += "\\k";
  store.CreateKey(kLocalMachine, deep);
  store.CreateKey(kLocalMachine, "SOFTWARE\\Deep\\a first");
  EXPECT_EQ(DeleteKeyTree(store, kLocalMachine, "SOFTWARE\\Deep"), kInvalidParameter);
  EXPECT_NE(store.FindKey(kLocalMachine, "SOFTWARE\\Deep\\a first"), nullptr);

  store.CreateKey(kLocalMachine, "SOFTWARE\\Denied\\a first");
  store.CreateKey(kLocalMachine, "SOFTWARE\\Denied\\b\\c");
  store.DenyAccess(kLocalMachine, "SOFTWARE\\Denied\\b\\c");
  EXPECT_EQ(DeleteKeyTree(store, kLocalMachine, "SOFTWARE\\Denied"), kAccessDenied);
  EXPECT_NE(store.FindKey(kLocalMachine, "SOFTWARE\\Denied\\a first"), nullptr);
  EXPECT_EQ(store.open_handles(), 0u);
}

}  // namespace
}  // namespace torvane::registry
