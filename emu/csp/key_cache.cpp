#include "csp/key_cache.h"

#include <algorithm>

namespace emu::csp {

std::shared_ptr<LoadedKey> KeyCache::find(const std::string &db, int64_t container, int spec,
                                          uint64_t gen) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = entries_.find(Probe(db, container, spec));
  if (it == entries_.end() || it->second.gen != gen) return nullptr;
  it->second.lastUse = ++clock_;
  return it->second.key;
}

void KeyCache::remember(const std::string &db, int64_t container, int spec, uint64_t gen,
                        std::shared_ptr<LoadedKey> key) {
  std::lock_guard<std::mutex> lock(mu_);
  const Slot slot(db, container, spec);
  if (entries_.size() >= capacity_ && entries_.find(slot) == entries_.end()) {
    const auto oldest = std::min_element(
        entries_.begin(), entries_.end(),
        [](const auto &a, const auto &b) { return a.second.lastUse < b.second.lastUse; });
    if (oldest != entries_.end()) entries_.erase(oldest);
  }
  entries_[slot] = Entry{gen, std::move(key), ++clock_};
}

size_t KeyCache::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

KeyCache &keyCache() {
  static auto *cache = new KeyCache(KeyCache::kDefaultCapacity);  // lives to process exit
  return *cache;
}

}  // namespace emu::csp
