// Test tool: gives $MSCAPI_HOME its default registration now, so that a test
// harness can add .reg files after it (a registry folder that already exists
// is never given the default one). Exit code 0 when the registry opened.
#include <cstdio>

#include "winapi/advapi32.h"

int main() {
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot open the emulated registry: %ld\n", static_cast<long>(rc));
    return 1;
  }
  RegCloseKey(key);
  return 0;
}
