// The StoreKind codes Java passes as storeKind, and their store names.
#pragma once

#include <jni.h>

#include "platform/platform.h"

namespace mscapi {

enum StoreKind : jint {
  STORE_MY = 1,            // "MY", the personal store: certificates bound to a key container
  STORE_ROOT = 2,          // "ROOT", trusted roots
  STORE_CA = 3,            // "CA", intermediate certification authorities
  STORE_ADDRESS_BOOK = 4,  // "AddressBook", other parties' certificates
  STORE_APPLICATION = 5,   // "Varnel", the application's own store
};

// The constant 8-bit name of a code, or null for a code outside the table.
const char *storeNameA(jint storeKind);
// The same name as zero-terminated UTF-16, or null.
const WCHAR *storeNameW(jint storeKind);

}  // namespace mscapi
