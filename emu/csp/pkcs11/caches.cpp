#include "csp/pkcs11/caches.h"

namespace emu::csp::pkcs11 {

namespace {

std::string tokenOf(const ContainerHit &hit) {
  return hit.serial + "/" + hit.tokenLabel;
}

}  // namespace

Found &Found::instance() {
  static auto *found = new Found;
  return *found;
}

bool Found::container(const Module *m, const std::string &asked, uint64_t epoch,
                      ContainerHit &out) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = containers_.find({m, asked});
  if (it == containers_.end() || it->second.epoch != epoch) return false;
  out = it->second;
  return true;
}

void Found::rememberContainer(const Module *m, const std::string &asked, const ContainerHit &hit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (containers_.size() >= kMaxFound) containers_.clear();
  containers_[{m, asked}] = hit;
}

bool Found::key(const KeyRef &ref, uint64_t epoch, KeyHit &out) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = keys_.find(probe(ref));
  if (it == keys_.end() || it->second.epoch != epoch) return false;
  out = it->second;
  return true;
}

void Found::keyChecked(const KeyRef &ref, CK_OBJECT_HANDLE handle, bool still,
                       Clock::time_point when) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = keys_.find(probe(ref));
  if (it == keys_.end() || it->second.handle != handle) return;
  if (still)
    it->second.checked = when;
  else
    keys_.erase(it);
}

bool Found::recentKey(const KeyRef &ref, uint64_t epoch, Clock::duration within,
                      CK_OBJECT_HANDLE &handle, uint32_t &bits) const {
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = keys_.find(probe(ref));
  if (it == keys_.end() || it->second.epoch != epoch || now - it->second.checked >= within)
    return false;
  handle = it->second.handle;
  bits = it->second.info.bits;
  return true;
}

bool Found::recentFacts(const KeyRef &ref, uint64_t epoch, Clock::duration within,
                        KeyInfo &out) const {
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = keys_.find(probe(ref));
  if (it == keys_.end() || it->second.epoch != epoch || !it->second.exportableKnown ||
      now - it->second.checked >= within)
    return false;
  out = it->second.info;
  return true;
}

void Found::keyExportable(const KeyRef &ref, CK_OBJECT_HANDLE handle, bool exportable) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = keys_.find(probe(ref));
  if (it == keys_.end() || it->second.handle != handle) return;
  it->second.info.exportable = exportable;
  it->second.exportableKnown = true;
}

void Found::rememberKey(const KeyRef &ref, uint64_t epoch, const KeyHit &hit) {
  std::lock_guard<std::mutex> lock(mu_);
  if (keys_.size() >= kMaxFound) keys_.clear();
  KeyHit h = hit;
  h.epoch = epoch;
  h.checked = Clock::now();
  keys_[KeyKey{ref.module, std::string(ref.token), std::string(ref.label), ref.spec, ref.cls}] = h;
}

bool Found::signingKey(const KeyRef &ref, uint64_t epoch, Clock::duration within, KeyHit &out,
                       bool &due) const {
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = keys_.find(probe(ref));
  if (it == keys_.end() || it->second.epoch != epoch) return false;
  const KeyHit &hit = it->second;
  due = now - hit.checked >= within;
  if (due) {
    out = hit;
  } else {
    out.handle = hit.handle;
    out.info.bits = hit.info.bits;
  }
  return true;
}

void Found::signatureVerified(const KeyRef &ref, CK_OBJECT_HANDLE handle, Clock::time_point when) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = keys_.find(probe(ref));
  if (it == keys_.end() || it->second.handle != handle) return;
  it->second.checked = when;
}

void Found::forgetToken(const Module *m, const std::string &token) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = containers_.begin(); it != containers_.end();) {
    if (it->first.first == m && tokenOf(it->second) == token)
      it = containers_.erase(it);
    else
      ++it;
  }
  for (auto it = keys_.begin(); it != keys_.end();) {
    if (std::get<0>(it->first) == m && std::get<1>(it->first) == token)
      it = keys_.erase(it);
    else
      ++it;
  }
}

void Found::forget(const Module *m, const std::string &token, const std::string &ident) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = containers_.begin(); it != containers_.end();) {
    if (it->first.first == m && tokenOf(it->second) == token && it->second.ident == ident)
      it = containers_.erase(it);
    else
      ++it;
  }
  for (auto it = keys_.begin(); it != keys_.end();) {
    if (std::get<0>(it->first) == m && std::get<1>(it->first) == token &&
        std::get<2>(it->first) == ident)
      it = keys_.erase(it);
    else
      ++it;
  }
}

}  // namespace emu::csp::pkcs11
