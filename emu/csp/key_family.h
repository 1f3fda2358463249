// A key family: where a provider keeps its key containers and how it uses
// their keys. The provider's registered image chooses the family
// (provider.cpp); everything past that choice (the CSP's calls, the
// certificate store's card copies, mscapi-admin) asks the family what it
// does, never which family it is.
//
//   software    keys.db, keys in the clear, exportable on request (rsaenh.dll)
//   soft token  keys.db, keys sealed under a PIN per key spec (softtoken.dll)
//   PKCS#11     the key objects on the tokens of a PKCS#11 module
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/failure.h"
#include "csp/crypto.h"
#include "csp/key_info.h"

namespace emu::csp {

struct Context;
struct Provider;

// A signature asked of a family: its length always; its value when the
// caller's buffer (`room` bytes) holds it.
struct SignatureRequest {
  bool sizeOnly = false;  // the caller asks the length only
  DWORD room = 0;         // the caller's buffer
  DWORD size = 0;         // out: the signature's length
  crypto::Bytes value;    // out: big-endian; empty when not made
};

// A certificate a family holds beside one of its key pairs (a smart card's
// certificate object), as Windows' certificate propagation copies it into
// the user's "MY" store.
struct HeldCertificate {
  crypto::Bytes der;
  std::string container;  // the key pair's full container name
  int spec = 0;
  // Where the family found it (for certificateNotCopied): the module's
  // image, the token's serial number and the certificate's CKA_ID.
  std::string image, serial;
  crypto::Bytes id;
};

class KeyFamily {
 public:
  virtual ~KeyFamily() = default;
  // The family's name as the tool shows it: "software", "token", "pkcs11".
  virtual const char *name() const = 0;

  // A verification context (CRYPT_VERIFYCONTEXT): no container, but the
  // family must be usable (a PKCS#11 module loads).
  virtual Status openVerifyContext(Context &ctx) const = 0;
  // Opens, or with `create` makes, the container `name` for a context: sets
  // ctx.containerName and what the family keeps of an open container. A
  // `silent` context never asks a person for anything.
  virtual Status openContainer(Context &ctx, const std::string &name, bool create,
                               bool silent) const = 0;
  // Deletes a container and its keys.
  virtual Status deleteContainer(const Provider &provider, const std::string &name,
                                 bool silent) const = 0;
  // Every container name, in the order PP_ENUMCONTAINERS gives them.
  virtual std::vector<std::string> containerNames(const Context &ctx) const = 0;

  // Whether keys the family generates may be exportable.
  virtual bool generatesExportable() const = 0;
  // A new key pair under `spec`, replacing the container's key of that spec.
  virtual Status generate(Context &ctx, int spec, DWORD bits, bool exportable,
                          KeyInfo &info) const = 0;
  // Stores an imported private key (`parts`, and `key` made of them).
  virtual Status import(Context &ctx, int spec, const crypto::Parts &parts, crypto::Pkey key,
                        bool exportable, KeyInfo &info) const = 0;
  // The public facts of the container's key of `spec`; false when none.
  virtual bool keyInfo(Context &ctx, int spec, KeyInfo &info) const = 0;
  // The private components of the key a handle names (`key`, exportable),
  // and the facts of the key they are of.
  virtual Status exportPrivate(Context &ctx, const KeyInfo &key, crypto::Parts &parts,
                               KeyInfo &current) const = 0;
  // Stores the X.509 certificate `der` (exactly one DER certificate of the
  // key `key`) with the key in its container, replacing the one stored
  // before (KP_CERTIFICATE). Only a smart card keeps certificates in its
  // containers; the other families refuse with NTE_BAD_TYPE, as rsaenh.dll
  // does.
  virtual Status storeCertificate(Context &ctx, const KeyInfo &key, const Bytes &der) const {
    (void)ctx;
    (void)key;
    (void)der;
    return Failure(NTE_BAD_TYPE);
  }
  // PKCS#1 v1.5 signature with the key of `spec` over the DigestInfo of
  // `md` and `digest` (over `digest` itself when `md` is null).
  virtual Status sign(Context &ctx, int spec, const EVP_MD *md, const uint8_t *digest,
                      size_t digestLen, SignatureRequest &req) const = 0;

  // Whether the family keeps its containers on tokens (a PKCS#11 module's),
  // where the tools list them per token and import keys onto them.
  virtual bool holdsKeysOnTokens() const { return false; }
  // The certificates the provider's containers hold that this process has
  // not reported since they were last seen; none unless the family keeps
  // certificates with its keys. Failures are silent (no certificates).
  virtual void heldCertificates(const Provider &provider, std::vector<HeldCertificate> &out) const {
    (void)provider;
    (void)out;
  }
  // Takes back the report of `cert`, whose copy into "MY" failed: the next
  // heldCertificates reports it again.
  virtual void certificateNotCopied(const HeldCertificate &cert) const { (void)cert; }

  // Whether the family's keys have PINs (PP_KEYEXCHANGE_PIN,
  // PP_SIGNATURE_PIN).
  virtual bool takesPins() const = 0;
  // Presents a PIN for the key of `spec`.
  virtual Status presentPin(Context &ctx, int spec, const std::string &pin) const = 0;

  // The context was released: drops what it holds that no later call uses.
  virtual void release(Context &ctx) const = 0;
};

// The three families.
const KeyFamily &softwareKeys();
const KeyFamily &softTokenKeys();
const KeyFamily &pkcs11Keys();

}  // namespace emu::csp
