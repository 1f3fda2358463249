#include "certstore/store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>

#include "common/ascii.h"
#include "common/home.h"
#include "common/test_hooks.h"
#include "storage/database.h"

namespace emu::certstore {

namespace {

using storage::Database;
using storage::ReadSnapshot;
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
  // No memory map: a file damaged or truncated under a mapping would end
  // the process with SIGBUS instead of failing the call.
  return Database::forThread(Database::inHome("certs.db"), kSchema);
}

// The first word of a small file, lower-cased; empty when there is none.
// Read with open() and read(): asked on every store opening, mostly of a
// file that does not exist.
std::string firstWord(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buf[256];
  ssize_t n = 0;
  while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 4096) text.append(buf, n);
  ::close(fd);
  std::string word;
  for (char ch : text) {
    if (std::isspace(static_cast<unsigned char>(ch))) {
      if (!word.empty()) break;
      continue;
    }
    word.push_back(ch);
  }
  return ascii::lower(word);
}

// A statement of the connection's cache in use: reset on every way out, so
// that it holds no read lock and keeps no bindings.
class Use {
 public:
  explicit Use(Statement &s) : s_(s) {}
  ~Use() { s_.reset(); }
  Use(const Use &) = delete;
  Use &operator=(const Use &) = delete;

 private:
  Statement &s_;
};

// Row columns: id, encoded, serial, issuer. The bytes are copied once,
// straight from SQLite's row into the store's arena.
CertObject &certFromRow(const Statement &q, Scope scope, StoreMemory &memory) {
  CertObject &c = memory.objects.make();
  c.row = q.int64(0);
  // Each blob pointer first, then its size, as SQLite asks.
  const uint8_t *enc = q.blobData(1);
  const size_t ne = q.bytes(1);
  const uint8_t *ser = q.blobData(2);
  const size_t ns = q.bytes(2);
  const uint8_t *iss = q.blobData(3);
  const size_t ni = q.bytes(3);
  uint8_t *to = memory.bytes.take(ne + ns + ni);
  if (ne != 0) std::memcpy(to, enc, ne);
  if (ns != 0) std::memcpy(to + ne, ser, ns);
  if (ni != 0) std::memcpy(to + ne + ns, iss, ni);
  c.shared = to;
  c.encodedSize = ne;
  c.serialSize = ns;
  c.issuerSize = ni;
  c.scope = scope;
  return c;
}

// Gathers the properties of one certificate from the rows of a query (an
// id and a value column), values straight into the store's arena, and gives
// them to the certificate in one run of entries in the arena.
class PropertyRows {
 public:
  explicit PropertyRows(Arena &arena) : arena_(arena) {}
  void add(const Statement &q, int idCol, int valueCol) {
    const uint8_t *v = q.blobData(valueCol);
    const size_t n = q.bytes(valueCol);
    pending_.push_back({static_cast<DWORD>(q.int64(idCol)), arena_.copy(v, n), n});
  }
  void giveTo(CertObject &c) {
    if (pending_.empty()) return;
    c.props.borrow(arena_.copy(pending_.data(), pending_.size()), pending_.size());
    pending_.clear();
  }

 private:
  Arena &arena_;
  std::vector<Property> pending_;  // reused from one certificate to the next
};

}  // namespace

const Property *PropertyList::find(DWORD id) const {
  for (const Property &p : *this)
    if (p.id == id) return &p;
  return nullptr;
}

void PropertyList::borrow(const Property *first, size_t n) {
  owned_.reset();
  first_ = first;
  count_ = n;
}

void PropertyList::set(DWORD id, Bytes value) {
  replace(id, std::make_shared<const Bytes>(std::move(value)));
}

void PropertyList::remove(DWORD id) {
  if (find(id) != nullptr) replace(id, nullptr);
}

void PropertyList::replace(DWORD id, std::shared_ptr<const Bytes> value) {
  auto next = std::make_shared<Owned>();
  next->entries.reserve(count_ + 1);
  next->values.reserve(count_ + 1);
  for (size_t i = 0; i < count_; ++i) {
    if (first_[i].id == id) continue;
    next->entries.push_back(first_[i]);
    next->values.push_back(owned_ ? owned_->values[i] : nullptr);
  }
  if (value) {
    next->entries.push_back({id, value->data(), value->size()});
    next->values.push_back(std::move(value));
  }
  first_ = next->entries.data();
  count_ = next->entries.size();
  owned_ = std::move(next);
}

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

void Arena::Free::operator()(uint8_t *p) const {
  std::free(p);
}

uint8_t *Arena::take(size_t n) {
  if (blocks_.empty() || used_ + n > size_) {
    // Blocks grow from 16 KiB to 2 MiB: a store that hands out one
    // certificate takes little, an enumeration of thousands a few blocks.
    // Blocks of 2 MiB ask for huge pages (where the system gives them on
    // request): filled at once, such a block costs one page fault instead
    // of 512.
    constexpr size_t kLarge = size_t{2} << 20;
    const size_t next = blocks_.empty() ? size_t{16} << 10 : std::min(size_ * 2, kLarge);
    size_ = std::max(n, next);
    void *block = nullptr;
    if (size_ == kLarge) {
      block = std::aligned_alloc(kLarge, kLarge);
      if (block != nullptr) madvise(block, kLarge, MADV_HUGEPAGE);
    } else {
      block = std::malloc(size_);
    }
    if (block == nullptr) throw std::bad_alloc();
    blocks_.emplace_back(static_cast<uint8_t *>(block));
    used_ = 0;
  }
  uint8_t *p = blocks_.back().get() + used_;
  used_ += n;
  return p;
}

const uint8_t *Arena::copy(const uint8_t *p, size_t n) {
  uint8_t *to = take(n);
  if (n != 0) std::memcpy(to, p, n);
  return to;
}

const Property *Arena::copy(const Property *p, size_t n) {
  static_assert(std::is_trivially_copyable<Property>::value, "entries are copied as bytes");
  // Entries are aligned within a block: round the block's use up first.
  constexpr size_t align = alignof(Property);
  used_ = (used_ + align - 1) & ~(align - 1);
  auto *to = reinterpret_cast<Property *>(take(n * sizeof(Property)));
  if (n != 0) std::memcpy(static_cast<void *>(to), p, n * sizeof(Property));
  return to;
}

namespace {

// Blocks given back by stores that went, their objects cleared: at most
// kSpareObjects objects in all (a few hundred KB), kept for the process's
// life. Builds with AddressSanitizer keep none, so that a context used
// after its store went is still reported there.
#if defined(__SANITIZE_ADDRESS__)
#define MSCAPI_KEEP_NO_SPARES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MSCAPI_KEEP_NO_SPARES 1
#endif
#endif
#ifdef MSCAPI_KEEP_NO_SPARES
constexpr size_t kSpareObjects = 0;
#else
constexpr size_t kSpareObjects = 2048;
#endif

struct SpareBlocks {
  std::mutex mu;
  std::vector<ContextPool::Block> blocks;
  size_t objects = 0;
};

SpareBlocks &spares() {
  static auto *s = new SpareBlocks;  // stores closed by static destructors still give back
  return *s;
}

}  // namespace

ContextPool::~ContextPool() {
  for (Block &b : blocks_) {
    if (b.capacity > kSpareObjects) continue;
    for (size_t i = 0; i < b.used; ++i) b.objects[i] = CertObject();
    b.used = 0;
    SpareBlocks &s = spares();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.objects + b.capacity > kSpareObjects) break;
    s.objects += b.capacity;
    s.blocks.push_back(std::move(b));
  }
}

void ContextPool::addBlock(size_t capacity) {
  Block b;
  {
    // The smallest spare block that holds `capacity` objects.
    SpareBlocks &s = spares();
    std::lock_guard<std::mutex> lock(s.mu);
    size_t best = s.blocks.size();
    for (size_t i = 0; i < s.blocks.size(); ++i)
      if (s.blocks[i].capacity >= capacity &&
          (best == s.blocks.size() || s.blocks[i].capacity < s.blocks[best].capacity))
        best = i;
    if (best != s.blocks.size()) {
      b = std::move(s.blocks[best]);
      s.blocks.erase(s.blocks.begin() + static_cast<std::ptrdiff_t>(best));
      s.objects -= b.capacity;
    }
  }
  if (!b.objects) {
    b.objects.reset(new CertObject[capacity]);
    b.capacity = capacity;
  }
  blocks_.push_back(std::move(b));
}

CertObject &ContextPool::make() {
  if (blocks_.empty() || blocks_.back().used == blocks_.back().capacity) {
    // Blocks of 16 objects, doubling up to 1024.
    addBlock(blocks_.empty() ? 16 : std::min<size_t>(blocks_.back().capacity * 2, 1024));
  }
  ++count_;
  Block &b = blocks_.back();
  return b.objects[b.used++];
}

void ContextPool::reserve(size_t n) {
  if (!blocks_.empty() && blocks_.back().capacity - blocks_.back().used >= n) return;
  addBlock(n);
}

CertObject &StoreMemory::copyOf(const CertObject &c) {
  CertObject &o = objects.make();
  const size_t total = c.encodedSize + c.serialSize + c.issuerSize;
  o.shared = bytes.take(total);
  if (total != 0) std::memcpy(o.shared, c.bytes(), total);
  o.encodedSize = c.encodedSize;
  o.serialSize = c.serialSize;
  o.issuerSize = c.issuerSize;
  std::vector<Property> entries;
  for (const Property &p : c.props) entries.push_back({p.id, bytes.copy(p.data, p.size), p.size});
  if (!entries.empty()) o.props.borrow(bytes.copy(entries.data(), entries.size()), entries.size());
  o.row = c.row;
  o.scope = c.scope;
  o.anchor = c.anchor;
  return o;
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

std::string foldStoreName(const std::string &name) {
  return ascii::upper(name);
}

void ensureStore(Scope scope, const std::string &name) {
  Database &d = db();
  // Opening a store that exists writes nothing, so that stores open in a
  // home that cannot be written; there a missing store simply shows empty.
  {
    Statement &exists = d.prepare("SELECT 1 FROM stores WHERE scope = ?1 AND name = ?2");
    Use use(exists);
    if (exists.bind(1, static_cast<int64_t>(scope)).bind(2, name).step()) return;
  }
  if (d.readOnly()) return;
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
    Use use(dup);
    if (dup.bind(1, static_cast<int64_t>(other)).bind(2, name).bind(3, thumb).step()) return 0;
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
  const int64_t row = d.lastRowId();
  Statement &prop = d.prepare("INSERT INTO props (cert, prop, value) VALUES (?1, ?2, ?3)");
  for (const Property &p : c.props)
    prop.bind(1, row).bind(2, static_cast<int64_t>(p.id)).bind(3, p.data, p.size).run();
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

namespace {

void loadScope(Database &d, Scope scope, const std::string &name, StoreMemory &memory,
               std::vector<CertObject *> &out) {
  const size_t first = out.size();
  {
    Statement &certs = d.prepare(
        "SELECT id, encoded, serial, issuer FROM certs WHERE scope = ?1 AND store = ?2 "
        "ORDER BY id");
    Use use(certs);
    certs.bind(1, static_cast<int64_t>(scope)).bind(2, name);
    while (certs.step()) out.push_back(&certFromRow(certs, scope, memory));
  }
  // Properties in certificate order, merged into the list in one walk; the
  // index keeps that order without a sort.
  Statement &props = d.prepare(
      "SELECT p.cert, p.prop, p.value FROM certs c INDEXED BY certs_by_store "
      "JOIN props p ON p.cert = c.id "
      "WHERE c.scope = ?1 AND c.store = ?2 ORDER BY c.id, p.prop");
  Use use(props);
  props.bind(1, static_cast<int64_t>(scope)).bind(2, name);
  PropertyRows rows(memory.bytes);
  size_t i = first;
  while (props.step()) {
    const int64_t cert = props.int64(0);
    if (i < out.size() && out[i]->row < cert) {
      rows.giveTo(*out[i]);
      while (i < out.size() && out[i]->row < cert) ++i;
    }
    if (i == out.size()) break;
    if (out[i]->row == cert) rows.add(props, 1, 2);
  }
  if (i < out.size()) rows.giveTo(*out[i]);
}

}  // namespace

void loadView(const std::vector<Scope> &scopes, const std::string &name, StoreMemory &memory,
              std::vector<CertObject *> &out) {
  Database &d = db();
  // One read transaction for every part: the view is one snapshot.
  ReadSnapshot snapshot(d);
  for (Scope scope : scopes) loadScope(d, scope, name, memory, out);
}

namespace {

// The certificate of the query's first row, with its properties, loaded
// into `memory`; null when there is no row.
CertObject *firstWithProperties(Database &d, Statement &q, Scope scope, StoreMemory &memory) {
  if (!q.step()) return nullptr;
  CertObject &c = certFromRow(q, scope, memory);
  Statement &p = d.prepare("SELECT prop, value FROM props WHERE cert = ?1 ORDER BY prop");
  Use use(p);
  p.bind(1, c.row);
  PropertyRows rows(memory.bytes);
  while (p.step()) rows.add(p, 0, 1);
  rows.giveTo(c);
  return &c;
}

}  // namespace

CertObject *findCert(Scope scope, const std::string &name, const Bytes &issuer, const Bytes &key,
                     StoreMemory &memory) {
  Database &d = db();
  ReadSnapshot snapshot(d);
  Statement &q = d.prepare(
      "SELECT id, encoded, serial, issuer FROM certs "
      "WHERE scope = ?1 AND store = ?2 AND serial_key = ?3 AND issuer = ?4 "
      "ORDER BY id LIMIT 1");
  Use use(q);
  q.bind(1, static_cast<int64_t>(scope)).bind(2, name).bind(3, key).bind(4, issuer);
  return firstWithProperties(d, q, scope, memory);
}

CertObject *findByThumbprint(Scope scope, const std::string &name, const Bytes &thumb,
                             StoreMemory &memory) {
  Database &d = db();
  ReadSnapshot snapshot(d);
  Statement &q = d.prepare(
      "SELECT id, encoded, serial, issuer FROM certs "
      "WHERE scope = ?1 AND store = ?2 AND thumb = ?3");
  Use use(q);
  q.bind(1, static_cast<int64_t>(scope)).bind(2, name).bind(3, thumb);
  return firstWithProperties(d, q, scope, memory);
}

bool storeProperty(int64_t row, DWORD id, const Bytes *value) {
  Database &d = db();
  return d.transaction([&] {
    {
      Statement &exists = d.prepare("SELECT 1 FROM certs WHERE id = ?1");
      Use use(exists);
      if (!exists.bind(1, row).step()) return false;
    }
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
