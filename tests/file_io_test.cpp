// Replacing files on a volume an attacker prepared: links planted where the
// tool writes, owner and mode, several files committed together and put
// back when one fails, a second run at the same time, inputs without end.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "registry/file_io.h"
#include "support/hive_builder.h"
#include "support/immutable.h"

namespace torvane::registry {
namespace {

namespace fs = std::filesystem;
using torvane::testing::ReadFile;
using torvane::testing::SetImmutable;
using torvane::testing::WriteFile;


class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = torvane::testing::ScratchDirectory("file-io");
    outside = torvane::testing::ScratchDirectory("file-io-outside");
  }
  void TearDown() override {
    for (const std::string& path : immutable) SetImmutable(path, false);
    fs::remove_all(dir);
    fs::remove_all(outside);
  }
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  // What a commit left beside the targets.
  int Leftovers() const {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
      count += entry.path().filename().string().find(".torvane-") != std::string::npos;
    }
    return count;
  }

  std::string dir, outside;
  std::vector<std::string> immutable;
};

TEST_F(FileIoTest, LinksPlantedAtTheTargetOrAtTemporaryNamesAreNeverWrittenThrough) {
  const std::string victim = outside + "/victim";
  WriteFile(victim, "precious");
  // A link as the target: refused, and neither the link nor its file changes.
  fs::create_symlink(victim, Path("SOFTWARE"));
  try {
    WriteFileAtomically(Path("SOFTWARE"), "hive bytes");
    FAIL() << "a link was written through";
  } catch (const FileError& error) {
    EXPECT_EQ(std::string(error.what()),
              Path("SOFTWARE") + ": is a symbolic link; refusing to write through it (name the file it leads to)");
  }
  EXPECT_TRUE(fs::is_symlink(Path("SOFTWARE")));
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(Leftovers(), 0);
  EXPECT_THROW(FileLock{Path("SOFTWARE")}, FileError);

  // Links at every name an earlier version used for its temporary file, and
  // a leftover folder of a killed run: all ignored and left alone.
  WriteFile(Path("NTUSER.DAT"), "old");
  for (int pid : {::getpid(), ::getpid() + 1}) {
    fs::create_symlink(victim, Path("NTUSER.DAT.torvane-" + std::to_string(pid) + ".tmp"));
  }
  fs::create_directory(Path("NTUSER.DAT.torvane-leftover"));
  WriteFile(Path("NTUSER.DAT.torvane-leftover/new"), "half");
  WriteFileAtomically(Path("NTUSER.DAT"), "new");
  EXPECT_EQ(ReadFile(Path("NTUSER.DAT")), "new");
  EXPECT_FALSE(fs::is_symlink(Path("NTUSER.DAT")));
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(ReadFile(Path("NTUSER.DAT.torvane-leftover/new")), "half");
  EXPECT_EQ(Leftovers(), 3) << "only what was planted remains";

  // Something that is no regular file is not replaced either.
  fs::create_directory(Path("folder"));
  EXPECT_THROW(WriteFileAtomically(Path("folder"), "x"), FileError);
  EXPECT_TRUE(fs::is_directory(Path("folder")));
}

TEST_F(FileIoTest, TheNewVersionKeepsOwnerGroupModeAndExtendedAttributes) {
  const std::string target = Path("NTUSER.DAT");
  WriteFile(target, "old");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  if (::chown(target.c_str(), 1234, 5678) != 0) GTEST_SKIP() << "chown needs root: " << std::strerror(errno);
  const bool xattrs = ::setxattr(target.c_str(), "user.torvane", "kept", 4, 0) == 0;

  WriteFileAtomically(target, "new");
  struct stat info {};
  ASSERT_EQ(::lstat(target.c_str(), &info), 0);
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_EQ(info.st_uid, 1234u);
  EXPECT_EQ(info.st_gid, 5678u);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  if (xattrs) {
    char value[16] = {};
    EXPECT_EQ(::getxattr(target.c_str(), "user.torvane", value, sizeof value), 4);
    EXPECT_STREQ(value, "kept");
  } else {
    std::fprintf(stderr, "note: this file system keeps no user extended attributes; not checked\n");
  }
  EXPECT_EQ(Leftovers(), 0);
}

TEST_F(FileIoTest, ASetIsCommittedWholeOrPutBack) {
  WriteFile(Path("SOFTWARE"), "software 1");
  WriteFile(Path("NTUSER.DAT"), "user 1");
  {
    FileSet set;
    set.Add(Path("SOFTWARE"), "software 2");
    set.Add(Path("NTUSER.DAT"), "user 2");
    set.Add(Path("new.reg"), "created");
    // Nothing is replaced before Commit, and the originals stay where they are.
    EXPECT_EQ(ReadFile(Path("SOFTWARE")), "software 1");
    set.Commit();
  }
  EXPECT_EQ(ReadFile(Path("SOFTWARE")), "software 2");
  EXPECT_EQ(ReadFile(Path("NTUSER.DAT")), "user 2");
  EXPECT_EQ(ReadFile(Path("new.reg")), "created");
  EXPECT_EQ(Leftovers(), 0);

  // The third rename fails: the first two get their originals back, and the
  // file that did not exist is gone again.
  {
    FileSet set;
    set.Add(Path("created.reg"), "fresh");
    set.Add(Path("SOFTWARE"), "software 3");
    set.Add(Path("NTUSER.DAT"), "user 3");
    int renames = 0;
    set.SetBeforeReplace([&](const std::string&) {
      if (++renames == 3) throw FileError("the disk went away");
    });
    try {
      set.Commit();
      FAIL() << "the commit went through";
    } catch (const FileSetError& error) {
      EXPECT_TRUE(error.replaced().empty());
      EXPECT_EQ(std::string(error.what()), "the disk went away; every file was left as it was");
    }
  }
  EXPECT_EQ(ReadFile(Path("SOFTWARE")), "software 2");
  EXPECT_EQ(ReadFile(Path("NTUSER.DAT")), "user 2");
  EXPECT_FALSE(fs::exists(Path("created.reg")));
  EXPECT_EQ(Leftovers(), 0);
}

// A file that must be new (a backup): a name taken before, or taken between
// the preparation and the commit, is never replaced, and a failed commit
// takes back only the file it made.
TEST_F(FileIoTest, ANewFileNeverReplacesOne) {
  WriteFile(Path("taken.reg"), "theirs");
  fs::create_symlink(outside + "/missing", Path("dangling.reg"));
  for (const char* name : {"taken.reg", "dangling.reg"}) {
    FileSet set;
    EXPECT_THROW(set.AddNew(Path(name), "mine"), FileError) << name;
  }
  EXPECT_EQ(ReadFile(Path("taken.reg")), "theirs");
  EXPECT_TRUE(fs::is_symlink(Path("dangling.reg")));
  EXPECT_FALSE(fs::exists(outside + "/missing"));
  EXPECT_EQ(Leftovers(), 0);

  {
    FileSet set;
    set.AddNew(Path("raced.reg"), "mine");
    set.SetBeforeReplace([&](const std::string&) { WriteFile(Path("raced.reg"), "planted"); });
    EXPECT_THROW(set.Commit(), FileSetError);
  }
  EXPECT_EQ(ReadFile(Path("raced.reg")), "planted");

  WriteFile(Path("SOFTWARE"), "software 1");
  {
    FileSet set;
    set.AddNew(Path("backup.reg"), "undo");
    set.Add(Path("SOFTWARE"), "software 2");
    int renames = 0;
    set.SetBeforeReplace([&](const std::string&) {
      if (++renames == 2) throw FileError("the disk went away");
    });
    EXPECT_THROW(set.Commit(), FileSetError);
  }
  EXPECT_FALSE(fs::exists(Path("backup.reg")));
  EXPECT_EQ(ReadFile(Path("SOFTWARE")), "software 1");

  {
    FileSet set;
    set.AddNew(Path("backup.reg"), "undo");
    set.Commit();
  }
  EXPECT_EQ(ReadFile(Path("backup.reg")), "undo");
  struct stat info {};
  ASSERT_EQ(::lstat(Path("backup.reg").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "it may hold what the registry held";
  EXPECT_EQ(Leftovers(), 0);
}

TEST_F(FileIoTest, AnImmutableSecondFileLeavesTheFirstAsItWas) {
  WriteFile(Path("SOFTWARE"), "software 1");
  WriteFile(Path("NTUSER.DAT"), "user 1");
  if (!SetImmutable(Path("NTUSER.DAT"), true)) GTEST_SKIP() << "chattr +i is not allowed here";
  immutable.push_back(Path("NTUSER.DAT"));
  FileSet set;
  set.Add(Path("SOFTWARE"), "software 2");
  set.Add(Path("NTUSER.DAT"), "user 2");  // kept as a copy: an immutable file takes no link
  try {
    set.Commit();
    FAIL() << "an immutable file was replaced";
  } catch (const FileSetError& error) {
    EXPECT_TRUE(error.replaced().empty());
    EXPECT_NE(std::string(error.what()).find(Path("NTUSER.DAT") + ": cannot replace it: "), std::string::npos);
  }
  EXPECT_EQ(ReadFile(Path("SOFTWARE")), "software 1");
  EXPECT_EQ(ReadFile(Path("NTUSER.DAT")), "user 1");
}

TEST_F(FileIoTest, AFileThatCannotBePutBackIsNamedAsChanged) {
  fs::create_directories(Path("a"));
  fs::create_directories(Path("b"));
  WriteFile(Path("a/SOFTWARE"), "software 1");
  WriteFile(Path("b/NTUSER.DAT"), "user 1");
  FileSet set;
  set.Add(Path("a/SOFTWARE"), "software 2");
  set.Add(Path("b/NTUSER.DAT"), "user 2");
  bool frozen = false;
  int renames = 0;
  set.SetBeforeReplace([&](const std::string&) {
    if (++renames == 1) return;
    // The first file's folder takes no more renames: it cannot be put back.
    frozen = SetImmutable(Path("a"), true);
    throw FileError("second rename failed");
  });
  try {
    set.Commit();
    FAIL();
  } catch (const FileSetError& error) {
    if (!frozen) GTEST_SKIP() << "chattr +i is not allowed here";
    immutable.push_back(Path("a"));
    EXPECT_EQ(error.replaced(), std::vector<std::string>{Path("a/SOFTWARE")});
    EXPECT_NE(std::string(error.what()).find("could not put back " + Path("a/SOFTWARE")), std::string::npos);
  }
  EXPECT_EQ(ReadFile(Path("a/SOFTWARE")), "software 2");
  EXPECT_EQ(ReadFile(Path("b/NTUSER.DAT")), "user 1");
}

TEST_F(FileIoTest, ASecondRunWaitsForTheLockAndThenSeesTheNewVersion) {
  const std::string target = Path("SOFTWARE");
  WriteFile(target, "1");
  const long saved = LockWaitMilliseconds();
  {
    FileLock first(target);
    SetLockWaitMilliseconds(50);
    try {
      FileLock second(target);
      FAIL() << "two runs held the lock";
    } catch (const FileError& error) {
      EXPECT_EQ(std::string(error.what()),
                target + ": another run is changing it (it stays locked); try again when it has finished");
    }
  }
  SetLockWaitMilliseconds(10000);
  std::atomic<bool> locked{false};
  std::thread holder([&] {
    FileLock lock(target);
    locked = true;
    // The holder writes its new version, then lets go.
    WriteFileAtomically(target, "2");
  });
  while (!locked) std::this_thread::yield();
  FileLock waiter(target);
  holder.join();
  SetLockWaitMilliseconds(saved);
  char byte = 0;
  ASSERT_EQ(::pread(waiter.fd(), &byte, 1, 0), 1);
  EXPECT_EQ(byte, '2') << "the waiter locked the file that replaced the one it waited for";
}

TEST_F(FileIoTest, ReadingStopsAtTheLimit) {
  EXPECT_THROW(ReadWholeFile("/dev/zero", 1 << 20), FileError);
  // A sparse file far larger than the limit is refused before it is read.
  {
    std::FILE* file = std::fopen(Path("huge").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(::ftruncate(::fileno(file), off_t{1} << 40), 0);
    std::fclose(file);
  }
  try {
    ReadWholeFile(Path("huge"), std::size_t{256} << 20);
    FAIL();
  } catch (const FileError& error) {
    EXPECT_EQ(std::string(error.what()), Path("huge") + ": larger than 256 MB; refusing to read it");
  }
  WriteFile(Path("small"), "abc");
  EXPECT_EQ(ReadWholeFile(Path("small"), 3), "abc");
}

}  // namespace
}  // namespace torvane::registry
