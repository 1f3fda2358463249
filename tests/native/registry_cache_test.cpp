// The registry is read again from its files only when they changed (a
// watch on the folder says so), and enumeration finds any index at once:
// every change must still be seen by the very next call, whatever way the
// file was changed, and open handles keep the state they were opened in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "common/test_hooks.h"
#include "test_home.h"
#include "winapi/advapi32.h"

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

// The DWORD "V" of HKLM\K, -1 when the key is missing.
int readV() {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return -1;
  DWORD v = 0, size = 4;
  const LONG rc = RegQueryValueExA(k, "V", nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size);
  RegCloseKey(k);
  return rc == ERROR_SUCCESS ? static_cast<int>(v) : -2;
}

std::string withV(int v) {
  char line[64];
  std::snprintf(line, sizeof line, "\"V\"=dword:%08x\n", v);
  return std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\K]\n" + line;
}

// Every subkey name of HKLM\<path> through RegEnumKeyExA on `k`.
std::vector<std::string> subkeys(HKEY k) {
  std::vector<std::string> names;
  char name[500];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    const LONG rc = RegEnumKeyExA(k, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
      break;
    }
    names.emplace_back(name, size);
  }
  return names;
}

class RegistryCache : public HomeTest {};

// The registration of the home replaced by one file, as a new folder.
void replaceFolder(const std::string &home, const std::string &text) {
  std::filesystem::remove_all(home + "/registry");
  std::filesystem::create_directories(home + "/registry");
  std::ofstream(home + "/registry/10-test.reg") << text;
}

// Ways of changing the registration between two calls; each must be seen
// by the next call.
struct ChangeCase {
  const char *what;
  std::function<void(const std::string &home)> change;  // of the registry in home/registry
  int expected;
};

class RegistryChanges : public RegistryCache, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(RegistryChanges, AreSeenByTheNextCall) {
  replaceRegistry(withV(1));
  ASSERT_EQ(readV(), 1);
  ASSERT_EQ(readV(), 1);  // now served from the cache
  GetParam().change(home_);
  EXPECT_EQ(readV(), GetParam().expected) << GetParam().what;
  // And the change after that, too.
  std::ofstream(home_ + "/registry/90-last.reg") << withV(9);
  EXPECT_EQ(readV(), 9) << GetParam().what;
}

// Rewrites a file in place with text of the same length and puts its
// modification time back: nothing in a listing of the folder differs.
void rewriteKeepingTime(const std::string &path, const std::string &text) {
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, RegistryChanges,
    ::testing::Values(ChangeCase{"a later file added",
                                 [](const std::string &home) {
                                   const std::string dir = home + "/registry";
                                   std::ofstream(dir + "/20-more.reg") << withV(2);
                                 },
                                 2},
                      ChangeCase{"the file rewritten in place, same size, same time",
                                 [](const std::string &home) {
                                   const std::string dir = home + "/registry";
                                   rewriteKeepingTime(dir + "/10-test.reg", withV(3));
                                 },
                                 3},
                      ChangeCase{"the file renamed over",
                                 [](const std::string &home) {
                                   const std::string dir = home + "/registry";
                                   std::ofstream(dir + "/tmp") << withV(4);
                                   std::filesystem::rename(dir + "/tmp", dir + "/10-test.reg");
                                 },
                                 4},
                      ChangeCase{"the file removed (the key goes)",
                                 [](const std::string &home) {
                                   const std::string dir = home + "/registry";
                                   std::filesystem::remove(dir + "/10-test.reg");
                                 },
                                 -1},
                      ChangeCase{"the folder removed and made again, twice",
                                 [](const std::string &home) {
                                   replaceFolder(home, withV(5));
                                   EXPECT_EQ(readV(), 5);
                                   replaceFolder(home, withV(6));
                                 },
                                 6},
                      ChangeCase{"the folder renamed away and another put in its place",
                                 [](const std::string &home) {
                                   const std::string dir = home + "/registry";
                                   std::filesystem::rename(dir, dir + ".old");
                                   std::filesystem::create_directories(dir);
                                   std::ofstream(dir + "/10-test.reg") << withV(7);
                                 },
                                 7},
                      ChangeCase{"a file that is a link, its target rewritten in place",
                                 [](const std::string &home) {
                                   const std::string dir = home + "/registry";
                                   const std::string target = home + "/elsewhere.reg";
                                   std::ofstream(target) << withV(10);
                                   std::filesystem::remove(dir + "/10-test.reg");
                                   std::filesystem::create_symlink(target, dir + "/10-test.reg");
                                   EXPECT_EQ(readV(), 10);
                                   rewriteKeepingTime(target, withV(11));
                                 },
                                 11}));

TEST_F(RegistryCache, AnotherHomeIsReadAsItsOwn) {
  replaceRegistry(withV(1));
  ASSERT_EQ(readV(), 1);
  const std::string first = home_;
  char tmpl[] = "/tmp/mscapi-gtest-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  home_ = tmpl;
  setenv("MSCAPI_HOME", home_.c_str(), 1);
  replaceRegistry(withV(2));
  EXPECT_EQ(readV(), 2);
  std::filesystem::remove_all(first);
}

// A forked child shares nothing it could take from its parent: a change
// made after the fork is seen by both.
TEST_F(RegistryCache, ParentAndForkedChildBothSeeLaterChanges) {
  replaceRegistry(withV(1));
  ASSERT_EQ(readV(), 1);
  child::Signal ready, go, done;
  ASSERT_TRUE(ready.ok() && go.ok() && done.ok());
  const pid_t pid = child::start(
      [&] {
        const int before = readV();
        if (!ready.send() || !go.receive()) return 10;
        const int after = readV();
        if (!done.send()) return 11;
        return before == 1 && after == 2 ? 0 : 20 + before * 3 + after;
      },
      false);
  ASSERT_GE(pid, 0);
  EXPECT_TRUE(ready.receive());  // false when the child ended without answering
  std::ofstream(home_ + "/registry/20-more.reg") << withV(2);
  EXPECT_TRUE(go.send());
  EXPECT_TRUE(done.receive());
  EXPECT_EQ(readV(), 2);
  EXPECT_EQ(child::wait(pid), 0);
}

// Threads read the registry without a lock while another changes it: a
// call that starts after a change was made sees it, whichever thread read
// the watch's event. Values only grow, so an older value is a stale read.
// Run as it is, and with every reader slow to mark what it read (so that
// readers overlap in the window where one has taken an event another must
// not miss).
TEST_F(RegistryCache, ThreadsReadingAtOnceNeverMissAChangeMadeBeforeTheyAsked) {
  for (bool slow : {false, true}) {
    SCOPED_TRACE(slow ? "slow verdicts" : "as it is");
    struct Restore {
      ~Restore() { EmuTestControl(0, emu::hooks::kSlowWatchVerdict); }
    } restore;
    if (slow) EmuTestControl(emu::hooks::kSlowWatchVerdict, 0);
    replaceRegistry(withV(0));
    const std::string dir = home_ + "/registry";
    std::atomic<int> written{0};
    std::atomic<bool> stop{false};
    std::atomic<int> stale{0}, reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
      readers.emplace_back([&] {
        while (!stop.load()) {
          const int before = written.load();
          const int v = readV();
          if (v < before) ++stale;
          ++reads;
        }
      });
    // The writer waits until a read that began after its change has ended
    // (one more read than the readers that may have been under way), so
    // changes are read however slow the machine is: after each change when
    // slow, after every fifth otherwise, so that changes also come in bursts
    // that readers see only the last of. Readers that stop answering are a
    // fault of their own.
    const int changes = slow ? 100 : 300;
    const int kReaders = static_cast<int>(readers.size());
    int stuck = 0;
    for (int i = 1; i <= changes && stuck == 0; ++i) {
      std::ofstream(dir + "/tmp") << withV(i);
      std::filesystem::rename(dir + "/tmp", dir + "/10-test.reg");
      written.store(i);
      if (!slow && i % 5 != 0 && i != changes) continue;
      const int from = reads.load();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (reads.load() <= from + kReaders) {
        if (std::chrono::steady_clock::now() > deadline) {
          stuck = i;
          break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(slow ? 500 : 50));
      }
    }
    stop.store(true);
    for (auto &t : readers) t.join();
    EXPECT_EQ(stuck, 0) << "no read ended within 20 s of change " << stuck;
    EXPECT_EQ(stale.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_EQ(readV(), changes);
  }
}

// A home deleted while the process runs: the next read finds the default
// registration made again, and the watch follows the new folder, so a
// change written there afterwards is seen at once.
TEST_F(RegistryCache, AHomeDeletedAndMadeAgainIsWatchedAnew) {
  replaceRegistry(withV(1));
  ASSERT_EQ(readV(), 1);
  std::filesystem::remove_all(home_);
  EXPECT_EQ(readV(), -1);
  EXPECT_TRUE(std::filesystem::exists(home_ + "/registry/00-default.reg"));
  writeReg("10-test.reg", withV(2));
  EXPECT_EQ(readV(), 2);
  writeReg("10-test.reg", withV(3));
  EXPECT_EQ(readV(), 3);
}

TEST_F(RegistryCache, AnOpenHandleKeepsTheStateItWasOpenedIn) {
  replaceRegistry(std::string(kHeader) +
                  "[HKEY_LOCAL_MACHINE\\P\\one]\n[HKEY_LOCAL_MACHINE\\P\\two]\n");
  HKEY before = nullptr, after = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "P", 0, KEY_ENUMERATE_SUB_KEYS, &before),
            ERROR_SUCCESS);
  writeReg("20-more.reg", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\P\\Three]\n");
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "P", 0, KEY_ENUMERATE_SUB_KEYS, &after),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys(before), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(subkeys(after), (std::vector<std::string>{"one", "Three", "two"}));
  RegCloseKey(before);
  RegCloseKey(after);
}

// Every index of a large key, in case-insensitive order, and the end.
TEST_F(RegistryCache, EnumeratesManySubkeysInOrder) {
  std::string text(kHeader);
  std::vector<std::string> expected;
  char name[32];
  for (int i = 2999; i >= 0; --i) {
    std::snprintf(name, sizeof name, i % 2 ? "Sub%04d" : "sub%04d", i);
    text += std::string("[HKEY_LOCAL_MACHINE\\Many\\") + name + "]\n";
    expected.insert(expected.begin(), name);
  }
  replaceRegistry(text);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Many", 0, KEY_ENUMERATE_SUB_KEYS, &k),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys(k), expected);
  char out[500];
  DWORD size = sizeof out;
  EXPECT_EQ(RegEnumKeyExA(k, 1234, out, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::string(out, size), expected[1234]);
  size = sizeof out;
  EXPECT_EQ(RegEnumKeyExA(k, 3000, out, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(k);
}

}  // namespace
