// How long certificate contexts and the stores they come from live.
//
// A free context (CertCreateCertificateContext) is its own object, deleted
// when freed. A store's context lives in its store's memory and stays
// readable until the store is gone, even after it was freed or enumerated
// past; what is counted is whether it is in use. A store closed without the
// force flag while contexts of it are in use stays until the last of them is
// freed.
#pragma once

#include <memory>

#include "certstore/store.h"

namespace emu::certstore {

// The object behind a context handed out by this emulation, or null for
// null or anything else.
CertObject *objectOf(PCCERT_CONTEXT p);

// A new free context holding a copy of the encoding and its parsed parts.
PCCERT_CONTEXT newFreeContext(const uint8_t *encoded, size_t n, const ParsedCert &parsed);
// Deletes a free context (not a store's).
void deleteFreeContext(CertObject *c);

// Hands out a context of `s` (the caller holds the store's lock).
PCCERT_CONTEXT handOut(Store &s, CertObject &c);

// Marks a store context no longer in use (the caller holds the store's
// lock); nothing when it was not. Returns the store when that was the last
// context of a store closed without the force flag: the caller drops it
// after releasing the lock, which destroys the store.
std::shared_ptr<Store> releaseLocked(Store &s, CertObject &c);

// Frees a context: a free context is deleted, a store's context is marked
// no longer in use. False when `p` is not a context of this emulation.
bool freeContext(PCCERT_CONTEXT p);

// A store whose handle was closed without the force flag: while contexts of
// it are in use it is kept (true) until the last of them is freed.
bool keepWhileInUse(const std::shared_ptr<Store> &s);

// Makes `list` (loaded into the store's memory) the store's current
// enumeration of its own; earlier ones go on independently.
Enumeration &startEnumeration(Store &s, std::vector<CertObject *> &&list);
// The enumeration's context at `pos`, handed out; null past its end.
PCCERT_CONTEXT enumerationAt(Store &s, Enumeration &e, size_t pos);

}  // namespace emu::certstore
