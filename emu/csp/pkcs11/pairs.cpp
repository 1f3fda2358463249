#include "csp/pkcs11/pairs.h"

#include <algorithm>
#include <map>
#include <set>

#include "common/ascii.h"
#include "csp/key_info.h"

namespace emu::csp::pkcs11 {

namespace {

bool isSpecId(const Bytes &id) {
  return id.size() == 1 && (id[0] == AT_KEYEXCHANGE || id[0] == AT_SIGNATURE);
}

bool parseHex(const std::string &text, Bytes &out) {
  if (text.empty() || text.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    int v = 0;
    for (char ch : {text[i], text[i + 1]}) {
      const int d = ch >= '0' && ch <= '9'   ? ch - '0'
                    : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                    : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                             : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    out.push_back(static_cast<uint8_t>(v));
  }
  return true;
}

// `<label> #<hex>` or `#<hex>`.
bool splitPairName(const std::string &name, std::string &label, Bytes &id) {
  if (!name.empty() && name[0] == '#' && parseHex(name.substr(1), id)) {
    label.clear();
    return true;
  }
  const size_t at = name.rfind(" #");
  if (at == std::string::npos || at == 0 || !parseHex(name.substr(at + 2), id)) return false;
  label = name.substr(0, at);
  return true;
}

struct Group {
  bool library = false;
  CK_OBJECT_HANDLE libraryObject = CK_INVALID_HANDLE;
  KeyIds keyIds;
  std::map<Bytes, CK_OBJECT_HANDLE> pairs;
};

// What a marker records.
KeyIds markerIds(Use &use, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE marker) {
  Bytes value;
  if (!attribute(use, s, marker, CKA_VALUE, value)) return {};
  return decodeKeyIds(value);
}

}  // namespace

Bytes encodeKeyIds(const KeyIds &ids) {
  Bytes out;
  for (const auto &[id, spec] : ids) {
    if (id.empty() || id.size() > 255) continue;
    out.push_back(static_cast<uint8_t>(spec));
    out.push_back(static_cast<uint8_t>(id.size()));
    out.insert(out.end(), id.begin(), id.end());
  }
  return out;
}

KeyIds decodeKeyIds(const Bytes &value) {
  KeyIds ids;
  for (size_t at = 0; at + 2 <= value.size();) {
    const int spec = value[at];
    const size_t n = value[at + 1];
    if (n == 0 || at + 2 + n > value.size()) break;
    if (spec == AT_KEYEXCHANGE || spec == AT_SIGNATURE)
      ids.emplace(Bytes(value.begin() + static_cast<long>(at + 2),
                        value.begin() + static_cast<long>(at + 2 + n)),
                  spec);
    at += 2 + n;
  }
  return ids;
}

int librarySpec(const KeyIds &ids, const Bytes &id) {
  const auto it = ids.find(id);
  if (it != ids.end()) return it->second;
  return isSpecId(id) ? id[0] : 0;
}

CK_RV libraryMarkers(Use &use, CK_SESSION_HANDLE s, const std::string &label,
                     std::vector<std::pair<CK_OBJECT_HANDLE, KeyIds>> &out) {
  out.clear();
  std::vector<CK_OBJECT_HANDLE> markers;
  const CK_RV rv = containerObjects(use, s, CKO_DATA, &label, markers);
  if (rv != CKR_OK) return rv;
  for (CK_OBJECT_HANDLE h : markers) out.emplace_back(h, markerIds(use, s, h));
  return CKR_OK;
}

CK_RV libraryKeyIds(Use &use, CK_SESSION_HANDLE s, const std::string &label, KeyIds &out) {
  out.clear();
  std::vector<std::pair<CK_OBJECT_HANDLE, KeyIds>> markers;
  const CK_RV rv = libraryMarkers(use, s, label, markers);
  for (const auto &entry : markers) out.insert(entry.second.begin(), entry.second.end());
  return rv;
}

std::string idHex(const Bytes &id) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : id) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

int pairSpec(const Bytes &id) {
  return id.size() == 1 && id[0] == AT_SIGNATURE ? AT_SIGNATURE : AT_KEYEXCHANGE;
}

CK_RV tokenContainers(Use &use, CK_SESSION_HANDLE s, std::vector<TokenContainer> &out) {
  out.clear();
  std::map<std::string, Group> groups;
  for (CK_OBJECT_CLASS cls : {CK_OBJECT_CLASS(CKO_DATA), CK_OBJECT_CLASS(CKO_PUBLIC_KEY),
                              CK_OBJECT_CLASS(CKO_PRIVATE_KEY)}) {
    std::vector<CK_OBJECT_HANDLE> found;
    const CK_RV rv = containerObjects(use, s, cls, nullptr, found);
    if (rv != CKR_OK) return rv;
    for (CK_OBJECT_HANDLE h : found) {
      Bytes label, id;
      attribute(use, s, h, CKA_LABEL, label);
      const std::string text(label.begin(), label.end());
      if (cls == CKO_DATA) {
        if (text.empty()) continue;
        Group &g = groups[text];
        g.library = true;
        if (g.libraryObject == CK_INVALID_HANDLE) g.libraryObject = h;
        const KeyIds ids = markerIds(use, s, h);
        g.keyIds.insert(ids.begin(), ids.end());
        continue;
      }
      attribute(use, s, h, CKA_ID, id);
      Group &g = groups[text];
      if (!text.empty() && librarySpec(g.keyIds, id) != 0) {
        g.library = true;
        if (g.libraryObject == CK_INVALID_HANDLE) g.libraryObject = h;
      } else if (!id.empty() || !text.empty()) {
        g.pairs.emplace(id, h);
      }
    }
  }
  for (const auto &[label, g] : groups) {
    if (g.library) out.push_back({label, label, {}, false, g.libraryObject, g.keyIds});
    const bool alone = !g.library && g.pairs.size() == 1 && !label.empty();
    for (const auto &[id, h] : g.pairs) {
      const std::string name = alone           ? label
                               : label.empty() ? "#" + idHex(id)
                                               : label + " #" + idHex(id);
      out.push_back({name, label, id, true, h, {}});
    }
  }
  std::sort(out.begin(), out.end(), [](const TokenContainer &a, const TokenContainer &b) {
    const std::string fa = ascii::lower(a.name), fb = ascii::lower(b.name);
    return fa != fb ? fa < fb : a.name < b.name;
  });
  return CKR_OK;
}

Match matchName(const std::vector<TokenContainer> &all, const std::string &asked,
                TokenContainer &out) {
  for (const TokenContainer &c : all) {
    if (c.name == asked) {
      out = c;
      return Match::One;
    }
  }
  std::string label;
  Bytes id;
  if (splitPairName(asked, label, id)) {
    for (const TokenContainer &c : all) {
      if (c.pair && c.label == label && c.id == id) {
        out = c;
        return Match::One;
      }
    }
  }
  const size_t sharing = std::count_if(
      all.begin(), all.end(), [&](const TokenContainer &c) { return c.pair && c.label == asked; });
  return sharing > 1 ? Match::Ambiguous : Match::None;
}

}  // namespace emu::csp::pkcs11
