// Reading and matching the attributes of a token's objects: attribute
// templates, single attribute values, object searches, and the objects that
// make up key containers (family.h).
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>
#include <vector>

#include "csp/crypto.h"
#include "csp/pkcs11/module.h"
#include "winapi/windows_types.h"

namespace emu::csp::pkcs11 {

using crypto::Bytes;

// An attribute template that owns its values (wiped when it goes).
struct Template {
  std::vector<CK_ATTRIBUTE> attrs;
  // Storage for the values, kept alive with the template.
  std::vector<std::unique_ptr<Bytes>> values;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;

  Template &add(CK_ATTRIBUTE_TYPE t, const void *p, size_t n) {
    values.push_back(std::make_unique<Bytes>(static_cast<const uint8_t *>(p),
                                             static_cast<const uint8_t *>(p) + n));
    Bytes &v = *values.back();
    attrs.push_back({t, v.empty() ? nullptr : v.data(), static_cast<CK_ULONG>(v.size())});
    return *this;
  }
  Template &flag(CK_ATTRIBUTE_TYPE t, bool v) { return add(t, v ? &yes : &no, sizeof(CK_BBOOL)); }
  Template &ulong(CK_ATTRIBUTE_TYPE t, CK_ULONG v) { return add(t, &v, sizeof v); }
  Template &text(CK_ATTRIBUTE_TYPE t, const std::string &s) { return add(t, s.data(), s.size()); }
  Template &bytes(CK_ATTRIBUTE_TYPE t, const Bytes &b) { return add(t, b.data(), b.size()); }
  ~Template() {
    for (auto &v : values) crypto::cleanse(*v);
  }
  CK_ATTRIBUTE *data() { return attrs.data(); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(attrs.size()); }
};

// One attribute's value; false when the object has none or refuses it.
bool attribute(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE t, Bytes &out,
               CK_RV *rvOut = nullptr);
bool boolAttribute(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE t,
                   bool &out);

// Every object that matches a template.
CK_RV findObjects(Use &use, CK_SESSION_HANDLE s, Template &t, std::vector<CK_OBJECT_HANDLE> &out);

// The objects of a container (markers, RSA public or private keys) on a
// token; with a null label, those of every container.
CK_RV containerObjects(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, const std::string *label,
                       std::vector<CK_OBJECT_HANDLE> &out);

// Whether an object still has the label (and, when given, the CKA_ID) it
// had: one C_GetAttributeValue, so a cached handle is checked cheaply.
bool stillIs(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, const std::string &label,
             const Bytes *id);

// The platform's error for a token's refusal to store an object (a key, a
// marker, a certificate).
DWORD storeError(CK_RV rv);

}  // namespace emu::csp::pkcs11
