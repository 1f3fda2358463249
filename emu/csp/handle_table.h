// Handles given out by the emulated platform are opaque numbers that map to
// live objects; a stale, foreign or already released handle is refused with
// an error instead of being dereferenced.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace emu {

template <typename T>
class HandleTable {
 public:
  uintptr_t add(std::shared_ptr<T> obj) {
    std::lock_guard<std::mutex> lock(mu_);
    const uintptr_t h = next_;
    next_ += 4;
    objects_.emplace(h, std::move(obj));
    return h;
  }
  std::shared_ptr<T> get(uintptr_t h) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = objects_.find(h);
    return it == objects_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> remove(uintptr_t h) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = objects_.find(h);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> obj = std::move(it->second);
    objects_.erase(it);
    return obj;
  }

 private:
  explicit HandleTable(uintptr_t first) : next_(first) {}
  template <typename U>
  friend HandleTable<U> &handleTable(uintptr_t first);
  mutable std::mutex mu_;
  uintptr_t next_;
  std::unordered_map<uintptr_t, std::shared_ptr<T>> objects_;
};

// One table per object type; `first` keeps the number ranges of the types
// apart, so that a handle of one kind passed as another is refused.
template <typename T>
HandleTable<T> &handleTable(uintptr_t first) {
  static HandleTable<T> table(first);
  return table;
}

}  // namespace emu
