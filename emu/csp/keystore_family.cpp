// The two key families that keep their containers in keys.db: the software
// providers' (keys in the clear, exportable on request) and the soft
// token's, which adds a PIN per key spec and never makes exportable keys.
#include <openssl/evp.h>

#include <mutex>

#include "csp/context.h"
#include "csp/key_family.h"
#include "csp/keystore.h"

namespace emu::csp {

namespace {

using trace::Reason;

class SoftwareKeys : public KeyFamily {
 public:
  explicit SoftwareKeys(ContainerNamespace ns) : ns_(ns) {}

  const char *name() const override {
    return ns_ == ContainerNamespace::Token ? "token" : "software";
  }

  Status openVerifyContext(Context &) const override { return done(); }

  Status openContainer(Context &ctx, const std::string &name, bool create, bool) const override {
    ctx.dbPath = keystore::databasePath();
    if (create) {
      if (Status failed = keystore::createContainer(ctx.dbPath, ns_, name, ctx.containerId))
        return failed;
      ctx.containerName = name;
      return done();
    }
    if (!keystore::findContainer(ctx.dbPath, ns_, name, ctx.containerId, ctx.containerName))
      return Failure(NTE_BAD_KEYSET, Reason::CONTAINER_NOT_FOUND, "container not found");
    return done();
  }

  Status deleteContainer(const Provider &, const std::string &name, bool) const override {
    if (!keystore::deleteContainer(keystore::databasePath(), ns_, name))
      return Failure(NTE_BAD_KEYSET, Reason::CONTAINER_NOT_FOUND, "container not found");
    return done();
  }

  std::vector<std::string> containerNames(const Context &ctx) const override {
    const std::string db = ctx.dbPath.empty() ? keystore::databasePath() : ctx.dbPath;
    return keystore::containerNames(db, ns_);
  }

  bool generatesExportable() const override { return true; }

  Status generate(Context &ctx, int spec, DWORD bits, bool exportable,
                  KeyInfo &info) const override {
    crypto::Pkey pkey = crypto::generate(bits);
    if (!pkey) return Failure(NTE_FAIL, "OpenSSL could not generate the key");
    return save(ctx, spec, std::move(pkey), exportable, info);
  }

  Status import(Context &ctx, int spec, const crypto::Parts &, crypto::Pkey key, bool exportable,
                KeyInfo &info) const override {
    return save(ctx, spec, std::move(key), exportable, info);
  }

  bool keyInfo(Context &ctx, int spec, KeyInfo &info) const override {
    return keystore::keyInfo(ctx, spec, info);
  }

  Status exportPrivate(Context &ctx, const KeyInfo &key, crypto::Parts &parts,
                       KeyInfo &current) const override {
    std::shared_ptr<LoadedKey> loaded;
    if (Status failed = keystore::usableKey(ctx, key.spec, key.gen, current, loaded)) return failed;
    if (!crypto::partsOf(loaded->pkey.get(), parts)) return Failure(NTE_BAD_KEY);
    return done();
  }

  Status sign(Context &ctx, int spec, const EVP_MD *md, const uint8_t *digest, size_t digestLen,
              SignatureRequest &req) const override {
    KeyInfo info;
    std::shared_ptr<LoadedKey> key;
    if (Status failed = keystore::usableKey(ctx, spec, 0, info, key)) return failed;
    req.size = static_cast<DWORD>(EVP_PKEY_get_size(key->pkey.get()));
    if (req.sizeOnly || req.room < req.size) return done();
    if (!key->signer.sign(key->pkey.get(), md, digest, digestLen, req.value))
      return Failure(NTE_BAD_SIGNATURE, "the hash value does not fit the key's length");
    return done();
  }

  bool takesPins() const override { return false; }

  Status presentPin(Context &, int, const std::string &) const override {
    return Failure(NTE_BAD_TYPE, Reason::PIN_UNSUPPORTED, "the provider's keys have no PINs");
  }

  void release(Context &ctx) const override {
    std::lock_guard<std::mutex> lock(ctx.mu);
    for (Slot &slot : ctx.slots) {
      slot.clearPin();
      slot.unlocked.reset();
      slot.unlockedGen = 0;
    }
  }

 private:
  Status save(Context &ctx, int spec, crypto::Pkey key, bool exportable, KeyInfo &info) const {
    return keystore::saveKey(ctx, spec, std::move(key), exportable, info);
  }

  ContainerNamespace ns_;
};

// The soft token: the software family's store, with a PIN per key spec
// (pins.cpp) sealing the keys made after it was given.
class SoftTokenKeys : public SoftwareKeys {
 public:
  SoftTokenKeys() : SoftwareKeys(ContainerNamespace::Token) {}

  bool generatesExportable() const override { return false; }
  bool takesPins() const override { return true; }

  Status presentPin(Context &ctx, int spec, const std::string &pin) const override {
    return keystore::presentPin(ctx, spec, pin);
  }
};

}  // namespace

const KeyFamily &softwareKeys() {
  static const SoftwareKeys family(ContainerNamespace::Software);
  return family;
}

const KeyFamily &softTokenKeys() {
  static const SoftTokenKeys family;
  return family;
}

}  // namespace emu::csp
