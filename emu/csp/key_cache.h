// The per-process cache of loaded keys. Loading a key costs more than a
// signature (OpenSSL's key set-up and blinding), so a key once loaded stays
// loaded for every context of the process. An entry is keyed by database,
// container and key spec, and holds the key's generation: a key stored
// again (by any process) has a new generation and misses the cache.
//
// Size policy: at most `capacity` keys (kDefaultCapacity for the process's
// cache). When full, the entry used longest ago is dropped; it is loaded
// again from storage when needed. Nothing in the cache is ever written to
// disk.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>

#include "csp/key_info.h"

namespace emu::csp {

class KeyCache {
 public:
  static constexpr size_t kDefaultCapacity = 4096;

  explicit KeyCache(size_t capacity) : capacity_(capacity) {}

  // The cached key of that generation, or null.
  std::shared_ptr<LoadedKey> find(const std::string &db, int64_t container, int spec, uint64_t gen);
  // Caches a key, replacing the slot's older generation; drops the entry
  // used longest ago when the cache is full.
  void remember(const std::string &db, int64_t container, int spec, uint64_t gen,
                std::shared_ptr<LoadedKey> key);
  size_t size() const;

 private:
  using Slot = std::tuple<std::string, int64_t, int>;
  // A lookup needs no copy of the database path.
  using Probe = std::tuple<std::string_view, int64_t, int>;
  struct Entry {
    uint64_t gen;
    std::shared_ptr<LoadedKey> key;
    uint64_t lastUse;
  };
  mutable std::mutex mu_;
  size_t capacity_;
  uint64_t clock_ = 0;
  std::map<Slot, Entry, std::less<>> entries_;
};

// The process's cache (never destroyed: keys stay usable until exit).
KeyCache &keyCache();

}  // namespace emu::csp
