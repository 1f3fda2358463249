#include "certstore/card_certs.h"

#include <openssl/asn1.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "certstore/prov_info.h"
#include "certstore/store.h"
#include "certstore/x509.h"
#include "common/trace.h"
#include "csp/key_family.h"
#include "csp/provider.h"
#include "storage/error.h"

namespace emu::certstore {

namespace {

// UTF-8 (as tokens and the registry give names) to zero-terminated UTF-16.
std::u16string utf16(const std::string &s) {
  std::u16string out;
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  int left = static_cast<int>(s.size());
  while (left > 0) {
    unsigned long c = 0;
    const int n = UTF8_getc(p, left, &c);
    if (n <= 0) {
      c = 0xFFFD;
      p += 1;
      left -= 1;
    } else {
      p += n;
      left -= n;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

Bytes bindingOf(const csp::Provider &provider, const csp::HeldCertificate &card) {
  std::u16string container = utf16(card.container), name = utf16(provider.name);
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = container.data();
  info.pwszProvName = name.data();
  info.dwProvType = provider.type;
  info.dwKeySpec = static_cast<DWORD>(card.spec);
  return serialiseProvInfo(info);
}

// Stores one certificate that the providers' containers hold, with the
// bindings they give it (one per provider that sees it: p11-kit's proxy and
// a token's own module may both). A copy already bound to one
// of them is left alone, so that two providers never take turns.
void store(const Bytes &der, const std::vector<Bytes> &bindings) {
  ParsedCert parsed;
  if (!parseCertificate(der.data(), der.size(), parsed)) return;
  const Bytes thumb = thumbprint(der.data(), der.size());
  const std::string my = foldStoreName("MY");
  ensureStore(Scope::User, my);
  StoreMemory memory;
  if (CertObject *held = findByThumbprint(Scope::User, my, thumb, memory)) {
    const Property *p = held->props.find(CERT_KEY_PROV_INFO_PROP_ID);
    const bool bound =
        p != nullptr && std::find(bindings.begin(), bindings.end(),
                                  Bytes(p->data, p->data + p->size)) != bindings.end();
    if (!bound) storeProperty(held->row, CERT_KEY_PROV_INFO_PROP_ID, &bindings.front());
    return;
  }
  CertObject c;
  c.setData(der.data(), der.size(), parsed.serial.data(), parsed.serial.size(),
            parsed.issuer.data(), parsed.issuer.size());
  c.props.set(CERT_KEY_PROV_INFO_PROP_ID, bindings.front());
  insertCert(Scope::User, my, thumb, c, {Scope::User});
}

}  // namespace

void propagateCardCertificates() {
  // Each certificate once, with the bindings of every provider that holds
  // it, the first registered first, and which family found it where.
  struct Held {
    const csp::KeyFamily *family;
    csp::HeldCertificate cert;
  };
  struct Found {
    Bytes der;
    std::vector<Bytes> bindings;
    std::vector<Held> cards;
  };
  std::vector<Found> found;
  std::vector<csp::Provider> providers;
  try {
    providers = csp::rsaFullProviders();
  } catch (...) {
    return;  // a registry that cannot be read: no card to look at
  }
  for (const csp::Provider &provider : providers) {
    const csp::KeyFamily &family = *provider.family;
    std::vector<csp::HeldCertificate> cards;
    try {
      family.heldCertificates(provider, cards);
      for (const auto &card : cards) {
        auto it = std::find_if(found.begin(), found.end(),
                               [&](const Found &f) { return f.der == card.der; });
        if (it == found.end()) it = found.insert(found.end(), Found{card.der, {}, {}});
        it->bindings.push_back(bindingOf(provider, card));
        it->cards.push_back(Held{&family, card});
      }
    } catch (...) {
      // Out of memory: what this provider reported is taken back (a copy
      // made below anyway is made again, harmlessly, at the next read).
      for (const auto &card : cards) family.certificateNotCopied(card);
    }
  }
  // A copy that fails leaves "MY" showing what it holds: the caller's
  // listing goes on. The certificate is reported again at the next read,
  // and the cause is the listing's note in the trace. A store that cannot
  // be written takes no further copies this time.
  size_t copied = 0;
  for (; copied < found.size(); ++copied) {
    try {
      store(found[copied].der, found[copied].bindings);
    } catch (const storage::StorageError &e) {
      trace::why(storage::cause(e), "card certificates not copied into \"MY\" (" +
                                        std::to_string(found.size() - copied) + " of " +
                                        std::to_string(found.size()) +
                                        "; tried again at the next read): " + storage::describe(e));
      break;
    } catch (...) {
      trace::why("card certificates not copied into \"MY\" (tried again at the next read)");
      break;
    }
  }
  for (size_t i = copied; i < found.size(); ++i)
    for (const Held &held : found[i].cards) held.family->certificateNotCopied(held.cert);
}

}  // namespace emu::certstore
