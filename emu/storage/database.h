// The one storage interface of the emulated platform: an SQLite database
// file below the home, opened in WAL mode with a busy timeout, so that
// several threads and processes may read and change it at once. Every change
// runs in one immediate transaction and is durable when it commits.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "storage/error.h"

namespace emu::storage {

using Bytes = std::vector<uint8_t>;

class Statement {
 public:
  Statement(sqlite3 *db, const char *sql);
  ~Statement();
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement &bind(int i, int64_t v);
  Statement &bind(int i, const std::string &text);
  Statement &bind(int i, const void *data, size_t n);
  Statement &bind(int i, const Bytes &b) { return bind(i, b.data(), b.size()); }
  Statement &bindNull(int i);
  // Steps once: true when a row is available; false at the end. A failure
  // (other than the end) throws StorageError.
  bool step();
  // Runs the statement to completion and resets it; returns the number of
  // rows it changed.
  int run();
  void reset();
  int64_t int64(int col) const;
  std::string text(int col) const;
  Bytes blob(int col) const;
  // A blob column's bytes without copying them, valid until the statement
  // steps again or is reset; ask for the data first, then its size.
  const uint8_t *blobData(int col) const;
  size_t bytes(int col) const;
  bool isNull(int col) const;

 private:
  sqlite3 *db_;
  sqlite3_stmt *stmt_ = nullptr;
};

// What a connection can tell of the changes committed to its file. When
// `counted`, `value` is the file's shared change count, settled (no write
// under way): it moves with every transaction of any process. Otherwise it
// is SQLite's data_version, which moves when another connection commits.
// Two stamps that are equal in both fields mean no change in between.
struct ChangeStamp {
  bool counted = false;
  int64_t value = 0;
  bool operator==(const ChangeStamp &o) const { return counted == o.counted && value == o.value; }
  bool operator!=(const ChangeStamp &o) const { return !(*this == o); }
};

class ChangeCount;

class Database {
 public:
  // Opens (creating when missing, mode 0600) the database at `path` and
  // runs `schema` (idempotent DDL) once per connection. The connection is
  // per thread and cached for the thread's life. Throws StorageError.
  static Database &forThread(const std::string &path, const char *schema);
  // Whether this thread's connection to `path` is on the file that `path`
  // names now (one stat). A connection whose file was deleted or replaced
  // since it was opened (the home removed and made again, say) is retired:
  // nothing is written through it any more, the next forThread opens the
  // file that is there now, and it stays open for a while so that a caller
  // further up the stack may finish with it. False as well when the thread
  // has no connection to `path`.
  static bool stillOn(const std::string &path);
  // The path of the database `name` in the home: the home made ready
  // (created, its file policy applied) unless this thread's connection is
  // still on the file there. Throws StorageError when it cannot be.
  static std::string inHome(const char *name);

  ~Database();
  Database(const Database &) = delete;
  Database &operator=(const Database &) = delete;

  // Tells this connection from every other of the process, including a
  // later one at the same address.
  uint64_t connectionId() const { return id_; }
  const std::string &path() const { return path_; }
  // Opened read-only because the home cannot be written: every transaction
  // fails with SQLITE_READONLY.
  bool readOnly() const { return readOnly_; }
  // Copies the WAL into the main file and truncates the WAL to nothing, so
  // that no earlier page image (a deleted key's secret) stays in it. False
  // when readers kept it from completing within the busy timeout.
  bool checkpointTruncate();
  // A prepared statement kept for the life of the connection.
  Statement &prepare(const char *sql);
  // Runs `body` inside BEGIN IMMEDIATE ... COMMIT; rolls back when it
  // throws or returns false. Returns what body returned.
  bool transaction(const std::function<bool()> &body);
  // Changes whenever another connection committed a change to the file
  // since the last call on this connection. It opens a read transaction:
  // file locks, and a process-wide mutex in SQLite's file layer.
  int64_t dataVersion();
  // Changes whenever any connection, of this process or another, committed
  // a change to the file. Read from the change count that every
  // transaction keeps in the file's "-changes" companion (mapped memory: no
  // system call, no lock) while it is settled; from dataVersion() while a
  // write is under way, after a writer died in one, or without the count.
  ChangeStamp changeStamp();
  void exec(const char *sql);
  // The row id of the last row this connection inserted.
  int64_t lastRowId() const;
  // The rows this connection changed since it was opened: moves with every
  // change it makes, which its change stamp may not show.
  int64_t changes() const;

 private:
  friend class ReadSnapshot;
  explicit Database(const std::string &path);
  std::string path_;
  uint64_t id_;
  // The file opened (device and inode), to tell it from one that replaced it.
  uint64_t device_ = 0, inode_ = 0;
  bool readOnly_ = false;
  sqlite3 *db_ = nullptr;
  std::unique_ptr<ChangeCount> changes_;
  std::vector<std::pair<const char *, std::unique_ptr<Statement>>> cache_;
};

// A read snapshot: every read through the connection while it lives sees
// one consistent state of the file, even while other processes change it.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(Database &d) : d_(d) { d_.exec("BEGIN"); }
  // Ends the read; a failure to end it leaves nothing to undo.
  ~ReadSnapshot() { sqlite3_exec(d_.db_, "COMMIT", nullptr, nullptr, nullptr); }
  ReadSnapshot(const ReadSnapshot &) = delete;
  ReadSnapshot &operator=(const ReadSnapshot &) = delete;

 private:
  Database &d_;
};

}  // namespace emu::storage
