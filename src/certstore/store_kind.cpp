#include "certstore/store_kind.h"

namespace mscapi {

namespace {

// WCHAR is wchar_t on Windows and char16_t in the emulation: spelled as
// arrays of units so the same text builds against both.
const WCHAR kMyW[] = {'M', 'Y', 0};
const WCHAR kRootW[] = {'R', 'O', 'O', 'T', 0};
const WCHAR kCaW[] = {'C', 'A', 0};
const WCHAR kAddressBookW[] = {'A', 'd', 'd', 'r', 'e', 's', 's', 'B', 'o', 'o', 'k', 0};
const WCHAR kVarnelW[] = {'V', 'a', 'r', 'n', 'e', 'l', 0};

struct StoreName {
  jint kind;
  const char *a;
  const WCHAR *w;
};

const StoreName kStoreNames[] = {
    {STORE_MY, "MY", kMyW},
    {STORE_ROOT, "ROOT", kRootW},
    {STORE_CA, "CA", kCaW},
    {STORE_ADDRESS_BOOK, "AddressBook", kAddressBookW},
    {STORE_APPLICATION, "Varnel", kVarnelW},
};

const StoreName *row(jint storeKind) {
  for (const StoreName &n : kStoreNames)
    if (n.kind == storeKind) return &n;
  return nullptr;
}

}  // namespace

const char *storeNameA(jint storeKind) {
  const StoreName *n = row(storeKind);
  return n != nullptr ? n->a : nullptr;
}

const WCHAR *storeNameW(jint storeKind) {
  const StoreName *n = row(storeKind);
  return n != nullptr ? n->w : nullptr;
}

}  // namespace mscapi
