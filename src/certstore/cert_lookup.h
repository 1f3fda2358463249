// What the certificate operations share: opening the current user's store
// of a kind, the lookup by serial number and issuer, and the zero-terminated
// UTF-16 copy of a Java string that friendly names are stored as.
#pragma once

#include "bridge/holders.h"
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

// Owner of a free certificate context (one not taken from a store).
struct CertContextTraits {
  static void close(PCCERT_CONTEXT c) { CertFreeCertificateContext(c); }
};
using CertContext = UniqueHandle<PCCERT_CONTEXT, CertContextTraits>;

}  // namespace mscapi
