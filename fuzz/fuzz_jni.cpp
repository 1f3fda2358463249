// The sixteen native methods with arbitrary arguments, through the
// conformance suite's recording JNIEnv. The input picks the methods and
// their arguments (see jni_program.h). After every call the environment's
// balance must hold (everything taken released exactly once, arrays in
// JNI_ABORT mode, no JNI call with an exception pending, no input array
// changed), a pending exception must be one the method may raise with one
// of its own messages, and a result must have its documented layout.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "fake_jni.h"
#include "fuzz_support.h"
#include "jni_program.h"
#include "natives.h"
#include "winapi/advapi32.h"

namespace {

using namespace fuzz::jni;
using Bytes = std::vector<uint8_t>;
using conformance::natives;
using fakejni::Env;

// ---- Reading arguments ----------------------------------------------------

Bytes known[kKnownCount];

// Arrays stay below 8 KiB: longer ones reach no other code and only cost
// the fake JVM's copies and checks.
constexpr size_t kMaxArray = 0x1FFF;

jstring readString(Env &f, fuzz::Stream &in) {
  switch (in.u8() % kStrTags) {
    case kStrNull:
      return nullptr;
    case kStrProvider:
      return f.string(providers()[in.u8() % providers().size()]);
    case kStrContainer:
      return f.string(containers()[in.u8() % containers().size()]);
    case kStrLatin1: {
      const std::string s = in.take(in.u8());
      std::u16string u;
      for (unsigned char c : s) u.push_back(c);
      return f.string(u);
    }
    default: {
      const size_t n = in.u8();
      std::u16string u;
      for (size_t i = 0; i < n && !in.empty(); ++i) u.push_back(in.u16());
      return f.string(u);
    }
  }
}

jbyteArray readArray(Env &f, fuzz::Stream &in) {
  switch (in.u8() % kArrTags) {
    case kArrNull:
      return nullptr;
    case kArrRaw: {
      const std::string s = in.take(in.u16() & kMaxArray);
      return f.bytes(Bytes(s.begin(), s.end()));
    }
    case kArrKnown:
      return f.bytes(known[in.u8() % kKnownCount]);
    case kArrEmpty:
      return f.bytes({});
    default: {
      const size_t n = in.u16() & kMaxArray;
      return f.bytes(Bytes(n, in.u8()));
    }
  }
}

jint readInt(fuzz::Stream &in) {
  switch (in.u8() % kIntTags) {
    case kIntSmall:
      return in.u8();
    case kIntRaw:
      return static_cast<jint>(in.u32());
    case kIntListed:
      return interestingInts()[in.u8() % interestingInts().size()];
    default:
      return -1 - static_cast<jint>(in.u8());
  }
}

std::string textOf(jstring s) {
  if (s == nullptr) return "<null>";
  return reinterpret_cast<fakejni::String *>(s)->modifiedUtf8();
}

bool listedContainer(const std::string &name) {
  for (const auto &c : containers())
    if (c == name) return true;
  return false;
}

// ---- Keeping generation cheap and the stores small ------------------------

// A key generation that would really run is let through once every
// kGenerateEvery calls, at 512 to 1024 bits; otherwise its length is made
// one the method refuses before generating.
constexpr unsigned kGenerateEvery = 256;
unsigned callsSinceGeneration = kGenerateEvery;

jint generationBits(jint bits) {
  if (bits < 0 || bits >= 65536 || bits % 8 != 0 || (bits != 0 && bits < 384)) return bits;
  if (callsSinceGeneration < kGenerateEvery) return bits == 0 ? -1 : -bits;
  callsSinceGeneration = 0;
  if (bits == 0 || bits > 1024) return 512 + 8 * ((bits / 8) % 65);
  return bits;
}

// Import checks the key with OpenSSL (primality tests): lengths beyond
// 2048 bits that the CSP would accept are folded below 2048.
jint importBits(jint bits) {
  if (bits > 2048 && bits <= 16384) return bits % 2048;
  return bits;
}

// Certificates added beyond this many per store kind are deleted again.
constexpr int kKeptPerStore = 4;
int keptCerts[8] = {};

// ---- Checking results -----------------------------------------------------

struct Reader {
  const Bytes &b;
  size_t at = 0;
  bool ok = true;
  uint32_t u32() {
    if (b.size() - at < 4) {
      ok = false;
      return 0;
    }
    const uint32_t v =
        b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
    at += 4;
    return v;
  }
  Bytes field() {
    const uint32_t n = u32();
    if (!ok || b.size() - at < n) {
      ok = false;
      return {};
    }
    Bytes v(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
    at += n;
    return v;
  }
  bool atEnd() const { return ok && at == b.size(); }
};

void checkProviderList(const Bytes &b) {
  Reader r{b};
  const uint32_t n = r.u32();
  for (uint32_t i = 0; i < n && r.ok; ++i) FUZZ_CHECK(!r.field().empty());
  FUZZ_CHECK(r.atEnd());
}

void checkKeyPairList(const Bytes &b) {
  Reader r{b};
  const uint32_t n = r.u32();
  for (uint32_t i = 0; i < n && r.ok; ++i) {
    r.field();  // provider
    r.field();  // container
    const Bytes modulus = r.field();
    FUZZ_CHECK(!r.ok || !modulus.empty());
    const uint32_t spec = r.u32();
    FUZZ_CHECK(!r.ok || spec == 1 || spec == 2);
    r.u32();  // public exponent
  }
  FUZZ_CHECK(r.atEnd());
}

void checkCertList(const Bytes &b) {
  Reader r{b};
  const uint32_t n = r.u32();
  for (uint32_t i = 0; i < n && r.ok; ++i) {
    FUZZ_CHECK(!r.field().empty() || !r.ok);  // encoded certificate
    r.field();                                // serial number
    r.field();                                // issuer
    r.field();                                // friendly name
    r.field();                                // provider
    r.field();                                // container
    r.u32();                                  // key spec
    r.field();                                // description
  }
  FUZZ_CHECK(r.atEnd());
}

// CertId: serial number, issuer. Remembered for later lookups.
void checkCertId(const Bytes &b) {
  Reader r{b};
  const Bytes serial = r.field();
  const Bytes issuer = r.field();
  FUZZ_CHECK(r.atEnd());
  FUZZ_CHECK(!serial.empty() && !issuer.empty());
  known[kKnownSerial] = serial;
  known[kKnownIssuer] = issuer;
}

// The messages each method may give with java.lang.Exception.
const std::set<std::string> &messagesOf(Method m) {
  static const std::set<std::string> registry = {"Failed to open provider path in registry!",
                                                 "Failed to open provider key in registry!"};
  static const std::set<std::string> none;
  static const std::set<std::string> random = {"Failed to open provider key in registry!"};
  static const std::set<std::string> generate = {"Failed to generate key pair!"};
  static const std::set<std::string> remove = {"Key container not found!"};
  static const std::set<std::string> import = {"Failed to import key pair!",
                                               "SSLRuntimeException04"};
  static const std::set<std::string> exportKey = {"Private key export failed !",
                                                  "SSLRuntimeException04"};
  static const std::set<std::string> add = {"Error opening target store!",
                                            "Error while adding certificate to store!"};
  static const std::set<std::string> name = {"Name missing !",
                                             "Failed to open the requested store!",
                                             "Failed to set friendly name property!"};
  static const std::set<std::string> flags = {"Flags missing !",
                                              "Failed to open the requested store!",
                                              "Failed to set certificate description property !"};
  static const std::set<std::string> del = {"Failed to open the requested store!",
                                            "Cert not found !"};
  static const std::set<std::string> query = {
      "Failed to open the requested store!", "Failed to open/create the Varnel store!",
      "Caught exception in mscapi.dll: 0xe06d7363. Please contact QEL for assistance."};
  static const std::set<std::string> sign = {"No data provided !", "Failed to sign data!",
                                             "SSLRuntimeException04"};
  switch (m) {
    case kGetDLLVersion:
      return none;
    case kQueryProviders:
    case kQueryKeyPairs:
      return registry;
    case kGenerateRandom:
      return random;
    case kGenerateKeyPair:
      return generate;
    case kDeleteKeyPair:
      return remove;
    case kImportKeyPair:
    case kImportKeyPairPwd:
      return import;
    case kGetPrivateKey:
      return exportKey;
    case kAddCertToStore:
      return add;
    case kSetFriendlyName:
      return name;
    case kSetFlags:
      return flags;
    case kDeleteCertFromStore:
      return del;
    case kQueryCerts:
      return query;
    case kSign:
    case kVerifyAndSign:
      return sign;
    default:
      return none;
  }
}

// Checks the environment's balance after a call; stops the run on a
// violation, printing them.
void checkBalance(Env &f, const char *what) {
  f.finishCall();
  if (!f.violations.empty()) {
    for (const auto &v : f.violations) std::fprintf(stderr, "%s: %s\n", what, v.c_str());
    FUZZ_CHECK(f.violations.empty());
  }
}

const char *const kNames[kMethodCount] = {
    "getDLLVersion",   "queryProviders", "generateRandom",      "generateKeyPair", "deleteKeyPair",
    "queryKeyPairs",   "importKeyPair",  "importKeyPairPwd",    "getPrivateKey",   "addCertToStore",
    "setFriendlyName", "setFlags",       "deleteCertFromStore", "queryCerts",      "sign",
    "verifyAndSign"};

// ---- One call -------------------------------------------------------------

void runCall(Env &f, fuzz::Stream &in) {
  const uint8_t config = in.u8();
  const auto m = static_cast<Method>(in.u8() % kMethodCount);
  const jclass cls = f.mscapiClass();
  JNIEnv *env = f.env();

  f.hasLibField = true;
  f.libIsNull = f.managerInstalled = f.managerRefuses = false;
  f.failNewByteArrayAfter = -1;
  f.newByteArrayFault = fakejni::Fault::None;
  f.checkLinkArgs.clear();
  if ((config & 0x0F) == 0x0F) {
    const uint8_t e = in.u8();
    f.hasLibField = (e & kNoLibField) == 0;
    f.libIsNull = (e & kLibNull) != 0;
    f.managerInstalled = (e & kManager) != 0;
    f.managerRefuses = (e & kManagerRefuses) != 0;
  }
  bool enumFault = false, oomFault = false;
  if ((config & 0xF0) == 0xF0) {
    const uint8_t b = in.u8();
    if ((b & kFaultCpp) != 0) {
      // Only queryCerts runs its work under the fault guard.
      if (m == kQueryCerts) {
        if ((b & kFaultFromNewByteArray) != 0) {
          f.newByteArrayFault = fakejni::Fault::CppException;
        } else {
          EmuTestControl(emu::hooks::kEnumThrowsError, 0);
          enumFault = true;
        }
      }
    } else {
      f.failNewByteArrayAfter = f.newByteArrays + b % 4;
      oomFault = true;
    }
  }
  const bool refused = f.hasLibField && !f.libIsNull && f.managerInstalled && f.managerRefuses;
  const bool checked = m != kGetDLLVersion;
  ++callsSinceGeneration;

  jobject result = nullptr;
  jstring containerArg = nullptr, providerArg = nullptr;
  jint storeKind = 0;
  switch (m) {
    case kGetDLLVersion: {
      const jint v = natives().getDLLVersion(env, cls);
      FUZZ_CHECK(v == 0x40002);
      break;
    }
    case kQueryProviders:
      result = natives().queryProviders(env, cls);
      break;
    case kGenerateRandom: {
      jstring p = readString(f, in);
      jint n = readInt(in);
      // The fake JVM would really allocate; keep arrays below 64 KiB.
      if (n > 65536) n = 65536 + n % 16;
      result = natives().generateRandom(env, cls, p, n);
      if (result != nullptr) {
        FUZZ_CHECK(n >= 0);
        FUZZ_CHECK(f.contents(static_cast<jbyteArray>(result)).size() == static_cast<size_t>(n));
      }
      break;
    }
    case kGenerateKeyPair: {
      providerArg = readString(f, in);
      containerArg = readString(f, in);
      const jint alg = readInt(in);
      const jint bits = generationBits(readInt(in));
      result = natives().generateKeyPair(env, cls, providerArg, containerArg, alg, bits);
      break;
    }
    case kDeleteKeyPair: {
      jstring p = readString(f, in);
      jstring c = readString(f, in);
      natives().deleteKeyPair(env, cls, p, c);
      break;
    }
    case kQueryKeyPairs:
      result = natives().queryKeyPairs(env, cls);
      break;
    case kImportKeyPair:
    case kImportKeyPairPwd: {
      providerArg = readString(f, in);
      containerArg = readString(f, in);
      const jint spec = readInt(in);
      jbyteArray modulus = readArray(f, in);
      const jint bits = importBits(readInt(in));
      const jint e = readInt(in);
      jbyteArray parts[6];
      for (auto &p : parts) p = readArray(f, in);
      if (m == kImportKeyPair) {
        natives().importKeyPair(env, cls, providerArg, containerArg, spec, modulus, bits, e,
                                parts[0], parts[1], parts[2], parts[3], parts[4], parts[5]);
      } else {
        jbyteArray password = readArray(f, in);
        natives().importKeyPairPwd(env, cls, providerArg, containerArg, spec, modulus, bits, e,
                                   parts[0], parts[1], parts[2], parts[3], parts[4], parts[5],
                                   password);
      }
      break;
    }
    case kGetPrivateKey: {
      jstring p = readString(f, in);
      jstring c = readString(f, in);
      const jint spec = readInt(in);
      jbyteArray password = readArray(f, in);
      result = natives().getPrivateKey(env, cls, p, c, spec, password);
      break;
    }
    case kAddCertToStore: {
      jbyteArray cert = readArray(f, in);
      jstring p = readString(f, in);
      jstring c = readString(f, in);
      const jint spec = readInt(in);
      jstring name = readString(f, in);
      storeKind = readInt(in);
      result = natives().addCertToStore(env, cls, cert, p, c, spec, name, storeKind);
      break;
    }
    case kSetFriendlyName: {
      jstring name = readString(f, in);
      jbyteArray serial = readArray(f, in);
      jbyteArray issuer = readArray(f, in);
      natives().setFriendlyName(env, cls, name, serial, issuer, readInt(in));
      break;
    }
    case kSetFlags: {
      jbyteArray flags = readArray(f, in);
      jbyteArray serial = readArray(f, in);
      jbyteArray issuer = readArray(f, in);
      natives().setFlags(env, cls, flags, serial, issuer, readInt(in));
      break;
    }
    case kDeleteCertFromStore: {
      jbyteArray serial = readArray(f, in);
      jbyteArray issuer = readArray(f, in);
      natives().deleteCertFromStore(env, cls, serial, issuer, readInt(in));
      break;
    }
    case kQueryCerts:
      result = natives().queryCerts(env, cls, readInt(in));
      break;
    case kSign:
    case kVerifyAndSign: {
      jstring p = readString(f, in);
      jstring c = readString(f, in);
      const jint spec = readInt(in);
      jbyteArray hash = readArray(f, in);
      const jint length = readInt(in);
      const jint alg = readInt(in);
      if (m == kSign) {
        result = natives().sign(env, cls, p, c, spec, hash, length, alg);
      } else {
        jbyteArray password = readArray(f, in);
        result = natives().verifyAndSign(env, cls, p, c, spec, hash, length, alg, password);
      }
      break;
    }
    default:
      break;
  }
  if (enumFault) EmuTestControl(0, emu::hooks::kEnumThrowsError);
  f.newByteArrayFault = fakejni::Fault::None;

  checkBalance(f, kNames[m]);

  // The entry check: a refusal or a missing LIB field reaches the caller
  // unchanged, before anything else happens.
  if (checked && !f.hasLibField) {
    FUZZ_CHECK(f.pendingClass() == "java/lang/NoSuchFieldError");
  } else if (checked && refused) {
    FUZZ_CHECK(f.pendingClass() == "java/lang/SecurityException");
  } else if (f.pending()) {
    const std::string cls = f.pendingClass();
    if (cls == "java/lang/OutOfMemoryError") {
      FUZZ_CHECK(oomFault);
    } else {
      FUZZ_CHECK(cls == "java/lang/Exception");
      if (messagesOf(m).count(f.pendingMessage()) == 0) {
        std::fprintf(stderr, "%s: unexpected message \"%s\"\n", kNames[m],
                     f.pendingMessage().c_str());
        FUZZ_CHECK(messagesOf(m).count(f.pendingMessage()) != 0);
      }
    }
  }

  const bool ok = !f.pending();
  if (!ok) {
    // A failed call returns no result.
    FUZZ_CHECK(result == nullptr);
    f.clearPending();
  } else if (result != nullptr) {
    const Bytes b = f.contents(static_cast<jbyteArray>(result));
    known[kKnownLastResult] = b;
    switch (m) {
      case kQueryProviders:
        checkProviderList(b);
        break;
      case kQueryKeyPairs:
        checkKeyPairList(b);
        break;
      case kQueryCerts:
        checkCertList(b);
        break;
      case kAddCertToStore:
        checkCertId(b);
        break;
      default:
        break;
    }
  } else {
    // These always give a result when they succeed.
    FUZZ_CHECK(m != kQueryProviders && m != kQueryKeyPairs && m != kQueryCerts &&
               m != kGenerateRandom && m != kGenerateKeyPair && m != kGetPrivateKey && m != kSign &&
               m != kVerifyAndSign);
  }

  // Containers outside the list are deleted again, so the key store stays
  // small: after a success the deletion must succeed. A failed generation
  // may leave its new container behind, empty (step by step as on
  // Windows), or may have made none.
  const bool madeContainer =
      ok ? (m == kGenerateKeyPair || m == kImportKeyPair || m == kImportKeyPairPwd)
         : m == kGenerateKeyPair;
  if (madeContainer && !listedContainer(textOf(containerArg))) {
    f.failNewByteArrayAfter = -1;
    f.hasLibField = true;
    f.managerInstalled = false;
    natives().deleteKeyPair(env, cls, providerArg, containerArg);
    checkBalance(f, "deleteKeyPair after a call");
    if (f.pending()) {
      if (ok) {
        std::fprintf(stderr, "deleting %s from %s: %s\n", textOf(containerArg).c_str(),
                     textOf(providerArg).c_str(), f.pendingMessage().c_str());
      }
      FUZZ_CHECK(!ok && f.pendingMessage() == "Key container not found!");
      f.clearPending();
    }
  }

  // Certificates beyond a few per store are deleted again, and with them
  // every other certificate of the store with the same issuer and serial
  // number (a store may hold several that differ in other bytes): the first
  // deletion must succeed, the last must find nothing.
  if (m == kAddCertToStore && result != nullptr) {
    const int slot = storeKind & 7;
    if (keptCerts[slot] < kKeptPerStore) {
      ++keptCerts[slot];
    } else {
      f.failNewByteArrayAfter = -1;
      f.hasLibField = true;
      f.managerInstalled = false;
      for (int i = 0;; ++i) {
        FUZZ_CHECK(i < 64);
        natives().deleteCertFromStore(env, cls, f.bytes(known[kKnownSerial]),
                                      f.bytes(known[kKnownIssuer]), storeKind);
        checkBalance(f, "deleteCertFromStore after a call");
        if (!f.pending()) continue;
        if (i == 0) {
          std::fprintf(stderr, "deleting the certificate just added: %s\n",
                       f.pendingMessage().c_str());
        }
        FUZZ_CHECK(i > 0 && f.pendingMessage() == "Cert not found !");
        f.clearPending();
        break;
      }
    }
  }
}

// At most this many calls per input: enough for a sequence (make a key,
// sign with it, export it), few enough to keep an execution short.
constexpr int kCallsPerInput = 3;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::setUpProcess();
  // The default registration's PKCS#11 provider would reach the machine's
  // own modules and tokens (through p11-kit's proxy): the home goes without
  // it. The first registry call writes the default registration.
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &k) == ERROR_SUCCESS)
    RegCloseKey(k);
  std::ofstream(fuzz::homePath() + "/registry/50-no-pkcs11.reg")
      << "Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\"
         "Cryptography\\Defaults\\Provider\\PKCS#11 Token RSA Provider]\n";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Stream in(data, size);
  Env f;
  for (int calls = 0; calls < kCallsPerInput && !in.empty(); ++calls) runCall(f, in);
  return 0;
}
