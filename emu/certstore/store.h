// The emulated certificate stores: the objects behind HCERTSTORE and
// PCCERT_CONTEXT, and their SQLite storage in $MSCAPI_HOME/certs.db.
//
// Two scopes (current user, local machine) each hold stores by name (names
// compare case-insensitively); a store holds certificates keyed by the SHA-1
// thumbprint of their encoding, each with its encoding, its serial number
// and issuer (kept at add time so that listing never re-parses X.509) and
// its properties (id -> bytes). Every change is one transaction, durable
// when the call returns; reads take one consistent snapshot.
//
// How long the objects live, and how contexts are handed out and freed, is
// in contexts.h.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "certstore/x509.h"
#include "winapi/crypt32.h"

namespace emu::certstore {

enum class Scope : int64_t { User = 1, Machine = 2 };

// What a store handle shows.
enum class View {
  UserAndMachine,  // CertOpenSystemStoreA: the user's store, then the machine's
  UserOnly,        // CERT_STORE_PROV_SYSTEM_REGISTRY_W, current user
  Machine,         // CERT_STORE_PROV_SYSTEM_W, local machine
};

// How the local machine scope behaves, from $MSCAPI_HOME/machine-scope.
// Read once when a store is opened.
enum class MachineMode {
  Writable,     // file absent, or "writable"
  ReadOnly,     // "readonly": opens, but every change to it is refused
  Unavailable,  // "unavailable": opening it directly fails
  Install,      // "install": additions through a current-user system store
                // view go to the machine part (an administrator's install)
};
MachineMode machineMode();

// The key a store is found by: its name with ASCII letters upper-cased, so
// that names compare case-insensitively, as on Windows.
std::string foldStoreName(const std::string &name);

// A property of a context: its id and value (`size` bytes at `data`).
struct Property {
  DWORD id = 0;
  const uint8_t *data = nullptr;
  size_t size = 0;
};

// A context's properties. Those of a certificate read from a store are
// entries and values in the store's arena, which the list borrows; the
// first change through the context gives the list its own entries (a free
// context's list owns its entries from the start). A copy of a list shares
// what it points at: values in a store's arena stay valid while that store
// lives, owned ones while any copy does.
class PropertyList {
 public:
  const Property *begin() const { return first_; }
  const Property *end() const { return first_ + count_; }
  const Property *find(DWORD id) const;
  // Points the list at `n` entries that live as long as the context.
  void borrow(const Property *first, size_t n);
  // A change made to this list only (the store is changed apart, see
  // storeProperty); a changed property goes to the end of the list.
  void set(DWORD id, Bytes value);
  void remove(DWORD id);

 private:
  // Owned entries, each with its value when owned (null when the value is
  // borrowed from a store's arena). Never changed once made.
  struct Owned {
    std::vector<Property> entries;
    std::vector<std::shared_ptr<const Bytes>> values;
  };
  void replace(DWORD id, std::shared_ptr<const Bytes> value);

  const Property *first_ = nullptr;
  size_t count_ = 0;
  std::shared_ptr<const Owned> owned_;
};

struct CertObject;

// What a PCCERT_CONTEXT points at. Standard layout, so that the context's
// address is the block's address.
struct ContextBlock {
  CERT_CONTEXT ctx;
  CERT_INFO info;
  uint64_t magic;
  CertObject *owner;
};

inline constexpr uint64_t kContextMagic = 0x4345525443545831ull;  // "CERTCTX1"

struct Store;

struct CertObject {
  ContextBlock block{};
  // The encoding, the serial number (least significant byte first) and the
  // issuer's DER, back to back: in `data` for a free context, in its store's
  // arena (`shared`) for a store's context.
  Bytes data;
  uint8_t *shared = nullptr;
  size_t encodedSize = 0, serialSize = 0, issuerSize = 0;
  PropertyList props;
  Store *store = nullptr;  // null: a free context from CertCreateCertificateContext
  int64_t row = 0;         // its row in the database (store contexts)
  Scope scope = Scope::User;
  // One of the machine's trust anchors (anchors.h): read-only, in no row.
  bool anchor = false;
  // Handed out and not yet freed, consumed or enumerated past. Counted in
  // its store's `liveContexts`.
  bool inUse = false;
  // The enumeration it belongs to (null: none) and its place there.
  struct Enumeration *enumeration = nullptr;
  size_t enumPos = 0;

  void setData(const uint8_t *enc, size_t ne, const uint8_t *ser, size_t ns, const uint8_t *iss,
               size_t ni);
  const uint8_t *bytes() const { return shared != nullptr ? shared : data.data(); }
  const uint8_t *encoded() const { return bytes(); }
  const uint8_t *serial() const { return bytes() + encodedSize; }
  const uint8_t *issuer() const { return bytes() + encodedSize + serialSize; }
  // Points the context's fields at this object's buffers.
  void bind(HCERTSTORE handle);
};

// Bytes that live as long as their store. Certificates read from a store
// copy their bytes and property values into a few large blocks rather than
// one allocation each; they stay where they are until the store goes.
class Arena {
 public:
  uint8_t *take(size_t n);
  // A copy of `n` bytes at `p`.
  const uint8_t *copy(const uint8_t *p, size_t n);
  // A copy of `n` property entries (their values are not copied).
  const Property *copy(const Property *p, size_t n);

 private:
  struct Free {
    void operator()(uint8_t *p) const;
  };
  std::vector<std::unique_ptr<uint8_t, Free>> blocks_;
  size_t used_ = 0;
  size_t size_ = 0;
};

// The certificate objects a store hands out, made in blocks (an
// enumeration of many certificates allocates a few blocks, not one object
// each). An object never moves and lives until the store goes; the store's
// blocks, their objects cleared, are then kept for the next store (a few,
// process-wide): a listing of the machine's trust anchors makes 144
// objects at every call, and a block freed and made again at every call
// has the C library give the memory back to the system and fault it in
// again each time.
class ContextPool {
 public:
  ContextPool() = default;
  ~ContextPool();
  ContextPool(const ContextPool &) = delete;
  ContextPool &operator=(const ContextPool &) = delete;

  CertObject &make();
  // Makes room for `n` more objects in one block (a run of known length,
  // such as the machine's trust anchors, then makes no unused objects).
  void reserve(size_t n);
  size_t size() const { return count_; }

  struct Block {
    std::unique_ptr<CertObject[]> objects;
    size_t capacity = 0;
    size_t used = 0;  // objects taken from it
  };

 private:
  void addBlock(size_t capacity);

  std::vector<Block> blocks_;
  size_t count_ = 0;
};

// Everything a store hands out: the objects and their bytes.
struct StoreMemory {
  ContextPool objects;
  Arena bytes;

  // A new object holding a copy of a certificate's bytes and properties.
  CertObject &copyOf(const CertObject &c);
};

// One enumeration's snapshot of the view, loaded when it starts.
struct Enumeration {
  std::vector<CertObject *> items;
};

struct AnchorSet;

struct Store {
  std::mutex mu;
  View view = View::UserAndMachine;
  // Opened as a current user's system store (CertOpenSystemStoreA, or
  // CERT_STORE_PROV_SYSTEM_W): where an administrator's "install" adds go.
  bool systemStore = false;
  std::string name;                          // foldStoreName of the name opened
  MachineMode mode = MachineMode::Writable;  // read when the store is opened
  bool readOnly = false;                     // CERT_STORE_READONLY_FLAG
  // The current user's "MY": each enumeration and search that starts looks
  // for the certificates of the cards present first (card_certs.h).
  bool showsCards = false;
  HCERTSTORE handle = nullptr;
  // Every context handed out; kept readable until the store is closed.
  StoreMemory memory;
  size_t liveContexts = 0;  // contexts handed out and in use
  bool closing = false;     // closed without the force flag while contexts live
  // Every enumeration started on the handle, each its own snapshot: two
  // enumerations of one handle go on independently, as on Windows.
  std::vector<std::unique_ptr<Enumeration>> enumerations;
  // The sets of trust anchors whose bytes contexts of this store borrow.
  std::vector<std::shared_ptr<const AnchorSet>> anchorSets;
  std::string fault;  // test builds only: see enumerationFault()
};

// ---- Storage (all throw storage::StorageError on a database failure) ----

void ensureStore(Scope scope, const std::string &name);
// Adds a certificate with its properties to `target` in one transaction;
// returns its row, or 0 when a store of one of `dupScopes` (of the same
// name) already holds a certificate with this thumbprint.
int64_t insertCert(Scope target, const std::string &name, const Bytes &thumb, const CertObject &c,
                   const std::vector<Scope> &dupScopes);
// Loads every certificate of the stores of that name in each scope, in
// this order, each part in add order, with their properties, into `memory`,
// appending them to `out`. One read transaction: one snapshot of the file.
void loadView(const std::vector<Scope> &scopes, const std::string &name, StoreMemory &memory,
              std::vector<CertObject *> &out);
// The first certificate (in add order) whose issuer and serial number match,
// loaded into `memory`; null when there is none.
CertObject *findCert(Scope scope, const std::string &name, const Bytes &issuer,
                     const Bytes &serialKey, StoreMemory &memory);
// The certificate with this thumbprint (the SHA-1 of its encoding, which is
// how a store keys it), loaded into `memory`; null when there is none.
CertObject *findByThumbprint(Scope scope, const std::string &name, const Bytes &thumb,
                             StoreMemory &memory);
// Sets (value non-null) or removes a property of a stored certificate.
// False when the certificate is no longer stored.
bool storeProperty(int64_t row, DWORD id, const Bytes *value);
// False when the certificate was no longer stored.
bool deleteCert(int64_t row);

// The fault a test build switched on for enumerations (see
// common/test_hooks.h): "bad_alloc", "error", or empty for none. An
// enumeration with a fault throws when asked for its second certificate (at
// its start when the store is empty).
std::string enumerationFault();

}  // namespace emu::certstore
