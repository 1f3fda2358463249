#include "certstore/contexts.h"

#include <unordered_map>

namespace emu::certstore {

namespace {

// Stores closed without the force flag while contexts taken from them are
// still in use; destroyed when the last of those contexts is freed.
std::mutex closingMu;
std::unordered_map<Store *, std::shared_ptr<Store>> &closing() {
  static std::unordered_map<Store *, std::shared_ptr<Store>> m;
  return m;
}

}  // namespace

CertObject *objectOf(PCCERT_CONTEXT p) {
  if (p == nullptr) return nullptr;
  const auto *b = reinterpret_cast<const ContextBlock *>(p);
  return b->magic == kContextMagic ? b->owner : nullptr;
}

PCCERT_CONTEXT newFreeContext(const uint8_t *encoded, size_t n, const ParsedCert &parsed) {
  auto c = std::make_unique<CertObject>();
  c->setData(encoded, n, parsed.serial.data(), parsed.serial.size(), parsed.issuer.data(),
             parsed.issuer.size());
  c->block.info.dwVersion = parsed.version;
  c->bind(nullptr);
  return &c.release()->block.ctx;
}

void deleteFreeContext(CertObject *c) {
  c->block.magic = 0;
  delete c;
}

PCCERT_CONTEXT handOut(Store &s, CertObject &c) {
  c.store = &s;
  c.bind(s.handle);
  c.inUse = true;
  ++s.liveContexts;
  return &c.block.ctx;
}

std::shared_ptr<Store> releaseLocked(Store &s, CertObject &c) {
  if (!c.inUse) return nullptr;
  c.inUse = false;
  --s.liveContexts;
  if (!s.closing || s.liveContexts != 0) return nullptr;
  std::lock_guard<std::mutex> lock(closingMu);
  auto it = closing().find(&s);
  if (it == closing().end()) return nullptr;
  std::shared_ptr<Store> keep = std::move(it->second);
  closing().erase(it);
  return keep;
}

bool freeContext(PCCERT_CONTEXT p) {
  CertObject *c = objectOf(p);
  if (c == nullptr) return false;
  if (c->store == nullptr) {
    deleteFreeContext(c);
    return true;
  }
  std::shared_ptr<Store> last;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(c->store->mu);
  last = releaseLocked(*c->store, *c);
  return true;
}

bool keepWhileInUse(const std::shared_ptr<Store> &s) {
  std::lock_guard<std::mutex> lock(s->mu);
  if (s->liveContexts == 0) return false;
  s->closing = true;
  std::lock_guard<std::mutex> c(closingMu);
  closing().emplace(s.get(), s);
  return true;
}

Enumeration &startEnumeration(Store &s, std::vector<CertObject *> &&list) {
  s.enumerations.push_back(std::make_unique<Enumeration>());
  Enumeration &e = *s.enumerations.back();
  e.items = std::move(list);
  for (size_t i = 0; i < e.items.size(); ++i) {
    CertObject &c = *e.items[i];
    c.store = &s;
    c.bind(s.handle);
    c.inUse = false;
    c.enumeration = &e;
    c.enumPos = i;
  }
  return e;
}

PCCERT_CONTEXT enumerationAt(Store &s, Enumeration &e, size_t pos) {
  if (pos >= e.items.size()) return nullptr;
  CertObject &c = *e.items[pos];
  c.inUse = true;
  ++s.liveContexts;
  return &c.block.ctx;
}

}  // namespace emu::certstore
