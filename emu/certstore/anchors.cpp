#include "certstore/anchors.h"

#include <dirent.h>
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <p11-kit/pkcs11x.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "common/trace.h"
#include "registry/registry.h"

// p11-kit's own list of the files and folders its trust module reads when
// it is given no "paths=" (pkg-config's p11_trust_paths, set by CMake).
#ifndef MSCAPI_P11KIT_TRUST_PATHS
#define MSCAPI_P11KIT_TRUST_PATHS "/etc/ssl/certs/ca-certificates.crt"
#endif

namespace emu::certstore {

namespace {

struct Source {
  std::string module;  // the PKCS#11 module's path
  std::string args;    // C_Initialize's pReserved text; empty for none
  bool operator==(const Source &o) const { return module == o.module && args == o.args; }
};

// The source the registry names now; false when it names none.
bool readSource(Source &out) {
  const std::shared_ptr<const registry::Tree> tree = registry::current();
  const registry::Key *hklm = tree ? registry::localMachine(*tree) : nullptr;
  const registry::Key *key = hklm != nullptr ? hklm->find(kAnchorSourceKey) : nullptr;
  if (key == nullptr || !registry::readString(*key, "PKCS#11 Module", out.module) ||
      out.module.empty())
    return false;
  if (!registry::readString(*key, "Init Args", out.args)) out.args.clear();
  return true;
}

// The files and folders the module reads: the "paths=" of its init args (a
// p11-kit module's arguments are blank-separated name=value words, quotes
// allowed; the paths are separated by colons), else the trust module's own.
std::vector<std::string> trustPaths(const std::string &args) {
  std::string list = MSCAPI_P11KIT_TRUST_PATHS;
  std::string word;
  char quote = 0;
  auto take = [&] {
    if (word.compare(0, 6, "paths=") == 0) list = word.substr(6);
    word.clear();
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const char ch = args[i];
    if (quote != 0) {
      if (ch == quote) {
        quote = 0;
      } else if (ch == '\\' && i + 1 < args.size()) {
        word.push_back(args[++i]);
      } else {
        word.push_back(ch);
      }
    } else if (ch == '"' || ch == '\'') {
      quote = ch;
    } else if (ch == '\\' && i + 1 < args.size()) {
      word.push_back(args[++i]);
    } else if (std::isspace(static_cast<unsigned char>(ch))) {
      take();
    } else {
      word.push_back(ch);
    }
  }
  take();
  std::vector<std::string> paths;
  size_t pos = 0;
  while (pos <= list.size()) {
    const size_t next = std::min(list.find(':', pos), list.size());
    if (next > pos) paths.push_back(list.substr(pos, next - pos));
    pos = next + 1;
  }
  return paths;
}

// What stat() said of one file or folder the anchors come from.
struct Stamp {
  std::string path;
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;
  off_t size = 0;
  int64_t mtimeNs = 0, ctimeNs = 0;
  bool operator==(const Stamp &o) const {
    return path == o.path && exists == o.exists && dev == o.dev && ino == o.ino && mode == o.mode &&
           size == o.size && mtimeNs == o.mtimeNs && ctimeNs == o.ctimeNs;
  }
};

Stamp stampOf(const std::string &path) {
  Stamp s;
  s.path = path;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.mode = st.st_mode;
  s.size = st.st_size;
  s.mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  s.ctimeNs = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

// A folder's stamp and its entries' in name order; the subfolders that
// p11-kit's trust module reads in a folder of its paths (anchors/,
// blocklist/ and the older blacklist/) are walked one level down.
void stampFolder(const std::string &dir, bool top, std::vector<Stamp> &out) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (const dirent *e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) {
    Stamp s = stampOf(dir + "/" + n);
    const bool folder = s.exists && S_ISDIR(s.mode);
    out.push_back(std::move(s));
    if (folder && top && (n == "anchors" || n == "blocklist" || n == "blacklist"))
      stampFolder(out.back().path, false, out);
  }
}

// Everything whose change may change the anchors: the module's file and
// every file and folder it reads. Folders are stamped with their entries:
// a file changed in place changes no folder's time.
std::vector<Stamp> stampsOf(const Source &src) {
  std::vector<Stamp> out;
  out.push_back(stampOf(src.module));
  // The paths of the arguments this thread last saw, not parsed again.
  static thread_local std::string lastArgs;
  static thread_local std::vector<std::string> lastPaths = trustPaths(lastArgs);
  if (src.args != lastArgs) {
    lastPaths = trustPaths(src.args);
    lastArgs = src.args;
  }
  for (const std::string &p : lastPaths) {
    out.push_back(stampOf(p));
    if (out.back().exists && S_ISDIR(out.back().mode)) stampFolder(p, true, out);
  }
  return out;
}

// A module loaded by this code: dlopen'ed once per path for the process's
// life, initialised with the arguments of the source last read from it.
struct Module {
  void *lib = nullptr;
  CK_FUNCTION_LIST *fn = nullptr;
  bool initialised = false;
  bool ours = false;  // our C_Initialize did it (CKR_CRYPTOKI_ALREADY_INITIALIZED: not)
  std::string args;   // what it was initialised with
};

// A read-only session, closed on every way out.
class Session {
 public:
  Session(CK_FUNCTION_LIST *fn, CK_SLOT_ID slot) : fn_(fn) {
    if (fn_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h_) != CKR_OK)
      h_ = CK_INVALID_HANDLE;
  }
  ~Session() {
    if (h_ != CK_INVALID_HANDLE) fn_->C_CloseSession(h_);
  }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  explicit operator bool() const { return h_ != CK_INVALID_HANDLE; }
  CK_SESSION_HANDLE get() const { return h_; }

 private:
  CK_FUNCTION_LIST *fn_;
  CK_SESSION_HANDLE h_ = CK_INVALID_HANDLE;
};

// One certificate object as the module gave it.
struct Found {
  Bytes value;
  std::string label;
  bool anchor = false;
};

// Every X.509 certificate object of a token. The trust facts and the
// sizes in one call, the encoding and the label in a second.
bool readToken(CK_FUNCTION_LIST *fn, CK_SLOT_ID slot, std::vector<Found> &out, Bytes &distrusted,
               std::string &why) {
  // A session opened now also has p11-kit's trust module look at its files
  // again (it reloads what changed).
  Session session(fn, slot);
  if (!session) {
    why = "cannot open a session";
    return false;
  }
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE type = CKC_X_509;
  CK_ATTRIBUTE wanted[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_CERTIFICATE_TYPE, &type, sizeof type}};
  if (fn->C_FindObjectsInit(session.get(), wanted, 2) != CKR_OK) {
    why = "cannot search the token";
    return false;
  }
  std::vector<CK_OBJECT_HANDLE> handles;
  CK_OBJECT_HANDLE batch[256];
  CK_ULONG got = 0;
  CK_RV rv = CKR_OK;
  while ((rv = fn->C_FindObjects(session.get(), batch, 256, &got)) == CKR_OK && got != 0)
    handles.insert(handles.end(), batch, batch + got);
  fn->C_FindObjectsFinal(session.get());
  if (rv != CKR_OK) {
    why = "cannot search the token";
    return false;
  }
  for (CK_OBJECT_HANDLE h : handles) {
    CK_BBOOL trusted = CK_FALSE, distrust = CK_FALSE;
    CK_ULONG category = 0;
    // A module without one of these gives its length as unavailable and
    // still fills the others.
    CK_ATTRIBUTE facts[] = {{CKA_TRUSTED, &trusted, sizeof trusted},
                            {CKA_CERTIFICATE_CATEGORY, &category, sizeof category},
                            {CKA_X_DISTRUSTED, &distrust, sizeof distrust},
                            {CKA_VALUE, nullptr, 0},
                            {CKA_LABEL, nullptr, 0}};
    fn->C_GetAttributeValue(session.get(), h, facts, 5);
    auto has = [](const CK_ATTRIBUTE &a) { return a.ulValueLen != CK_UNAVAILABLE_INFORMATION; };
    if (!has(facts[3]) || facts[3].ulValueLen == 0) continue;
    Found f;
    f.value.resize(facts[3].ulValueLen);
    const CK_ULONG labelSize = has(facts[4]) ? facts[4].ulValueLen : 0;
    f.label.resize(labelSize);
    CK_ATTRIBUTE bytes[] = {{CKA_VALUE, f.value.data(), f.value.size()},
                            {CKA_LABEL, &f.label[0], labelSize}};
    if (fn->C_GetAttributeValue(session.get(), h, bytes, labelSize != 0 ? 2 : 1) != CKR_OK)
      continue;
    f.value.resize(bytes[0].ulValueLen);
    if (labelSize != 0) f.label.resize(bytes[1].ulValueLen);
    if (has(facts[2]) && distrust == CK_TRUE) {
      const Bytes t = thumbprint(f.value.data(), f.value.size());
      distrusted.insert(distrusted.end(), t.begin(), t.end());
      continue;
    }
    f.anchor = has(facts[0]) && trusted == CK_TRUE && has(facts[1]) && category == 2;
    if (f.anchor) out.push_back(std::move(f));
  }
  return true;
}

// UTF-8 as UTF-16 units; a malformed sequence gives U+FFFD.
void appendUtf16(const std::string &s, std::vector<uint16_t> &out) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t n = b < 0x80           ? 1
                     : (b >> 5) == 0x6  ? 2
                     : (b >> 4) == 0xE  ? 3
                     : (b >> 3) == 0x1E ? 4
                                        : 0;
    uint32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = n != 0 && i + n <= s.size();
    for (size_t k = 1; ok && k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<uint16_t>(0xD800 | (cp >> 10)));
      out.push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<uint16_t>(cp));
    }
    i += n;
  }
}

// The set made from what the tokens gave: the first object of an encoding
// counts (the first token has the highest priority), one the module marks
// distrusted anywhere is left out, and so is one that is not exactly one
// DER certificate as the stores take it.
std::shared_ptr<AnchorSet> makeSet(std::vector<Found> &found, const Bytes &distrusted) {
  auto set = std::make_shared<AnchorSet>();
  std::set<Bytes> seen;
  for (size_t i = 0; i + 20 <= distrusted.size(); i += 20)
    seen.insert(Bytes(distrusted.begin() + i, distrusted.begin() + i + 20));
  struct Part {
    ParsedCert parsed;
    size_t found;
    Bytes thumb;
  };
  std::vector<Part> parts;
  size_t bytes = 0, units = 0;
  for (size_t i = 0; i < found.size(); ++i) {
    Part p;
    p.found = i;
    p.thumb = thumbprint(found[i].value.data(), found[i].value.size());
    if (!seen.insert(p.thumb).second) continue;
    if (!parseCertificate(found[i].value.data(), found[i].value.size(), p.parsed)) continue;
    bytes += found[i].value.size() + p.parsed.serial.size() + p.parsed.issuer.size();
    parts.push_back(std::move(p));
  }
  for (const Part &p : parts) {
    if (!found[p.found].label.empty()) appendUtf16(found[p.found].label, set->names);
    if (!found[p.found].label.empty()) set->names.push_back(0);
  }
  units = set->names.size();
  set->data.resize(bytes);
  set->anchors.resize(parts.size());
  set->props.reserve(parts.size());
  size_t at = 0, name = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const Part &p = parts[i];
    const Bytes &enc = found[p.found].value;
    Anchor &a = set->anchors[i];
    uint8_t *to = set->data.data() + at;
    std::memcpy(to, enc.data(), enc.size());
    std::memcpy(to + enc.size(), p.parsed.serial.data(), p.parsed.serial.size());
    std::memcpy(to + enc.size() + p.parsed.serial.size(), p.parsed.issuer.data(),
                p.parsed.issuer.size());
    a.bytes = to;
    a.encodedSize = enc.size();
    a.serialSize = p.parsed.serial.size();
    a.issuerSize = p.parsed.issuer.size();
    a.thumb = p.thumb;
    a.serialKey = serialKey(p.parsed.serial.data(), p.parsed.serial.size());
    at += a.encodedSize + a.serialSize + a.issuerSize;
    if (found[p.found].label.empty()) continue;
    size_t end = name;
    while (end < units && set->names[end] != 0) ++end;
    set->props.push_back({CERT_FRIENDLY_NAME_PROP_ID,
                          reinterpret_cast<const uint8_t *>(set->names.data() + name),
                          (end + 1 - name) * sizeof(uint16_t)});
    name = end + 1;
  }
  // The entries are taken once they are all made: the vector no longer moves.
  size_t next = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (found[parts[i].found].label.empty()) continue;
    set->anchors[i].props = &set->props[next++];
    set->anchors[i].propCount = 1;
  }
  return set;
}

// The process's anchors: the set last read, the source it came from and
// the stamps of that source taken just before it was read. A call finds
// the source in the registry (cached by the registry itself), stamps its
// files again and gives the same set while nothing differs; after any
// change the module is asked again. The module is initialised afresh only
// when the init args change (another home names other paths).
class AnchorCache {
 public:
  std::shared_ptr<const AnchorSet> get(const Source &src) {
    std::vector<Stamp> stamps = stampsOf(src);
    std::lock_guard<std::mutex> lock(mu_);
    if (set_ && src == source_ && stamps == stamps_) return set_;
    std::string why;
    std::shared_ptr<const AnchorSet> fresh = read(src, why);
    if (!fresh) {
      trace::why("trust anchors of " + src.module + ": " + why);
      fresh = std::make_shared<AnchorSet>();
    }
    source_ = src;
    stamps_ = std::move(stamps);
    set_ = fresh;
    return set_;
  }

 private:
  // The module at `path` initialised with `args`; null with the reason.
  Module *load(const Source &src, std::string &why) {
    Module &m = modules_[src.module];
    if (m.lib == nullptr) {
      m.lib = dlopen(src.module.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (m.lib == nullptr) {
        const char *e = dlerror();
        why = e != nullptr ? e : "cannot load the module";
        modules_.erase(src.module);
        return nullptr;
      }
      auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(m.lib, "C_GetFunctionList"));
      if (getList == nullptr || getList(&m.fn) != CKR_OK || m.fn == nullptr) {
        why = "no C_GetFunctionList";
        dlclose(m.lib);
        modules_.erase(src.module);
        return nullptr;
      }
    }
    if (m.initialised && m.args != src.args && m.ours) {
      m.fn->C_Finalize(nullptr);
      m.initialised = false;
    }
    if (!m.initialised) {
      CK_C_INITIALIZE_ARGS init{};
      init.flags = CKF_OS_LOCKING_OK;
      std::string args = src.args;  // the module takes a non-const pointer
      init.pReserved = args.empty() ? nullptr : &args[0];
      const CK_RV rv = m.fn->C_Initialize(&init);
      if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        why = "C_Initialize failed: " + std::to_string(rv);
        return nullptr;
      }
      m.initialised = true;
      m.ours = rv == CKR_OK;
      m.args = src.args;
    }
    return &m;
  }

  std::shared_ptr<const AnchorSet> read(const Source &src, std::string &why) {
    Module *m = load(src, why);
    if (m == nullptr) return nullptr;
    CK_ULONG n = 0;
    if (m->fn->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK) {
      why = "cannot list the slots";
      return nullptr;
    }
    std::vector<CK_SLOT_ID> slots(n);
    if (n != 0 && m->fn->C_GetSlotList(CK_TRUE, slots.data(), &n) != CKR_OK) {
      why = "cannot list the slots";
      return nullptr;
    }
    slots.resize(n);
    std::vector<Found> found;
    Bytes distrusted;
    for (CK_SLOT_ID slot : slots)
      if (!readToken(m->fn, slot, found, distrusted, why)) return nullptr;
    return makeSet(found, distrusted);
  }

  std::mutex mu_;
  std::map<std::string, Module> modules_;
  Source source_;
  std::vector<Stamp> stamps_;
  std::shared_ptr<const AnchorSet> set_;
};

AnchorCache &cache() {
  // Lives to process exit: stores closed by static destructors may still
  // hold sets, and modules are never unloaded.
  static auto *c = new AnchorCache;
  return *c;
}

void keep(Store &s, const std::shared_ptr<const AnchorSet> &set) {
  if (s.anchorSets.empty() || s.anchorSets.back() != set) s.anchorSets.push_back(set);
}

CertObject &contextOf(Store &s, const Anchor &a) {
  CertObject &c = s.memory.objects.make();
  // The set's bytes are never written: a context's fields are read-only.
  c.shared = const_cast<uint8_t *>(a.bytes);
  c.encodedSize = a.encodedSize;
  c.serialSize = a.serialSize;
  c.issuerSize = a.issuerSize;
  if (a.propCount != 0) c.props.borrow(a.props, a.propCount);
  c.scope = Scope::Machine;
  c.anchor = true;
  return c;
}

}  // namespace

std::shared_ptr<const AnchorSet> machineAnchors() {
  Source src;
  if (!readSource(src)) return nullptr;
  return cache().get(src);
}

bool showsAnchors(const Store &s) {
  return s.view != View::UserOnly && s.name == "ROOT";
}

void addAnchorContexts(Store &s, const std::shared_ptr<const AnchorSet> &set,
                       std::vector<CertObject *> &out) {
  if (!set || set->anchors.empty()) return;
  keep(s, set);
  s.memory.objects.reserve(set->anchors.size());
  out.reserve(out.size() + set->anchors.size());
  for (const Anchor &a : set->anchors) out.push_back(&contextOf(s, a));
}

CertObject *findAnchor(Store &s, const std::shared_ptr<const AnchorSet> &set, const Bytes &issuer,
                       const Bytes &key) {
  if (!set) return nullptr;
  for (const Anchor &a : set->anchors) {
    if (a.serialKey != key || a.issuerSize != issuer.size() ||
        std::memcmp(a.bytes + a.encodedSize + a.serialSize, issuer.data(), issuer.size()) != 0)
      continue;
    keep(s, set);
    return &contextOf(s, a);
  }
  return nullptr;
}

CertObject *findAnchorByThumbprint(Store &s, const std::shared_ptr<const AnchorSet> &set,
                                   const Bytes &thumb) {
  if (!set) return nullptr;
  for (const Anchor &a : set->anchors) {
    if (a.thumb != thumb) continue;
    keep(s, set);
    return &contextOf(s, a);
  }
  return nullptr;
}

bool holdsThumbprint(const AnchorSet *set, const Bytes &thumb) {
  if (set == nullptr) return false;
  for (const Anchor &a : set->anchors)
    if (a.thumb == thumb) return true;
  return false;
}

}  // namespace emu::certstore
