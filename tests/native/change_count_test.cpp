// The change count beside each database ("-changes"): every committed write,
// of any thread or process, moves the stamp readers compare; a count left
// unsettled by a writer that died inside a transaction makes readers ask
// SQLite instead; and a count the process cannot write keeps it from
// writing the database at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "child.h"
#include "storage/database.h"
#include "test_home.h"

namespace {

using emu::storage::ChangeStamp;
using emu::storage::Database;

const char kSchema[] = "CREATE TABLE IF NOT EXISTS t (v INTEGER)";

class ChangeCount : public HomeTest {
 protected:
  std::string db() const { return home_ + "/test.db"; }

  // One committed insert through a connection of its own: another thread
  // of this process, or a forked process.
  bool writeElsewhere(bool otherProcess) {
    const std::string path = db();
    const auto body = [path] {
      Database &d = Database::forThread(path, kSchema);
      return d.transaction([&] {
        d.exec("INSERT INTO t VALUES (1)");
        return true;
      });
    };
    if (otherProcess) return child::runOk(body);
    bool ok = false;
    std::thread([&] { ok = body(); }).join();
    return ok;
  }

  // The two counters of the "-changes" file: `begun`, `ended`.
  void adjustCount(const std::function<void(std::atomic<uint64_t> *)> &f) {
    const std::string file = db() + "-changes";
    const int fd = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void *map = mmap(nullptr, 16, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(map, MAP_FAILED);
    f(static_cast<std::atomic<uint64_t> *>(map));
    munmap(map, 16);
  }
};

TEST_F(ChangeCount, EveryWriteMovesTheStampWhereverItIsMade) {
  Database &d = Database::forThread(db(), kSchema);
  struct stat st {};
  ASSERT_EQ(stat((db() + "-changes").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (bool otherProcess : {false, true}) {
    SCOPED_TRACE(otherProcess ? "another process" : "another thread");
    const ChangeStamp before = d.changeStamp();
    EXPECT_TRUE(before.counted);
    EXPECT_EQ(d.changeStamp(), before);  // nothing changed: the same stamp
    ASSERT_TRUE(writeElsewhere(otherProcess));
    const ChangeStamp after = d.changeStamp();
    EXPECT_TRUE(after.counted);
    EXPECT_NE(after, before);
  }
  // A transaction of this connection that rolls back leaves the count
  // settled (at a new value: readers only look again).
  const ChangeStamp before = d.changeStamp();
  EXPECT_FALSE(d.transaction([] { return false; }));
  EXPECT_TRUE(d.changeStamp().counted);
  EXPECT_NE(d.changeStamp(), before);
}

TEST_F(ChangeCount, AWriterThatDiedInsideATransactionMakesReadersAskSqlite) {
  Database &d = Database::forThread(db(), kSchema);
  const ChangeStamp settled = d.changeStamp();
  ASSERT_TRUE(settled.counted);
  // What a writer leaves when it is killed between taking the write lock
  // and ending its transaction.
  adjustCount([](std::atomic<uint64_t> *c) { c[0].fetch_add(1); });
  const ChangeStamp unsettled = d.changeStamp();
  EXPECT_FALSE(unsettled.counted);
  EXPECT_NE(unsettled, settled);
  // Meanwhile SQLite's own counter tells another connection's commit.
  ASSERT_TRUE(writeElsewhere(true));
  adjustCount([](std::atomic<uint64_t> *c) { c[0].fetch_add(1); });  // unsettled once more
  const ChangeStamp asked = d.changeStamp();
  EXPECT_FALSE(asked.counted);
  EXPECT_NE(asked.value, unsettled.value);
  // The next write that ends settles the count again, at a value no
  // reader has seen.
  ASSERT_TRUE(writeElsewhere(false));
  const ChangeStamp again = d.changeStamp();
  EXPECT_TRUE(again.counted);
  EXPECT_NE(again, settled);
}

// A count that is not a file of its own (a folder, a link elsewhere) is
// never written through.
TEST_F(ChangeCount, ACountTheProcessCannotWriteKeepsItFromWriting) {
  for (const char *what : {"folder", "link"}) {
    SCOPED_TRACE(what);
    const std::string path = home_ + "/" + what + ".db";
    // Made, with its count, by a thread that is gone.
    std::thread([&] { Database::forThread(path, kSchema); }).join();
    const std::string count = path + "-changes";
    ASSERT_EQ(unlink(count.c_str()), 0);
    if (std::string(what) == "folder")
      ASSERT_EQ(mkdir(count.c_str(), 0700), 0);
    else
      ASSERT_EQ(symlink((home_ + "/elsewhere").c_str(), count.c_str()), 0);
    Database &d = Database::forThread(path, kSchema);
    EXPECT_TRUE(d.readOnly());
    EXPECT_FALSE(d.changeStamp().counted);
    try {
      d.transaction([&] {
        d.exec("INSERT INTO t VALUES (1)");
        return true;
      });
      ADD_FAILURE() << "a write without its count went through";
    } catch (const emu::storage::StorageError &e) {
      EXPECT_EQ(e.code & 0xFF, SQLITE_READONLY);
    }
    struct stat st {};
    EXPECT_NE(stat((home_ + "/elsewhere").c_str(), &st), 0) << "the link was followed";
  }
}

}  // namespace
