#include "csp/pkcs11/attributes.h"

#include <algorithm>

#include "csp/pkcs11/family.h"

namespace emu::csp::pkcs11 {

bool attribute(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE t, Bytes &out,
               CK_RV *rvOut) {
  CK_ATTRIBUTE a{t, nullptr, 0};
  CK_RV rv = use.fn()->C_GetAttributeValue(s, h, &a, 1);
  if (rv == CKR_OK && a.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
    out.assign(a.ulValueLen, 0);
    a.pValue = out.empty() ? nullptr : out.data();
    rv = use.fn()->C_GetAttributeValue(s, h, &a, 1);
  }
  if (rvOut) *rvOut = rv;
  return rv == CKR_OK && a.ulValueLen != CK_UNAVAILABLE_INFORMATION;
}

bool boolAttribute(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE t,
                   bool &out) {
  CK_BBOOL v = CK_FALSE;
  CK_ATTRIBUTE a{t, &v, sizeof v};
  if (use.fn()->C_GetAttributeValue(s, h, &a, 1) != CKR_OK) return false;
  out = v == CK_TRUE;
  return true;
}

CK_RV findObjects(Use &use, CK_SESSION_HANDLE s, Template &t, std::vector<CK_OBJECT_HANDLE> &out) {
  out.clear();
  CK_RV rv = use.fn()->C_FindObjectsInit(s, t.data(), t.size());
  if (rv != CKR_OK) return rv;
  CK_OBJECT_HANDLE batch[64];
  for (;;) {
    CK_ULONG n = 0;
    rv = use.fn()->C_FindObjects(s, batch, 64, &n);
    if (rv != CKR_OK || n == 0) break;
    out.insert(out.end(), batch, batch + n);
  }
  const CK_RV fin = use.fn()->C_FindObjectsFinal(s);
  return rv != CKR_OK ? rv : fin;
}

CK_RV containerObjects(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, const std::string *label,
                       std::vector<CK_OBJECT_HANDLE> &out) {
  Template t;
  t.ulong(CKA_CLASS, cls).flag(CKA_TOKEN, true);
  if (cls == CKO_DATA)
    t.text(CKA_APPLICATION, kContainerApplication);
  else
    t.ulong(CKA_KEY_TYPE, CKK_RSA);
  if (label != nullptr) t.text(CKA_LABEL, *label);
  return findObjects(use, s, t, out);
}

bool stillIs(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, const std::string &label,
             const Bytes *id) {
  Bytes l(label.size() + 1), i(id ? id->size() + 1 : 1);
  CK_ATTRIBUTE a[2] = {{CKA_LABEL, l.data(), static_cast<CK_ULONG>(l.size())},
                       {CKA_ID, i.data(), static_cast<CK_ULONG>(i.size())}};
  const CK_RV rv = use.fn()->C_GetAttributeValue(s, h, a, id ? 2 : 1);
  if (rv != CKR_OK || a[0].ulValueLen != label.size() ||
      label.compare(0, label.size(), reinterpret_cast<const char *>(l.data()), label.size()) != 0)
    return false;
  return id == nullptr ||
         (a[1].ulValueLen == id->size() && std::equal(id->begin(), id->end(), i.begin()));
}

DWORD storeError(CK_RV rv) {
  switch (rv) {
    case CKR_KEY_SIZE_RANGE:
      return NTE_BAD_FLAGS;
    case CKR_USER_NOT_LOGGED_IN:
      return NTE_PERM;
    case CKR_TOKEN_WRITE_PROTECTED:
    case CKR_SESSION_READ_ONLY:
      return ERROR_ACCESS_DENIED;
    case CKR_DEVICE_MEMORY:
      return NTE_NO_MEMORY;
    default:
      return NTE_FAIL;
  }
}

}  // namespace emu::csp::pkcs11
