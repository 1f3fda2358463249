#include "certstore/card_certs.h"

#include <openssl/asn1.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "certstore/prov_info.h"
#include "certstore/store.h"
#include "certstore/x509.h"
#include "csp/pkcs11/card_certs.h"
#include "csp/provider.h"

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

Bytes bindingOf(const csp::Provider &provider, const csp::pkcs11::CardCertificate &card) {
  std::u16string container = utf16(card.container), name = utf16(provider.name);
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = container.data();
  info.pwszProvName = name.data();
  info.dwProvType = provider.type;
  info.dwKeySpec = static_cast<DWORD>(card.spec);
  return serialiseProvInfo(info);
}

// Stores one certificate that the providers' tokens show, with the
// bindings they give it (one per provider that sees its token: p11-kit's
// proxy and the token's own module may both). A copy already bound to one
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
  try {
    // Each certificate once, with the bindings of every provider that
    // shows it, the first registered first.
    std::vector<std::pair<Bytes, std::vector<Bytes>>> found;
    for (const csp::Provider &provider : csp::pkcs11Providers()) {
      std::vector<csp::pkcs11::CardCertificate> cards;
      csp::pkcs11::cardCertificates(provider, cards);
      for (const auto &card : cards) {
        auto it = std::find_if(found.begin(), found.end(),
                               [&](const auto &f) { return f.first == card.der; });
        if (it == found.end()) it = found.insert(found.end(), {card.der, {}});
        it->second.push_back(bindingOf(provider, card));
      }
    }
    for (const auto &[der, bindings] : found) store(der, bindings);
  } catch (const std::exception &) {
    // A store or token that cannot be read: "MY" shows what it holds.
  }
}

}  // namespace emu::certstore
