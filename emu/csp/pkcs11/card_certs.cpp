#include "csp/pkcs11/card_certs.h"

#include <openssl/sha.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "csp/pkcs11/attributes.h"
#include "csp/pkcs11/pairs.h"
#include "csp/pkcs11/tokens.h"
#include "csp/provider.h"

namespace emu::csp::pkcs11 {

namespace {

// What this process reported of one token.
struct TokenSeen {
  uint64_t epoch = 0;
  std::vector<CK_OBJECT_HANDLE> certObjects;   // the change signal
  std::set<std::pair<Bytes, Bytes>> reported;  // (CKA_ID, SHA-1 of the certificate)
  // Reports taken back (cardCertificateNotCopied), and how many of them a
  // completed read has seen: while they differ, the token is read again,
  // whatever the change signal says.
  uint64_t takenBack = 0, settled = 0;
};

std::mutex seenMu;
// By module image and token serial number.
std::map<std::pair<std::string, std::string>, TokenSeen> &seen() {
  static auto *m = new std::map<std::pair<std::string, std::string>, TokenSeen>;
  return *m;
}

Bytes sha1(const Bytes &der) {
  Bytes h(SHA_DIGEST_LENGTH);
  SHA1(der.data(), der.size(), h.data());
  return h;
}

// The container a certificate with this CKA_ID (and label) belongs to: the
// key pair of that CKA_ID, the one with the certificate's label when
// several have the id; a library container of the certificate's label for
// the CKA_ID of one of its keys (pairs.h). False when none or several.
bool pairOf(const std::vector<TokenContainer> &all, const Bytes &id, const std::string &label,
            TokenContainer &out, int &spec) {
  std::vector<const TokenContainer *> byId, byBoth;
  for (const TokenContainer &c : all) {
    const bool library = !c.pair && c.label == label && librarySpec(c.keyIds, id) != 0;
    if (!(c.pair && c.id == id) && !library) continue;
    byId.push_back(&c);
    if (c.label == label) byBoth.push_back(&c);
  }
  const auto &chosen = byId.size() == 1 ? byId : byBoth;
  if (chosen.size() != 1) return false;
  out = *chosen.front();
  spec = out.pair ? pairSpec(out.id) : librarySpec(out.keyIds, id);
  return true;
}

// The CKA_IDs of the token's keys: private keys, and public keys whose
// private half a login would show.
bool keyIds(Use &use, CK_SESSION_HANDLE s, std::set<Bytes> &out) {
  for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_PRIVATE_KEY), CK_OBJECT_CLASS(CKO_PUBLIC_KEY)}) {
    Template t;
    t.ulong(CKA_CLASS, cls).flag(CKA_TOKEN, true);
    std::vector<CK_OBJECT_HANDLE> found;
    if (findObjects(use, s, t, found) != CKR_OK) return false;
    for (CK_OBJECT_HANDLE h : found) {
      Bytes id;
      if (attribute(use, s, h, CKA_ID, id) && !id.empty()) out.insert(id);
    }
  }
  return true;
}

void readToken(Use &use, const std::string &image, const TokenView &t,
               std::vector<CardCertificate> &out) {
  CK_RV rv = CKR_OK;
  const CK_SESSION_HANDLE s = use.session(t.slot, rv);
  if (s == CK_INVALID_HANDLE) return;
  Template t509;
  t509.ulong(CKA_CLASS, CKO_CERTIFICATE)
      .flag(CKA_TOKEN, true)
      .ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
  std::vector<CK_OBJECT_HANDLE> certs;
  if (findObjects(use, s, t509, certs) != CKR_OK) return;
  {
    std::lock_guard<std::mutex> lock(seenMu);
    const TokenSeen &was = seen()[{image, t.serial}];
    if (was.epoch == use.epoch() && was.certObjects == certs && was.settled == was.takenBack)
      return;
  }
  // A token without keys (a store of trust anchors) is done after two
  // searches.
  std::set<Bytes> ids;
  if (!keyIds(use, s, ids)) return;
  std::vector<TokenContainer> all;
  bool listed = false;
  std::set<std::pair<Bytes, Bytes>> reported, added;
  uint64_t takenBack = 0;
  {
    std::lock_guard<std::mutex> lock(seenMu);
    const TokenSeen &was = seen()[{image, t.serial}];
    reported = was.reported;
    takenBack = was.takenBack;
  }
  for (CK_OBJECT_HANDLE h : ids.empty() ? std::vector<CK_OBJECT_HANDLE>{} : certs) {
    Bytes id, der, label;
    if (!attribute(use, s, h, CKA_ID, id) || ids.count(id) == 0 ||
        !attribute(use, s, h, CKA_VALUE, der))
      continue;
    const auto key = std::make_pair(id, sha1(der));
    if (reported.count(key) != 0) continue;
    if (!listed) {
      if (tokenContainers(use, s, all) != CKR_OK) return;
      listed = true;
    }
    attribute(use, s, h, CKA_LABEL, label);
    TokenContainer pair;
    int spec = 0;
    if (!pairOf(all, id, std::string(label.begin(), label.end()), pair, spec)) continue;
    out.push_back({der, fullName(t.label, pair.name), spec, image, t.serial, id});
    reported.insert(key);
    added.insert(key);
  }
  // Only what this read reported is added: a report taken back meanwhile
  // (cardCertificateNotCopied) stays taken back.
  std::lock_guard<std::mutex> lock(seenMu);
  TokenSeen &now = seen()[{image, t.serial}];
  now.epoch = use.epoch();
  now.certObjects = certs;
  now.reported.insert(added.begin(), added.end());
  now.settled = takenBack;
}

}  // namespace

void cardCertificates(const Provider &provider, std::vector<CardCertificate> &out) {
  Failure f;
  auto m = moduleOf(provider, f);
  if (!m) return;
  const size_t before = out.size();
  run(*m, [&](Use &use, Failure &) {
    out.resize(before);
    std::vector<TokenView> tokens;
    if (!use.tokens(tokens, f)) return Step::Retry;
    {
      // Tokens not present now are forgotten: seen again, they are read
      // afresh and their certificates reported again.
      std::lock_guard<std::mutex> lock(seenMu);
      for (auto it = seen().begin(); it != seen().end();) {
        const bool present = it->first.first != provider.image ||
                             std::any_of(tokens.begin(), tokens.end(), [&](const TokenView &t) {
                               return t.serial == it->first.second;
                             });
        it = present ? std::next(it) : seen().erase(it);
      }
    }
    for (const TokenView &t : tokens)
      if (t.initialised()) readToken(use, provider.image, t, out);
    return Step::Ok;
  });
}

void cardCertificateNotCopied(const CardCertificate &card) {
  std::lock_guard<std::mutex> lock(seenMu);
  auto it = seen().find({card.image, card.serial});
  if (it == seen().end()) return;  // forgotten: read afresh when seen again
  it->second.reported.erase({card.id, sha1(card.der)});
  ++it->second.takenBack;
}

}  // namespace emu::csp::pkcs11
