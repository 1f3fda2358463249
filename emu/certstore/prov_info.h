// CERT_KEY_PROV_INFO_PROP_ID: a CRYPT_KEY_PROV_INFO is kept in a
// position-independent form and handed back as one self-contained buffer
// (the structure, its parameter array, then its strings and parameter bytes,
// the pointers pointing into that same buffer).
#pragma once

#include "certstore/x509.h"
#include "winapi/crypt32.h"

namespace emu::certstore {

Bytes serialiseProvInfo(const CRYPT_KEY_PROV_INFO &info);
// Size of the self-contained buffer for a stored value (`n` bytes at
// `stored`); 0 when malformed.
DWORD provInfoSize(const uint8_t *stored, size_t n);
// Writes the self-contained buffer (provInfoSize bytes) at `out`.
void writeProvInfo(const uint8_t *stored, size_t n, BYTE *out);

}  // namespace emu::certstore
