// The crypt32 certificate store entry points of the emulated platform.
// No C++ exception leaves them (failures become the thread's last error),
// except the test-only enumeration fault, which exists to reach the caller.
// How contexts and stores live is in contexts.cpp; storage in store.cpp.
#include "common/api.h"

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "certstore/anchors.h"
#include "certstore/card_certs.h"
#include "certstore/contexts.h"
#include "certstore/prov_info.h"
#include "certstore/store.h"
#include "common/handle_table.h"
#include "storage/guard.h"

#ifndef CRYPT_E_PENDING_CLOSE
#define CRYPT_E_PENDING_CLOSE 0x8009200Fu
#endif

using namespace emu;
using namespace emu::certstore;

namespace {

HandleTable<Store, HandleKind::Store> &stores() {
  return HandleTable<Store, HandleKind::Store>::instance();
}

std::shared_ptr<Store> storeOf(HCERTSTORE h) {
  return stores().get(reinterpret_cast<uintptr_t>(h));
}

// Like emu::guarded, for entry points that return a pointer or handle.
template <typename T, typename F>
T guardedPtr(F &&body) {
  try {
    return body();
  } catch (const storage::StorageError &e) {
    setStorageError(e);
  } catch (const std::bad_alloc &) {
    SetLastError(NTE_NO_MEMORY);
  } catch (...) {
    SetLastError(E_UNEXPECTED);
  }
  return nullptr;
}

std::string fromWide(const WCHAR *w) {
  std::string s;
  for (; *w != 0; ++w) {
    const uint32_t u = static_cast<uint16_t>(*w);
    if (u < 0x80) {
      s.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      s.push_back(static_cast<char>(0xC0 | (u >> 6)));
      s.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      s.push_back(static_cast<char>(0xE0 | (u >> 12)));
      s.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return s;
}

std::vector<Scope> scopesOf(View v) {
  switch (v) {
    case View::UserAndMachine:
      return {Scope::User, Scope::Machine};
    case View::UserOnly:
      return {Scope::User};
    case View::Machine:
      return {Scope::Machine};
  }
  return {};
}

bool inheritsMachine(const std::string &folded) {
  return folded == "ROOT" || folded == "TRUST" || folded == "CA";
}

HCERTSTORE openStore(View view, const std::string &name, bool readOnly) {
  if (name.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto s = std::make_shared<Store>();
  s->name = foldStoreName(name);
  s->systemStore = view == View::UserAndMachine;
  // Of the current user's logical stores only Root, Trust and CA include
  // the local machine's certificates (their .LocalMachine physical store);
  // MY and the others hold the user's own only.
  if (view == View::UserAndMachine && !inheritsMachine(s->name)) view = View::UserOnly;
  s->view = view;
  s->mode = machineMode();
  s->readOnly = readOnly;
  if (view == View::Machine && s->mode == MachineMode::Unavailable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // The user's "MY" shows the certificates of the key pairs on the tokens
  // present, as Windows' certificate propagation puts them there. They are
  // looked for when the store's contents are first read, not at the open: a
  // program that only adds to "MY" loads no module for it.
  s->showsCards = view != View::Machine && s->name == "MY";
  // A system store is created the first time it is opened; a read-only
  // machine scope creates nothing (the store then simply shows as empty).
  if (view != View::Machine) {
    ensureStore(Scope::User, s->name);
  } else if (s->mode != MachineMode::ReadOnly && !readOnly) {
    ensureStore(Scope::Machine, s->name);
  }
  s->handle = reinterpret_cast<HCERTSTORE>(stores().add(s));
  return s->handle;
}

// Whether changes to a certificate may be made through `s`. The current
// user's view of the machine's certificates is read-only; the machine's
// trust anchors are read-only through every view.
bool writable(const Store &s, const CertObject &c) {
  if (s.readOnly || c.anchor) return false;
  if (c.scope == Scope::Machine)
    return s.view != View::UserAndMachine && s.mode != MachineMode::ReadOnly;
  return true;
}

[[noreturn]] void raiseFault(const std::string &kind) {
  if (kind == "bad_alloc") throw std::bad_alloc();
  throw std::runtime_error("emulated certificate store fault");
}

}  // namespace

extern "C" {

static HCERTSTORE CertOpenSystemStoreAImpl(HCRYPTPROV_LEGACY, LPCSTR szSubsystemProtocol) {
  return guardedPtr<HCERTSTORE>([&]() -> HCERTSTORE {
    if (szSubsystemProtocol == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    return openStore(View::UserAndMachine, szSubsystemProtocol, false);
  });
}

HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY unused1, LPCSTR szSubsystemProtocol) {
  emu::trace::Call t("CertOpenSystemStoreA");
  if (t) t.text("store", szSubsystemProtocol);
  return t.donePtr(CertOpenSystemStoreAImpl(unused1, szSubsystemProtocol));
}

static HCERTSTORE CertOpenStoreImpl(LPCSTR lpszStoreProvider, DWORD, HCRYPTPROV_LEGACY,
                                    DWORD dwFlags, const void *pvPara) {
  return guardedPtr<HCERTSTORE>([&]() -> HCERTSTORE {
    const bool wide = lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W ||
                      lpszStoreProvider == CERT_STORE_PROV_SYSTEM_REGISTRY_W;
    const bool narrow = lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A;
    if ((!wide && !narrow) || pvPara == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const std::string name = wide ? fromWide(static_cast<const WCHAR *>(pvPara))
                                  : std::string(static_cast<const char *>(pvPara));
    const bool readOnly = (dwFlags & CERT_STORE_READONLY_FLAG) != 0;
    switch (dwFlags & CERT_SYSTEM_STORE_LOCATION_MASK) {
      case CERT_SYSTEM_STORE_CURRENT_USER:
        // The registry provider shows the user's own store only; the system
        // provider also shows the machine's store of that name.
        return openStore(lpszStoreProvider == CERT_STORE_PROV_SYSTEM_REGISTRY_W
                             ? View::UserOnly
                             : View::UserAndMachine,
                         name, readOnly);
      case CERT_SYSTEM_STORE_LOCAL_MACHINE:
        return openStore(View::Machine, name, readOnly);
      default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
  });
}

HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD unused1, HCRYPTPROV_LEGACY unused2,
                                DWORD dwFlags, const void *pvPara) {
  emu::trace::Call t("CertOpenStore");
  if (t) t.hex("provider", reinterpret_cast<uintptr_t>(lpszStoreProvider)).hex("flags", dwFlags);
  return t.donePtr(CertOpenStoreImpl(lpszStoreProvider, unused1, unused2, dwFlags, pvPara));
}

static BOOL CertCloseStoreImpl(HCERTSTORE hCertStore, DWORD dwFlags) {
  if (hCertStore == nullptr) return succeed();
  return guarded(E_UNEXPECTED, [&] {
    std::shared_ptr<Store> s = stores().remove(reinterpret_cast<uintptr_t>(hCertStore));
    if (!s) return fail(ERROR_INVALID_HANDLE);
    if ((dwFlags & CERT_CLOSE_STORE_FORCE_FLAG) != 0 || !keepWhileInUse(s)) return succeed();
    // Contexts taken from the store are still in use: it stays until the
    // last of them is freed.
    if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) != 0) return fail(CRYPT_E_PENDING_CLOSE);
    return succeed();
  });
}

BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  emu::trace::Call t("CertCloseStore");
  if (t) t.hex("store", reinterpret_cast<uintptr_t>(hCertStore)).hex("flags", dwFlags);
  return t.done(CertCloseStoreImpl(hCertStore, dwFlags));
}

static PCCERT_CONTEXT CertCreateCertificateContextImpl(DWORD dwCertEncodingType,
                                                       const BYTE *pbCertEncoded,
                                                       DWORD cbCertEncoded) {
  return guardedPtr<PCCERT_CONTEXT>([&]() -> PCCERT_CONTEXT {
    ParsedCert parsed;
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0 ||
        !parseCertificate(pbCertEncoded, cbCertEncoded, parsed)) {
      SetLastError(CRYPT_E_ASN1_BADTAG);
      return nullptr;
    }
    PCCERT_CONTEXT c = newFreeContext(pbCertEncoded, cbCertEncoded, parsed);
    return c;
  });
}

PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                   const BYTE *pbCertEncoded, DWORD cbCertEncoded) {
  emu::trace::Call t("CertCreateCertificateContext");
  if (t) t.hex("encoding", dwCertEncodingType).num("length", cbCertEncoded);
  return t.donePtr(
      CertCreateCertificateContextImpl(dwCertEncodingType, pbCertEncoded, cbCertEncoded));
}

static BOOL CertFreeCertificateContextImpl(PCCERT_CONTEXT pCertContext) {
  if (pCertContext == nullptr) return TRUE;
  return guarded(E_UNEXPECTED, [&] {
    if (!freeContext(pCertContext)) return fail(ERROR_INVALID_PARAMETER);
    return TRUE;
  });
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  emu::trace::Call t("CertFreeCertificateContext");
  return t.done(CertFreeCertificateContextImpl(pCertContext));
}

static BOOL CertAddCertificateContextToStoreImpl(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                                 DWORD dwAddDisposition,
                                                 PCCERT_CONTEXT *ppStoreContext) {
  if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
  return guarded(E_UNEXPECTED, [&] {
    std::shared_ptr<Store> s = storeOf(hCertStore);
    if (!s) return fail(ERROR_INVALID_HANDLE);
    CertObject *c = objectOf(pCertContext);
    if (c == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (dwAddDisposition != CERT_STORE_ADD_NEW && dwAddDisposition != CERT_STORE_ADD_USE_EXISTING)
      return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(s->mu);
    Scope target = Scope::User;
    if (s->view == View::Machine || (s->systemStore && s->mode == MachineMode::Install))
      target = Scope::Machine;
    if (s->readOnly || (target == Scope::Machine && s->mode == MachineMode::ReadOnly))
      return fail(E_ACCESSDENIED);
    // The same certificate may come from another store's context whose
    // properties another thread changes: copy them under that store's lock.
    // (Values a copy shares stay where they are while that store lives.)
    CertObject copy;
    if (c->store != nullptr && c->store != s.get()) {
      std::lock_guard<std::mutex> other(c->store->mu);
      copy.props = c->props;
    } else {
      copy.props = c->props;
    }
    copy.setData(c->encoded(), c->encodedSize, c->serial(), c->serialSize, c->issuer(),
                 c->issuerSize);
    const Bytes thumb = thumbprint(c->encoded(), c->encodedSize);
    // A view that shows the machine's trust anchors holds them already.
    const bool anchored = showsAnchors(*s) && holdsThumbprint(machineAnchors().get(), thumb);
    const int64_t row = anchored ? 0 : insertCert(target, s->name, thumb, copy, scopesOf(s->view));
    if (row == 0) {
      if (dwAddDisposition == CERT_STORE_ADD_USE_EXISTING) return succeed();
      return fail(CRYPT_E_EXISTS);
    }
    if (ppStoreContext != nullptr) {
      copy.row = row;
      copy.scope = target;
      *ppStoreContext = handOut(*s, s->memory.copyOf(copy));
    }
    return succeed();
  });
}

BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                             DWORD dwAddDisposition,
                                             PCCERT_CONTEXT *ppStoreContext) {
  emu::trace::Call t("CertAddCertificateContextToStore");
  if (t)
    t.hex("store", reinterpret_cast<uintptr_t>(hCertStore)).num("disposition", dwAddDisposition);
  return t.done(CertAddCertificateContextToStoreImpl(hCertStore, pCertContext, dwAddDisposition,
                                                     ppStoreContext));
}

static PCCERT_CONTEXT CertGetSubjectCertificateFromStoreImpl(HCERTSTORE hCertStore, DWORD,
                                                             PCERT_INFO pCertId) {
  return guardedPtr<PCCERT_CONTEXT>([&]() -> PCCERT_CONTEXT {
    std::shared_ptr<Store> s = storeOf(hCertStore);
    if (!s) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if (pCertId == nullptr || (pCertId->Issuer.cbData != 0 && pCertId->Issuer.pbData == nullptr) ||
        (pCertId->SerialNumber.cbData != 0 && pCertId->SerialNumber.pbData == nullptr)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const Bytes issuer(pCertId->Issuer.pbData, pCertId->Issuer.pbData + pCertId->Issuer.cbData);
    const Bytes key = serialKey(pCertId->SerialNumber.pbData, pCertId->SerialNumber.cbData);
    std::lock_guard<std::mutex> lock(s->mu);
    for (Scope scope : scopesOf(s->view)) {
      if (CertObject *c = findCert(scope, s->name, issuer, key, s->memory)) {
        return handOut(*s, *c);
      }
    }
    if (showsAnchors(*s)) {
      if (CertObject *c = findAnchor(*s, machineAnchors(), issuer, key)) return handOut(*s, *c);
    }
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  });
}

PCCERT_CONTEXT WINAPI CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore, DWORD unused1,
                                                         PCERT_INFO pCertId) {
  emu::trace::Call t("CertGetSubjectCertificateFromStore");
  if (t) t.hex("store", reinterpret_cast<uintptr_t>(hCertStore));
  return t.donePtr(CertGetSubjectCertificateFromStoreImpl(hCertStore, unused1, pCertId));
}

static BOOL CertDeleteCertificateFromStoreImpl(PCCERT_CONTEXT pCertContext) {
  return guarded(E_UNEXPECTED, [&] {
    CertObject *c = objectOf(pCertContext);
    if (c == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (c->store == nullptr) {
      // Not a store's certificate; consumed all the same.
      deleteFreeContext(c);
      return fail(ERROR_INVALID_PARAMETER);
    }
    Store &s = *c->store;
    std::shared_ptr<Store> last;  // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(s.mu);
    const BOOL ok = guarded(E_UNEXPECTED, [&] {
      if (!writable(s, *c)) return fail(E_ACCESSDENIED);
      if (!deleteCert(c->row)) return fail(CRYPT_E_NOT_FOUND);
      return succeed();
    });
    // The context is consumed whether or not the deletion succeeded.
    last = releaseLocked(s, *c);
    return ok;
  });
}

static PCCERT_CONTEXT CertFindCertificateInStoreImpl(HCERTSTORE hCertStore, DWORD,
                                                     DWORD dwFindFlags, DWORD dwFindType,
                                                     const void *pvFindPara,
                                                     PCCERT_CONTEXT pPrevCertContext) {
  return guardedPtr<PCCERT_CONTEXT>([&]() -> PCCERT_CONTEXT {
    std::shared_ptr<Store> s = storeOf(hCertStore);
    if (!s) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if (pPrevCertContext == nullptr && s->showsCards) propagateCardCertificates();
    // Exact matches only: by the encoding of a given context, or by its
    // SHA-1 hash. A store holds a certificate once per part, so a search
    // goes on only from the user's part to the machine's, and from there
    // to the machine's trust anchors.
    Bytes thumb;
    if (dwFindFlags != 0 || pvFindPara == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    if (dwFindType == CERT_FIND_EXISTING) {
      const CertObject *wanted = objectOf(static_cast<PCCERT_CONTEXT>(pvFindPara));
      if (wanted == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      thumb = thumbprint(wanted->encoded(), wanted->encodedSize);
    } else if (dwFindType == CERT_FIND_SHA1_HASH) {
      const auto *blob = static_cast<const CRYPT_HASH_BLOB *>(pvFindPara);
      if (blob->pbData == nullptr && blob->cbData != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      thumb.assign(blob->pbData, blob->pbData + blob->cbData);
    } else {
      SetLastError(E_INVALIDARG);
      return nullptr;
    }
    std::shared_ptr<Store> last;
    std::lock_guard<std::mutex> lock(s->mu);
    // The parts of the view in order: the user's (0), the machine's (1),
    // the machine's trust anchors (2).
    int afterPart = -1;
    if (pPrevCertContext != nullptr) {
      CertObject *prev = objectOf(pPrevCertContext);
      if (prev == nullptr || prev->store != s.get()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      afterPart = prev->anchor ? 2 : prev->scope == Scope::Machine ? 1 : 0;
      last = releaseLocked(*s, *prev);  // the previous context is freed by the call
    }
    for (Scope scope : scopesOf(s->view)) {
      if ((scope == Scope::Machine ? 1 : 0) <= afterPart) continue;
      if (CertObject *c = findByThumbprint(scope, s->name, thumb, s->memory)) {
        return handOut(*s, *c);
      }
    }
    if (afterPart < 2 && showsAnchors(*s)) {
      if (CertObject *c = findAnchorByThumbprint(*s, machineAnchors(), thumb))
        return handOut(*s, *c);
    }
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
  });
}

PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                 DWORD dwFindFlags, DWORD dwFindType,
                                                 const void *pvFindPara,
                                                 PCCERT_CONTEXT pPrevCertContext) {
  emu::trace::Call t("CertFindCertificateInStore");
  if (t)
    t.hex("store", reinterpret_cast<uintptr_t>(hCertStore))
        .hex("type", dwFindType)
        .num("first", pPrevCertContext == nullptr);
  return t.donePtr(CertFindCertificateInStoreImpl(hCertStore, dwCertEncodingType, dwFindFlags,
                                                  dwFindType, pvFindPara, pPrevCertContext));
}

BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  emu::trace::Call t("CertDeleteCertificateFromStore");
  return t.done(CertDeleteCertificateFromStoreImpl(pCertContext));
}

static PCCERT_CONTEXT CertEnumCertificatesInStoreImpl(HCERTSTORE hCertStore,
                                                      PCCERT_CONTEXT pPrevCertContext) {
  // A test build's enumeration fault is the one exception that leaves an
  // entry point: it is raised here, after the guarded body has let go of the
  // store's lock.
  std::string fault;
  PCCERT_CONTEXT next = guardedPtr<PCCERT_CONTEXT>([&]() -> PCCERT_CONTEXT {
    std::shared_ptr<Store> s = storeOf(hCertStore);
    if (!s) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if (pPrevCertContext == nullptr && s->showsCards) propagateCardCertificates();
    std::shared_ptr<Store> last;  // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(s->mu);
    size_t pos = 0;
    Enumeration *e = nullptr;
    if (pPrevCertContext == nullptr) {
      // A new enumeration: the whole view in one snapshot, the user's part
      // first, each part in the order of addition, then the machine's
      // trust anchors.
      std::vector<CertObject *> list;
      loadView(scopesOf(s->view), s->name, s->memory, list);
      if (showsAnchors(*s)) addAnchorContexts(*s, machineAnchors(), list);
      e = &startEnumeration(*s, std::move(list));
      s->fault = enumerationFault();
      if (!s->fault.empty() && e->items.empty()) {
        fault = s->fault;
        return nullptr;
      }
    } else {
      CertObject *prev = objectOf(pPrevCertContext);
      if (prev == nullptr || prev->store != s.get() || prev->enumeration == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      if (!s->fault.empty()) {
        fault = s->fault;
        return nullptr;
      }
      // The previous context is freed by this call; its memory stays
      // readable until the store is closed.
      last = releaseLocked(*s, *prev);
      e = prev->enumeration;
      pos = prev->enumPos + 1;
    }
    PCCERT_CONTEXT c = enumerationAt(*s, *e, pos);
    if (c == nullptr) SetLastError(CRYPT_E_NOT_FOUND);
    return c;
  });
  if (!fault.empty()) raiseFault(fault);
  return next;
}

PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                  PCCERT_CONTEXT pPrevCertContext) {
  emu::trace::Call t("CertEnumCertificatesInStore");
  if (t)
    t.hex("store", reinterpret_cast<uintptr_t>(hCertStore))
        .num("first", pPrevCertContext == nullptr);
  return t.donePtr(CertEnumCertificatesInStoreImpl(hCertStore, pPrevCertContext));
}

static BOOL CertGetCertificateContextPropertyImpl(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                  void *pvData, DWORD *pcbData) {
  return guarded(E_UNEXPECTED, [&] {
    CertObject *c = objectOf(pCertContext);
    if (c == nullptr || pcbData == nullptr) return fail(ERROR_INVALID_PARAMETER);
    std::unique_lock<std::mutex> lock;
    if (c->store != nullptr) lock = std::unique_lock<std::mutex>(c->store->mu);
    const Property *p = c->props.find(dwPropId);
    if (p == nullptr) {
      if (dwPropId == CERT_SHA1_HASH_PROP_ID) {
        const Bytes h = thumbprint(c->encoded(), c->encodedSize);
        return copyOut(h.data(), static_cast<DWORD>(h.size()), static_cast<BYTE *>(pvData),
                       pcbData);
      }
      return fail(CRYPT_E_NOT_FOUND);
    }
    if (dwPropId != CERT_KEY_PROV_INFO_PROP_ID)
      return copyOut(p->data, static_cast<DWORD>(p->size), static_cast<BYTE *>(pvData), pcbData);
    const DWORD size = provInfoSize(p->data, p->size);
    if (size == 0) return fail(CRYPT_E_NOT_FOUND);
    if (pvData == nullptr) {
      *pcbData = size;
      return succeed();
    }
    if (*pcbData < size) {
      *pcbData = size;
      return fail(ERROR_MORE_DATA);
    }
    writeProvInfo(p->data, p->size, static_cast<BYTE *>(pvData));
    *pcbData = size;
    return succeed();
  });
}

BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              void *pvData, DWORD *pcbData) {
  emu::trace::Call t("CertGetCertificateContextProperty");
  if (t) t.num("prop", dwPropId).num("size query", pvData == nullptr);
  return t.done(CertGetCertificateContextPropertyImpl(pCertContext, dwPropId, pvData, pcbData));
}

static BOOL CertSetCertificateContextPropertyImpl(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                  DWORD, const void *pvData) {
  return guarded(E_UNEXPECTED, [&] {
    CertObject *c = objectOf(pCertContext);
    if (c == nullptr || dwPropId == 0) return fail(ERROR_INVALID_PARAMETER);
    Bytes value;
    if (pvData != nullptr) {
      if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
        value = serialiseProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO *>(pvData));
      } else {
        const auto *blob = static_cast<const CRYPT_DATA_BLOB *>(pvData);
        if (blob->cbData != 0 && blob->pbData == nullptr) return fail(ERROR_INVALID_PARAMETER);
        value.assign(blob->pbData, blob->pbData + blob->cbData);
      }
    }
    std::unique_lock<std::mutex> lock;
    if (c->store != nullptr) {
      lock = std::unique_lock<std::mutex>(c->store->mu);
      if (!writable(*c->store, *c)) return fail(E_ACCESSDENIED);
      // A store's certificate changes in the store at once.
      if (!storeProperty(c->row, dwPropId, pvData != nullptr ? &value : nullptr))
        return fail(CRYPT_E_NOT_FOUND);
    }
    if (pvData != nullptr) {
      c->props.set(dwPropId, std::move(value));
    } else {
      c->props.remove(dwPropId);
    }
    return succeed();
  });
}

BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              DWORD unused1, const void *pvData) {
  emu::trace::Call t("CertSetCertificateContextProperty");
  if (t) t.num("prop", dwPropId).num("remove", pvData == nullptr);
  return t.done(CertSetCertificateContextPropertyImpl(pCertContext, dwPropId, unused1, pvData));
}

}  // extern "C"
