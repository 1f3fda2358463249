// What this process found on its modules' tokens, kept so that an open or
// a signature need not search again: containers by the name they were
// asked by, and the key objects of containers. Every entry belongs to the
// module epoch that found it and is trusted until a call says it changed or
// the caller enumerates (family.h). Memory only; at most kMaxFound entries
// of each kind (a full cache starts afresh).
#pragma once

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "csp/crypto.h"
#include "csp/key_info.h"

namespace emu::csp::pkcs11 {

class Module;
using Clock = std::chrono::steady_clock;

// A key object of a container, as last found.
struct KeyHit {
  uint64_t epoch = 0;
  Clock::time_point checked;  // found or last checked
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  crypto::Bytes id;
  KeyInfo info;  // public facts (from the public key object)
  // Whether info.exportable was read from the private key object (a
  // private key found by a signature has its public facts only).
  bool exportableKnown = false;
};

// A container found by name, with one of its objects to check that it is
// still there.
struct ContainerHit {
  uint64_t epoch = 0;
  std::string serial, tokenLabel, label, fullName;
  std::string ident;  // containerKey()
  crypto::Bytes id;   // a key pair's CKA_ID
  bool pair = false;
  CK_SLOT_ID slot = 0;
  CK_FLAGS flags = 0;
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
};

// Which key object: the module, the token (tokenKey), the container
// (containerKey), the key spec and the object class.
struct KeyRef {
  const Module *module;
  std::string_view token, label;
  int spec;
  CK_OBJECT_CLASS cls;
};

class Found {
 public:
  static constexpr size_t kMaxFound = 4096;

  // The process's cache (never destroyed).
  static Found &instance();

  // The container asked as `asked`, when found in `epoch`.
  bool container(const Module *m, const std::string &asked, uint64_t epoch,
                 ContainerHit &out) const;
  void rememberContainer(const Module *m, const std::string &asked, const ContainerHit &hit);

  // The key object, when found in `epoch`.
  bool key(const KeyRef &ref, uint64_t epoch, KeyHit &out) const;
  // After a check of the object of `handle`: still what it was (checked at
  // `when`), or dropped.
  void keyChecked(const KeyRef &ref, CK_OBJECT_HANDLE handle, bool still, Clock::time_point when);
  // The handle and bits of a key found in `epoch` and found or checked
  // less than `within` ago; copies nothing else.
  bool recentKey(const KeyRef &ref, uint64_t epoch, Clock::duration within,
                 CK_OBJECT_HANDLE &handle, uint32_t &bits) const;
  void rememberKey(const KeyRef &ref, uint64_t epoch, const KeyHit &hit);
  // The key a signature uses, when found in `epoch`: its handle and bits;
  // with `due` set when it was found or last checked `within` ago or
  // longer, its public facts as well (to verify the signature with).
  bool signingKey(const KeyRef &ref, uint64_t epoch, Clock::duration within, KeyHit &out,
                  bool &due) const;
  // The public facts of a key found in `epoch`, found or checked less than
  // `within` ago, whose exportability is known; copies nothing otherwise.
  bool recentFacts(const KeyRef &ref, uint64_t epoch, Clock::duration within, KeyInfo &out) const;
  // Whether the key of `handle` is exportable, as read from its object.
  void keyExportable(const KeyRef &ref, CK_OBJECT_HANDLE handle, bool exportable);
  // A signature made with the key of `handle` verified with its public
  // facts at `when`: the key counts as checked then.
  void signatureVerified(const KeyRef &ref, CK_OBJECT_HANDLE handle, Clock::time_point when);

  // Drops what is known of a container (its objects changed).
  void forget(const Module *m, const std::string &token, const std::string &ident);
  // Drops what is known of every container on a token (it was listed afresh).
  void forgetToken(const Module *m, const std::string &token);

 private:
  using KeyKey = std::tuple<const Module *, std::string, std::string, int, CK_OBJECT_CLASS>;
  using KeyProbe =
      std::tuple<const Module *, std::string_view, std::string_view, int, CK_OBJECT_CLASS>;
  static KeyProbe probe(const KeyRef &r) { return {r.module, r.token, r.label, r.spec, r.cls}; }

  mutable std::mutex mu_;
  std::map<KeyKey, KeyHit, std::less<>> keys_;
  std::map<std::pair<const Module *, std::string>, ContainerHit> containers_;
};

}  // namespace emu::csp::pkcs11
