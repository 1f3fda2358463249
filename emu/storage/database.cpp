#include "storage/database.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "common/home.h"
#include "common/test_hooks.h"

namespace emu::storage {

namespace {

// The file the thread's storage call is about, for the error it raises.
thread_local std::string currentFile;

std::string directoryOf(const std::string &path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool exists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// A failure to open, read or write a database is a permission the process
// lacks when its folder, the file or one of its companions may not be used
// as the failure needed: what stands in the way, in words; empty otherwise.
std::string deniedOf(int code, const std::string &file) {
  const int primary = code & 0xFF;
  const bool writing = primary == SQLITE_READONLY || primary == SQLITE_PERM ||
                       primary == SQLITE_AUTH || primary == SQLITE_IOERR;
  if (file.empty() || (!writing && primary != SQLITE_CANTOPEN)) return {};
  const int want = writing ? R_OK | W_OK : R_OK;
  const std::string dir = directoryOf(file);
  std::string denied = permissionDenied(dir, writing ? W_OK | X_OK : X_OK);
  for (const char *companion : {"", "-wal", "-shm", "-changes"}) {
    if (!denied.empty()) break;
    denied = permissionDenied(file + companion, want);
  }
  return denied;
}

[[noreturn]] void raise(int code) {
  throw StorageError{code, currentFile, deniedOf(code, currentFile)};
}

void check(sqlite3 *db, int rc) {
  (void)db;
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) raise(rc);
}

bool endsWith(const std::string &s, const char *tail) {
  const size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

// The change count of one database file, in its "-changes" companion that
// every process of the home maps shared: two 64-bit counters. A write
// transaction advances `begun` once it holds SQLite's write lock and, when
// it has ended (committed or rolled back), raises `ended` to the value it
// took. While the two are equal no write is under way and `ended` names
// the file's state; while they differ a write is under way, or its process
// died inside one, and readers ask SQLite (the next write that ends
// settles the count again).
class ChangeCount {
 public:
  struct Counts {
    std::atomic<uint64_t> begun;
    std::atomic<uint64_t> ended;
  };
  static_assert(std::atomic<uint64_t>::is_always_lock_free,
                "the counters are shared between processes");

  // Maps the count of the database at `path`, creating it (0600) when
  // `writable`. Null when it cannot be had: `writable` then means the
  // database must not be written, since other processes would not hear of
  // the change.
  static std::unique_ptr<ChangeCount> open(const std::string &path, bool writable) {
    const std::string file = path + "-changes";
    const int fd = ::open(file.c_str(),
                          (writable ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && writable) fchmod(fd, 0600);  // whatever the umask
    // A new (empty) count is given its two counters; a file that is
    // already that long is never shortened.
    if (ok && st.st_size < static_cast<off_t>(sizeof(Counts)))
      ok = writable && ftruncate(fd, sizeof(Counts)) == 0;
    void *map = ok ? mmap(nullptr, sizeof(Counts), writable ? PROT_READ | PROT_WRITE : PROT_READ,
                          MAP_SHARED, fd, 0)
                   : MAP_FAILED;
    ::close(fd);  // the mapping stays
    if (map == MAP_FAILED) return nullptr;
    return std::unique_ptr<ChangeCount>(new ChangeCount(static_cast<Counts *>(map), writable));
  }

  ~ChangeCount() { munmap(counts_, sizeof(Counts)); }

  // The settled count; false while a write is under way.
  bool settled(uint64_t &value) const {
    const uint64_t ended = counts_->ended.load();
    if (counts_->begun.load() != ended) return false;
    value = ended;
    return true;
  }

  // A write transaction took SQLite's write lock: the value it takes.
  uint64_t begin() { return writable_ ? counts_->begun.fetch_add(1) + 1 : 0; }

  // The transaction that took `mine` ended.
  void end(uint64_t mine) {
    if (!writable_) return;
    uint64_t ended = counts_->ended.load();
    while (ended < mine && !counts_->ended.compare_exchange_weak(ended, mine)) {
    }
  }

 private:
  ChangeCount(Counts *counts, bool writable) : counts_(counts), writable_(writable) {}
  Counts *counts_;
  bool writable_;
};

DWORD windowsError(const StorageError &e) {
  switch (e.code & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
      return ERROR_FILE_CORRUPT;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_CANTOPEN:
      return ERROR_PATH_NOT_FOUND;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_NOMEM:
      return NTE_NO_MEMORY;
    default:
      return ERROR_DATABASE_FAILURE;
  }
}

namespace {

// What a storage failure was: its stable code and its words.
struct Kind {
  trace::Reason cause;
  const char *what;
};

Kind kindOf(const StorageError &e) {
  switch (e.code & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
      return {trace::Reason::STORAGE_DAMAGED, "database damaged"};
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return {trace::Reason::STORAGE_CANNOT_WRITE, "cannot write"};
    case SQLITE_FULL:
      return {trace::Reason::STORAGE_DISK_FULL, "disk full"};
    case SQLITE_CANTOPEN:
      return {trace::Reason::STORAGE_CANNOT_OPEN, "cannot open"};
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return {trace::Reason::STORAGE_BUSY, "database busy"};
    default:
      return {trace::Reason::STORAGE_FAILURE, "database failure"};
  }
}

}  // namespace

std::string describe(const StorageError &e) {
  if (!e.denied.empty()) return e.denied;
  std::string out = kindOf(e).what;
  out += ": ";
  out += e.file.empty() ? std::string("(no file)") : e.file;
  out += " (";
  out += sqlite3_errstr(e.code);
  out += ")";
  return out;
}

trace::Reason cause(const StorageError &e) {
  if (!e.denied.empty()) return trace::Reason::PERMISSION_DENIED;
  return kindOf(e).cause;
}

Statement::Statement(sqlite3 *db, const char *sql) : db_(db) {
  check(db_, sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr));
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement &Statement::bind(int i, int64_t v) {
  check(db_, sqlite3_bind_int64(stmt_, i, v));
  return *this;
}

Statement &Statement::bind(int i, const std::string &text) {
  check(db_,
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
  return *this;
}

Statement &Statement::bind(int i, const void *data, size_t n) {
  // A zero-length blob must still be a blob, not NULL.
  static const uint8_t empty = 0;
  check(db_,
        sqlite3_bind_blob(stmt_, i, n != 0 ? data : &empty, static_cast<int>(n), SQLITE_TRANSIENT));
  return *this;
}

Statement &Statement::bindNull(int i) {
  check(db_, sqlite3_bind_null(stmt_, i));
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(stmt_);
  raise(rc);
}

int Statement::run() {
  while (step()) {
  }
  reset();
  return sqlite3_changes(db_);
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t Statement::int64(int col) const {
  return sqlite3_column_int64(stmt_, col);
}

std::string Statement::text(int col) const {
  const auto *p = sqlite3_column_text(stmt_, col);
  const int n = sqlite3_column_bytes(stmt_, col);
  return p != nullptr ? std::string(reinterpret_cast<const char *>(p), n) : std::string();
}

Bytes Statement::blob(int col) const {
  const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(stmt_, col));
  const int n = sqlite3_column_bytes(stmt_, col);
  return p != nullptr ? Bytes(p, p + n) : Bytes();
}

const uint8_t *Statement::blobData(int col) const {
  return static_cast<const uint8_t *>(sqlite3_column_blob(stmt_, col));
}

size_t Statement::bytes(int col) const {
  return static_cast<size_t>(sqlite3_column_bytes(stmt_, col));
}

bool Statement::isNull(int col) const {
  return sqlite3_column_type(stmt_, col) == SQLITE_NULL;
}

namespace {

std::atomic<uint64_t> connections{0};

// A thread's connections, by path. Retired ones are those whose file was
// deleted or replaced; the oldest are closed once there are more than a few.
struct ThreadConnections {
  static constexpr size_t kRetiredKept = 8;
  std::map<std::string, std::unique_ptr<Database>> open;
  std::deque<std::unique_ptr<Database>> retired;
};

ThreadConnections &threadConnections() {
  thread_local ThreadConnections c;
  return c;
}

}  // namespace

Database::Database(const std::string &path) : path_(path), id_(connections.fetch_add(1) + 1) {
  currentFile = path_;
  // A home the process cannot write is served read-only: what it holds can
  // be read, every change fails with SQLITE_READONLY. In WAL mode SQLite
  // reads such a file through its -shm index when that exists and can be
  // read; otherwise (the last writer closed it cleanly, so everything is in
  // the main file) it is opened immutable, which needs no index at all.
  readOnly_ = access(directoryOf(path).c_str(), W_OK | X_OK) != 0;
  int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
  std::string name = path;
  if (readOnly_) {
    if (!exists(path)) raise(SQLITE_READONLY);
    flags |= SQLITE_OPEN_READONLY;
    if (!exists(path + "-shm")) {
      char *uri = sqlite3_mprintf("file:%q?immutable=1", path.c_str());
      name = uri != nullptr ? uri : path;
      sqlite3_free(uri);
    }
  } else {
    // A missing file is created with owner-only permissions before SQLite
    // opens it; SQLite gives its -wal and -shm files the same mode. Only a
    // file this call creates is opened and closed here: closing any
    // descriptor of a file drops every POSIX lock the process holds on it,
    // the locks of other threads' connections included. Opening is
    // serialised (see forThread), so no connection can exist yet on a file
    // created here.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fchmod(fd, 0600);  // whatever the umask
      close(fd);
    }
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  }
  const int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
    raise(rc);
  }
  sqlite3_busy_timeout(db_, 30000);
  try {
    // Reading the schema is the first thing that touches the file: a
    // damaged or foreign file fails here with SQLITE_NOTADB.
    exec("SELECT count(*) FROM sqlite_schema");
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
      device_ = static_cast<uint64_t>(st.st_dev);
      inode_ = static_cast<uint64_t>(st.st_ino);
    }
    changes_ = ChangeCount::open(path_, !readOnly_);
    // Without its count a database is only read: a change this process
    // made would go unseen by the others, whose caches trust the count.
    if (!changes_ && !readOnly_) readOnly_ = true;
    if (!readOnly_) {
      exec("PRAGMA journal_mode=WAL");
      // FULL makes every committed transaction durable in WAL mode as well.
      exec(hooks::active(hooks::kNoSync) ? "PRAGMA synchronous=OFF" : "PRAGMA synchronous=FULL");
    }
    exec("PRAGMA foreign_keys=ON");
    // A page cache large enough for a store of some ten thousand
    // certificates: SQLite keeps it across read transactions while the file
    // is unchanged, so listing a store again reads no page from the file.
    // Pages are taken as they are read, never ahead.
    exec("PRAGMA cache_size=-32768");
  } catch (...) {
    sqlite3_close(db_);  // the destructor does not run for a failed constructor
    db_ = nullptr;
    throw;
  }
}

Database::~Database() {
  cache_.clear();
  sqlite3_close(db_);
}

Database &Database::forThread(const std::string &path, const char *schema) {
  // The test fault stands for a file found damaged, also by a thread that
  // opened it before.
  if (hooks::active(hooks::kDatabaseOpenFails)) throw StorageError{SQLITE_NOTADB, path};
  auto &open = threadConnections().open;
  auto it = open.find(path);
  if (it == open.end()) {
    // While another process sets up a new file (switching it to WAL, making
    // its schema), SQLite may answer SQLITE_BUSY or SQLITE_LOCKED without
    // consulting the busy handler; opening again a little later succeeds.
    std::unique_ptr<Database> db;
    for (int attempt = 0;; ++attempt) {
      try {
        {
          // Threads open their connections one at a time: the constructor
          // may create the file, and must close that descriptor before any
          // other connection of this process holds a lock on it.
          static std::mutex opening;
          std::lock_guard<std::mutex> lock(opening);
          db.reset(new Database(path));
        }
        if (schema != nullptr && !db->readOnly()) {
          db->transaction([&] {
            db->exec(schema);
            return true;
          });
        }
        break;
      } catch (const StorageError &e) {
        const int primary = e.code & 0xFF;
        if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || attempt >= 200) throw;
        db.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + attempt % 20));
      }
    }
    it = open.emplace(path, std::move(db)).first;
  }
  return *it->second;
}

bool Database::stillOn(const std::string &path) {
  ThreadConnections &c = threadConnections();
  const auto it = c.open.find(path);
  if (it == c.open.end()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == it->second->device_ &&
      static_cast<uint64_t>(st.st_ino) == it->second->inode_)
    return true;
  c.retired.push_back(std::move(it->second));
  c.open.erase(it);
  if (c.retired.size() > ThreadConnections::kRetiredKept) c.retired.pop_front();
  return false;
}

std::string Database::inHome(const char *name) {
  const std::string home = homeDir();
  std::string path = home + "/" + name;
  if (!stillOn(path) && !ensureHome(home))
    throw StorageError{SQLITE_CANTOPEN, home, permissionDenied(home, X_OK)};
  return path;
}

int64_t Database::lastRowId() const {
  return sqlite3_last_insert_rowid(db_);
}

int64_t Database::changes() const {
  return sqlite3_total_changes64(db_);
}

void Database::exec(const char *sql) {
  currentFile = path_;
  char *err = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
  sqlite3_free(err);
  if (rc != SQLITE_OK) raise(rc);
}

Statement &Database::prepare(const char *sql) {
  currentFile = path_;
  for (auto &[key, stmt] : cache_)
    if (key == sql) return *stmt;
  cache_.emplace_back(sql, std::make_unique<Statement>(db_, sql));
  return *cache_.back().second;
}

bool Database::transaction(const std::function<bool()> &body) {
  currentFile = path_;
  if (readOnly_) raise(SQLITE_READONLY);
  if (hooks::active(hooks::kCertStoreRefusesWrites) && endsWith(path_, "/certs.db"))
    raise(SQLITE_FULL);
  if (hooks::active(hooks::kKeyStoreRefusesWrites) && endsWith(path_, "/keys.db"))
    raise(SQLITE_IOERR);
  if (hooks::active(hooks::kKeyStoreDiskFull) && endsWith(path_, "/keys.db")) raise(SQLITE_FULL);
  exec("BEGIN IMMEDIATE");
  // However the transaction ends, the count is settled again.
  struct Counted {
    ChangeCount &count;
    uint64_t mine;
    ~Counted() { count.end(mine); }
  } counted{*changes_, changes_->begin()};
  bool ok = false;
  try {
    ok = body();
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  if (!ok) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    raise(rc);
  }
  return true;
}

bool Database::checkpointTruncate() {
  currentFile = path_;
  int logFrames = -1, checkpointed = -1;
  const int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logFrames,
                                           &checkpointed);
  return rc == SQLITE_OK;
}

ChangeStamp Database::changeStamp() {
  uint64_t value = 0;
  if (changes_ && changes_->settled(value)) return ChangeStamp{true, static_cast<int64_t>(value)};
  return ChangeStamp{false, dataVersion()};
}

int64_t Database::dataVersion() {
  Statement &s = prepare("PRAGMA data_version");
  int64_t v = 0;
  if (s.step()) v = s.int64(0);
  s.reset();
  return v;
}

}  // namespace emu::storage
