// Handles given out by the emulated platform are opaque numbers that map to
// live objects; a stale, foreign or already released handle is refused with
// an error instead of being dereferenced.
//
// Every handle carries its kind in its low three bits and a serial number,
// never reused, above them. A table accepts only handles of its own kind, so
// a key handle passed where a context is expected is refused however many
// handles the process has made, and a released handle stays invalid for
// good.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace emu {

enum class HandleKind : uintptr_t {
  Context = 1,  // HCRYPTPROV
  Key = 2,      // HCRYPTKEY
  Hash = 3,     // HCRYPTHASH
  Store = 4,    // HCERTSTORE
};

template <typename T, HandleKind Kind>
class HandleTable {
 public:
  static constexpr uintptr_t kKindBits = 3;
  static constexpr uintptr_t kKindMask = (uintptr_t{1} << kKindBits) - 1;

  static HandleTable &instance() {
    static HandleTable table;
    return table;
  }

  uintptr_t add(std::shared_ptr<T> obj) {
    std::lock_guard<std::mutex> lock(mu_);
    const uintptr_t h = (++serial_ << kKindBits) | static_cast<uintptr_t>(Kind);
    objects_.emplace(h, std::move(obj));
    return h;
  }
  std::shared_ptr<T> get(uintptr_t h) const {
    if (!ofThisKind(h)) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = objects_.find(h);
    return it == objects_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> remove(uintptr_t h) {
    if (!ofThisKind(h)) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = objects_.find(h);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> obj = std::move(it->second);
    objects_.erase(it);
    return obj;
  }
  static bool ofThisKind(uintptr_t h) { return (h & kKindMask) == static_cast<uintptr_t>(Kind); }

 private:
  HandleTable() = default;
  mutable std::mutex mu_;
  uintptr_t serial_ = 0;
  std::unordered_map<uintptr_t, std::shared_ptr<T>> objects_;
};

}  // namespace emu
