// What the certificate operations share: opening the current user's store
// of a kind, the lookup by serial number and issuer, and the zero-terminated
// UTF-16 copy of a Java string that friendly names are stored as.
#pragma once

#include "bridge/frame.h"
#include "bridge/holders.h"
#include "bridge/messages.h"
#include "certstore/store_kind.h"
#include "platform/handles.h"

namespace mscapi {

// The current user's system store of that kind (created by the platform when
// missing); null for a code outside the table or a failed open.
HCERTSTORE openUserStore(jint storeKind);

// The store's certificate with exactly this issuer and serial number (least
// significant byte first), or null (also when either is a null array). Only SerialNumber and Issuer
// of the key are filled; the array elements are read in place, never written. The context is freed
// by the store's forced close.
PCCERT_CONTEXT findCertificate(HCERTSTORE store, const ByteElements &serial,
                               const ByteElements &issuer);

// The 2n + 2 bytes of a Java string's n UTF-16 units followed by one zero
// unit. An empty holder when the memory cannot be had.
HeapBuffer zeroTerminatedUtf16(const Utf16Chars &chars);

// The sequence setFriendlyName, setFlags and deleteCertFromStore share:
// open the current user's store of the kind (else "Failed to open the
// requested store!"), take the method's own value (`take` returns a holder
// with failed()), the serial number and the issuer, find the certificate
// and act on it. Raises `failed` when the certificate is not found or act()
// returns false. The store is declared first, so it is closed last.
template <typename Take, typename Act>
void findThenAct(JNIEnv *env, jint storeKind, jbyteArray serialNumber, jbyteArray issuer,
                 const char *failed, Take &&take, Act &&act) {
  CertStore store(openUserStore(storeKind));
  if (!store) {
    throwJavaException(env, msg::kRequestedStore);
    return;
  }
  const auto value = take();
  if (value.failed()) return;
  ByteElements serial(env, serialNumber);
  if (serial.failed()) return;
  ByteElements issuerBytes(env, issuer);
  if (issuerBytes.failed()) return;
  PCCERT_CONTEXT cert = findCertificate(store.get(), serial, issuerBytes);
  if (cert == nullptr || !act(cert, value, serial, issuerBytes)) throwJavaException(env, failed);
}

// Owner of a free certificate context (one not taken from a store).
struct CertContextTraits {
  static void close(PCCERT_CONTEXT c) { CertFreeCertificateContext(c); }
};
using CertContext = UniqueHandle<PCCERT_CONTEXT, CertContextTraits>;

}  // namespace mscapi
