// queryCerts: lists every certificate of a store with the properties the
// library manages (friendly name, description, and in "MY" the key binding),
// as CertList: the records newest first. In "MY" only certificates bound to
// a PROV_RSA_FULL key container with both names are listed. The encoding,
// serial number and issuer are borrowed from the store's contexts (kept
// until the store is closed) and copied once, into the result.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "bridge/arena.h"
#include "bridge/fault_guard.h"
#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "bridge/records.h"
#include "certstore/cert_lookup.h"
#include "com_qel_varnel_MSCAPI.h"

using namespace mscapi;

namespace {

// One certificate while the list is gathered, in the call's arena; the
// list runs from the last certificate gathered to the first.
struct CertRecord {
  const BYTE *encodedCert = nullptr;  // borrowed from the store's context
  uint32_t encodedCertLength = 0;
  const BYTE *serialNumber = nullptr;  // borrowed
  uint32_t serialNumberLength = 0;
  const BYTE *issuer = nullptr;  // borrowed
  uint32_t issuerLength = 0;
  const WCHAR *friendlyName = nullptr;  // UTF-16 property units, or none
  uint32_t friendlyNameUnits = 0;
  uint32_t friendlyNameNarrow = 0;    // its units before the first above 0xFF
  const BYTE *description = nullptr;  // or none
  uint32_t descriptionLength = 0;
  const uint8_t *providerName = nullptr;  // 8-bit, zero-terminated, or none
  uint32_t providerNameLength = 0;
  const uint8_t *containerName = nullptr;
  uint32_t containerNameLength = 0;
  uint32_t keySpec = 0;
  CertRecord *next = nullptr;
};

// A property in two steps: its size, then its bytes into arena memory of
// that size. Null when either step fails or the size is 0.
const BYTE *readProperty(PCCERT_CONTEXT cert, DWORD id, Arena &arena, uint32_t &length) {
  length = 0;
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, id, nullptr, &size) || size == 0) return nullptr;
  auto *buffer = static_cast<BYTE *>(arena.take(size));
  if (!CertGetCertificateContextProperty(cert, id, buffer, &size)) return nullptr;
  length = size;
  return buffer;
}

// UTF-16 to 8-bit, unit by unit: 0x00-0xFF become the byte of that value,
// the first unit above 0xFF stops the conversion. Writes at most `units`
// bytes; returns how many were converted.
uint32_t narrowUnits(const WCHAR *src, uint32_t units, uint8_t *dst) {
  uint32_t i = 0;
  for (; i < units; ++i) {
    const uint32_t u = static_cast<uint16_t>(src[i]);
    if (u > 0xFF) break;
    dst[i] = static_cast<uint8_t>(u);
  }
  return i;
}

// A key binding name as zero-terminated 8-bit text in the arena. Null when
// a unit above 0xFF would cut it: the cut name would be another
// container's.
const uint8_t *narrowName(const WCHAR *name, Arena &arena, uint32_t &length) {
  uint32_t units = 0;
  while (name[units] != 0) ++units;
  auto *text = static_cast<uint8_t *>(arena.take(size_t{units} + 1));
  length = narrowUnits(name, units, text);
  if (length != units) return nullptr;
  text[units] = 0;
  return text;
}

// Gathers one certificate; false when it gets no record.
bool gather(PCCERT_CONTEXT cert, jint storeKind, Arena &arena, CertRecord &r) {
  r.encodedCert = cert->pbCertEncoded;
  r.encodedCertLength = cert->cbCertEncoded;
  r.serialNumber = cert->pCertInfo->SerialNumber.pbData;
  r.serialNumberLength = cert->pCertInfo->SerialNumber.cbData;
  r.issuer = cert->pCertInfo->Issuer.pbData;
  r.issuerLength = cert->pCertInfo->Issuer.cbData;

  uint32_t nameBytes = 0;
  const BYTE *name = readProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, arena, nameBytes);
  if (name != nullptr) {
    // The text ends at its first zero unit and never runs past the property.
    const WCHAR *units = reinterpret_cast<const WCHAR *>(name);
    const uint32_t max = nameBytes / 2;
    while (r.friendlyNameUnits < max && units[r.friendlyNameUnits] != 0) ++r.friendlyNameUnits;
    while (r.friendlyNameNarrow < r.friendlyNameUnits &&
           static_cast<uint16_t>(units[r.friendlyNameNarrow]) <= 0xFF)
      ++r.friendlyNameNarrow;
    r.friendlyName = units;
  }
  r.description = readProperty(cert, CERT_DESCRIPTION_PROP_ID, arena, r.descriptionLength);

  if (storeKind != STORE_MY) return true;
  uint32_t bindingLength = 0;
  const BYTE *binding = readProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, arena, bindingLength);
  if (binding == nullptr) return false;
  const auto *info = reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(binding);
  if (info->dwProvType != PROV_RSA_FULL || info->pwszProvName == nullptr ||
      info->pwszContainerName == nullptr)
    return false;
  r.providerName = narrowName(info->pwszProvName, arena, r.providerNameLength);
  r.containerName = narrowName(info->pwszContainerName, arena, r.containerNameLength);
  r.keySpec = info->dwKeySpec;
  // A binding whose names do not fit 8-bit text names no container the
  // caller could sign with: left out, like one without both names.
  return r.providerName != nullptr && r.containerName != nullptr;
}

void writeList(RecordWriter &w, const CertRecord *head, uint32_t count) {
  w.u32(count);
  for (const CertRecord *r = head; r != nullptr; r = r->next) {
    w.field(r->encodedCert, r->encodedCertLength);
    w.field(r->serialNumber, r->serialNumberLength);
    w.field(r->issuer, r->issuerLength);
    w.fieldWith(r->friendlyNameUnits, [r](uint8_t *dst, uint32_t from, uint32_t count) {
      // Units up to the first one above 0xFF become bytes; the rest of the
      // field is zero, so no uninitialised byte reaches Java.
      const uint32_t done = from < r->friendlyNameNarrow
                                ? narrowUnits(r->friendlyName + from,
                                              std::min(count, r->friendlyNameNarrow - from), dst)
                                : 0;
      std::memset(dst + done, 0, count - done);
    });
    w.field(r->providerName, r->providerNameLength);
    w.field(r->containerName, r->containerNameLength);
    w.u32(r->keySpec);
    w.field(r->description, r->descriptionLength);
  }
}

// What must be freed whatever becomes of the body. It lives in the
// guard's frame: on 32-bit Windows a processor fault leaves the body by a
// jump that runs none of the body's destructors, so nothing the body owns
// may be freed only by them.
struct QueryState {
  CertStore store;
  Arena arena;                 // the records and the property bytes they hold
  CertRecord *head = nullptr;  // the newest record
  uint32_t count = 0;
  HeapBuffer staging;  // the result's staging buffer
};

CertStore openStore(jint storeKind) {
  if (storeKind == STORE_APPLICATION)
    return CertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER, storeNameW(storeKind)));
  return CertStore(openUserStore(storeKind));
}

jbyteArray queryCertsBody(JNIEnv *env, jclass cls, jint storeKind, QueryState &state) {
  if (checkLinkPermission(env, cls) != nullptr) return nullptr;
  state.store = openStore(storeKind);
  if (!state.store) {
    throwJavaException(env,
                       storeKind == STORE_APPLICATION ? msg::kVarnelStore : msg::kRequestedStore);
    return nullptr;
  }
  HCERTSTORE store = state.store.get();
  for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert != nullptr;
       cert = CertEnumCertificatesInStore(store, cert)) {
    if ((cert->dwCertEncodingType & X509_ASN_ENCODING) == 0) continue;
    // In the arena from the start, so that a failure while gathering frees
    // it with the rest; a record that gets no entry is not linked.
    CertRecord *r = state.arena.make<CertRecord>();
    if (!gather(cert, storeKind, state.arena, *r)) continue;
    r->next = state.head;
    state.head = r;
    ++state.count;
  }
  bool allocFailed = false;
  jbyteArray list = writeRecords(
      env, [&](RecordWriter &w) { writeList(w, state.head, state.count); }, state.staging,
      allocFailed);
  if (allocFailed) throw std::bad_alloc();
  return list;
}

}  // namespace

JNIEXPORT jbyteArray JNICALL Java_com_qel_varnel_MSCAPI_queryCerts(JNIEnv *env, jclass cls,
                                                                   jint storeKind) {
  // The fault guard: every exception raised below this method, in its own
  // code or in anything it calls, ends the call with the message below.
  // C++ exceptions (an allocation failure, a failure of the store
  // implementation) carry the code Windows gives a C++ exception; on 32-bit
  // Windows a processor fault or other structured exception carries its
  // own code. Elsewhere processor faults are not caught: inside a JVM the
  // JVM owns those signals and handles them itself.
  QueryState state;  // freed here, whether the body ended or was ended
  jbyteArray result = nullptr;
  uint32_t code = 0;
  if (runGuarded([&] { result = queryCertsBody(env, cls, storeKind, state); }, code)) return result;
  char message[100];
  std::memset(message, 0, sizeof message);
  std::snprintf(message, sizeof message,
                "Caught exception in mscapi.dll: 0x%08x. Please contact QEL for assistance.",
                static_cast<unsigned int>(code));
  // An exception the JVM already raised is left to reach the caller.
  if (!env->ExceptionCheck()) throwJavaException(env, message);
  return nullptr;
}
