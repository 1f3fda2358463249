// The sixteen native methods for the x86_64 build of the conformance suite:
// looked up in the 64-bit mscapi.dll by their undecorated names, as a
// 64-bit JVM finds them. Takes the place of tests/conformance/natives.cpp
// (which looks up the 32-bit DLL's decorated standard-call names) in that
// build only.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "natives.h"

#ifndef _WIN64
#error "natives_x64.cpp is for the x86_64 build; the 32-bit one uses natives.cpp"
#endif

namespace conformance {

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
#define MSCAPI_FIND(method) find(dll, n.method, "Java_com_qel_varnel_MSCAPI_" #method)
  MSCAPI_FIND(getDLLVersion);
  MSCAPI_FIND(queryProviders);
  MSCAPI_FIND(generateRandom);
  MSCAPI_FIND(generateKeyPair);
  MSCAPI_FIND(deleteKeyPair);
  MSCAPI_FIND(queryKeyPairs);
  MSCAPI_FIND(importKeyPair);
  MSCAPI_FIND(importKeyPairPwd);
  MSCAPI_FIND(getPrivateKey);
  MSCAPI_FIND(addCertToStore);
  MSCAPI_FIND(setFriendlyName);
  MSCAPI_FIND(setFlags);
  MSCAPI_FIND(deleteCertFromStore);
  MSCAPI_FIND(queryCerts);
  MSCAPI_FIND(sign);
  MSCAPI_FIND(verifyAndSign);
#undef MSCAPI_FIND
  return n;
}

}  // namespace

const Natives &natives() {
  static const Natives n = load();
  return n;
}

}  // namespace conformance
