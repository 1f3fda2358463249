// Test tool: adds a freshly generated key to an existing key container of
// the emulated CSP, which the Java API cannot do (it only creates new
// containers). Usage: emu_addkey PROVIDER CONTAINER KEYSPEC BITS; KEYSPEC 0
// makes the container, empty, as a key generation killed half-way leaves it.
// Exit code 0 on success, 1 on failure, 2 on usage errors.
#include <cstdio>
#include <cstdlib>

#include "winapi/advapi32.h"

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: emu_addkey PROVIDER CONTAINER KEYSPEC BITS\n");
    return 2;
  }
  HCRYPTPROV prov = 0;
  if (std::atoi(argv[3]) == 0) {
    if (!CryptAcquireContextA(&prov, argv[2], argv[1], PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
      std::fprintf(stderr, "cannot make the container: 0x%08x\n",
                   static_cast<unsigned>(GetLastError()));
      return 1;
    }
    CryptReleaseContext(prov, 0);
    return 0;
  }
  if (!CryptAcquireContextA(&prov, argv[2], argv[1], PROV_RSA_FULL, 0)) {
    std::fprintf(stderr, "cannot open the container: 0x%08x\n",
                 static_cast<unsigned>(GetLastError()));
    return 1;
  }
  const auto spec = static_cast<ALG_ID>(std::atoi(argv[3]));
  const auto bits = static_cast<DWORD>(std::atoi(argv[4]));
  HCRYPTKEY key = 0;
  const BOOL ok = CryptGenKey(prov, spec, bits << 16, &key);
  if (ok)
    CryptDestroyKey(key);
  else
    std::fprintf(stderr, "cannot generate the key: 0x%08x\n",
                 static_cast<unsigned>(GetLastError()));
  CryptReleaseContext(prov, 0);
  return ok ? 0 : 1;
}
