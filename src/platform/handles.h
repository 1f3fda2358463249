// Move-only owners of platform handles. Each releases its handle exactly
// once, either explicitly through reset() (where a method must release in a
// particular order) or when it goes out of scope.
#pragma once

#include <utility>

#include "platform/platform.h"

namespace mscapi {

template <typename Handle, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle &&o) noexcept : h_(std::exchange(o.h_, Handle{})) {}
  UniqueHandle &operator=(UniqueHandle &&o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, Handle{});
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle &) = delete;
  UniqueHandle &operator=(const UniqueHandle &) = delete;

  Handle get() const { return h_; }
  explicit operator bool() const { return h_ != Handle{}; }
  // Where the platform fills in a handle through an out parameter. Only
  // valid while empty.
  Handle *out() { return &h_; }
  // Releasing keeps the thread's last error: a failure's cause must not be
  // overwritten by the clean-up after it.
  void reset() {
    if (h_ == Handle{}) return;
    const DWORD error = GetLastError();
    Traits::close(std::exchange(h_, Handle{}));
    SetLastError(error);
  }
  // Gives up ownership without closing (the platform consumed the handle).
  Handle release() { return std::exchange(h_, Handle{}); }

 private:
  Handle h_{};
};

struct ProvTraits {
  static void close(HCRYPTPROV h) { CryptReleaseContext(h, 0); }
};
struct KeyTraits {
  static void close(HCRYPTKEY h) { CryptDestroyKey(h); }
};
struct HashTraits {
  static void close(HCRYPTHASH h) { CryptDestroyHash(h); }
};
struct StoreTraits {
  // The forced close also frees every certificate context taken from the
  // store, so contexts are never freed one by one.
  static void close(HCERTSTORE h) { CertCloseStore(h, CERT_CLOSE_STORE_FORCE_FLAG); }
};
struct RegKeyTraits {
  static void close(HKEY h) { RegCloseKey(h); }
};

using CryptProv = UniqueHandle<HCRYPTPROV, ProvTraits>;
using CryptKey = UniqueHandle<HCRYPTKEY, KeyTraits>;
using CryptHash = UniqueHandle<HCRYPTHASH, HashTraits>;
using CertStore = UniqueHandle<HCERTSTORE, StoreTraits>;
using RegKey = UniqueHandle<HKEY, RegKeyTraits>;

}  // namespace mscapi
