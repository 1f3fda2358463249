// Handles given out by the emulated platform are opaque numbers that map to
// live objects; a stale, foreign or already released handle is refused with
// an error instead of being dereferenced.
//
// Every handle carries its kind in its low three bits, then the number of
// the table's shard that holds it, and above them a serial number of that
// shard, never reused. A table accepts only handles of its own kind, so a
// key handle passed where a context is expected is refused however many
// handles the process has made, and a released handle stays invalid for
// good.
//
// A thread adds its handles to a shard of its own (threads beyond the
// number of shards share them), so threads that each open, use and release
// their own handles do not queue on one lock or pass its cache line to and
// fro. Any thread may use or release any handle: the handle names its
// shard.
#pragma once

#include <atomic>
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

// The shard of the calling thread: threads take the shards in turn.
inline unsigned handleShardOfThisThread(unsigned shards) {
  static std::atomic<unsigned> next{0};
  thread_local const unsigned mine = next.fetch_add(1, std::memory_order_relaxed);
  return mine % shards;
}

template <typename T, HandleKind Kind>
class HandleTable {
 public:
  static constexpr uintptr_t kKindBits = 3;
  static constexpr uintptr_t kKindMask = (uintptr_t{1} << kKindBits) - 1;
  static constexpr uintptr_t kShardBits = 4;
  static constexpr uintptr_t kShards = uintptr_t{1} << kShardBits;

  static HandleTable &instance() {
    static HandleTable table;
    return table;
  }

  uintptr_t add(std::shared_ptr<T> obj) {
    const uintptr_t n = handleShardOfThisThread(kShards);
    Shard &s = shards_[n];
    std::lock_guard<std::mutex> lock(s.mu);
    const uintptr_t h =
        (++s.serial << (kKindBits + kShardBits)) | (n << kKindBits) | static_cast<uintptr_t>(Kind);
    s.objects.emplace(h, std::move(obj));
    return h;
  }
  std::shared_ptr<T> get(uintptr_t h) const {
    if (!ofThisKind(h)) return nullptr;
    const Shard &s = shards_[shardOf(h)];
    std::lock_guard<std::mutex> lock(s.mu);
    const auto it = s.objects.find(h);
    return it == s.objects.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> remove(uintptr_t h) {
    if (!ofThisKind(h)) return nullptr;
    Shard &s = shards_[shardOf(h)];
    std::lock_guard<std::mutex> lock(s.mu);
    const auto it = s.objects.find(h);
    if (it == s.objects.end()) return nullptr;
    std::shared_ptr<T> obj = std::move(it->second);
    s.objects.erase(it);
    return obj;
  }
  static bool ofThisKind(uintptr_t h) { return (h & kKindMask) == static_cast<uintptr_t>(Kind); }

 private:
  // Each on its own cache line.
  struct alignas(64) Shard {
    mutable std::mutex mu;
    uintptr_t serial = 0;
    std::unordered_map<uintptr_t, std::shared_ptr<T>> objects;
  };

  HandleTable() = default;
  static uintptr_t shardOf(uintptr_t h) { return (h >> kKindBits) & (kShards - 1); }

  Shard shards_[kShards];
};

}  // namespace emu
