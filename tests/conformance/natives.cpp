#include "natives.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#else
#include "com_qel_varnel_ContainerKeys.h"
#include "com_qel_varnel_MSCAPI.h"
#include "com_qel_varnel_SilentSigning.h"
#endif

namespace conformance {

#ifdef _WIN32

namespace {

template <typename F>
void find(HMODULE dll, F &f, const char *name) {
  f = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

Natives load() {
  Natives n{};
  HMODULE dll = LoadLibraryA("mscapi.dll");
  if (dll == nullptr) {
    std::fprintf(stderr, "cannot load mscapi.dll (error %lu)\n", GetLastError());
    std::exit(2);
  }
#ifdef _WIN64
  // A 64-bit JVM finds the undecorated names.
#define MSCAPI_FIND(method, bytes) find(dll, n.method, "Java_com_qel_varnel_MSCAPI_" #method)
#else
  // A 32-bit JVM finds the decorated standard-call names.
#define MSCAPI_FIND(method, bytes) \
  find(dll, n.method, "_Java_com_qel_varnel_MSCAPI_" #method "@" #bytes)
#endif
  MSCAPI_FIND(getDLLVersion, 8);
  MSCAPI_FIND(queryProviders, 8);
  MSCAPI_FIND(generateRandom, 16);
  MSCAPI_FIND(generateKeyPair, 24);
  MSCAPI_FIND(deleteKeyPair, 16);
  MSCAPI_FIND(queryKeyPairs, 8);
  MSCAPI_FIND(importKeyPair, 56);
  MSCAPI_FIND(importKeyPairPwd, 60);
  MSCAPI_FIND(getPrivateKey, 24);
  MSCAPI_FIND(addCertToStore, 32);
  MSCAPI_FIND(setFriendlyName, 24);
  MSCAPI_FIND(setFlags, 24);
  MSCAPI_FIND(deleteCertFromStore, 20);
  MSCAPI_FIND(queryCerts, 12);
  MSCAPI_FIND(sign, 32);
  MSCAPI_FIND(verifyAndSign, 36);
#undef MSCAPI_FIND
#ifdef _WIN64
  find(dll, n.silentSign, "Java_com_qel_varnel_SilentSigning_sign");
  find(dll, n.publicKeyBlob, "Java_com_qel_varnel_ContainerKeys_publicKeyBlob");
#else
  find(dll, n.silentSign, "_Java_com_qel_varnel_SilentSigning_sign@32");
  find(dll, n.publicKeyBlob, "_Java_com_qel_varnel_ContainerKeys_publicKeyBlob@20");
#endif
  return n;
}

}  // namespace

const Natives &natives() {
  static const Natives n = load();
  return n;
}

#else

const Natives &natives() {
#define M(method) &Java_com_qel_varnel_MSCAPI_##method
  static const Natives n{M(getDLLVersion),
                         M(queryProviders),
                         M(generateRandom),
                         M(generateKeyPair),
                         M(deleteKeyPair),
                         M(queryKeyPairs),
                         M(importKeyPair),
                         M(importKeyPairPwd),
                         M(getPrivateKey),
                         M(addCertToStore),
                         M(setFriendlyName),
                         M(setFlags),
                         M(deleteCertFromStore),
                         M(queryCerts),
                         M(sign),
                         M(verifyAndSign),
                         &Java_com_qel_varnel_SilentSigning_sign,
                         &Java_com_qel_varnel_ContainerKeys_publicKeyBlob};
#undef M
  return n;
}

#endif

}  // namespace conformance
