#include "certstore/store.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/home.h"
#include "common/test_hooks.h"
#include "storage/database.h"

namespace emu::certstore {

namespace {

using storage::Database;
using storage::Statement;

const char *const kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS stores (
  scope INTEGER NOT NULL,
  name TEXT NOT NULL,
  PRIMARY KEY (scope, name)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS certs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  scope INTEGER NOT NULL,
  store TEXT NOT NULL,
  thumb BLOB NOT NULL,
  encoded BLOB NOT NULL,
  serial BLOB NOT NULL,
  serial_key BLOB NOT NULL,
  issuer BLOB NOT NULL,
  UNIQUE (scope, store, thumb));
CREATE INDEX IF NOT EXISTS certs_by_store ON certs (scope, store);
CREATE INDEX IF NOT EXISTS certs_by_key ON certs (scope, store, serial_key, issuer);
CREATE TABLE IF NOT EXISTS props (
  cert INTEGER NOT NULL REFERENCES certs (id) ON DELETE CASCADE,
  prop INTEGER NOT NULL,
  value BLOB NOT NULL,
  PRIMARY KEY (cert, prop)) WITHOUT ROWID;
)SQL";

Database &db() {
  const std::string home = homeDir();
  if (!ensureHome(home)) throw storage::StorageError{SQLITE_CANTOPEN, home};
  return Database::forThread(home + "/certs.db", kSchema);
}

// A read snapshot: the certificates and their properties come from one
// consistent state of the file even while other processes change it.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(Database &d) : d_(d) { d_.exec("BEGIN"); }
  ~ReadSnapshot() { sqlite3_exec(d_.handle(), "COMMIT", nullptr, nullptr, nullptr); }
  ReadSnapshot(const ReadSnapshot &) = delete;
  ReadSnapshot &operator=(const ReadSnapshot &) = delete;

 private:
  Database &d_;
};

std::string firstWord(const std::string &path) {
  std::string text;
  if (!readFile(path, text)) return {};
  std::string word;
  for (char ch : text) {
    if (std::isspace(static_cast<unsigned char>(ch))) {
      if (!word.empty()) break;
      continue;
    }
    word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(ch))));
  }
  return word;
}

// A statement of its own (prepared per call) for the reads that hand out
// contexts: its blobs are copied straight into each certificate's one
// buffer.
class Query {
 public:
  Query(Database &d, const char *sql) : file_(d.path()) {
    if (sqlite3_prepare_v2(d.handle(), sql, -1, &s_, nullptr) != SQLITE_OK) {
      sqlite3_finalize(s_);
      throw storage::StorageError{sqlite3_errcode(d.handle()), file_};
    }
  }
  ~Query() { sqlite3_finalize(s_); }
  Query(const Query &) = delete;
  Query &operator=(const Query &) = delete;
  Query &bind(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Query &bind(int i, const std::string &t) {
    sqlite3_bind_text(s_, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Query &bind(int i, const Bytes &b) {
    static const uint8_t empty = 0;
    sqlite3_bind_blob(s_, i, b.empty() ? &empty : b.data(), static_cast<int>(b.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  bool step() {
    const int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw storage::StorageError{rc, file_};
  }
  int64_t int64(int col) const { return sqlite3_column_int64(s_, col); }
  const uint8_t *blob(int col) const {
    return static_cast<const uint8_t *>(sqlite3_column_blob(s_, col));
  }
  size_t size(int col) const { return static_cast<size_t>(sqlite3_column_bytes(s_, col)); }

 private:
  const std::string &file_;
  sqlite3_stmt *s_ = nullptr;
};

// Row columns: id, encoded, serial, issuer. The bytes go to the arena when
// one is given, else into the object's own buffer.
std::unique_ptr<CertObject> certFromRow(const Query &q, Scope scope, Arena *arena = nullptr) {
  auto c = std::make_unique<CertObject>();
  c->row = q.int64(0);
  // Each blob pointer first, then its size, as SQLite asks.
  const uint8_t *enc = q.blob(1);
  const size_t ne = q.size(1);
  const uint8_t *ser = q.blob(2);
  const size_t ns = q.size(2);
  const uint8_t *iss = q.blob(3);
  const size_t ni = q.size(3);
  if (arena != nullptr) {
    uint8_t *to = arena->take(ne + ns + ni);
    if (ne != 0) std::memcpy(to, enc, ne);
    if (ns != 0) std::memcpy(to + ne, ser, ns);
    if (ni != 0) std::memcpy(to + ne + ns, iss, ni);
    c->shared = to;
    c->encodedSize = ne;
    c->serialSize = ns;
    c->issuerSize = ni;
  } else {
    c->setData(enc, ne, ser, ns, iss, ni);
  }
  c->scope = scope;
  return c;
}

void addProperty(CertObject &c, const Query &q, int idCol, int valueCol) {
  if (c.props.empty()) c.props.reserve(4);
  const uint8_t *v = q.blob(valueCol);
  const size_t n = q.size(valueCol);
  c.props.push_back({static_cast<DWORD>(q.int64(idCol)), Bytes(v, v + n)});
}

}  // namespace

void CertObject::setData(const uint8_t *enc, size_t ne, const uint8_t *ser, size_t ns,
                         const uint8_t *iss, size_t ni) {
  data.resize(ne + ns + ni);
  if (ne != 0) std::memcpy(data.data(), enc, ne);
  if (ns != 0) std::memcpy(data.data() + ne, ser, ns);
  if (ni != 0) std::memcpy(data.data() + ne + ns, iss, ni);
  encodedSize = ne;
  serialSize = ns;
  issuerSize = ni;
}

uint8_t *Arena::take(size_t n) {
  if (used_ + n > size_ || blocks_.empty()) {
    size_ = std::max<size_t>(n, size_t{1} << 20);
    blocks_.emplace_back(new uint8_t[size_]);
    used_ = 0;
  }
  uint8_t *p = blocks_.back().get() + used_;
  used_ += n;
  return p;
}

void CertObject::bind(HCERTSTORE handle) {
  block.magic = kContextMagic;
  block.owner = this;
  block.ctx.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  uint8_t *b = shared != nullptr ? shared : data.data();
  block.ctx.pbCertEncoded = b;
  block.ctx.cbCertEncoded = static_cast<DWORD>(encodedSize);
  block.ctx.pCertInfo = &block.info;
  block.ctx.hCertStore = handle;
  block.info.SerialNumber.cbData = static_cast<DWORD>(serialSize);
  block.info.SerialNumber.pbData = b + encodedSize;
  block.info.Issuer.cbData = static_cast<DWORD>(issuerSize);
  block.info.Issuer.pbData = b + encodedSize + serialSize;
}

const Property *CertObject::find(DWORD id) const {
  for (const Property &p : props)
    if (p.id == id) return &p;
  return nullptr;
}

MachineMode machineMode() {
  const std::string w = firstWord(homeDir() + "/machine-scope");
  if (w == "readonly" || w == "read-only") return MachineMode::ReadOnly;
  if (w == "unavailable") return MachineMode::Unavailable;
  if (w == "install") return MachineMode::Install;
  return MachineMode::Writable;
}

std::string enumerationFault() {
  if (hooks::active(hooks::kEnumThrowsBadAlloc)) return "bad_alloc";
  if (hooks::active(hooks::kEnumThrowsError)) return "error";
  return {};
}

std::string storeKey(const std::string &name) {
  std::string k = name;
  for (char &ch : k)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  return k;
}

void ensureStore(Scope scope, const std::string &name) {
  Database &d = db();
  // Opening a store that exists writes nothing, so that stores open in a
  // home that cannot be written; there a missing store simply shows empty.
  Statement &exists = d.prepare("SELECT 1 FROM stores WHERE scope = ?1 AND name = ?2");
  exists.bind(1, static_cast<int64_t>(scope)).bind(2, name);
  const bool found = exists.step();
  exists.reset();
  if (found || d.readOnly()) return;
  d.transaction([&] {
    d.prepare("INSERT OR IGNORE INTO stores (scope, name) VALUES (?1, ?2)")
        .bind(1, static_cast<int64_t>(scope))
        .bind(2, name)
        .run();
    return true;
  });
}

namespace {

// Inserts one certificate and its properties; the caller holds the write
// transaction. Returns 0 when a store of `dupScopes` already holds it.
int64_t insertRow(Database &d, Scope scope, const std::string &name, const Bytes &thumb,
                  const CertObject &c, const std::vector<Scope> &dupScopes) {
  Statement &dup = d.prepare("SELECT 1 FROM certs WHERE scope = ?1 AND store = ?2 AND thumb = ?3");
  for (Scope other : dupScopes) {
    dup.bind(1, static_cast<int64_t>(other)).bind(2, name).bind(3, thumb);
    const bool exists = dup.step();
    dup.reset();
    if (exists) return 0;
  }
  d.prepare("INSERT OR IGNORE INTO stores (scope, name) VALUES (?1, ?2)")
      .bind(1, static_cast<int64_t>(scope))
      .bind(2, name)
      .run();
  d.prepare(
       "INSERT INTO certs (scope, store, thumb, encoded, serial, serial_key, issuer) "
       "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
      .bind(1, static_cast<int64_t>(scope))
      .bind(2, name)
      .bind(3, thumb)
      .bind(4, c.encoded(), c.encodedSize)
      .bind(5, c.serial(), c.serialSize)
      .bind(6, serialKey(c.serial(), c.serialSize))
      .bind(7, c.issuer(), c.issuerSize)
      .run();
  const int64_t row = sqlite3_last_insert_rowid(d.handle());
  Statement &prop = d.prepare("INSERT INTO props (cert, prop, value) VALUES (?1, ?2, ?3)");
  for (const Property &p : c.props)
    prop.bind(1, row).bind(2, static_cast<int64_t>(p.id)).bind(3, p.value).run();
  return row;
}

}  // namespace

int64_t insertCert(Scope scope, const std::string &name, const Bytes &thumb, const CertObject &c,
                   const std::vector<Scope> &dupScopes) {
  Database &d = db();
  int64_t row = 0;
  // The duplicate check runs inside the write transaction, so that two
  // threads or processes adding the same certificate cannot both succeed.
  d.transaction([&] {
    row = insertRow(d, scope, name, thumb, c, dupScopes);
    return row != 0;
  });
  return row;
}

size_t addInOneTransaction(Scope scope, const std::string &name,
                           const std::vector<PCCERT_CONTEXT> &certs) {
  Database &d = db();
  const std::string key = storeKey(name);
  size_t added = 0;
  d.transaction([&] {
    for (PCCERT_CONTEXT p : certs) {
      const auto *block = reinterpret_cast<const ContextBlock *>(p);
      if (block->magic != kContextMagic) continue;
      const CertObject &c = *block->owner;
      const Bytes thumb = thumbprint(c.encoded(), c.encodedSize);
      if (insertRow(d, scope, key, thumb, c, {scope}) != 0) ++added;
    }
    return true;
  });
  return added;
}

void loadStore(Scope scope, const std::string &name, std::vector<std::unique_ptr<CertObject>> &out,
               Arena &arena) {
  Database &d = db();
  ReadSnapshot snapshot(d);
  const size_t first = out.size();
  Query certs(d,
              "SELECT id, encoded, serial, issuer FROM certs WHERE scope = ?1 AND store = ?2 "
              "ORDER BY id");
  certs.bind(1, static_cast<int64_t>(scope)).bind(2, name);
  while (certs.step()) out.push_back(certFromRow(certs, scope, &arena));
  // Properties in certificate order, merged into the list in one walk; the
  // index keeps that order without a sort.
  Query props(d,
              "SELECT p.cert, p.prop, p.value FROM certs c INDEXED BY certs_by_store "
              "JOIN props p ON p.cert = c.id "
              "WHERE c.scope = ?1 AND c.store = ?2 ORDER BY c.id, p.prop");
  props.bind(1, static_cast<int64_t>(scope)).bind(2, name);
  size_t i = first;
  while (props.step()) {
    const int64_t cert = props.int64(0);
    while (i < out.size() && out[i]->row < cert) ++i;
    if (i == out.size()) break;
    if (out[i]->row == cert) addProperty(*out[i], props, 1, 2);
  }
}

namespace {

// The certificate of the query's first row, with its properties.
std::unique_ptr<CertObject> firstWithProperties(Database &d, Query &q, Scope scope) {
  if (!q.step()) return nullptr;
  std::unique_ptr<CertObject> c = certFromRow(q, scope);
  Query p(d, "SELECT prop, prop, value FROM props WHERE cert = ?1 ORDER BY prop");
  p.bind(1, c->row);
  while (p.step()) addProperty(*c, p, 0, 2);
  return c;
}

}  // namespace

std::unique_ptr<CertObject> findCert(Scope scope, const std::string &name, const Bytes &issuer,
                                     const Bytes &key) {
  Database &d = db();
  ReadSnapshot snapshot(d);
  Query q(d,
          "SELECT id, encoded, serial, issuer FROM certs "
          "WHERE scope = ?1 AND store = ?2 AND serial_key = ?3 AND issuer = ?4 "
          "ORDER BY id LIMIT 1");
  q.bind(1, static_cast<int64_t>(scope)).bind(2, name).bind(3, key).bind(4, issuer);
  return firstWithProperties(d, q, scope);
}

std::unique_ptr<CertObject> findByThumbprint(Scope scope, const std::string &name,
                                             const Bytes &thumb) {
  Database &d = db();
  ReadSnapshot snapshot(d);
  Query q(d,
          "SELECT id, encoded, serial, issuer FROM certs "
          "WHERE scope = ?1 AND store = ?2 AND thumb = ?3");
  q.bind(1, static_cast<int64_t>(scope)).bind(2, name).bind(3, thumb);
  return firstWithProperties(d, q, scope);
}

bool storeProperty(int64_t row, DWORD id, const Bytes *value) {
  Database &d = db();
  return d.transaction([&] {
    Statement &exists = d.prepare("SELECT 1 FROM certs WHERE id = ?1");
    exists.bind(1, row);
    const bool found = exists.step();
    exists.reset();
    if (!found) return false;
    if (value != nullptr) {
      d.prepare("INSERT OR REPLACE INTO props (cert, prop, value) VALUES (?1, ?2, ?3)")
          .bind(1, row)
          .bind(2, static_cast<int64_t>(id))
          .bind(3, *value)
          .run();
    } else {
      d.prepare("DELETE FROM props WHERE cert = ?1 AND prop = ?2")
          .bind(1, row)
          .bind(2, static_cast<int64_t>(id))
          .run();
    }
    return true;
  });
}

bool deleteCert(int64_t row) {
  Database &d = db();
  return d.transaction(
      [&] { return d.prepare("DELETE FROM certs WHERE id = ?1").bind(1, row).run() == 1; });
}

}  // namespace emu::certstore
